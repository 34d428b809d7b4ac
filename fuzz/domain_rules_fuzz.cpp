// A recipient's address against the two domain rules, with the engine
// library's real list splitting and matching: the input is the address, then
// the list text both rules use (and, from its last bytes, whether the rules ask
// at once and what the user answers). The rules must raise their flags exactly
// when their entries say so, write exactly their trace and error lines, ask at
// most once per send and answer "do not send" only after a No.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "module/CPostwarden.h"
#include "module/PlatformWrapper.h"
#include "module/SettingKeys.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/validation/ValidationAccess.h"
#include "util/AddressForm.h"
#include "util/DelimitedList.h"
#include "util/Glob.h"
#include "util/Text.h"
#include "validation/Globals.h"

namespace postwarden {
namespace {

// The fakes, except that lists are split by the engine library's own splitter.
class RealListPlatform final : public PlatformWrapper {
  public:
    explicit RealListPlatform(fakes::FakePlatform& fake) : PlatformWrapper(fake) {}
};

std::vector<std::string> Entries(const std::string& text) {
    DelimitedList list;
    list.SetText(text);
    std::vector<std::string> out;
    for (int32_t i = 1; i <= list.Count(); ++i) out.push_back(list.Item(i));
    return out;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

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

// The text inside one enclosing pair of single quotes, as the rules take it.
std::string Unquoted(const std::string& text) {
    return text.size() >= 2 && text.front() == '\'' && text.back() == '\''
               ? text.substr(1, text.size() - 2)
               : text;
}

// Addresses and entries are compared in the rules' one canonical form, and so
// are the domains and the mailbox an address routes the message on to
// (util/AddressForm, tested on its own); the traces show them as written.

// What both rules do before they compare: with an empty list they only report
// it; otherwise they take the domain, which may write an error line or fail.
// The domain, or nothing when the rule ends there.
std::optional<std::string> DomainOf(const std::string& address, const std::string& list,
                                    const char* emptySource, const char* emptyMessage,
                                    const char* failureSource, Expected& expected) {
    if (list.empty()) {
        expected.lines.push_back(Line("event", 1, emptySource, emptyMessage));
        return std::nullopt;
    }
    const std::string lower = LCase(address);
    if (lower == "'") {
        expected.lines.push_back(Line("event", 1, failureSource,
                                      "Error occurred at line 0.  Reason: Invalid procedure "
                                      "call or argument"));
        return std::nullopt;
    }
    const std::string stripped = lower.size() >= 2 && lower.front() == '\'' && lower.back() == '\''
                                     ? lower.substr(1, lower.size() - 2)
                                     : lower;
    const size_t at = stripped.find('@');
    if (at != std::string::npos) return stripped.substr(at + 1);
    expected.lines.push_back(
        Line("event", 0, "", "Error occurred fetching domain for SMTP: '" + stripped + "'"));
    return std::string();
}

Expected OutsideDomains(const std::string& address, const std::string& list) {
    Expected expected;
    const std::optional<std::string> domain =
        DomainOf(address, list, "Postwarden.CheckOutsideDomains",
                 "Error occurred: List of outside domains to check is empty.",
                 "Postwarden.CheckOutsideDomain", expected);
    if (!domain) return expected;
    const char* source = "CheckOutsideDomains";
    expected.lines.push_back(Line("trace", 0, source, "Looking at domain " + Quoted(*domain)));
    // Every domain must be one of the company's for the address to be inside.
    std::vector<std::string> outside = {
        postwarden::DomainOf(CanonicalAddress(Unquoted(LCase(address))))};
    for (const std::string& routed : RouteOf(Unquoted(LCase(address))).domains) {
        outside.push_back(routed);
    }
    bool found = false;
    for (const std::string& entry : Entries(list)) {
        expected.lines.push_back(Line("trace", 0, source, "Comparing with " + Quoted(entry)));
        std::erase_if(outside, [&](const std::string& domain) {
            return GlobMatch(domain, CanonicalAddress(entry));
        });
        if (outside.empty()) {
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
    const std::optional<std::string> domain =
        DomainOf(address, list, "Postwarden.CheckEmailAddressesDomains",
                 "Error occurred: List of email addresses/domains to check is empty.",
                 "Postwarden.CheckEmailAddressesDomain", expected);
    if (!domain) return expected;
    const char* source = "CheckEmailAddressesDomains";
    expected.lines.push_back(
        Line("trace", 0, source, "Looking at email address " + Quoted(address)));
    expected.lines.push_back(Line("trace", 0, source, "and domain " + Quoted(*domain)));
    std::vector<std::string> compared = {
        CanonicalAddress(Unquoted(address)),
        postwarden::DomainOf(CanonicalAddress(Unquoted(LCase(address))))};
    const Route route = RouteOf(Unquoted(address));
    for (const std::string& domain : route.domains) {
        compared.push_back(domain);
        compared.push_back(route.user + "@" + domain);
    }
    for (const std::string& entry : Entries(list)) {
        expected.lines.push_back(Line("trace", 0, source, "Comparing with " + Quoted(entry)));
        const std::string comparedEntry = CanonicalAddress(entry);
        expected.flag = std::any_of(compared.begin(), compared.end(), [&](const std::string& c) {
            return GlobMatch(c, comparedEntry);
        });
        if (expected.flag) break;
    }
    return expected;
}

// One rule's call, then four more for the same send: the lines written must be
// the ones expected (a shown prompt may add its own after them), and once the
// rule has asked, the later calls do nothing at all.
template <typename Rule>
void CheckRule(fakes::FakePlatform& fake, const ScriptedWindowSystem& windows,
               const Expected& expected, bool separate, bool answerYes, bool& violated, Rule rule) {
    fake.log.clear();
    violated = false;
    const size_t shownBefore = windows.shown().size();
    const bool result = rule();
    const bool asked = windows.shown().size() > shownBefore;
    FUZZ_CHECK(asked == (separate && expected.flag));
    FUZZ_CHECK(windows.shown().size() <= shownBefore + 1);
    FUZZ_CHECK(result == (!asked || answerYes));
    FUZZ_CHECK(violated == expected.flag);
    const std::vector<std::string> lines = Lines(fake);
    FUZZ_CHECK(lines.size() >= expected.lines.size());
    FUZZ_CHECK(std::equal(expected.lines.begin(), expected.lines.end(), lines.begin()));
    if (!asked) FUZZ_CHECK(lines.size() == expected.lines.size());

    const size_t linesAfterFirst = fake.log.size();
    for (int i = 0; i < 4; ++i) {
        FUZZ_CHECK(rule());
        if (asked) FUZZ_CHECK(fake.log.size() == linesAfterFirst);
    }
    FUZZ_CHECK(windows.shown().size() == shownBefore + (asked ? 1 : 0));
}

}  // namespace
}  // namespace postwarden

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace postwarden;
    FuzzedDataProvider provider(data, size);
    const bool separate = provider.ConsumeBool();
    const bool answerYes = provider.ConsumeBool();
    const std::string address = provider.ConsumeRandomLengthString(size);
    const std::string list = provider.ConsumeRemainingBytesAsString();

    fakes::FakePlatform fake;
    fake.matchesEntry = [](std::string_view value, std::string_view entry) -> int32_t {
        return GlobMatch(value, entry) ? 1 : 0;
    };
    auto scripted =
        std::make_unique<ScriptedWindowSystem>(std::vector<ScriptedWindowSystem::Answer>{
            answerYes ? ScriptedWindowSystem::Answer::kYes : ScriptedWindowSystem::Answer::kNo});
    const ScriptedWindowSystem& windows = *scripted;
    fake.windows = std::move(scripted);
    fake.SetSetting(keys::kListOfOutsideDomains, list);
    fake.SetSetting(keys::kListOfEmailAddressesDomains, list);
    RealListPlatform platform(fake);
    CPostwarden module(platform);
    std::shared_ptr<Engine> engine = fake.NewEngine();
    module.YSStartup(engine);
    ValidationAccess v(module);

    // The two helpers on their own.
    if (address == "'") {
        FUZZ_CHECK(fuzz::ThrowsRuntimeError([&] { v.StripQuotes(address); }));
    } else {
        const std::string stripped = v.StripQuotes(address);
        const bool quoted =
            address.size() >= 2 && address.front() == '\'' && address.back() == '\'';
        FUZZ_CHECK(stripped == (quoted ? address.substr(1, address.size() - 2) : address));
    }
    fake.log.clear();
    const std::string domain = v.GetSMTPDomain(address);
    const size_t at = address.find('@');
    FUZZ_CHECK(domain == (at == std::string::npos ? "" : address.substr(at + 1)));
    FUZZ_CHECK(fake.log.size() == (at == std::string::npos ? 1u : 0u));

    ThreadGlobals() = Globals{};
    v.ClearPrompted();
    CheckRule(fake, windows, OutsideDomains(address, list), separate, answerYes,
              ThreadGlobals().OutsideDomainsViolated,
              [&] { return v.CheckOutsideDomains(separate, address); });
    CheckRule(fake, windows, WatchList(address, list), separate, answerYes,
              ThreadGlobals().EmailAddressesDomainsViolated,
              [&] { return v.CheckEmailAddressesDomains(separate, address); });
    FUZZ_CHECK(!ThreadGlobals().KeywordsViolated && !ThreadGlobals().AnySendViolated);
    return 0;
}
