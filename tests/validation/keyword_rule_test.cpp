#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <random>

#include "settings/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"
#include "validation/KeywordSearch.h"

namespace postwarden {
namespace {

using Lines_ = std::vector<std::string>;

// What the searcher must agree with: each keyword in turn, looked for in the
// folded text.
size_t FirstOccurringOneByOne(const std::vector<std::string>& keywords, const std::string& text) {
    const std::string folded = FoldCase(text);
    for (size_t k = 0; k < keywords.size(); ++k) {
        if (keywords[k].empty() ? !text.empty()
                                : folded.find(FoldCase(keywords[k])) != std::string::npos) {
            return k;
        }
    }
    return KeywordSearch::npos;
}

TEST(FoldCaseTest, AgreesWithIcuOnEveryCodePointUpToU0800AndKeepsBrokenBytes) {
    EXPECT_EQ(FoldCase("A\xC3(B\xFF"), "a\xC3(b\xFF");
    for (UChar32 c = 0; c < 0x800; ++c) {
        char text[U8_MAX_LENGTH], folded[U8_MAX_LENGTH];
        int32_t textLength = 0, foldedLength = 0;
        U8_APPEND_UNSAFE(text, textLength, c);
        U8_APPEND_UNSAFE(folded, foldedLength, u_foldCase(c, U_FOLD_CASE_DEFAULT));
        ASSERT_EQ(FoldCase(std::string(text, textLength) + "x"),
                  std::string(folded, foldedLength) + "x")
            << std::hex << c;
    }
}

// The scan folds a two-byte letter by a table of its own, not by the full fold:
// every one must be found as the full fold finds it, also those that fold to
// one byte ("ſ" to "s") or to three ("Ⱥ" to "ⱥ"), and those whose fold is
// in no keyword.
TEST(KeywordSearchTest, FoldsEveryTwoByteLetterAsTheFullFoldDoes) {
    const auto utf8 = [](UChar32 c) {
        char bytes[U8_MAX_LENGTH];
        int32_t length = 0;
        U8_APPEND_UNSAFE(bytes, length, c);
        return std::string(bytes, length);
    };
    std::vector<std::string> keywords;
    for (UChar32 c = 0x80; c < 0x800; c += 2)
        keywords.push_back("<" + utf8(u_foldCase(c, U_FOLD_CASE_DEFAULT)) + ">");
    const KeywordSearch search(keywords);
    for (UChar32 c = 0x80; c < 0x800; ++c) {
        const std::string text = "a<" + utf8(c) + ">Z";
        const size_t expected = FirstOccurringOneByOne(keywords, text);
        ASSERT_EQ(search.FirstOccurring(text), expected) << std::hex << c;
        if (c % 2 == 0) {
            ASSERT_NE(expected, KeywordSearch::npos) << std::hex << c;
        }
    }
    EXPECT_EQ(KeywordSearch({"x", "sk"}).FirstOccurring("\xC5\xBF\xE2\x84\xAA"), 1u);  // ſK
    EXPECT_EQ(KeywordSearch({"\xE2\xB1\xA5!"}).FirstOccurring("\xC8\xBA!"), 0u);       // Ⱥ!
}

TEST(KeywordSearchTest, FindsTheFirstKeywordInListOrder) {
    struct Case {
        std::vector<std::string> keywords;
        std::string text;
        size_t expected;
    } cases[] = {
        {{"geschäftsgeheimnis"}, "Betreff: GESCHÄFTSGEHEIMNIS", 0},
        {{"absent", "plan", "top"}, "the TopSecretPlan", 1},
        {{"hers", "she", "he"}, "ushers", 0},
        {{"abcd", "bc"}, "abce", 1},
        {{"nothing", "there"}, "elsewhere is no", KeywordSearch::npos},
        {{"a", ""}, "bbb", 1},
        {{""}, "", KeywordSearch::npos},
        {{}, "anything", KeywordSearch::npos},
        {{"ß"}, "STRASSE", KeywordSearch::npos},
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
    const std::vector<std::string> alphabet = {"a",   "b", "A", "B",    "ä",    "Ä", "σ",
                                               "Σ",   "ς", " ", "\xC3", "\x80", "K", "\xE2\x84\xAA",
                                               "\xC0"};
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
// moves them or leaves none to make.
TEST(KeywordSearchTest, FindsOccurrencesAcrossTheStretchesOfALongText) {
    std::mt19937 random(4711);
    const std::vector<std::string> fillers[] = {{"x", "y", " ", "ü", "Ü"}, {"ü", "σ"}, {"ü", " "}};
    // Kelvin sign, Ü, Σ, z, q; and z between Kelvin signs, whose three bytes fold to one.
    for (const std::string planted :
         {"\xE2\x84\xAA\xC3\x9C\xCE\xA3zq",
          "\xE2\x84\xAAz\xE2\x84\xAA\xE2\x84\xAA\xE2\x84\xAA\xE2\x84\xAA"}) {
        // "\x9C" ends "Ü" but never its fold: only a walk that starts inside a
        // letter sees it.
        const std::vector<std::string> keywords = {"zzq", "üx σ", "\x9C", planted, "never"};
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

TEST_F(KeywordRuleTest, AsksTheEngineOnlyAboutTheKeywordsBeforeTheFirstFound) {
    platform.SetSetting(keys::kListOfKeywords, "alpha\r\nbeta\r\nGAMMA\r\ndelta");
    EXPECT_TRUE(v.CheckKeywords(false, "a gamma ray and a delta"));
    EXPECT_EQ(asked, (Lines_{"a gamma ray and a delta|alpha", "a gamma ray and a delta|beta"}));
    EXPECT_TRUE(ThreadGlobals().KeywordsViolated);
    EXPECT_TRUE(Lines().empty());

    asked.clear();
    ThreadGlobals() = Globals{};
    EXPECT_TRUE(v.CheckKeywords(false, "nothing to see"));
    EXPECT_EQ(asked.size(), 4u);
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
}

TEST_F(KeywordRuleTest, TheEnginesMatchAloneFiresTheRule) {
    platform.SetSetting(keys::kListOfKeywords, "alpha\r\n*ray*\r\ngamma");
    matchingEntry = "*ray*";
    EXPECT_TRUE(v.CheckKeywords(false, "x-ray"));
    EXPECT_EQ(asked, (Lines_{"x-ray|alpha", "x-ray|*ray*"}));
    EXPECT_TRUE(ThreadGlobals().KeywordsViolated);
}

TEST_F(KeywordRuleTest, EmptyEntryIsFoundInEveryNonEmptyText) {
    platform.SetSetting(keys::kListOfKeywords, "secret\r\n");
    EXPECT_TRUE(v.CheckKeywords(false, ""));
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
    EXPECT_EQ(asked, (Lines_{"|secret", "|"}));
    asked.clear();
    EXPECT_TRUE(v.CheckKeywords(false, "harmless"));
    EXPECT_TRUE(ThreadGlobals().KeywordsViolated);
    EXPECT_EQ(asked, Lines_{"harmless|secret"});
}

TEST_F(KeywordRuleTest, KeepsTheListItReadFirst) {
    platform.SetSetting(keys::kListOfKeywords, "alpha");
    EXPECT_TRUE(v.CheckKeywords(false, "beta"));
    platform.SetSetting(keys::kListOfKeywords, "beta");
    EXPECT_TRUE(v.CheckKeywords(false, "beta"));
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
    EXPECT_EQ(platform.CallsOf("GetSetting"), 1);
}

TEST_F(KeywordRuleTest, EmptyListIsReportedOnEveryCall) {
    EXPECT_TRUE(v.CheckKeywords(true, "secret"));
    EXPECT_TRUE(v.CheckKeywords(true, "secret"));
    const std::string line =
        "1|Postwarden.CheckKeywords|Error occurred: List of email keywords to check is empty.";
    EXPECT_EQ(Events(), (Lines_{line, line}));
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
}

}  // namespace
}  // namespace postwarden
