// The engine library's list splitting and entry matching, which every domain
// and address rule leans on. The input is a list text as a settings document
// or a user would write it; it also gives a value and a pattern to match.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/engine/EngineLibrary.h"
#include "tests/engine/GlobReference.h"
#include "util/DelimitedList.h"
#include "util/Glob.h"

namespace postwarden {
namespace {

bool IsSeparator(char c) {
    return c == '\r' || c == '\n' || c == ';';
}
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Entries: no empty one, none with blanks at its ends or a separator inside,
// together the list text's non-blank characters outside separators, in order.
void CheckList(std::string_view text) {
    DelimitedList list;
    list.SetText(text);
    std::string joined;
    for (int32_t i = 1; i <= list.Count(); ++i) {
        const std::string entry = list.Item(i);
        FUZZ_CHECK(!entry.empty());
        FUZZ_CHECK(!IsBlank(entry.front()) && !IsBlank(entry.back()));
        for (char c : entry) FUZZ_CHECK(!IsSeparator(c));
        joined += entry;
    }
    std::string expected;
    for (char c : text) {
        if (!IsSeparator(c)) expected += c;
    }
    // Only blanks may be lost: the same text once every blank is removed.
    auto withoutBlanks = [](std::string s) {
        std::erase_if(s, IsBlank);
        return s;
    };
    FUZZ_CHECK(withoutBlanks(joined) == withoutBlanks(expected));
    for (int32_t outside : {0, list.Count() + 1}) {
        FUZZ_CHECK(fuzz::ThrowsRuntimeError([&] { list.Item(outside); }));
    }
}

using testing::ReferenceMatch;

// A pattern made from `value`, so that long pieces nearly match it: `edits`
// says where characters become `?` (often in runs longer than a word of bits),
// where stretches become `*`, and where a byte changes.
std::string NearPattern(std::string_view value, FuzzedDataProvider& edits) {
    std::string pattern;
    for (size_t i = 0; i < value.size();) {
        if (edits.remaining_bytes() == 0) {
            pattern += value.substr(i);
            break;
        }
        switch (edits.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:
                pattern.append(edits.ConsumeIntegralInRange<size_t>(1, 100), '?');
                i += edits.ConsumeIntegralInRange<size_t>(0, 100);
                break;
            case 1:
                pattern += '*';
                i += edits.ConsumeIntegralInRange<size_t>(0, 20);
                break;
            case 2:
                pattern += '?';
                ++i;
                break;
            case 3:
                pattern += edits.ConsumeIntegral<char>();
                ++i;
                break;
            default: {
                const size_t length = edits.ConsumeIntegralInRange<size_t>(1, 80);
                pattern += value.substr(i, length);
                i += length;
            }
        }
    }
    return pattern;
}

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return out;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiUpper(a) == AsciiUpper(b);
}

void CheckGlob(std::string_view value, std::string_view pattern) {
    const bool match = GlobMatch(value, pattern);
    FUZZ_CHECK(GlobMatch(value, "*"));
    FUZZ_CHECK(GlobMatch(value, "") == testing::ReferenceFolded(value).empty());
    // Every text matches itself: a wildcard in it matches its own character.
    FUZZ_CHECK(GlobMatch(value, value));
    FUZZ_CHECK(GlobMatch(pattern, pattern));
    // Case of ASCII letters never matters, on either side.
    FUZZ_CHECK(GlobMatch(AsciiUpper(value), pattern) == match);
    FUZZ_CHECK(GlobMatch(value, AsciiUpper(pattern)) == match);
    // A pattern without wildcards is a comparison without regard to case.
    if (pattern.find_first_of("*?") == std::string_view::npos && IsAscii(value) &&
        IsAscii(pattern)) {
        FUZZ_CHECK(match == EqualsIgnoringAsciiCase(value, pattern));
    }
    if (value.size() * pattern.size() <= 1000000) {
        FUZZ_CHECK(match == ReferenceMatch(value, pattern));
    }
}

}  // namespace
}  // namespace postwarden

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace postwarden;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckList(text);

    // Each entry of the list against the others, as a rule compares a domain
    // with every entry of its list.
    DelimitedList list;
    list.SetText(text);
    const int32_t count = std::min<int32_t>(list.Count(), 8);
    for (int32_t i = 1; i <= count; ++i) {
        for (int32_t j = 1; j <= count; ++j) CheckGlob(list.Item(i), list.Item(j));
    }
    FuzzedDataProvider provider(data, size);
    const std::string value = provider.ConsumeRandomLengthString(size);
    const std::string pattern = provider.ConsumeRemainingBytesAsString();
    CheckGlob(value, pattern);
    // The pattern's bytes again, as edits that make a pattern from the value.
    FuzzedDataProvider edits(reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size());
    CheckGlob(value, NearPattern(value, edits));
    return 0;
}
