#include "settings/SettingsDocument.h"

#include <algorithm>
#include <cctype>
#include <pugixml.hpp>
#include <unordered_map>
#include <unordered_set>

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

struct SettingsDocument::Parsed {
    pugi::xml_document document;
    // The first element of each tag name, in document order.
    std::unordered_map<std::string_view, pugi::xml_node> firstByName;
};

SettingsDocument::SettingsDocument() = default;
SettingsDocument::~SettingsDocument() = default;

bool SettingsDocument::Load(std::string_view text) {
    parsed_.reset();
    reason_.clear();
    auto parsed = std::make_unique<Parsed>();
    // As a fragment, so that what the parser would otherwise pass over in
    // silence (a second top-level element, text outside the top-level element)
    // stays visible and can be refused. Comments and processing instructions are
    // not kept, so they never become list items.
    const pugi::xml_parse_result result = parsed->document.load_buffer(
        text.data(), text.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!result) {
        reason_ = std::string(result.description()) + " at " + Position(text, result.offset);
        return false;
    }
    pugi::xml_node root;
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
        }
    }
    if (!root) {
        reason_ = "No document element found";
        return false;
    }

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
                    reason_ = "Duplicate attribute " + std::string(a.name()) + " in element " +
                              current.name() + " at " + Position(text, current.offset_debug() - 1);
                    return false;
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
