#include "host/settings/SettingsExport.h"

#include <unicode/utf8.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "module/SettingKeys.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/registry/Registry.h"
#include "util/DelimitedList.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden::host {

namespace {

constexpr const char* kRoot = "Settings";
constexpr const char* kEntry = "Entry";

bool IsXmlChar(UChar32 c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// What a parser drops as white space between elements.
bool IsXmlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Reference(unsigned char c) {
    return "&#" + std::to_string(c) + ";";
}

}  // namespace

std::string XmlCharacterData(std::string_view text) {
    const bool blank = !text.empty() && text.find_first_not_of(" \t\r\n") == std::string_view::npos;
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, text.size(), c);
        if (c < 0) {
            throw RuntimeError(errors::kTypeMismatch,
                               "bytes that are not UTF-8 at byte " + std::to_string(start + 1));
        }
        if (!IsXmlChar(c)) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
            throw RuntimeError(errors::kTypeMismatch, std::string("the character ") + code +
                                                          ", which XML does not allow, at byte " +
                                                          std::to_string(start + 1));
        }
        const char one = text[start];
        if (blank && IsXmlBlank(one)) {
            out += Reference(static_cast<unsigned char>(one));
        } else if (one == '&') {
            out += "&amp;";
        } else if (one == '<') {
            out += "&lt;";
        } else if (one == '>') {
            out += "&gt;";
        } else if (one == '\r') {
            out += Reference('\r');
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out;
}

std::string ExportSettingsDocument(Registry& registry, std::vector<std::string>& notes) {
    const std::string keyPath = SettingsKeyPath(kSettingsAppName, kSettingsSection);
    const bool initialised =
        registry.ReadValue(kHiveCurrentUser, keyPath, kSeedingMarker).has_value();
    std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + std::string(kRoot) + ">\n";
    for (const Setting& setting : kSettings) {
        if (setting.element == nullptr) continue;
        const std::optional<Registry::Value> stored =
            registry.ReadValue(kHiveCurrentUser, keyPath, setting.key);
        std::string value = stored        ? stored->AsText()
                            : initialised ? FallbackOf(setting).text
                                          : setting.seeded.text;
        if (IsWholeNumber(setting.kind)) {
            // As the import stores it ("007" as "7"), so that a second export is
            // the same document.
            try {
                value = std::to_string(ToLong(value));
            } catch (const RuntimeError&) {
                notes.push_back(std::string(setting.key) + " holds \"" + value +
                                "\", which is no whole number: importing this document will "
                                "fail until it is one");
            }
        }
        const std::string element = setting.element.text;
        try {
            if (setting.kind == SettingKind::kList) {
                DelimitedList list;
                list.SetText(value);
                if (list.Count() == 0) {
                    document += "  <" + element + "/>\n";
                    continue;
                }
                document += "  <" + element + ">\n";
                for (int32_t i = 1; i <= list.Count(); ++i) {
                    document += "    <" + std::string(kEntry) + ">" +
                                XmlCharacterData(list.Item(i)) + "</" + kEntry + ">\n";
                }
                document += "  </" + element + ">\n";
            } else {
                document +=
                    "  <" + element + ">" + XmlCharacterData(value) + "</" + element + ">\n";
            }
        } catch (const RuntimeError& e) {
            throw RuntimeError(
                e.Number(), std::string(setting.key) + " cannot be exported: " + e.Description());
        }
    }
    return document + "</" + kRoot + ">\n";
}

}  // namespace postwarden::host
