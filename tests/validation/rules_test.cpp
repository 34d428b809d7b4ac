#include <gtest/gtest.h>

#include "platform/engine/Glob.h"
#include "settings/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

class DomainRulesTest : public ValidationTest {};

TEST_F(DomainRulesTest, StripQuotesRemovesOneEnclosingPairOnly) {
    struct Case {
        std::string text, expected;
    } cases[] = {
        {"'a@b.example'", "a@b.example"},
        {"''", ""},
        {"'a@b.example", "'a@b.example"},
        {"a@b.example'", "a@b.example'"},
        {"''x''", "'x'"},
        {"\"a@b.example\"", "\"a@b.example\""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(v.StripQuotes(c.text), c.expected) << c.text;
}

TEST_F(DomainRulesTest, GetSMTPDomainTakesEverythingAfterTheFirstAt) {
    EXPECT_EQ(v.GetSMTPDomain("jane@corp.example"), "corp.example");
    EXPECT_EQ(v.GetSMTPDomain("odd@one@corp.example"), "one@corp.example");
    EXPECT_EQ(v.GetSMTPDomain("trailing@"), "");
    EXPECT_TRUE(Events().empty());  // one without an @: AddressWithoutAtCountsAsOutside
}

TEST_F(DomainRulesTest, WithoutSeparatePromptsEveryOutsideRecipientIsComparedAndFlagged) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(v.CheckOutsideDomains(false, "x@elsewhere.example"));
    EXPECT_EQ(platform.CallsOf("MatchesEntry"), 3);
    EXPECT_TRUE(ThreadGlobals().OutsideDomainsViolated);
    EXPECT_EQ(Lines().back(), "CheckOutsideDomains|Domain found: False");
    // The list is read once and kept, even when the setting changes later.
    platform.SetSetting(keys::kListOfOutsideDomains, "elsewhere.example");
    EXPECT_TRUE(v.CheckOutsideDomains(false, "x@elsewhere.example"));
    EXPECT_EQ(Lines().back(), "CheckOutsideDomains|Domain found: False");
}

TEST_F(DomainRulesTest, AddressWithoutAtCountsAsOutside) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    EXPECT_TRUE(v.CheckOutsideDomains(false, "Undisclosed"));
    EXPECT_EQ(Events(), Lines_{"0||Error occurred fetching domain for SMTP: 'undisclosed'"});
    EXPECT_EQ(Lines("trace").front(), "CheckOutsideDomains|Looking at domain ''");
    EXPECT_TRUE(ThreadGlobals().OutsideDomainsViolated);
}

TEST_F(DomainRulesTest, OutsideRuleCountsOnlyOneAsAMatchWatchListAnyNonZero) {
    platform.matchesEntry = [](std::string_view, std::string_view) { return int32_t{2}; };
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.SetSetting(keys::kListOfEmailAddressesDomains, "corp.example");
    EXPECT_TRUE(v.CheckOutsideDomains(false, "jane@corp.example"));
    EXPECT_TRUE(v.CheckEmailAddressesDomains(false, "jane@corp.example"));
    EXPECT_TRUE(ThreadGlobals().OutsideDomainsViolated);
    EXPECT_TRUE(ThreadGlobals().EmailAddressesDomainsViolated);
}

TEST_F(DomainRulesTest, EmptyListsAreReportedOnEveryCallAndNeverFire) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(v.CheckOutsideDomains(true, "x@elsewhere.example"));
        EXPECT_TRUE(v.CheckEmailAddressesDomains(true, "x@elsewhere.example"));
        EXPECT_TRUE(v.CheckKeywords(true, "secret"));
    }
    const std::string outside =
        "1|Postwarden.CheckOutsideDomains|Error occurred: List of outside domains to check is "
        "empty.";
    const std::string watch =
        "1|Postwarden.CheckEmailAddressesDomains|Error occurred: List of email "
        "addresses/domains to check is empty.";
    const std::string keywords =
        "1|Postwarden.CheckKeywords|Error occurred: List of email keywords to check is empty.";
    EXPECT_EQ(Events(), (Lines_{outside, watch, keywords, outside, watch, keywords}));
    EXPECT_EQ(platform.CallsOf("GetSetting"), 6);
    EXPECT_TRUE(Lines("trace").empty());
    EXPECT_FALSE(ThreadGlobals().OutsideDomainsViolated);
    EXPECT_FALSE(ThreadGlobals().EmailAddressesDomainsViolated);
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
}

