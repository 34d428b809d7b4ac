// Refreshes the settings from a central source, seeds a store that was never
// initialised, and traces the effective settings.
#include <chrono>
#include <span>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "module/HostEngine.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

namespace {

constexpr const char* kSource = "EnsureDefaultSettings";
constexpr const char* kErrorSource = "Postwarden.EnsureDefaultSettings";
constexpr const char* kUsingDefaults = "No exchange folder or network file present, using defaults";
// What the marker reads as when the store was never initialised.
constexpr const char* kNeverInitialised = "-2";

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

        // One time limit for the fetches of both sources: two servers that do
        // not answer hold the send no longer than one. Unset after them, so a
        // fetch outside a refresh keeps a limit of its own.
        m_FetchDeadline = std::chrono::steady_clock::now() + FetchPolicy{}.timeLimit;

        step = 4;
        if (!folderPath.empty()) fetched = FetchSettingsFromExchange(folderPath);

        step = 6;
        if (!fetched && !filePath.empty()) fetched = FetchSettingsFromNetworkLocation(filePath);
        m_FetchDeadline = {};

        step = 8;
        if (!fetched && ToLong(GetSetting(kSeedingMarker, kNeverInitialised)) == -2) {
            Log(kSource, kUsingDefaults, 0);
            for (const Setting& setting : kSettings) {
                if (setting.seeded != nullptr) SaveSetting(setting.key, setting.seeded.text);
            }
        }

        // Switches and the count are traced as the converted number; an absent
        // key as 0 or empty, whatever its fallback.
        auto traceLine = [this](const Setting& setting) {
            const std::string value = IsWholeNumber(setting.kind)
                                          ? std::to_string(ToLong(GetSetting(setting.key, "0")))
                                          : GetSetting(setting.key, "");
            return std::string(setting.key) + ": " + value;
        };
        // A group is read whole before its lines are written, so a value that
        // cannot be read leaves no line of its group.
        const std::span<const Setting> rows(kSettings);
        for (auto row = rows.begin(); row != rows.end();) {
            const int group = row->group;
            std::vector<std::string> lines;
            for (; row != rows.end() && row->group == group; ++row) {
                if (group != 0) lines.push_back(traceLine(*row));
            }
            for (const std::string& line : lines) Log(kSource, line, 0);
        }
    } catch (const RuntimeError& e) {
        try {
            // Unlike FailureText, no blank after "Reason:": this line has always
            // been written so, and log readers match it as it stands.
            Helper().LogEvent(
                "Error occurred at line " + std::to_string(step) + ".  Reason:" + e.Description(),
                0, kErrorSource);
        } catch (const RuntimeError&) {
            // Nothing is left to report with; the explorer opens all the same.
        }
    }
}

}  // namespace postwarden
