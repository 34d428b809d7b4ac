#include "platform/mailstore/HtmlText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>

#include "util/Text.h"

namespace postwarden::mailstore {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// Neither a blank nor the start of a reference or a tag: a character of a word.
constexpr auto kWordCharacters = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = !IsSpace(static_cast<char>(c)) && c != '&' && c != '<';
    }
    return table;
}();
bool IsWordCharacter(char c) {
    return kWordCharacters[static_cast<unsigned char>(c)];
}

void AppendUtf8(uint32_t code, std::string& out) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

struct NamedEntity {
    std::string_view name;
    uint32_t code;
};
// With the invisible ones that may stand inside a word, so that the keyword
// rule sees the word a reader sees.
constexpr std::array<NamedEntity, 13> kEntities{{{"amp", '&'},
                                                 {"lt", '<'},
                                                 {"gt", '>'},
                                                 {"quot", '"'},
                                                 {"apos", '\''},
                                                 {"nbsp", 0xA0},
                                                 {"copy", 0xA9},
                                                 {"euro", 0x20AC},
                                                 {"shy", 0xAD},
                                                 {"ZeroWidthSpace", 0x200B},
                                                 {"zwnj", 0x200C},
                                                 {"zwj", 0x200D},
                                                 {"NoBreak", 0x2060}}};

// Decodes the reference at `text[at]` ("&...;") into `out`; returns the number
// of characters used, 0 when it is no reference this renderer knows.
size_t DecodeReference(std::string_view text, size_t at, std::string& out) {
    // Looked for only as far as the longest name reaches: a search to the end
    // for each "&" would make a long text of them quadratic.
    const size_t semicolon = text.substr(at, 16).find(';');
    if (semicolon == std::string_view::npos) return 0;
    const std::string_view name = text.substr(at + 1, semicolon - 1);
    if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        const std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty()) return 0;
        uint32_t code = 0;
        for (char c : digits) {
            int value = -1;
            if (c >= '0' && c <= '9')
                value = c - '0';
            else if (hex && Lower(c) >= 'a' && Lower(c) <= 'f')
                value = Lower(c) - 'a' + 10;
            if (value < 0) return 0;
            code = code > 0x10FFFF ? code : code * (hex ? 16 : 10) + static_cast<uint32_t>(value);
        }
        AppendUtf8(code, out);
        return semicolon + 1;
    }
    for (const NamedEntity& entity : kEntities) {
        if (entity.name == name) {
            AppendUtf8(entity.code, out);
            return semicolon + 1;
        }
    }
    return 0;
}

// Elements that stand apart as paragraphs, elements that start a line of their
// own, and cells, which are kept apart by a blank.
constexpr std::array<std::string_view, 13> kParagraphTags{
    "blockquote", "dl", "h1", "h2", "h3", "h4", "h5", "h6", "ol", "p", "pre", "table", "ul"};
constexpr std::array<std::string_view, 7> kLineTags{"address", "dd", "div", "dt", "hr", "li", "tr"};
constexpr std::array<std::string_view, 2> kCellTags{"td", "th"};
constexpr std::array<std::string_view, 4> kHiddenTags{"head", "script", "style", "title"};

template <size_t N>
bool IsOneOf(std::string_view name, const std::array<std::string_view, N>& names) {
    for (std::string_view candidate : names)
        if (candidate == name) return true;
    return false;
}

// Renders onto the end of `out`, whatever it already holds.
class Renderer {
  public:
    explicit Renderer(std::string& out) : out_(out), start_(out.size()) {}

    void Text(char c) {
        if (IsSpace(c)) {
            pendingSpace_ = true;
            return;
        }
        Flush();
        out_ += c;
    }
    // A run that neither starts nor ends with a blank nor holds two together,
    // whose blanks are spaces: the same as Text() for each character.
    void Word(std::string_view word) {
        Flush();
        out_.append(word);
    }
    void Decoded(const std::string& text) {
        Flush();
        out_ += text;
    }
    // Ends the current line, if any, so that `lines` line breaks stand at the
    // end of the text (1 for a new line, 2 for a paragraph).
    void EndLine(int lines) {
        pendingSpace_ = false;
        if (Empty()) return;
        while (breaks_ < lines) {
            out_ += '\n';
            ++breaks_;
        }
    }
    // <br>: always one more line break.
    void Break() {
        pendingSpace_ = false;
        if (Empty()) return;
        out_ += '\n';
        ++breaks_;
    }
    void Space() { pendingSpace_ = true; }
    void Finish() {
        while (!Empty() && out_.back() == '\n') out_.pop_back();
    }

