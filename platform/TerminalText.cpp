#include "platform/TerminalText.h"

#include <unicode/utf8.h>

#include <cstdio>

namespace postwarden {

namespace {

bool IsBidiControl(UChar32 c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

void AppendHexByte(std::string& out, unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    out += text;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    const auto printableAscii = [](uint8_t b) { return b >= 0x20 && b < 0x7F; };
    for (int32_t i = 0; i < length;) {
        // Most of a log is printable ASCII: copied a run at a time, not a
        // character at a time.
        if (printableAscii(bytes[i])) {
            int32_t end = i + 1;
            while (end < length && printableAscii(bytes[end])) ++end;
            out.append(text.data() + i, static_cast<size_t>(end - i));
            i = end;
            continue;
        }
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            for (int32_t b = start; b < i; ++b) AppendHexByte(out, bytes[b]);
            continue;
        }
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            AppendHexByte(out, static_cast<unsigned char>(c));
        } else if ((c >= 0x80 && c <= 0x9F) || IsBidiControl(c)) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%04X}", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        }
    }
    return out;
}

std::string FillText(const std::string& text, size_t width) {
    std::string filled, line;
    const auto endLine = [&] {
        if (!line.empty()) filled += line + "\n";
        line.clear();
    };
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(" \n", start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!word.empty()) {
            if (!line.empty() && line.size() + 1 + word.size() > width) endLine();
            line += (line.empty() ? "" : " ") + word;
        }
        if (end + 1 < text.size() && text[end] == '\n' && text[end + 1] == '\n') {
            endLine();
            filled += "\n";
            ++end;
        }
        start = end + 1;
    }
    endLine();
    if (!filled.empty()) filled.pop_back();
    return filled;
}

}  // namespace postwarden
