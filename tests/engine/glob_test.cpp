#include "util/Glob.h"

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/GlobReference.h"

namespace postwarden {
namespace {

using testing::Utf8;

std::string Repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

struct GlobCase {
    std::string value;
    std::string pattern;
    bool matches;
};

void ExpectCases(const std::vector<GlobCase>& cases) {
    for (const GlobCase& c : cases) {
        EXPECT_EQ(GlobMatch(c.value, c.pattern), c.matches) << c.value << " ~ " << c.pattern;
    }
}

// How the rules use it, spelled out (the random inputs below meet the same
// shapes in other letters); and what the random tokens do not hold: multi-byte
// sequences of other lengths.
TEST(GlobMatchTest, MatchesWholeValuesWithoutRegardToCase) {
    ExpectCases({
        {"CORP.Example", "corp.example", true},
        {"mail.corp.example", "corp.example", false},
        {"mail.corp.example", "*.corp.example", true},
        {"corp.example", "*.corp.example", false},
        {"u\xcc\x88", "?", false},  // u and a combining mark: two code points
        {"日本", "??", true},
        {"\xf0\x9f\x98\x80", "?", true},  // four bytes
        {"\xe2\x82", "??", true},         // a cut-off sequence is two stray bytes
        {"\xed\xa0\x80", "???", true},    // an encoded surrogate is not UTF-8
        {"ä", "\xc3?", false},            // a stray byte never matches part of a character
    });
}

TEST(GlobMatchTest, FoldsOneCodePointToOne) {
    ExpectCases({
        {"büro.example", "BÜRO.example", true},
        {"ΣΟΦΙΑ", "σοφια", true},
        {"σοφιας", "ΣΟΦΙΑΣ", true},    // final sigma folds to sigma
        {"STRAẞE", "straße", true},    // capital sharp s folds to ß
        {"STRASSE", "straße", false},  // but ß is not folded to ss
        {"ﬁle", "file", false},        // nor the ligature to two letters
        {"ﬁle", "?le", true},
        {"\xe2\x84\xaa", "k", true},  // the Kelvin sign folds to k
        {"ſ", "S", true},             // long s folds to s
        {"İ", "i", false},            // only the default folding, no Turkish rules
    });
}

// What shows as nothing inside a word is skipped on both sides, wherever it
// stands; the space beside it and other marks are characters.
TEST(GlobMatchTest, SkipsSoftHyphensAndZeroWidthCharacters) {
    const std::string shy = "\xc2\xad", zwsp = "\xe2\x80\x8b", zwj = "\xe2\x80\x8d";
    const std::string joiner = "\xe2\x81\xa0", bom = "\xef\xbb\xbf";
    ExpectCases({
        {"Con" + shy + "fiden" + zwsp + zwj + "tial", "confidential", true},
        {bom + "secret" + joiner, "SECRET", true},
        {"secret", "se" + shy + "cret", true},
        {"se" + shy + "cret", "se?cret", false},  // `?` is one character, not one of these
        {shy + zwsp, "", true},
        {shy + zwsp + "x", "?", true},
        {"se cret", "secret", false},
        {"se\xc2\xa0"
         "cret",
         "secret", false},  // a no-break space shows
        {"x" + Repeat(zwsp, 100), "?", true},
        {Repeat(zwsp, 100) + "x" + Repeat(shy, 50), "X", true},
        // Long pieces, read a group of characters at a time: a run of these
        // where a whole group would fit ends the text early.
        {"a" + Repeat("y", 70) + "c" + Repeat(zwsp, 20) + "d" + Repeat(shy, 30),
         "*a" + Repeat("?", 70) + "cd", true},
        {"a" + Repeat("y", 70) + "c" + Repeat(zwsp, 20) + "d", "*a" + Repeat("?", 70) + "c", false},
        {"x" + Repeat("ab" + shy, 100) + "b" + Repeat(zwsp, 40) + "x",
         "*" + Repeat("a?", 100) + "?x", true},
    });
}

// Pieces longer than a word of bits, runs of `?` long enough to be kept apart,
// and literal pieces long enough to need their fallbacks.
TEST(GlobMatchTest, LongPiecesAndLongRunsOfQuestionMarks) {
    const std::string a100(100, 'a');
    ExpectCases({
        {Repeat("a", 250) + "b", "*" + a100 + "b", true},
        {Repeat("a", 300), "*" + a100 + "b", false},
        {Repeat("a", 300) + "bx", "*" + a100 + "b*", true},
        {Repeat("ab", 200), "*" + Repeat("a?", 90) + "b", false},  // never at an even place
        {Repeat("ab", 200), "*" + Repeat("a?", 90), true},
        {Repeat("ab", 200), "*" + Repeat("?b", 90) + "*", true},
        {Repeat("ab", 200), "*" + Repeat("a?", 90) + "a", false},
        {"xa" + Repeat("y", 100) + "bz", "*a" + Repeat("?", 100) + "b*", true},
        {"xa" + Repeat("y", 99) + "bz", "*a" + Repeat("?", 100) + "b*", false},
        {"xa" + Repeat("y", 101) + "bz", "*a" + Repeat("?", 100) + "b*", false},
        {Repeat("y", 100) + "ab", "*" + Repeat("?", 100) + "ab", true},
        {Repeat("y", 99) + "ab", "*" + Repeat("?", 100) + "ab", false},
        {"ab" + Repeat("y", 100), "*ab" + Repeat("?", 100), true},
        {"ab" + Repeat("y", 101), "*ab" + Repeat("?", 100), false},
        {"ab" + Repeat("ü", 99), "*ab" + Repeat("?", 100) + "*", false},
        // A long literal stretch, or a stretch of bits, counts only where the
        // stretch before it ended the right number of characters earlier.
        {"yb" + a100, "*x?" + a100 + "*", false},
        {"xb" + a100, "*x?" + a100 + "*", true},
        {"x" + Repeat("y", 70) + "abab" + Repeat("y", 60) + "zzcd",
         "*x" + Repeat("?", 70) + "ab" + Repeat("?", 62) + "cd*", false},
        {Repeat("x", 64) + Repeat("a", 71) + "b",
         "*" + Repeat("x", 64) + "?" + a100.substr(30) + "b", true},
        {"x" + Repeat("y", 70) + "ab" + Repeat("y", 62) + "cd",
         "*x" + Repeat("?", 70) + "ab" + Repeat("?", 62) + "cd*", true},
        {Repeat("y", 70), "*" + Repeat("?", 70) + "*", true},
        {Repeat("y", 69), "*" + Repeat("?", 70) + "*", false},
        {"a" + Repeat("y", 64) + "b" + Repeat("y", 64) + "c",
         "*A" + Repeat("?", 64) + "B" + Repeat("?", 64) + "C", true},
        {"a" + Repeat("y", 64) + "b" + Repeat("y", 63) + "c",
         "*A" + Repeat("?", 64) + "B" + Repeat("?", 64) + "C", false},
        // A long literal stretch that overlaps itself: after a whole match the
        // next character may end another; after a mismatch the fallbacks are
        // followed as far as they go, when the stretch's table is built and
        // when the text is read (each of these needs a second fallback).
        {Repeat("a", 65), "*" + Repeat("a", 64), true},
        {Repeat("a", 58) + "c" + Repeat("a", 7), "*" + Repeat("a", 64) + "*", false},
        {"abaab" + Repeat("aba", 22), "*" + Repeat("aba", 22), true},
        {"abaab" + Repeat("aba", 22) + "x", "*" + Repeat("aba", 22) + "?", true},
        {"abaabaababaabaab" + Repeat("aba", 19), "*abaabaab" + Repeat("aba", 19), true},
        {"abaabaababaabaab" + Repeat("aba", 19) + "x", "*abaabaab" + Repeat("aba", 19) + "*", true},
        // A piece too long for the registers, read as parts: the long literal
        // stretch counts only where the run of `?` before it began after the x.
        {"x" + Repeat("y", 2100) + a100, "*x" + Repeat("?", 2100) + a100, true},
        {"x" + Repeat("y", 2099) + a100, "*x" + Repeat("?", 2100) + a100, false},
        {"x" + Repeat("y", 2101) + a100 + "z", "*x" + Repeat("?", 2100) + a100 + "*", false},
    });
}

// A piece with more different code points than its masks keep whole: each `?`
// takes one of the piece's own code points from elsewhere in it.
TEST(GlobMatchTest, PieceWithThousandsOfDifferentCodePoints) {
    auto named = [](UChar32 i) { return i % 7 == 0 ? 0x0430 + i % 32 : 0x4E00 + i; };
    std::string piece, value;
    for (UChar32 i = 0; i < 6000; ++i) {
        piece += Utf8(named(i));
        value += Utf8(i % 7 == 0 ? named(i) - 32 : named(i));  // Cyrillic capitals
        if (i % 11 == 0) piece += "?", value += Utf8(named(i * 37 % 6000));
    }
    EXPECT_TRUE(GlobMatch("pre" + value + "post", "*" + piece + "*"));
    EXPECT_TRUE(GlobMatch(value, piece));
    // After a run of the piece's first character the partial matches keep its
    // state from emptying, so the piece starts at every rotation of its words,
    // and both copies of each mask row are read.
    for (size_t run = 1; run <= 110; ++run) {
        EXPECT_TRUE(GlobMatch(Repeat(Utf8(named(0)), run) + value, "*" + piece + "*")) << run;
    }
    const size_t at = value.find(Utf8(0x4E00 + 3001));
    ASSERT_NE(at, std::string::npos);
    value.replace(at, 3, Utf8(0x4E00));  // a code point the piece does not name
    EXPECT_FALSE(GlobMatch("pre" + value + "post", "*" + piece + "*"));
}

TEST(GlobMatchTest, LongValues) {
    // Greedy placement of each piece; trying every split would never finish.
    const std::string value(20000, 'a');
    const std::string pattern = Repeat("*a", 40);
    EXPECT_FALSE(GlobMatch(value, pattern + "b"));
    EXPECT_TRUE(GlobMatch(value, pattern + "*"));
    EXPECT_TRUE(GlobMatch(value, pattern));
    const std::string text(1 << 20, 'x');
    EXPECT_FALSE(GlobMatch(text, "x"));
    EXPECT_TRUE(GlobMatch(text, "x*"));
    EXPECT_TRUE(GlobMatch(text, "*x"));
    EXPECT_FALSE(GlobMatch(text, "*y*"));
}

using testing::ReferenceMatch;

const char* const kTokens[] = {"a", "A",    "b",    "ß",    "ẞ", "ü", "Ü",        "\xe2\x84\xaa",
                               "k", "\xff", "\xc3", "\x80", "?", "*", "\xc2\xad", "\xe2\x80\x8b"};

std::string RandomText(std::mt19937& random, size_t length, size_t tokens) {
    std::string out;
    for (size_t i = 0; i < length; ++i) out += kTokens[random() % tokens];
    return out;
}

TEST(GlobMatchTest, AgreesWithTheTableOnShortRandomInputs) {
    std::mt19937 random(20240611);
    for (int n = 0; n < 20000; ++n) {
        const std::string value = RandomText(random, random() % 10, std::size(kTokens));
        const std::string pattern = RandomText(random, random() % 8, std::size(kTokens));
        ASSERT_EQ(GlobMatch(value, pattern), ReferenceMatch(value, pattern))
            << value << " ~ " << pattern;
    }
}

// Long patterns made from their value, so that most nearly match: characters
// become `?` (in short or long runs), stretches become `*`, and now and then
// one character changes. How often each happens varies from pattern to pattern,
// so that some have long stretches without `?` and some few or no `*`. Every
// fourth value is long enough for pieces of up to 16 words of state. Every third
// value then gets runs of soft hyphens and zero-width spaces between its
// characters, which its pattern does not have.
TEST(GlobMatchTest, AgreesWithTheTableOnLongNearMatches) {
    std::mt19937 random(7);
    for (int n = 0; n < 600; ++n) {
        std::string value = RandomText(random, 1 + random() % (n % 4 ? 400 : 1100), 4 + n % 7);
        const unsigned questionMarks = std::array{3u, 40u, 300u}[n % 3];
        const unsigned stars = std::array{20u, 2u}[n % 2];  // per thousand
        std::string pattern;
        for (size_t i = 0, run = 0; i < value.size();) {
            const int32_t start = static_cast<int32_t>(i);
            int32_t end = start;
            UChar32 c;
            U8_NEXT(reinterpret_cast<const uint8_t*>(value.data()), end,
                    static_cast<int32_t>(value.size()), c);
            if (c < 0) end = start + 1;
            if (run == 0 && random() % questionMarks == 0) {
                run = random() % 2 ? 1 + random() % 3 : 60 + random() % 80;
            }
            const auto roll = random() % 1000;
            if (run > 0) {
                pattern += '?', --run;
            } else if (roll < stars) {
                pattern += '*';
                end = std::min<int32_t>(static_cast<int32_t>(value.size()), end + random() % 30);
            } else if (roll < stars + 5) {
                pattern += kTokens[random() % 12];
            } else {
                pattern.append(value, i, static_cast<size_t>(end - start));
            }
            i = static_cast<size_t>(end);
        }
        if (n % 3 == 1) {
            for (size_t i = value.size(); i-- > 0;) {
                if ((value[i] & 0xC0) != 0x80 && random() % 16 == 0)
                    value.insert(i, Repeat(kTokens[14 + random() % 2], 1 + random() % 30));
            }
        }
        ASSERT_EQ(GlobMatch(value, pattern), ReferenceMatch(value, pattern))
            << value << " ~ " << pattern;
    }
}

}  // namespace
}  // namespace postwarden
