#pragma once

#include <string>
#include <string_view>

namespace postwarden {

// `text` made safe for a terminal as EscapeForTerminal does, except that its
// line breaks (LF, or CR LF as texts from Windows settings end their lines) stay
// line feeds, so that a caption or a message keeps the lines it was written in.
std::string EscapeLinesForTerminal(std::string_view text);

}  // namespace postwarden
