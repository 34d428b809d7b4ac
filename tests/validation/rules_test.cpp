// The rules one by one: the domain rules, the keyword rule and its search, and
// the rules on the message as a whole.
#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <functional>
#include <random>

#include "module/SettingKeys.h"
#include "tests/engine/GlobReference.h"
#include "tests/validation/ValidationFixture.h"
#include "util/AddressForm.h"
#include "util/Glob.h"
#include "util/KeywordSearch.h"

namespace postwarden {
namespace {

using testing::Utf8;

class DomainRulesTest : public ValidationTest {};

TEST_F(DomainRulesTest, StripQuotesRemovesOneEnclosingPairOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"'a@b.example'", "a@b.example"},
        {"''", ""},
        {"'a@b.example", "'a@b.example"},
        {"a@b.example'", "a@b.example'"},
        {"''x''", "'x'"},
        {"\"a@b.example\"", "\"a@b.example\""},
        {"", ""},
    };
    for (const auto& [text, stripped] : cases) EXPECT_EQ(v.StripQuotes(text), stripped) << text;
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

TEST_F(DomainRulesTest, TheDomainIsAllAfterTheFirstAtAndWithoutAnAtItIsOutside) {
    EXPECT_EQ(v.GetSMTPDomain("jane@corp.example"), "corp.example");
    EXPECT_EQ(v.GetSMTPDomain("odd@one@corp.example"), "one@corp.example");
    EXPECT_EQ(v.GetSMTPDomain("trailing@"), "");
    EXPECT_TRUE(Events().empty());
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
    const auto empty = [](const std::string& rule, const std::string& list) {
        return "1|Postwarden." + rule + "|Error occurred: List of " + list + " to check is empty.";
    };
    const std::string outside = empty("CheckOutsideDomains", "outside domains");
    const std::string watch = empty("CheckEmailAddressesDomains", "email addresses/domains");
    const std::string keywords = empty("CheckKeywords", "email keywords");
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
    const std::string failed =
        "|Error occurred at line 0.  Reason: Invalid procedure call or argument";
    EXPECT_EQ(Events(), (Lines_{"1|Postwarden.CheckOutsideDomain" + failed,
                                "1|Postwarden.CheckEmailAddressesDomain" + failed}));
    EXPECT_FALSE(ThreadGlobals().OutsideDomainsViolated);
    EXPECT_FALSE(ThreadGlobals().EmailAddressesDomainsViolated);
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
    platform.SetSetting(keys::kListOfEmailAddressesDomains,
                        "ceo@corp.example\r\nbücher.example\r\nrival.example");
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
        {"\tceo@corp.example ", true, false},   // tabs are blanks too
        {"ceo@corp.example\r", false, true},    // a line end is not
        {"CEO@Corp.Example", true, false},
        {"x@xn--bcher-kva.example", true, false},  // the punycode of a listed domain
        {"x@BÜCHER.example.", true, false},
        {"\"c eo\"@corp.example", false, false},  // quotes that are needed stay
        {"ceo@corp.example.evil.example", false, true},
        {"someone@corp.example", false, false},
        {"a@corp.example@rival.example", true, true},  // the last "@" separates
        // Routed on by the server of the domain written: to the domain named
        // after a "%" or a quoted "@", or before a "!".
        {"boss%rival.example@corp.example", true, true},
        {"boss%corp.example@corp.example", false, false},
        {"a%rival.example%corp.example@corp.example", true, true},
        {"a%corp.example%rival.example@corp.example", true, true},
        {"x%xn--bcher-kva.example@corp.example", true, false},
        {"\"ceo@corp.example\"@evil.example", true, true},  // the mailbox it reaches
        {"ceo%corp.example@evil.example", true, true},
        {"\"x@rival.example\"@corp.example", true, true},
        {"rival.example!boss", true, true},
        {"corp.example!rival.example!boss@corp.example", true, true},
        {"rival.example!boss@corp.example", true, true},
        {"corp.example!boss@corp.example", false, false},
        {"@rival.example:boss@corp.example", true, true},
    };
    for (const auto& c : cases) {
        ThreadGlobals() = {};
        v.ClearPrompted();
        EXPECT_TRUE(v.CheckEmailAddressesDomains(false, c.address));
        EXPECT_TRUE(v.CheckOutsideDomains(false, c.address));
        EXPECT_EQ(ThreadGlobals().EmailAddressesDomainsViolated, c.watched) << c.address;
        EXPECT_EQ(ThreadGlobals().OutsideDomainsViolated, c.outside) << c.address;
    }
    // Compared in one form, traced as written.
    platform.log.clear();
    EXPECT_TRUE(v.CheckOutsideDomains(false, "x@XN--BCHER-KVA.example."));
    EXPECT_EQ(Lines().front(), "CheckOutsideDomains|Looking at domain 'xn--bcher-kva.example.'");
    // A routed address is traced as written too (after its first "@"), and
    // named by the domain outside.
    platform.log.clear();
    ThreadEvidence() = {};
    EXPECT_TRUE(v.CheckOutsideDomains(false, "\"boss%Rival.example\"@corp.example"));
    EXPECT_EQ(Lines(), (Lines_{"CheckOutsideDomains|Looking at domain 'corp.example'",
                               "CheckOutsideDomains|Comparing with 'corp.example'",
                               "CheckOutsideDomains|Comparing with 'xn--bcher-kva.example'",
                               "CheckOutsideDomains|Domain found: False"}));
    ASSERT_EQ(ThreadEvidence().outside.listed.size(), 1u);
    EXPECT_EQ(ThreadEvidence().outside.listed[0].matched, "rival.example");
}

