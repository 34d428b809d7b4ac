#include "platform/engine/Glob.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <vector>

namespace postwarden {

namespace {

// A folded code point. A byte that is not valid UTF-8 becomes a value no code
// point has, so it only ever matches the same byte (or a wildcard).
UChar32 FoldAt(const uint8_t* s, int32_t& i, int32_t length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
        i = start + 1;
        return 0x110000 + s[start];
    }
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
    return u_foldCase(c, U_FOLD_CASE_DEFAULT);
}

std::vector<UChar32> Folded(std::string_view text) {
    std::vector<UChar32> out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) out.push_back(FoldAt(s, i, length));
    return out;
}

}  // namespace

bool GlobMatch(std::string_view value, std::string_view pattern) {
    const std::vector<UChar32> p = Folded(pattern);
    // Folding keeps one code point for one, and a code point takes 1 to 4 bytes,
    // so the value's length in bytes bounds what it can match without folding
    // it: this keeps a long text against a list of plain words cheap.
    size_t literals = 0;
    bool star = false;
    for (UChar32 c : p) {
        if (c == '*') {
            star = true;
        } else {
            ++literals;
        }
    }
    if (value.size() < literals) return false;
    if (!star && value.size() > 4 * literals) return false;

    // The classic single-backtrack matcher: on a mismatch, only the latest `*`
    // needs to take one more character, which bounds the work by |v| * |p|.
    // The value is folded as it is read, so a long text costs no copy.
    const auto* v = reinterpret_cast<const uint8_t*>(value.data());
    const int32_t length = static_cast<int32_t>(value.size());
    int32_t vi = 0;
    size_t pi = 0;
    size_t starP = SIZE_MAX;
    int32_t starV = 0;
    while (vi < length) {
        int32_t next = vi;
        const UChar32 c = FoldAt(v, next, length);
        if (pi < p.size() && (p[pi] == '?' || (p[pi] != '*' && p[pi] == c))) {
            vi = next;
            ++pi;
        } else if (pi < p.size() && p[pi] == '*') {
            starP = pi++;
            starV = vi;
        } else if (starP != SIZE_MAX) {
            pi = starP + 1;
            FoldAt(v, starV, length);  // the star takes one more character
            vi = starV;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

}  // namespace postwarden
