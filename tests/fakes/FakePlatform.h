#pragma once

// In-memory fakes of every outside component the module reaches through its
// Platform. Every operation first asks FakePlatform::Check(name), which throws
// when a test has switched that operation (or the N-th call overall) to fail.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "module/Platform.h"
#include "tests/fakes/FakeMailStore.h"

namespace postwarden::fakes {

// The `index`-th (from 1) of `items`; throws "Subscript out of range" past either end.
template <class T>
const T& ItemAt(const std::vector<T>& items, int32_t index) {
    if (index < 1 || index > static_cast<int32_t>(items.size()))
        throw errors::SubscriptOutOfRange();
    return items[static_cast<size_t>(index - 1)];
}

class FakeEngine;

struct LogLine {
    std::string kind;  // "trace" (EngineLogger) or "event" (EngineHelper::LogEvent)
    int32_t level = 0;
    std::string app;
    std::string source;
    std::string message;
};

class FakePlatform final : public Platform {
  public:
    FakePlatform();
    ~FakePlatform() override;

    // --- Error switches ---
    // Makes every later call of `operation` throw `error`.
    void FailOn(const std::string& operation,
                RuntimeError error = RuntimeError(errors::kInvalidCall, "Injected failure"));
    void Heal(const std::string& operation) { failures_.erase(operation); }
    // Makes the `n`-th outside call from now (1 = the next) throw, whatever it is.
    void FailAtCall(int64_t n) { failAt_ = calls_ + n; }
    // Makes only the `n`-th call of `operation` from now (1 = the next) throw.
    void FailNthCallOf(const std::string& operation, int64_t n) {
        failNthOf_[operation] = CallsOf(operation) + n;
    }
    int64_t Calls() const { return calls_; }
    // The operation that FailAtCall made fail; empty until it has.
    const std::string& FailedAtCall() const { return failedAtCall_; }
    // Counts one call of `operation` and throws if it is switched to fail.
    void Check(const std::string& operation);
    // Check(operation), then `value`: the body of a fake's getter.
    template <class T>
    T Checked(const std::string& operation, T value) {
        Check(operation);
        return value;
    }
    // How often `operation` was called.
    int64_t CallsOf(const std::string& operation) const;

    // --- What the module did ---
    std::vector<LogLine> log;
    // Only the lines of one kind or one source, as "SOURCE|MESSAGE" texts, handy
    // for comparing whole sequences.
    std::vector<std::string> Messages(const std::string& kind = "") const;
    bool Logged(const std::string& message) const;
    // The error reports (LogEvent) as "LEVEL|SOURCE|MESSAGE" texts, in order.
    std::vector<std::string> Events() const;

    // --- Settings and registry ---
    std::string settingsAppName = "Postwarden";
    // Settings of the module's section under `settingsAppName`.
    std::optional<std::string> Setting(const std::string& key) const;
    void SetSetting(const std::string& key, const std::string& value);
    void RemoveSetting(const std::string& key);
    std::map<std::tuple<std::string, std::string, std::string>, std::string> settings;
    std::vector<std::string> settingWrites;  // keys in the order written
    // Registry keys by path; values as text (QueryValue converts them).
    std::map<std::string, std::map<std::string, std::string>> registry;
    std::vector<std::tuple<std::string, uint32_t, int32_t>> openedKeys;

    // --- Files, servers, mail store, engine ---
    std::map<std::string, std::string> files;
    // The documents FetchUrl finds, by URL; any other URL fails to fetch.
    std::map<std::string, std::string> urls;
    // Every FetchUrl and CreateMailServerSession call: the URL and the policy.
    // A mail server's session works on `store`, its folders named by URL.
    std::vector<std::pair<std::string, FetchPolicy>> serverFetches;
    FakeStore store;
    // Answers of EngineHelper::MatchesEntry: exact comparison unless set.
    int32_t (*matchesEntry)(std::string_view value, std::string_view entry) = nullptr;
    std::shared_ptr<FakeEngine> NewEngine();

    // Every send's result, as the module handed it over.
    std::vector<SendResult> results;

    // --- Recipient history ---
    // Records one send to `addresses` as the host does when a send leaves:
    // each address in its history form, each domain once.
    void RememberSend(const std::vector<std::string>& addresses);
    int64_t historySends = 0;
    std::set<std::string> historyAddresses;         // HistoryAddress
    std::map<std::string, int64_t> historyDomains;  // ComparedDomain: sends

    // --- Windows ---
    // The window system handed to the module; a test may replace it.
    std::unique_ptr<WindowSystem> windows;

    // Platform.
    std::unique_ptr<EngineHelper> NewEngineHelper() override;
    std::unique_ptr<EngineLogger> NewEngineLogger() override;
    std::unique_ptr<RegistryAccess> NewRegistryAccess() override;
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue) override;
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value) override;
    std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) override;
    std::string ReadTextFile(std::string_view path) override;
    std::string FetchUrl(std::string_view url, const FetchPolicy& policy) override;
    std::shared_ptr<MapiSession> CreateMailServerSession(std::string_view url,
                                                         const FetchPolicy& policy) override;
    WindowSystem& Windows() override;
    int64_t RecordedSends() override;
    std::vector<bool> KnownRecipients(const std::vector<std::string>& addresses) override;
    std::vector<bool> KnownDomains(const std::vector<std::string>& domains) override;
    std::vector<std::string> FamiliarDomainsLike(std::string_view domain) override;
    void SendChecked(const SendResult& result) override { results.push_back(result); }

  private:
    std::map<std::string, RuntimeError> failures_;
    std::map<std::string, int64_t> callsOf_;
    int64_t calls_ = 0;
    int64_t failAt_ = -1;
    std::string failedAtCall_;
    std::map<std::string, int64_t> failNthOf_;
};

// What every fake object the platform hands out holds: the platform that counts
// its calls and fails them on a test's switch.
class Faked {
  public:
    explicit Faked(FakePlatform& platform) : p_(platform) {}

  protected:
    FakePlatform& p_;
};

}  // namespace postwarden::fakes

// The mail client's objects, which every user of the platform needs too.
#include "tests/fakes/FakeMailClient.h"  // IWYU pragma: export