// Where a server that reads the local part as a route sends the message on.
TEST(AddressFormTest, RouteOfNamesEveryHostOnTheWayAndTheMailboxAtItsEnd) {
    const struct {
        const char* address;
        const char* user;
        std::vector<std::string> domains;
    } cases[] = {
        {"a%b.example%c.example@corp", "a", {"b.example", "c.example"}},
        {"x!y!z", "z", {"x", "y"}},
        {"rival.example!boss@corp.example", "boss", {"rival.example"}},
        {"\"x@evil.example\"@corp.example", "x", {"evil.example"}},
        {"\"x\\@evil.example\"@corp.example", "x", {"evil.example"}},
        {"\"c eo%XN--BCHER-KVA.example.\"@corp", "\"c eo\"", {"bücher.example"}},
        {"@a.example,@b.example:u@c.example", "u", {"a.example", "b.example"}},
        {"a%%b%b%@c", "a", {"b"}},
        {"a!b%c@d", "b", {"a", "c"}},
        {"first.last@corp.example", "", {}},
        {"\"Last, First\"@corp.example", "", {}},
        {"Undisclosed", "", {}},
    };
    for (const auto& c : cases) {
        const Route route = RouteOf(c.address);
        EXPECT_EQ(route.user, c.user) << c.address;
        EXPECT_EQ(route.domains, c.domains) << c.address;
    }
}

class MessageRulesTest : public ValidationTest {};

