#pragma once

// What the fuzz targets share: a check that stops the run with a message, which
// libFuzzer reports as a crash with the input that caused it. A macro, so that
// the message names the condition and its line.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "util/RuntimeError.h"

namespace postwarden::fuzz {

// Whether `call` fails the way outside calls do, with a RuntimeError.
template <typename Call>
bool ThrowsRuntimeError(Call call) {
    try {
        call();
    } catch (const RuntimeError&) {
        return true;
    }
    return false;
}

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// Whether `text` is well-formed UTF-8: no stray continuation bytes, overlong
// forms, surrogates or code points past U+10FFFF.
inline bool IsUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n;
        unsigned min;
        unsigned cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            if (i + k >= text.size()) return false;
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

}  // namespace postwarden::fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : ::postwarden::fuzz::Fail(#condition, __FILE__, __LINE__))
