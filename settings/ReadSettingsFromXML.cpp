// Copies the values of a settings document into the settings store.
#include <array>
#include <string>
#include <string_view>

#include "module/CPostwarden.h"
#include "module/HostEngine.h"
#include "module/RuntimeError.h"
#include "module/Text.h"
#include "settings/SettingKeys.h"
#include "settings/SettingsDocument.h"

namespace postwarden {

namespace {

constexpr const char* kErrorSource = "Postwarden.ReadSettingsFromXML";

enum class Kind { kSwitch, kList, kMessage };

struct Element {
    int step;         // reported when reading this element fails
    const char* tag;  // the element's name in the document
    const char* key;  // where its value is stored
    Kind kind;        // the count is read like a switch
};

// Read in this order, then stored in the same order.
constexpr std::array<Element, 16> kElements = {{
    {10, keys::kPromptForOutsideDomainsWanted, keys::kPromptForOutsideDomainsWanted, Kind::kSwitch},
    {12, keys::kListOfOutsideDomains, keys::kListOfOutsideDomains, Kind::kList},
    {14, keys::kMessageForOutsideDomains, keys::kMessageForOutsideDomains, Kind::kMessage},
    {20, keys::kPromptForEmailAddressesDomainsWanted, keys::kPromptForEmailAddressesDomainsWanted,
     Kind::kSwitch},
    {22, keys::kListOfEmailAddressesDomains, keys::kListOfEmailAddressesDomains, Kind::kList},
    {24, keys::kMessageForEmailAddressesDomains, keys::kMessageForEmailAddressesDomains,
     Kind::kMessage},
    {30, keys::kPromptForKeywordsWanted, keys::kPromptForKeywordsWanted, Kind::kSwitch},
    {32, keys::kListOfKeywords, keys::kListOfKeywords, Kind::kList},
    {36, keys::kMessageForKeywords, keys::kMessageForKeywords, Kind::kMessage},
    {40, keys::kPromptForNumberOfRecipientsWanted, keys::kPromptForNumberOfRecipientsWanted,
     Kind::kSwitch},
    // The document names the recipient limit differently from its key.
    {42, "NumberOfRecipients", keys::kMaxNumberOfRecipients, Kind::kSwitch},
    {44, keys::kSeparateDLsWanted, keys::kSeparateDLsWanted, Kind::kSwitch},
    {46, keys::kMessageForNumberOfRecipients, keys::kMessageForNumberOfRecipients, Kind::kMessage},
    {50, keys::kPromptForBlankSubjectWanted, keys::kPromptForBlankSubjectWanted, Kind::kSwitch},
    {54, keys::kMessageForBlankSubject, keys::kMessageForBlankSubject, Kind::kMessage},
    {60, keys::kPromptForAnySendWanted, keys::kPromptForAnySendWanted, Kind::kSwitch},
}};

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
        std::array<std::string, kElements.size()> values;
        for (size_t i = 0; i < kElements.size(); ++i) {
            const Element& element = kElements[i];
            step = element.step;
            std::optional<std::string> value = element.kind == Kind::kList
                                                   ? document.List(element.tag)
                                                   : document.Scalar(element.tag);
            if (!value) throw errors::ObjectNotSet();
            // Switches and the count are stored in plain decimal ("01" as "1").
            values[i] =
                element.kind == Kind::kSwitch ? std::to_string(ToLong(*value)) : std::move(*value);
        }

        step = kStepStore;
        for (size_t i = 0; i < kElements.size(); ++i) SaveSetting(kElements[i].key, values[i]);
        return true;
    } catch (const RuntimeError& e) {
        try {
            Helper().LogEvent(
                "Error occurred at line " + std::to_string(step) + ".  Reason: " + e.Description(),
                1, kErrorSource);
        } catch (const RuntimeError&) {
            // Nothing is left to report with; the import simply did not happen.
        }
        return false;
    }
}

}  // namespace postwarden
