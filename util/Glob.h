#pragma once

#include <string_view>

namespace postwarden {

// Whether the whole of `value` matches `pattern`, where `*` stands for any run of
// characters and `?` for exactly one, compared without regard to case by Unicode
// simple case folding (so "ẞ" matches "ß" but not "ss"). A character is a code
// point, or a byte that is not part of valid UTF-8, which only matches itself or
// a wildcard; the code points that show as nothing inside a word (the soft
// hyphen, the zero-width ones: IsUnseenInWord) are skipped on both sides. Reads the value once,
// with work per character that depends on the pattern only: a few steps, and at worst one more per
// 64 characters of its longest piece between stars. Time grows with the value's length, never with
// value x pattern.
bool GlobMatch(std::string_view value, std::string_view pattern);

}  // namespace postwarden