TEST_F(DomainRulesTest, LoneQuoteAddressFailsTheRuleWhichLetsTheSendGo) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.SetSetting(keys::kListOfEmailAddressesDomains, "corp.example");
    EXPECT_TRUE(v.CheckOutsideDomains(true, "'"));
    EXPECT_TRUE(v.CheckEmailAddressesDomains(true, "'"));
    EXPECT_EQ(Events(), (Lines_{
                            "1|Postwarden.CheckOutsideDomain|Error occurred at line 0.  Reason: "
                            "Invalid procedure call or argument",
                            "1|Postwarden.CheckEmailAddressesDomain|Error occurred at line 0.  "
                            "Reason: Invalid procedure call or argument",
                        }));
    EXPECT_FALSE(ThreadGlobals().OutsideDomainsViolated);
    EXPECT_FALSE(ThreadGlobals().EmailAddressesDomainsViolated);
}

TEST_F(DomainRulesTest, FailureOfTheListObjectIsReportedUnderTheRulesOwnSource) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.FailOn("Item");
    EXPECT_TRUE(v.CheckOutsideDomains(true, "jane@corp.example"));
    EXPECT_EQ(Events(), Lines_{"1|Postwarden.CheckOutsideDomain|Error occurred at line 0.  Reason: "
                               "Injected failure"});
}

// With the engine's own comparison, which ignores case.
class AddressSpellingTest : public ValidationTest {
  protected:
    void SetUp() override {
        platform.matchesEntry = [](std::string_view value, std::string_view entry) {
            return GlobMatch(value, entry) ? 1 : 0;
        };
    }
};

TEST_F(AddressSpellingTest, EverySpellingOfAMailboxGetsTheSameVerdictFromBothRules) {
    platform.SetSetting(keys::kListOfEmailAddressesDomains, "ceo@corp.example\r\nbücher.example");
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example\r\nxn--bcher-kva.example");
    const struct {
        const char* address;
        bool watched;
        bool outside;
    } cases[] = {
        {"ceo@corp.example", true, false},
        {"ceo@corp.example.", true, false},     // trailing dot
        {"\"ceo\"@corp.example", true, false},  // needless quotes
        {"ceo @corp.example", true, false},     // blank before the @
        {"ceo@ corp.example", true, false},     // and after it
        {"CEO@Corp.Example", true, false},
        {"x@xn--bcher-kva.example", true, false},  // the punycode of a listed domain
        {"x@BÜCHER.example.", true, false},
        {"\"c eo\"@corp.example", false, false},  // quotes that are needed stay
        {"\"ceo@corp.example\"@evil.example", false, true},
        {"ceo@corp.example.evil.example", false, true},
        {"someone@corp.example", false, false},
    };
    for (const auto& c : cases) {
        ThreadGlobals() = {};
        v.ClearPrompted();
        EXPECT_TRUE(v.CheckEmailAddressesDomains(false, c.address));
        EXPECT_TRUE(v.CheckOutsideDomains(false, c.address));
        EXPECT_EQ(ThreadGlobals().EmailAddressesDomainsViolated, c.watched) << c.address;
        EXPECT_EQ(ThreadGlobals().OutsideDomainsViolated, c.outside) << c.address;
    }
}

TEST_F(AddressSpellingTest, TracesKeepTheAddressAsWritten) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    EXPECT_TRUE(v.CheckOutsideDomains(false, "x@XN--BCHER-KVA.example."));
    EXPECT_EQ(Lines().front(), "CheckOutsideDomains|Looking at domain 'xn--bcher-kva.example.'");
}

}  // namespace
}  // namespace postwarden
