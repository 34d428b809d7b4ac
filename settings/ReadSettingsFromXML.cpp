// Copies the values of a settings document into the settings store.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/CPostwarden.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/SettingKeys.h"
#include "settings/SettingsDocument.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

namespace {

constexpr const char* kErrorSource = "Postwarden.ReadSettingsFromXML";

constexpr int kStepStore = 70;

// How much of a document that does not parse goes into the log. The line is
// written on every send while the document stays broken, and a document may
// be megabytes; the start is where a reader looks first.
constexpr size_t kMaxLoggedContentsBytes = size_t{64} << 10;

// "XML Contents:" and the document, or its first kMaxLoggedContentsBytes cut
// before a character that would not fit whole, followed by how much was left out.
std::string ContentsLine(std::string_view text) {
    std::string line = "XML Contents:";
    if (text.size() <= kMaxLoggedContentsBytes) return line.append(text);
    size_t kept = kMaxLoggedContentsBytes;
    // Back over continuation bytes to the start of the character they belong to.
    for (int back = 0; back < 3 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80;
         ++back) {
        --kept;
    }
    line.append(text.substr(0, kept));
    return line + "… [" + std::to_string(text.size() - kept) + " more bytes not logged]";
}

}  // namespace

bool CPostwarden::ReadSettingsFromXML(const std::string& xmlText) {
    int step = 0;
    try {
        SettingsDocument document;

        step = 2;
        if (!document.Load(xmlText)) {
            Helper().LogEvent("Error occurred parsing xml file.  Reason: " + document.ErrorReason(),
                              1, kErrorSource);
            Helper().LogEvent(ContentsLine(xmlText), 1, kErrorSource);
            return false;
        }

        // Every value is read before any is stored, so a document that fails part
        // way leaves the store as it was.
        std::vector<std::pair<const char*, std::string>> values;
        values.reserve(kDocumentElementCount);
        for (const Setting& setting : kSettings) {
            if (setting.element == nullptr) continue;
            step = setting.step;
            std::optional<std::string> value = setting.kind == SettingKind::kList
                                                   ? document.List(setting.element.text)
                                                   : document.Scalar(setting.element.text);
            if (!value && setting.optionalElement) continue;
            if (!value) throw errors::ObjectNotSet();
            // Switches and the count are stored in plain decimal ("01" as "1").
            values.emplace_back(setting.key, IsWholeNumber(setting.kind)
                                                 ? std::to_string(ToLong(*value))
                                                 : std::move(*value));
        }

        step = kStepStore;
        for (const auto& [key, value] : values) SaveSetting(key, value);
        return true;
    } catch (const RuntimeError& e) {
        try {
            ReportFailure(kErrorSource, 1, FailureText(step, e.Description()));
        } catch (const RuntimeError&) {
            // Nothing is left to report with; the import simply did not happen.
        }
        return false;
    }
}

}  // namespace postwarden
