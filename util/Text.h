#pragma once

// util/: the pure logic that every layer calls directly; it reaches nothing
// outside the process and includes nothing of the project's but util/.
//   Text.h           conversions of texts and numbers as the module reads them
//   RuntimeError.h   the run-time error every outside call throws, and its kinds
//   Limits.h         the size limits, shared by the module and the platform
//   DelimitedList.h  a list text split into entries
//   Glob.h           `*` and `?` matching of a whole value without regard to case
//                    (GlobPiece.h, FoldedReader.h its parts; GlobPiece.cpp builds
//                    a piece, GlobPieceScan.cpp finds it in a text)
//   KeywordSearch.h  every keyword of a list looked for in one pass over a text
//   AddressForm.h    the one form in which addresses and domains are compared
//   LookAlike.h      whether one domain may be mistaken for another

#include <cstdint>
#include <string>
#include <string_view>

namespace postwarden {

// "True" or "False", as Booleans read in log lines.
std::string_view BoolText(bool value);

// `text` without the characters of `blanks` at its ends; empty when it holds
// nothing else. The blanks are the caller's: spaces and tabs in a setting or an
// address, CR and LF too where a text may still hold its line ends.
constexpr std::string_view Trim(std::string_view text, std::string_view blanks) {
    // A loop the compiler unrolls over the few blanks, where find_first_not_of
    // would call memchr for every character looked at.
    const auto isBlank = [blanks](char c) {
        for (const char blank : blanks) {
            if (c == blank) return true;
        }
        return false;
    };
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Whether `text` begins with `prefix`, ASCII letters compared without regard
// to case (as a protocol's keywords and HTML's tag names are).
constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (upper(text[i]) != upper(prefix[i])) return false;
    }
    return true;
}

// A text converted to a 32-bit whole number the way every settings reader does
// it: optional blanks around an optional sign and decimal digits. Throws "Type
// mismatch" for anything else (the empty text included) and "Overflow" when the
// number does not fit.
int32_t ToLong(std::string_view text);

// Lower case of the ASCII letters only, every other byte kept: for the ASCII
// names of addresses and keys, where a byte is compared as a byte.
inline std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// Lower case of a UTF-8 text by Unicode rules (so "BÜRO" gives "büro"). Bytes
// that are not valid UTF-8 are kept as they are.
std::string LCase(std::string_view text);

// Whether a code point is one that shows as nothing between two letters, so
// that a word written with it reads as the word: the soft hyphen (U+00AD), the
// zero-width space, non-joiner and joiner (U+200B to U+200D), the word joiner
// (U+2060) and the zero-width no-break space (U+FEFF). The keyword search and
// the engine's matching skip them, in the text and in the list entry alike.
constexpr bool IsUnseenInWord(char32_t c) {
    return c == 0xAD || (c >= 0x200B && c <= 0x200D) || c == 0x2060 || c == 0xFEFF;
}

}  // namespace postwarden
