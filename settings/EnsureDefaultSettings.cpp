// Refreshes the settings from a central source, seeds a store that was never
// initialised, and traces the effective settings.
#include <array>
#include <initializer_list>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "module/HostEngine.h"
#include "module/RuntimeError.h"
#include "module/Text.h"
#include "settings/SettingKeys.h"

namespace postwarden {

namespace {

constexpr const char* kSource = "EnsureDefaultSettings";
constexpr const char* kErrorSource = "Postwarden.EnsureDefaultSettings";
constexpr const char* kUsingDefaults = "No exchange folder or network file present, using defaults";
// What the marker reads as when the store was never initialised.
constexpr const char* kNeverInitialised = "-2";

struct Traced {
    const char* key;
    bool numeric;  // switches and counts are traced as the converted number
};

// Each group is read whole before its lines are written.
const std::initializer_list<std::initializer_list<Traced>> kTracedGroups = {
    {{keys::kPromptForOutsideDomainsWanted, true},
     {keys::kListOfOutsideDomains, false},
     {keys::kMessageForOutsideDomains, false}},
    {{keys::kPromptForEmailAddressesDomainsWanted, true},
     {keys::kListOfEmailAddressesDomains, false},
     {keys::kMessageForEmailAddressesDomains, false}},
    {{keys::kPromptForKeywordsWanted, true},
     {keys::kListOfKeywords, false},
     {keys::kMessageForKeywords, false}},
    {{keys::kPromptForNumberOfRecipientsWanted, true},
     {keys::kMaxNumberOfRecipients, true},
     {keys::kSeparateDLsWanted, true},
     {keys::kMessageForNumberOfRecipients, false}},
    {{keys::kPromptForBlankSubjectWanted, true}, {keys::kMessageForBlankSubject, false}},
    {{keys::kPromptForAnySendWanted, true}, {keys::kMessageForAnySend, false}},
};

}  // namespace

void CPostwarden::EnsureDefaultSettings() {
    int step = 0;
    try {
        step = 2;
        const std::string folderPath = GetSetting(keys::kFetchSettingsExchangePublicFolder,
                                                  fallback::kFetchSettingsExchangePublicFolder);
        const std::string filePath = GetSetting(keys::kFetchSettingsNetworkLocation,
                                                fallback::kFetchSettingsNetworkLocation);
        bool fetched = false;

        step = 4;
        if (!folderPath.empty()) fetched = FetchSettingsFromExchange(folderPath);

        step = 6;
        if (!fetched && !filePath.empty()) fetched = FetchSettingsFromNetworkLocation(filePath);

        step = 8;
        if (!fetched &&
            ToLong(GetSetting(keys::kPromptForOutsideDomainsWanted, kNeverInitialised)) == -2) {
            Log(kSource, kUsingDefaults, 0);
            for (const seeded::Seed& seed : seeded::kAll) SaveSetting(seed.key, seed.value);
        }

        for (const auto& group : kTracedGroups) {
            std::vector<std::string> lines;
            lines.reserve(group.size());
            for (const Traced& traced : group) {
                const std::string value = traced.numeric
                                              ? std::to_string(ToLong(GetSetting(traced.key, "0")))
                                              : GetSetting(traced.key, "");
                lines.push_back(std::string(traced.key) + ": " + value);
            }
            for (const std::string& line : lines) Log(kSource, line, 0);
        }
    } catch (const RuntimeError& e) {
        try {
            Helper().LogEvent(
                "Error occurred at line " + std::to_string(step) + ".  Reason:" + e.Description(),
                0, kErrorSource);
        } catch (const RuntimeError&) {
            // Nothing is left to report with; the explorer opens all the same.
        }
    }
}

}  // namespace postwarden
