#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace postwarden {

// "True" or "False", as Booleans read in log lines.
std::string_view BoolText(bool value);

// A text converted to a 32-bit whole number the way every settings reader does
// it: optional blanks around an optional sign and decimal digits. Throws "Type
// mismatch" for anything else (the empty text included) and "Overflow" when the
// number does not fit.
int32_t ToLong(std::string_view text);

// Lower case of a UTF-8 text by Unicode rules (so "BÜRO" gives "büro"). Bytes
// that are not valid UTF-8 are kept as they are.
std::string LCase(std::string_view text);

}  // namespace postwarden
