// A recipient's address against the two domain rules, with the engine
// library's real list splitting and matching: the input is the address, then
// the list text both rules use. The rules must answer "send" (no prompt is
// wanted here), raise their flags exactly when their entries say so, and write
// exactly their trace and error lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "module/CPostwarden.h"
#include "module/Text.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/Glob.h"
#include "settings/SettingKeys.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/validation/ValidationAccess.h"
#include "validation/Globals.h"

namespace postwarden {
namespace {

// The fakes, except that lists are split by the engine library's own splitter.
class RealListPlatform final : public Platform {
  public:
    explicit RealListPlatform(fakes::FakePlatform& fake) : fake_(fake) {}
    std::unique_ptr<EngineHelper> NewEngineHelper() override { return fake_.NewEngineHelper(); }
    std::unique_ptr<EngineLogger> NewEngineLogger() override { return fake_.NewEngineLogger(); }
    std::unique_ptr<DelimitedList> NewDelimitedList() override {
        return std::make_unique<SplitDelimitedList>();
    }
    std::unique_ptr<RegistryAccess> NewRegistryAccess() override {
        return fake_.NewRegistryAccess();
    }
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue) override {
        return fake_.GetSetting(app, section, key, defaultValue);
    }
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value) override {
        fake_.SaveSetting(app, section, key, value);
    }
    std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) override {
        return fake_.CreateMapiSession(progId);
    }
    std::string ReadTextFile(std::string_view path) override { return fake_.ReadTextFile(path); }
    WindowSystem& Windows() override { return fake_.Windows(); }

  private:
    fakes::FakePlatform& fake_;
};

