#pragma once

#include <string_view>

namespace postwarden {

// Whether the whole of `value` matches `pattern`, where `*` stands for any run of
// characters and `?` for exactly one, compared without regard to case by Unicode
// case folding. Runs in O(|value| * |pattern|) at worst, never exponentially.
bool GlobMatch(std::string_view value, std::string_view pattern);

}  // namespace postwarden
