#pragma once

// A slow, plainly right matcher that the glob tests and the fuzz target hold
// the engine's matcher against.
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <string>
#include <string_view>
#include <vector>

namespace postwarden::testing {

// The UTF-8 bytes of one code point.
inline std::string Utf8(UChar32 c) {
    char bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    return std::string(bytes, static_cast<size_t>(length));
}

// Folding as the matcher is meant to: each code point by itself, each stray
// byte apart (as a value no code point has), and without the soft hyphen and
// the zero-width characters, which a reader does not see.
inline std::vector<UChar32> ReferenceFolded(std::string_view text) {
    std::vector<UChar32> out;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    for (int32_t i = 0, length = static_cast<int32_t>(text.size()); i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) i = start + 1;
        if (c == 0xAD || (c >= 0x200B && c <= 0x200D) || c == 0x2060 || c == 0xFEFF) continue;
        out.push_back(c < 0 ? 0x110000 + s[start] : u_foldCase(c, U_FOLD_CASE_DEFAULT));
    }
    return out;
}

// The textbook table over all prefixes of the value and the pattern, a row at a time.
inline bool ReferenceMatch(std::string_view value, std::string_view pattern) {
    const std::vector<UChar32> v = ReferenceFolded(value), p = ReferenceFolded(pattern);
    std::vector<char> row(p.size() + 1, 0), next(p.size() + 1);  // row[j]: v[0, i) ~ p[0, j)
    row[0] = 1;
    for (size_t j = 1; j <= p.size(); ++j) row[j] = row[j - 1] && p[j - 1] == '*';
    for (size_t i = 1; i <= v.size(); ++i) {
        next[0] = 0;
        for (size_t j = 1; j <= p.size(); ++j) {
            next[j] = p[j - 1] == '*' ? next[j - 1] || row[j]
                                      : row[j - 1] && (p[j - 1] == '?' || p[j - 1] == v[i - 1]);
        }
        row.swap(next);
    }
    return row[p.size()];
}

}  // namespace postwarden::testing
