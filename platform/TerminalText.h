#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace postwarden {

// `text` made safe to print on a terminal: every character that could move the
// cursor, change the terminal's state or reorder what is shown is written as a
// visible escape instead. C0 controls and DEL become `\xHH` (TAB `\t`, CR `\r`,
// LF `\n`), C1 controls and the Unicode bidirectional controls (U+061C,
// U+200E/F, U+202A-E, U+2066-9) `\u{HHHH}`, and bytes that are not UTF-8
// `\xHH`. A `\` already in the text is left as it is: the output is for people
// to read, not to be turned back.
std::string EscapeForTerminal(std::string_view text);

// `text` as a help shows it: each paragraph (paragraphs are separated by a
// blank line; a single line end is a blank) filled into lines of at most
// `width` characters, breaking only at blanks.
std::string FillText(const std::string& text, size_t width = 78);

}  // namespace postwarden
