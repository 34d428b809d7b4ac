#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "module/MailClient.h"
#include "module/MapiSession.h"

namespace postwarden {

// A session object over the Maildir store rooted at `storeRoot`. Nothing is
// opened until Logon() or SetMAPIOBJECT(); every other call before that throws.
//
// The store is a folder of Maildirs: `Drafts` is the drafts folder, folder paths
// are Maildir paths (absolute, or relative to the root), a message's entry
// identifier is its Maildir unique name, and the optional file
// `distribution-lists` in the root defines the distribution lists. Items of a
// folder come in delivery order; the text index selects the newest item whose
// subject equals the text. Messages are read on first use, once.
std::shared_ptr<MapiSession> CreateMaildirSession(const std::string& storeRoot);

// The mail client's handle on its open Maildir store: what the client's session
// hands out as its "MAPIOBJECT", and what a session object attaches to.
//
// The client may also lend the store a message it has saved and still holds in
// memory (the draft of the message being sent): sessions attached to this
// handle then parse those bytes instead of reading the file back, so that a
// large message is held once, not once by the client and again by the store.
class MaildirStoreObject final : public MapiObject {
  public:
    explicit MaildirStoreObject(std::string root) : root_(std::move(root)) {}
    const std::string& Root() const { return root_; }

    // `bytes` are the content of the message `uniqueName`; they must remain
    // live and unchanged until Withdraw(uniqueName) or this object's end.
    // `release`, when given, gives their pages back for a while (bytes that a
    // file holds): a parse calls it once it no longer needs most of them.
    void Lend(std::string uniqueName, std::string_view bytes, std::function<void()> release = {}) {
        lent_[std::move(uniqueName)] = {bytes, std::move(release)};
    }
    void Withdraw(std::string_view uniqueName) {
        if (auto it = lent_.find(uniqueName); it != lent_.end()) lent_.erase(it);
    }
    // The bytes lent as `uniqueName`; none when they were not lent or withdrawn.
    std::optional<std::string_view> Lent(std::string_view uniqueName) const {
        const auto it = lent_.find(uniqueName);
        if (it == lent_.end()) return std::nullopt;
        return it->second.bytes;
    }
    // Gives the pages of the bytes lent as `uniqueName` back, where they can be
    // read in again; nothing happens for other bytes.
    void ReleaseLent(std::string_view uniqueName) const {
        const auto it = lent_.find(uniqueName);
        if (it != lent_.end() && it->second.release) it->second.release();
    }

  private:
    struct Loan {
        std::string_view bytes;
        std::function<void()> release;
    };
    std::string root_;
    std::map<std::string, Loan, std::less<>> lent_;
};

// The drafts folder of the store at `storeRoot`.
std::string DraftsFolderOf(const std::string& storeRoot);

}  // namespace postwarden
