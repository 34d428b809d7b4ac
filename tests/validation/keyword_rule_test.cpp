#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <random>

#include "settings/SettingKeys.h"
#include "tests/engine/GlobReference.h"
#include "tests/validation/ValidationFixture.h"
#include "validation/KeywordSearch.h"

namespace postwarden {
namespace {

using testing::Utf8;

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
        ASSERT_EQ(FoldCase(Utf8(c) + "x"), Utf8(u_foldCase(c, U_FOLD_CASE_DEFAULT)) + "x")
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
        {"secret\r\n", "-", "", {"|secret", "|"}, false},
        {"secret\r\n", "-", "harmless", {"harmless|secret"}, true},
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
