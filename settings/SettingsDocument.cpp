#include "settings/SettingsDocument.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "settings/SettingsDocumentInternal.h"

namespace postwarden {

namespace {

bool IsText(const pugi::xml_node& node) {
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// All text of `node` and its descendants, in document order.
std::string TextContent(const pugi::xml_node& node) {
    if (IsText(node)) return node.value();
    std::string text;
    pugi::xml_node current = node.first_child();
    while (current && current != node) {
        if (IsText(current)) text += current.value();
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current != node && !current.next_sibling()) current = current.parent();
        if (current != node) current = current.next_sibling();
    }
    return text;
}

// "line L, column C" of a byte offset into `text`, both counted from 1.
std::string Position(std::string_view text, ptrdiff_t offset) {
    size_t line = 1, column = 1;
    const size_t end = std::min(text.size(), static_cast<size_t>(std::max<ptrdiff_t>(offset, 0)));
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string Shown(std::string_view name) {
    constexpr size_t kShown = 40;
    if (name.size() <= kShown) return std::string(name);
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return std::string(name.substr(0, cut)) + "…";
}

size_t FirstInvalidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, text.size(), c);
        if (c < 0) return start;
    }
    return std::string_view::npos;
}

namespace {

// --- Well-formedness of character data, which the parser does not check ---

bool IsNameStart(unsigned char c) {
    // Every character beyond ASCII counts: the text is valid UTF-8 by now, and
    // XML's finer ranges there keep out nothing a reference could abuse.
    return std::isalpha(c) || c == '_' || c == ':' || c >= 0x80;
}
bool IsNameChar(unsigned char c) {
    return IsNameStart(c) || std::isdigit(c) || c == '-' || c == '.';
}
// A character an XML 1.0 document may hold.
bool IsXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(uint32_t c, std::string& out) {
    char bytes[U8_MAX_LENGTH];
    size_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    out.append(bytes, length);
}

// CR LF and a lone CR as LF, as a parser hands line ends on.
std::string NormaliseLineEnds(std::string_view raw) {
    std::string text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\r') {
            text += raw[i];
        } else {
            text += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        }
    }
    return text;
}

// What is wrong at a byte of a text.
struct Fault {
    size_t at;
    std::string what;
};

using Entities = std::unordered_set<std::string_view>;

// The general entities the internal subset of a DOCTYPE (its text as the parser
// keeps it) declares. Parameter entities ("<!ENTITY % name") are no such.
void CollectDeclaredEntities(std::string_view doctype, Entities& declared) {
    constexpr std::string_view kDeclaration = "<!ENTITY";
    for (size_t at = doctype.find(kDeclaration); at != std::string_view::npos;
         at = doctype.find(kDeclaration, at + 1)) {
        size_t i = at + kDeclaration.size();
        const size_t blanks = i;
        while (i < doctype.size() && std::isspace(static_cast<unsigned char>(doctype[i]))) ++i;
        if (i == blanks || i == doctype.size() || doctype[i] == '%') continue;
        const size_t name = i;
        while (i < doctype.size() && IsNameChar(static_cast<unsigned char>(doctype[i]))) ++i;
        if (i > name) declared.insert(doctype.substr(name, i - name));
    }
}

