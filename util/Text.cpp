#include "util/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <limits>

#include "util/RuntimeError.h"

namespace postwarden {

std::string_view BoolText(bool value) {
    return value ? "True" : "False";
}

int32_t ToLong(std::string_view text) {
    text = Trim(text, " \t");

    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) throw errors::TypeMismatch();
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') throw errors::TypeMismatch();
        value = value * 10 + (c - '0');
        if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) throw errors::Overflow();
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) throw errors::Overflow();
    return static_cast<int32_t>(value);
}

std::string LCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    while (i < length) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            out.append(text.substr(start, i - start));
            continue;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
            continue;
        }
        const UChar32 lower = u_tolower(c);
        char buffer[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(buffer), n, lower);
        out.append(buffer, n);
    }
    return out;
}

}  // namespace postwarden