  private:
    void Flush() {
        if (pendingSpace_ && !Empty() && out_.back() != '\n') out_ += ' ';
        pendingSpace_ = false;
        breaks_ = 0;
    }
    bool Empty() const { return out_.size() == start_; }
    std::string& out_;
    size_t start_;
    bool pendingSpace_ = false;
    int breaks_ = 0;
};

}  // namespace

std::string HtmlToText(std::string_view html) {
    std::string text;
    HtmlToText(html, text);
    return text;
}

void HtmlToText(std::string_view html, std::string& out) {
    // Reading from `out` itself is safe only while appending cannot move it.
    const std::less<const char*> before;
    const bool inOut =
        !before(html.data(), out.data()) && before(html.data(), out.data() + out.capacity());
    if (inOut && out.capacity() - out.size() < html.size()) {
        out += HtmlToText(html);
        return;
    }
    Renderer renderer(out);
    size_t i = 0;
    while (i < html.size()) {
        const char c = html[i];
        // Most of a document is words with one blank between them: such a run
        // is taken whole, as it renders the same as word after word.
        if (IsWordCharacter(c)) {
            size_t end = i + 1;
            for (; end < html.size(); ++end) {
                const char d = html[end];
                if (IsWordCharacter(d)) continue;
                if (d != ' ' || end + 1 == html.size() || !IsWordCharacter(html[end + 1])) break;
            }
            renderer.Word(html.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '&') {
            std::string decoded;
            if (const size_t used = DecodeReference(html, i, decoded); used > 0) {
                renderer.Decoded(decoded);
                i += used;
                continue;
            }
            renderer.Text(c);
            ++i;
            continue;
        }
        // Only "<" followed by a letter, "/", "!" or "?" opens a tag.
        const char next = i + 1 < html.size() ? Lower(html[i + 1]) : ' ';
        const bool opensTag =
            (next >= 'a' && next <= 'z') || next == '/' || next == '!' || next == '?';
        if (c != '<' || !opensTag) {
            renderer.Text(c);
            ++i;
            continue;
        }
        if (StartsWithNoCase(html.substr(i), "<!--")) {
            const size_t end = html.find("-->", i + 4);
            i = end == std::string_view::npos ? html.size() : end + 3;
            continue;
        }
        const size_t close = html.find('>', i);
        if (close == std::string_view::npos) {  // a stray "<": plain text
            renderer.Text(c);
            ++i;
            continue;
        }
        size_t nameStart = i + 1;
        const bool endTag = nameStart < close && html[nameStart] == '/';
        if (endTag) ++nameStart;
        std::string name;
        for (size_t j = nameStart; j < close && !IsSpace(html[j]) && html[j] != '/'; ++j)
            name += Lower(html[j]);
        i = close + 1;
        if (!endTag && IsOneOf(name, kHiddenTags)) {
            // Skip to the matching end tag; without one, the rest is hidden.
            const std::string endName = "</" + name;
            size_t end = i;
            while (end < html.size() && !StartsWithNoCase(html.substr(end), endName)) {
                end = html.find('<', end + 1);
                if (end == std::string_view::npos) end = html.size();
            }
            const size_t endClose = end < html.size() ? html.find('>', end) : end;
            i = endClose == std::string_view::npos ? html.size()
                                                   : std::min(endClose + 1, html.size());
            continue;
        }
        if (name == "br")
            renderer.Break();
        else if (IsOneOf(name, kParagraphTags))
            renderer.EndLine(2);
        else if (IsOneOf(name, kLineTags))
            renderer.EndLine(1);
        else if (IsOneOf(name, kCellTags))
            renderer.Space();
    }
    renderer.Finish();
}

}  // namespace postwarden::mailstore