// Character data as written (`raw`, an attribute value or the text between
// tags) made its text, appended to `out` when given: line ends become LF, the
// five predefined entities and character references their characters, and a
// reference to a declared entity stays as written (its declaration is never
// read). Nothing when it is well-formed; else where and why not.
std::optional<Fault> ReadCharacterData(std::string_view raw, const Entities& declared,
                                       std::string* out) {
    static const std::unordered_map<std::string_view, char> kPredefined = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    size_t plain = 0;  // start of the run not yet copied
    auto flush = [&](size_t end) {
        if (out) out->append(raw.substr(plain, end - plain));
    };
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            flush(i);
            if (out) *out += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            plain = i + 1;
            continue;
        }
        if (raw[i] != '&') continue;
        const size_t start = i++;
        if (i < raw.size() && raw[i] == '#') {
            const bool hex = i + 1 < raw.size() && raw[i + 1] == 'x';
            i += hex ? 2 : 1;
            const size_t digits = i;
            uint32_t code = 0;
            for (; i < raw.size() && (hex ? std::isxdigit(static_cast<unsigned char>(raw[i]))
                                          : std::isdigit(static_cast<unsigned char>(raw[i])));
                 ++i) {
                const unsigned char d = static_cast<unsigned char>(raw[i]);
                const uint32_t value = std::isdigit(d) ? d - '0' : (std::tolower(d) - 'a' + 10);
                // Past U+10FFFF the exact value no longer matters.
                code = std::min<uint32_t>(code * (hex ? 16 : 10) + value, 0x110000);
            }
            if (i == digits || i == raw.size() || raw[i] != ';') {
                return Fault{start, "Unescaped & (write &amp; for the character)"};
            }
            if (!IsXmlChar(code)) {
                return Fault{start, "Character reference " +
                                        Shown(raw.substr(start, i + 1 - start)) +
                                        " to a character XML does not allow"};
            }
            flush(start);
            if (out) AppendUtf8(code, *out);
            plain = i + 1;
            continue;
        }
        const size_t name = i;
        if (i < raw.size() && IsNameStart(static_cast<unsigned char>(raw[i]))) {
            while (i < raw.size() && IsNameChar(static_cast<unsigned char>(raw[i]))) ++i;
        }
        if (i == name || i == raw.size() || raw[i] != ';') {
            return Fault{start, "Unescaped & (write &amp; for the character)"};
        }
        const std::string_view entity = raw.substr(name, i - name);
        if (auto it = kPredefined.find(entity); it != kPredefined.end()) {
            flush(start);
            if (out) *out += it->second;
            plain = i + 1;
        } else if (!declared.contains(entity)) {
            return Fault{start, "Reference to the undeclared entity &" + Shown(entity) + ";"};
        }
    }
    flush(raw.size());
    return std::nullopt;
}

}  // namespace

struct SettingsDocument::Parsed {
    // The text the nodes point into: it is parsed in place, so that a fault in
    // character data can be placed by where its value lies in this text.
    std::string text;
    pugi::xml_document document;
    // The first element of each tag name, in document order.
    std::unordered_map<std::string_view, pugi::xml_node> firstByName;

    // The offset in `text` of a value the parser left in place.
    std::optional<size_t> OffsetOf(const char* value) const {
        // std::less, as the value may lie anywhere.
        const std::less<const char*> before;
        if (before(value, text.data()) || before(text.data() + text.size(), value)) {
            return std::nullopt;
        }
        return static_cast<size_t>(value - text.data());
    }
};

SettingsDocument::SettingsDocument() = default;
SettingsDocument::~SettingsDocument() = default;

