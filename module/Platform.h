#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "module/MapiSession.h"
#include "module/SendResult.h"
#include "module/WindowSystem.h"
#include "util/Limits.h"
#include "util/RuntimeError.h"

namespace postwarden {

// What a fetch from a server may cost and whom it trusts.
struct FetchPolicy {
    // A PEM file of certificate authorities trusted besides the system's; empty
    // for the system's alone.
    std::string extraCaFile;
    // From the start of the fetch to its last byte, connecting included: a dead
    // server must not hold a send for longer.
    std::chrono::milliseconds timeLimit{10'000};
    // When set, the fetch also ends by then, and a request that would start
    // later fails at once as one out of time does: the fetches of one settings
    // refresh share one time limit, so two dead servers hold a send no longer
    // than one.
    std::chrono::steady_clock::time_point deadline{};
    // The most a fetched document may hold; more is refused with limits::TooLarge.
    size_t maxBytes = limits::kMaxSettingsDocumentBytes;
};

// Everything outside the module: the host engine library, the per-user settings
// store and registry, the MAPI session component, files and the window system.
// The module reaches the world only through the Platform it is created with.
//
// Every operation reports failure by throwing RuntimeError; an implementation
// never lets another exception out. A Platform must remain live while any
// module created with it is in use, and is used from one thread at a time.
class Platform {
  public:
    Platform() : serial_(NextSerial()) {}
    virtual ~Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // Tells platforms apart even when one is created where an old one was.
    uint64_t Serial() const { return serial_; }

    // Host engine library.
    virtual std::unique_ptr<EngineHelper> NewEngineHelper() = 0;
    virtual std::unique_ptr<EngineLogger> NewEngineLogger() = 0;
    virtual std::unique_ptr<RegistryAccess> NewRegistryAccess() = 0;

    // The per-user settings store. A key that does not exist reads as
    // `defaultValue`; one that exists reads as stored, also when empty. A write
    // creates the key or overwrites it.
    virtual std::string GetSetting(std::string_view app, std::string_view section,
                                   std::string_view key, std::string_view defaultValue) = 0;
    virtual void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                             std::string_view value) = 0;

    // Creates an outside object by its programmatic identifier; only the MAPI
    // session component ("PWOutlook.PWRDOSession") is known. Throws "Can't
    // create object" for any other name.
    virtual std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) = 0;

    // The whole content of a text file, its bytes as they are. A file larger
    // than limits::kMaxSettingsDocumentBytes is refused (the settings document
    // is the only text file the module reads).
    virtual std::string ReadTextFile(std::string_view path) = 0;

    // The document at an https://, http:// or file:// URL, following a few
    // redirects, TLS verified. Throws RuntimeError when it cannot be had within
    // the policy: refused, not found, untrusted, too large or too slow. The
    // description never holds the URL's password. A platform without a network
    // throws "Can't create object".
    virtual std::string FetchUrl(std::string_view url, const FetchPolicy& policy);

    // A session on the IMAP server of an imap:// or imaps:// URL, whose
    // GetFolderFromPath takes that URL (or another on the same server) and
    // opens the mailbox it names; its messages offer what a settings item is
    // read by (Subject, Body, BodyFormat, Property). Logon logs in with the
    // URL's credentials or those netrc gives for the host. Every call throws
    // RuntimeError once `policy.timeLimit` has passed since the session was
    // created, or `policy.deadline` when that comes sooner. A platform without
    // a network throws "Can't create object".
    virtual std::shared_ptr<MapiSession> CreateMailServerSession(std::string_view url,
                                                                 const FetchPolicy& policy);

    virtual WindowSystem& Windows() = 0;

    // The person's recipient history: whom mail was sent to, which the host
    // records as each send leaves. Addresses and domains are taken as written
    // and compared as the history keeps them (HistoryAddress of
    // util/AddressForm.h, ComparedDomain of util/LookAlike.h), so every
    // spelling and capitalisation of one mailbox or domain is the same. A
    // platform that keeps no history answers as an empty one. Each throws
    // RuntimeError when the history cannot be read.
    //
    // How many sends the history holds.
    virtual int64_t RecordedSends();
    // For each of `addresses`, in order: whether mail was sent to it before.
    virtual std::vector<bool> KnownRecipients(const std::vector<std::string>& addresses);
    // For each of `domains`, in order: whether mail was sent to any address
    // of it before.
    virtual std::vector<bool> KnownDomains(const std::vector<std::string>& domains);
    // The domains written to in at least two sends that `domain` may look
    // like, sorted: every one that shares a LookAlikeKeys key with it, so a
    // superset of those LooksLike(domain, it) holds for, each to be confirmed
    // with LooksLike; never `domain` itself.
    virtual std::vector<std::string> FamiliarDomainsLike(std::string_view domain);

    // Told how the check of a send went, once per send, as the send driver
    // ends; a host that says or records what happened keeps it. Must not throw.
    virtual void SendChecked(const SendResult& /*result*/) {}

  private:
    static uint64_t NextSerial() {
        static std::atomic<uint64_t> next{1};
        return next++;
    }

    uint64_t serial_;
};

// Not pure, so that a platform made for one job (a benchmark, a fuzz target)
// need not say it has no network.
inline std::string Platform::FetchUrl(std::string_view, const FetchPolicy&) {
    throw errors::CannotCreateObject();
}
inline std::shared_ptr<MapiSession> Platform::CreateMailServerSession(std::string_view,
                                                                      const FetchPolicy&) {
    throw errors::CannotCreateObject();
}
// Nor a recipient history: an empty one.
inline int64_t Platform::RecordedSends() {
    return 0;
}
inline std::vector<bool> Platform::KnownRecipients(const std::vector<std::string>& addresses) {
    return std::vector<bool>(addresses.size(), false);
}
inline std::vector<bool> Platform::KnownDomains(const std::vector<std::string>& domains) {
    return std::vector<bool>(domains.size(), false);
}
inline std::vector<std::string> Platform::FamiliarDomainsLike(std::string_view) {
    return {};
}

}  // namespace postwarden