// A rule that fires with separate prompts asks its stored question, or its own
// when none is stored; a No stops the send. The rules that look at each
// recipient or text ask once per send, and stop looking once they have asked.
TEST_F(MessageRulesTest, EachRuleAsksItsQuestionAndANoStopsTheSend) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.SetSetting(keys::kListOfEmailAddressesDomains, "rival.example");
    platform.SetSetting(keys::kListOfKeywords, "secret");
    const struct {
        const char* question;  // the key of the stored question
        std::function<bool()> check;
        bool Globals::*flag;
        const char* fallback;
        bool oncePerSend;
    } rules[] = {
        {keys::kMessageForOutsideDomains,
         [&] { return v.CheckOutsideDomains(true, "spy@rival.example"); },
         &Globals::OutsideDomainsViolated,
         "Are you sure you want to send this email outside the company?", true},
        {keys::kMessageForEmailAddressesDomains,
         [&] { return v.CheckEmailAddressesDomains(true, "spy@rival.example"); },
         &Globals::EmailAddressesDomainsViolated,
         "Are you sure you want to send an email to these addresses?", true},
        {keys::kMessageForKeywords, [&] { return v.CheckKeywords(true, "Secret plan"); },
         &Globals::KeywordsViolated,
         "Are you sure you want to send this email with these keywords?", true},
        {keys::kMessageForNumberOfRecipients, [&] { return v.CheckNumberOfRecipients(true, 21); },
         &Globals::NumberOfRecipientsViolated,
         "Are you sure you want to send this email to all these people?", false},
        {keys::kMessageForBlankSubject, [&] { return v.CheckBlankSubject(true, " "); },
         &Globals::BlankSubjectViolated,
         "Are you sure you want to send this email with a blank subject?", false},
        {keys::kMessageForAnySend, [&] { return v.CheckAnySend(true); }, &Globals::AnySendViolated,
         "Are you sure you want to send this email?", false},
    };
    for (const auto& r : rules) {
        for (const bool stored : {false, true}) {
            SCOPED_TRACE(std::string(r.question) + (stored ? " stored" : " fallback"));
            if (stored) platform.SetSetting(r.question, "Stored?");
            Answers({kNo});
            ThreadGlobals() = Globals{};
            v.ClearPrompted();
            EXPECT_FALSE(r.check());
            EXPECT_TRUE(ThreadGlobals().*r.flag);
            const size_t logged = platform.log.size();
            EXPECT_EQ(r.check(), r.oncePerSend);
            if (r.oncePerSend) {
                EXPECT_EQ(platform.log.size(), logged);
            }
            ASSERT_EQ(Shown().size(), r.oncePerSend ? 1u : 2u);
            EXPECT_EQ(Shown()[0].form, "frmSimpleYesNoPrompt");
            EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption,
                      stored ? "Stored?" : r.fallback);
        }
    }
    EXPECT_TRUE(Events().empty());
}

TEST_F(MessageRulesTest, RecipientCountFiresAboveTheLimitOnly) {
    struct Case {
        const char* stored;  // nullptr: the setting is missing
        int32_t count;
        bool fires;
    } cases[] = {
        {nullptr, 20, false}, {nullptr, 21, true}, {"0", 0, false}, {"0", 1, true},
        {" 5 ", 5, false},    {"5", 6, true},      {"-1", 0, true},
    };
    for (const Case& c : cases) {
        if (c.stored) {
            platform.SetSetting(keys::kMaxNumberOfRecipients, c.stored);
        } else {
            platform.RemoveSetting(keys::kMaxNumberOfRecipients);
        }
        ThreadGlobals() = Globals{};
        EXPECT_TRUE(v.CheckNumberOfRecipients(false, c.count));
        EXPECT_EQ(ThreadGlobals().NumberOfRecipientsViolated, c.fires)
            << (c.stored ? c.stored : "missing") << " vs " << c.count;
    }
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(Lines().back(),
              "CheckNumberOfRecipients|Comparing recipient counts (user vs email): -1 vs 0");
}

TEST_F(MessageRulesTest, NonNumericLimitIsAFailureThatLetsTheSendGo) {
    for (const char* stored : {"twenty", ""}) {
        platform.log.clear();
        platform.SetSetting(keys::kMaxNumberOfRecipients, stored);
        EXPECT_TRUE(v.CheckNumberOfRecipients(true, 100));
        EXPECT_EQ(
            Events(),
            Lines_{"1|Postwarden.CheckNumberOfRecipients|Error occurred.  Reason: Type mismatch"});
        EXPECT_FALSE(ThreadGlobals().NumberOfRecipientsViolated);
    }
}

TEST_F(MessageRulesTest, OnlySpacesMakeASubjectBlank) {
    const std::pair<std::string, bool> cases[] = {
        {"", true}, {"   ", true}, {"\t", false}, {" a ", false}, {"\xC2\xA0", false}};
    for (const auto& [subject, blank] : cases) {
        ThreadGlobals() = Globals{};
        EXPECT_TRUE(v.CheckBlankSubject(false, subject));
        EXPECT_EQ(ThreadGlobals().BlankSubjectViolated, blank) << "'" << subject << "'";
    }
    EXPECT_TRUE(platform.log.empty());
}

