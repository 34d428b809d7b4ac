#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/RuntimeError.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/Glob.h"

namespace postwarden {
namespace {

std::vector<std::string> Entries(std::string_view text) {
    SplitDelimitedList list;
    list.SetText(text);
    std::vector<std::string> out;
    for (int32_t i = 1; i <= list.Count(); ++i) out.push_back(list.Item(i));
    return out;
}

TEST(DelimitedListTest, SplitsAtLineEndsAndSemicolonsAndTrims) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Entries("corp.example\r\nbranch.example"), (V{"corp.example", "branch.example"}));
    EXPECT_EQ(Entries("a;b\nc\rd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(Entries("  spaced.example \t;\tsecret word  "), (V{"spaced.example", "secret word"}));
    EXPECT_EQ(Entries("one"), (V{"one"}));
    EXPECT_EQ(Entries(";;\r\n\r\n ; \t\n"), V{});
    EXPECT_EQ(Entries(""), V{});
    EXPECT_EQ(Entries("a;;b"), (V{"a", "b"}));
}

TEST(DelimitedListTest, ItemOutsideTheListIsARuntimeError) {
    SplitDelimitedList list;
    list.SetText("a;b");
    EXPECT_THROW(list.Item(0), RuntimeError);
    EXPECT_THROW(list.Item(3), RuntimeError);
    list.SetText("c");
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(1), "c");
}

struct GlobCase {
    const char* value;
    const char* pattern;
    bool matches;
};

TEST(GlobMatchTest, MatchesWholeValuesWithoutRegardToCase) {
    const GlobCase cases[] = {
        {"corp.example", "corp.example", true},
        {"CORP.Example", "corp.example", true},
        {"corp.example", "CORP.EXAMPLE", true},
        {"mail.corp.example", "corp.example", false},
        {"corp.example", "corp.exampl", false},
        {"corp.example.org", "corp.example", false},
        {"mail.corp.example", "*.corp.example", true},
        {"a.b.corp.example", "*.corp.example", true},
        {"corp.example", "*.corp.example", false},
        {"corp.example", "*", true},
        {"", "*", true},
        {"", "", true},
        {"x", "", false},
        {"", "?", false},
        {"ab", "a?", true},
        {"a", "a?", false},
        {"abc", "a*c", true},
        {"abcbc", "a*bc", true},
        {"abcbd", "a*bc", false},
        {"büro.example", "BÜRO.example", true},
        {"BÜRO.EXAMPLE", "büro.example", true},
        {"ΣΟΦΙΑ", "σοφια", true},
        {"ü", "?", true},  // one character, two bytes
        {"geschäftsgeheimnis", "GESCHÄFTSGEHEIMNIS", true},
        {"boss@corp.example", "boss@*", true},
        {"bossy@corp.example", "boss@*", false},
    };
    for (const GlobCase& c : cases) {
        EXPECT_EQ(GlobMatch(c.value, c.pattern), c.matches) << c.value << " ~ " << c.pattern;
    }
}

TEST(GlobMatchTest, InvalidUtf8OnlyMatchesItself) {
    EXPECT_TRUE(GlobMatch("a\xff", "A\xff"));
    EXPECT_FALSE(GlobMatch("a\xff", "a\xfe"));
    EXPECT_TRUE(GlobMatch("a\xff", "a?"));
}

TEST(GlobMatchTest, ManyStarsAgainstALongValueFinish) {
    // A backtracking matcher that tries every split would never finish this.
    const std::string value(20000, 'a');
    std::string pattern;
    for (int i = 0; i < 40; ++i) pattern += "*a";
    EXPECT_FALSE(GlobMatch(value, pattern + "b"));
    EXPECT_TRUE(GlobMatch(value, pattern + "*"));
}

TEST(GlobMatchTest, ALongTextNeverEqualsAShortLiteral) {
    const std::string text(1 << 20, 'x');
    EXPECT_FALSE(GlobMatch(text, "x"));
    EXPECT_TRUE(GlobMatch(text, "x*"));
}

}  // namespace
}  // namespace postwarden