std::vector<std::string> Entries(const std::string& text) {
    SplitDelimitedList list;
    list.SetText(text);
    std::vector<std::string> out;
    for (int32_t i = 1; i <= list.Count(); ++i) out.push_back(list.Item(i));
    return out;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

struct Expected {
    std::vector<std::string> lines;  // "KIND|LEVEL|SOURCE|MESSAGE"
    bool flag = false;
};

std::string Line(const char* kind, int level, const std::string& source,
                 const std::string& message) {
    return std::string(kind) + "|" + std::to_string(level) + "|" + source + "|" + message;
}

std::vector<std::string> Lines(const fakes::FakePlatform& platform) {
    std::vector<std::string> out;
    for (const fakes::LogLine& line : platform.log) {
        out.push_back(Line(line.kind.c_str(), line.level, line.source, line.message));
    }
    return out;
}

// The domain the rules compare, and the error line taking it may write.
bool DomainOf(const std::string& address, std::string& domain, Expected& expected,
              const char* failureSource) {
    const std::string lower = LCase(address);
    if (lower == "'") {
        expected.lines.push_back(Line("event", 1, failureSource,
                                      "Error occurred at line 0.  Reason: Invalid procedure "
                                      "call or argument"));
        return false;
    }
    const std::string stripped = lower.size() >= 2 && lower.front() == '\'' &&
                                         lower.back() == '\''
                                     ? lower.substr(1, lower.size() - 2)
                                     : lower;
    const size_t at = stripped.find('@');
    if (at == std::string::npos) {
        expected.lines.push_back(
            Line("event", 0, "", "Error occurred fetching domain for SMTP: '" + stripped + "'"));
        domain.clear();
    } else {
        domain = stripped.substr(at + 1);
    }
    return true;
}

Expected OutsideDomains(const std::string& address, const std::string& list) {
    Expected expected;
    if (list.empty()) {
        expected.lines.push_back(Line("event", 1, "Postwarden.CheckOutsideDomains",
                                      "Error occurred: List of outside domains to check is "
                                      "empty."));
        return expected;
    }
    std::string domain;
    if (!DomainOf(address, domain, expected, "Postwarden.CheckOutsideDomain")) return expected;
    const char* source = "CheckOutsideDomains";
    expected.lines.push_back(Line("trace", 0, source, "Looking at domain " + Quoted(domain)));
    bool found = false;
    for (const std::string& entry : Entries(list)) {
        expected.lines.push_back(Line("trace", 0, source, "Comparing with " + Quoted(entry)));
        if (GlobMatch(domain, entry)) {
            found = true;
            break;
        }
    }
    expected.lines.push_back(
        Line("trace", 0, source, std::string("Domain found: ") + (found ? "True" : "False")));
    expected.flag = !found;
    return expected;
}

Expected WatchList(const std::string& address, const std::string& list) {
    Expected expected;
    if (list.empty()) {
        expected.lines.push_back(Line("event", 1, "Postwarden.CheckEmailAddressesDomains",
                                      "Error occurred: List of email addresses/domains to "
                                      "check is empty."));
        return expected;
    }
    std::string domain;
    if (!DomainOf(address, domain, expected, "Postwarden.CheckEmailAddressesDomain")) {
        return expected;
    }
    const char* source = "CheckEmailAddressesDomains";
    expected.lines.push_back(
        Line("trace", 0, source, "Looking at email address " + Quoted(address)));
    expected.lines.push_back(Line("trace", 0, source, "and domain " + Quoted(domain)));
    for (const std::string& entry : Entries(list)) {
        expected.lines.push_back(Line("trace", 0, source, "Comparing with " + Quoted(entry)));
        if (GlobMatch(domain, entry) || GlobMatch(address, entry)) {
            expected.flag = true;
            break;
        }
    }
    return expected;
}

}  // namespace
}  // namespace postwarden

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace postwarden;
    FuzzedDataProvider provider(data, size);
    const std::string address = provider.ConsumeRandomLengthString(size);
    const std::string list = provider.ConsumeRemainingBytesAsString();

    fakes::FakePlatform fake;
    fake.matchesEntry = [](std::string_view value, std::string_view entry) -> int32_t {
        return GlobMatch(value, entry) ? 1 : 0;
    };
    fake.SetSetting(keys::kListOfOutsideDomains, list);
    fake.SetSetting(keys::kListOfEmailAddressesDomains, list);
    RealListPlatform platform(fake);
    CPostwarden module(platform);
    std::shared_ptr<Engine> engine = fake.NewEngine();
    module.YSStartup(engine);
    ValidationAccess v(module);

    // The two helpers on their own.
    if (address == "'") {
        bool threw = false;
        try {
            v.StripQuotes(address);
        } catch (const RuntimeError&) {
            threw = true;
        }
        FUZZ_CHECK(threw);
    } else {
        const std::string stripped = v.StripQuotes(address);
        const bool quoted = address.size() >= 2 && address.front() == '\'' &&
                            address.back() == '\'';
        FUZZ_CHECK(stripped == (quoted ? address.substr(1, address.size() - 2) : address));
    }
    fake.log.clear();
    const std::string domain = v.GetSMTPDomain(address);
    const size_t at = address.find('@');
    FUZZ_CHECK(domain == (at == std::string::npos ? "" : address.substr(at + 1)));
    FUZZ_CHECK(fake.log.size() == (at == std::string::npos ? 1u : 0u));

    fake.log.clear();
    ThreadGlobals() = Globals{};
    const Expected outside = OutsideDomains(address, list);
    FUZZ_CHECK(v.CheckOutsideDomains(false, address));
    FUZZ_CHECK(Lines(fake) == outside.lines);
    FUZZ_CHECK(ThreadGlobals().OutsideDomainsViolated == outside.flag);

    fake.log.clear();
    const Expected watched = WatchList(address, list);
    FUZZ_CHECK(v.CheckEmailAddressesDomains(false, address));
    FUZZ_CHECK(Lines(fake) == watched.lines);
    FUZZ_CHECK(ThreadGlobals().EmailAddressesDomainsViolated == watched.flag);
    FUZZ_CHECK(!ThreadGlobals().KeywordsViolated && !ThreadGlobals().AnySendViolated);
    return 0;
}