// A manual-modal wait (no explorers) shows the window modeless; with explorers
// open the editor decides, and Word's waits modeless too.
TEST_F(MessageRulesTest, AnySendTracesUnderTheDriversNameAndWaitsAsExplorersAndEditorSay) {
    Answers({kNo, kYes});
    engine->application->explorers = 0;
    EXPECT_FALSE(v.CheckAnySend(true));
    EXPECT_EQ(Lines(), (Lines_{"ProcessItem|UsingWordAsEmailEditor: False",
                               "ProcessItem|NoExplorersPresent: -1"}));
    engine->application->explorers = 2;
    platform.log.clear();
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Lines(), (Lines_{"ProcessItem|UsingWordAsEmailEditor: False",
                               "ProcessItem|NoExplorersPresent: 0"}));
    v.SetUsingWordAsEmailEditor(true);
    platform.log.clear();
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Lines().front(), "ProcessItem|UsingWordAsEmailEditor: True");
    ASSERT_EQ(Shown().size(), 3u);
    EXPECT_FALSE(Shown()[0].modal);
    EXPECT_TRUE(Shown()[1].modal);
    EXPECT_FALSE(Shown()[2].modal);
    // A failure leaves the flag unset.
    ThreadGlobals() = Globals{};
    platform.FailOn("Application.Explorers");
    platform.log.clear();
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Events(),
              Lines_{"1|Postwarden.CheckAnySend|Error occurred.  Reason: Injected failure"});
    EXPECT_FALSE(ThreadGlobals().AnySendViolated);
}

// What the searcher must agree with: each keyword in turn, looked for in the
// folded text.
size_t FirstOccurringOneByOne(const std::vector<std::string>& keywords, const std::string& text) {
    const std::string folded = FoldCase(text);
    for (size_t k = 0; k < keywords.size(); ++k) {
        const std::string keyword = FoldCase(keywords[k]);
        if (keyword.empty() ? !text.empty() : folded.find(keyword) != std::string::npos) return k;
    }
    return KeywordSearch::npos;
}

// The soft hyphen and the zero-width characters fold to nothing.
TEST(FoldCaseTest, AgreesWithIcuOnEveryCodePointUpToU0800AndKeepsBrokenBytes) {
    EXPECT_EQ(FoldCase("A\xC3(B\xFF"), "a\xC3(b\xFF");
    EXPECT_EQ(FoldCase("\xEF\xBB\xBF"
                       "Con\xE2\x80\x8B\xE2\x80\x8C\xE2\x80\x8D"
                       "fi\xE2\x81\xA0"
                       "dential"),
              "confidential");
    for (UChar32 c = 0; c < 0x800; ++c) {
        ASSERT_EQ(FoldCase(Utf8(c) + "x"),
                  (c == 0xAD ? "" : Utf8(u_foldCase(c, U_FOLD_CASE_DEFAULT))) + "x")
            << std::hex << c;
    }
}

// The scan folds a two-byte letter by a table of its own, not by the full fold:
// every one must be found as the full fold finds it, also those that fold to
// one byte ("ſ" to "s") or to three ("Ⱥ" to "ⱥ"), and those whose fold is
// in no keyword.
TEST(KeywordSearchTest, FoldsEveryTwoByteLetterAsTheFullFoldDoes) {
    std::vector<std::string> keywords;
    for (UChar32 c = 0x80; c < 0x800; c += 2)
        keywords.push_back("<" + Utf8(u_foldCase(c, U_FOLD_CASE_DEFAULT)) + ">");
    const KeywordSearch search(keywords);
    for (UChar32 c = 0x80; c < 0x800; ++c) {
        const std::string text = "a<" + Utf8(c) + ">Z";
        const size_t expected = FirstOccurringOneByOne(keywords, text);
        ASSERT_EQ(search.FirstOccurring(text), expected) << std::hex << c;
        if (c % 2 == 0) {
            ASSERT_NE(expected, KeywordSearch::npos) << std::hex << c;
        }
    }
    EXPECT_EQ(KeywordSearch({"x", "sk"}).FirstOccurring("\xC5\xBF\xE2\x84\xAA"), 1u);  // ſK
    EXPECT_EQ(KeywordSearch({"\xE2\xB1\xA5!"}).FirstOccurring("\xC8\xBA!"), 0u);       // Ⱥ!
}

