#include "platform/windows/TerminalLines.h"

#include "platform/TerminalText.h"

namespace postwarden {

std::string EscapeLinesForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (;;) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        out += EscapeForTerminal(line);
        if (end == std::string_view::npos) return out;
        out += '\n';
        text.remove_prefix(end + 1);
    }
}

}  // namespace postwarden