bool SettingsDocument::Load(std::string_view text) {
    parsed_.reset();
    reason_.clear();
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (const size_t bad = FirstInvalidUtf8(text); bad != std::string_view::npos) {
        reason_ = "Text that is not UTF-8 at " + Position(text, static_cast<ptrdiff_t>(bad));
        return false;
    }
    auto parsed = std::make_unique<Parsed>();
    parsed->text.assign(text);
    // As a fragment, so that what the parser would otherwise pass over in
    // silence (a second top-level element, text outside the top-level element)
    // stays visible and can be refused. Comments and processing instructions are
    // not kept, so they never become list items. References and line ends are
    // left as written: the parser lets a bare & or an unknown entity through,
    // so they are read below, where a fault can be refused.
    constexpr unsigned kOptions =
        (pugi::parse_default | pugi::parse_fragment | pugi::parse_doctype) & ~pugi::parse_escapes &
        ~pugi::parse_eol;
    const pugi::xml_parse_result result = parsed->document.load_buffer_inplace(
        parsed->text.data(), parsed->text.size(), kOptions, pugi::encoding_utf8);
    if (!result) {
        reason_ = std::string(result.description()) + " at " + Position(text, result.offset);
        return false;
    }
    pugi::xml_node root;
    Entities declared;
    for (pugi::xml_node node : parsed->document.children()) {
        // A node's debug offset is that of its name or text; an element's "<" is just before.
        if (node.type() == pugi::node_element) {
            if (root) {
                reason_ = "Only one top-level element is allowed; another one starts at " +
                          Position(text, node.offset_debug() - 1);
                return false;
            }
            root = node;
        } else if (IsText(node)) {
            // Point at the stray text itself, not at the line break before it.
            size_t at = static_cast<size_t>(node.offset_debug());
            while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
            reason_ = "Text is not allowed outside the top-level element, at " +
                      Position(text, static_cast<ptrdiff_t>(at));
            return false;
        } else if (node.type() == pugi::node_doctype) {
            CollectDeclaredEntities(node.value(), declared);
        }
    }
    if (!root) {
        reason_ = "No document element found";
        return false;
    }

    // Character data is read where it lies in the text; `fallback` places a
    // value the parser did not leave there (only an empty one).
    auto read = [&](const char* value, ptrdiff_t fallback, std::string* out) {
        const std::optional<Fault> fault = ReadCharacterData(value, declared, out);
        if (fault) {
            const std::optional<size_t> at = parsed->OffsetOf(value);
            reason_ = fault->what + " at " +
                      Position(text, at ? static_cast<ptrdiff_t>(*at + fault->at) : fallback);
        }
        return !fault;
    };
    auto outOfMemory = [&] {
        reason_ = "Out of memory";
        return false;
    };

    // One walk in document order (pre-order); the first element of a name wins.
    pugi::xml_node current = root;
    for (;;) {
        if (current.type() == pugi::node_element) {
            parsed->firstByName.try_emplace(current.name(), current);
            // The parser lets a repeated attribute pass; a well-formed document has
            // none. A set of the names seen, not a comparison of every pair, as an
            // element may carry any number of attributes.
            std::unordered_set<std::string_view> attributeNames;
            for (pugi::xml_attribute a = current.first_attribute(); a; a = a.next_attribute()) {
                if (!attributeNames.insert(a.name()).second) {
                    reason_ = "Duplicate attribute " + Shown(a.name()) + " in element " +
                              Shown(current.name()) + " at " +
                              Position(text, current.offset_debug() - 1);
                    return false;
                }
                if (!read(a.value(), current.offset_debug() - 1, nullptr)) return false;
            }
        } else if (current.type() == pugi::node_pcdata) {
            if (std::string_view(current.value()).find_first_of("&\r") != std::string_view::npos) {
                std::string value;
                if (!read(current.value(), current.offset_debug(), &value)) return false;
                if (!current.set_value(value.c_str())) return outOfMemory();
            }
        } else if (current.type() == pugi::node_cdata) {
            // Its line ends only: an & in a CDATA section is the character.
            if (std::strchr(current.value(), '\r') != nullptr) {
                if (!current.set_value(NormaliseLineEnds(current.value()).c_str())) {
                    return outOfMemory();
                }
            }
        }
        if (current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current != root && !current.next_sibling()) current = current.parent();
        if (current == root) break;
        current = current.next_sibling();
    }
    parsed_ = std::move(parsed);
    return true;
}

std::optional<std::string> SettingsDocument::Scalar(std::string_view name) const {
    if (!parsed_) return std::nullopt;
    auto it = parsed_->firstByName.find(name);
    if (it == parsed_->firstByName.end()) return std::nullopt;
    return TextContent(it->second);
}

std::optional<std::string> SettingsDocument::List(std::string_view name) const {
    if (!parsed_) return std::nullopt;
    auto it = parsed_->firstByName.find(name);
    if (it == parsed_->firstByName.end()) return std::nullopt;
    std::string list;
    bool first = true;
    for (pugi::xml_node child : it->second.children()) {
        if (child.type() != pugi::node_element && !IsText(child)) continue;
        if (!first) list += "\r\n";
        list += TextContent(child);
        first = false;
    }
    return list;
}
}  // namespace postwarden