// List order spelled out, and what the random input below cannot make: a long
// keyword with capitals beyond ASCII, and a letter with no one-letter fold.
TEST(KeywordSearchTest, FindsTheFirstKeywordInListOrder) {
    struct Case {
        std::vector<std::string> keywords;
        std::string text;
        size_t expected;
    } cases[] = {
        {{"geschäftsgeheimnis"}, "Betreff: GESCHÄFTSGEHEIMNIS", 0},
        {{"absent", "plan", "top"}, "the TopSecretPlan", 1},
        {{"ß"}, "STRASSE", KeywordSearch::npos},
        // What shows as nothing inside a word is not there, in the text or the
        // keyword; a keyword of nothing else is as an empty one.
        {{"absent", "confidential"}, "CON\u00ADFI\u200BDEN\u200C\u200DTIAL\u2060", 1},
        {{"se\u00ADcret", "\uFEFF"}, "the secret", 0},
        {{"\u00AD\u200B"}, "x", 0},
        {{"con fidential", "con-fidential"}, "confidential", KeywordSearch::npos},
    };
    for (const Case& c : cases) {
        KeywordSearch search(c.keywords);
        EXPECT_EQ(search.FirstOccurring(c.text), c.expected) << c.text;
        EXPECT_EQ(FirstOccurringOneByOne(c.keywords, c.text), c.expected) << c.text;
    }
}

// Random lists and texts over a small alphabet, so that keywords overlap, share
// prefixes and suffixes, repeat, and meet capitals, multi-byte letters and
// broken UTF-8.
TEST(KeywordSearchTest, AgreesWithTheOneByOneSearchOnRandomInput) {
    const std::vector<std::string> alphabet = {
        "a",    "b",      "A",     "B",    "ä",    "Ä", "σ",
        "Σ",    "ς",      " ",     "\xC3", "\x80", "K", "\xE2\x84\xAA",
        "\xC0", "\u00AD", "\u200B"};
    std::mt19937 random(20261206);
    auto word = [&](size_t maxLength) {
        std::string out;
        const size_t length = random() % (maxLength + 1);
        for (size_t i = 0; i < length; ++i) out += alphabet[random() % alphabet.size()];
        return out;
    };
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> keywords(random() % 8);
        for (std::string& k : keywords) k = word(4);
        KeywordSearch search(keywords);
        KeywordSearch plain(keywords, 0);
        for (int t = 0; t < 5; ++t) {
            const std::string text = word(30);
            const size_t expected = FirstOccurringOneByOne(keywords, text);
            ASSERT_EQ(search.FirstOccurring(text), expected) << "round " << round;
            ASSERT_EQ(plain.FirstOccurring(text), expected) << "round " << round;
        }
    }
}

// Long texts are walked in several stretches side by side: an occurrence must be
// found wherever it lies relative to the cuts, also where text without ASCII
// moves them or leaves none to make, and where soft hyphens and zero-width
// spaces inside it make it far longer than the keyword.
TEST(KeywordSearchTest, FindsOccurrencesAcrossTheStretchesOfALongText) {
    std::mt19937 random(4711);
    const std::vector<std::string> fillers[] = {{"x", "y", " ", "ü", "Ü"}, {"ü", "σ"}, {"ü", " "}};
    std::string spread = "ab";
    for (int i = 0; i < 100; ++i) spread += "\u200B\u00AD";
    // Kelvin sign, Ü, Σ, z, q; and z between Kelvin signs, whose three bytes fold to one.
    for (const auto& [keyword, planted] : std::vector<std::pair<std::string, std::string>>{
             {"\xE2\x84\xAA\xC3\x9C\xCE\xA3zq", "\xE2\x84\xAA\xC3\x9C\xCE\xA3zq"},
             {"\xE2\x84\xAAz\xE2\x84\xAA\xE2\x84\xAA\xE2\x84\xAA\xE2\x84\xAA",
              "\xE2\x84\xAAz\xE2\x84\xAA\xE2\x84\xAA\xE2\x84\xAA\xE2\x84\xAA"},
             {"abcd", spread + "c\u00ADd"}}) {
        // "\x9C" ends "Ü" but never its fold: only a walk that starts inside a
        // letter sees it.
        const std::vector<std::string> keywords = {"zzq", "üx σ", "\x9C", keyword, "never"};
        for (const auto& filler : fillers) {
            std::string base;
            while (base.size() < 40000) base += filler[random() % filler.size()];
            for (size_t quarter = 1; quarter <= 3; ++quarter) {
                for (int offset = -40; offset <= 40; offset += 3) {
                    std::string text = base;
                    size_t at = quarter * text.size() / 4 + offset;
                    while ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
                    text.insert(at, planted);
                    const size_t found = KeywordSearch(keywords).FirstOccurring(text);
                    ASSERT_EQ(found, FirstOccurringOneByOne(keywords, text))
                        << quarter << " " << offset;
                    ASSERT_EQ(found, 3u) << quarter << " " << offset;
                }
            }
            EXPECT_EQ(KeywordSearch(keywords).FirstOccurring(base), KeywordSearch::npos);
        }
    }
}

class KeywordRuleTest : public ValidationTest {
  protected:
    // The (value, entry) pairs put to MatchesEntry, and which entries match.
    static inline std::vector<std::string> asked;
    static inline std::string matchingEntry;
    void SetUp() override {
        ValidationTest::SetUp();
        asked.clear();
        matchingEntry = "(no entry matches)";
        platform.matchesEntry = [](std::string_view value, std::string_view entry) {
            asked.push_back(std::string(value) + "|" + std::string(entry));
            return int32_t{entry == matchingEntry ? 1 : 0};
        };
    }
};

// The engine is asked about the keywords in list order, only about those before
// the first the search finds, and its match alone fires the rule too. An empty
// entry is in every text but the empty one.
TEST_F(KeywordRuleTest, AsksTheEngineAboutTheKeywordsBeforeTheFirstFound) {
    const struct {
        const char* list;
        const char* matching;  // the entry the engine matches, "-" none
        const char* text;
        Lines_ asked;  // as "text|entry"
        bool fires;
    } cases[] = {
        {"alpha\r\nbeta\r\nGAMMA\r\ndelta",
         "-",
         "gamma+delta",
         {"gamma+delta|alpha", "gamma+delta|beta"},
         true},
        {"alpha\r\nbeta\r\nGAMMA", "-", "none", {"none|alpha", "none|beta", "none|GAMMA"}, false},
        {"alpha\r\n*ray*\r\ngamma", "*ray*", "x-ray", {"x-ray|alpha", "x-ray|*ray*"}, true},
        {"secret\r\n", "-", "", {"|secret"}, false},
        // Found as a reader sees it, without asking the engine.
        {"confidential", "-", "CON\u00ADFIDEN\u200BTIAL", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        platform.SetSetting(keys::kListOfKeywords, c.list);
        CPostwarden fresh(platform);  // a module reads the list once
        std::shared_ptr<Engine> e = engine;
        fresh.YSStartup(e);
        asked.clear();
        matchingEntry = c.matching;
        ThreadGlobals() = Globals{};
        EXPECT_TRUE(ValidationAccess(fresh).CheckKeywords(false, c.text));
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(ThreadGlobals().KeywordsViolated, c.fires);
    }
    EXPECT_TRUE(Lines().empty());
}

TEST_F(KeywordRuleTest, KeepsTheListItReadFirst) {
    platform.SetSetting(keys::kListOfKeywords, "alpha");
    EXPECT_TRUE(v.CheckKeywords(false, "beta"));
    platform.SetSetting(keys::kListOfKeywords, "beta");
    EXPECT_TRUE(v.CheckKeywords(false, "beta"));
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
    EXPECT_EQ(platform.CallsOf("GetSetting"), 1);
}

}  // namespace
}  // namespace postwarden
