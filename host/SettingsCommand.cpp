#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "module/HostEngine.h"
#include "module/RuntimeError.h"
#include "module/Text.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/registry/Registry.h"
#include "settings/SettingKeys.h"

namespace postwarden::host {

namespace {

constexpr const char* kHelp =
    "Usage: postwarden settings list\n"
    "       postwarden settings get KEY\n"
    "       postwarden settings set [--force] KEY VALUE\n"
    "       postwarden settings unset KEY\n"
    "       postwarden settings set-number KEYPATH NAME NUMBER\n"
    "\n"
    "Reads and changes the module's settings in HOME/registry.db.\n"
    "\n"
    "  list        every stored setting, one per line: KEY: VALUE (line breaks\n"
    "              and other control characters shown as \\r, \\n, \\t, \\xHH)\n"
    "  get KEY     the stored value as it is; exit 1 when KEY is not set\n"
    "  set [--force] KEY VALUE\n"
    "              stores VALUE (switches: 0 off, 1 on); a switch or a count must\n"
    "              be a whole number, unless --force. A home never used before\n"
    "              gets the default settings first, so the first send keeps VALUE\n"
    "  unset KEY   removes KEY, so the module uses its default; exit 1 when KEY\n"
    "              was not set\n"
    "  set-number KEYPATH NAME NUMBER\n"
    "              stores a 32-bit number in any key of the current user's\n"
    "              registry, e.g. Outlook's editor choice:\n"
    "              set-number 'Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail'\n"
    "              EditorPreference 131073\n"
    "\n"
    "Setting names compare without regard to case. Keys the module reads:\n";

// Control characters made visible, so one setting is one line.
std::string Visible(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// The row of a setting the module reads, named in any case; nullptr for another name.
const Setting* KnownKey(std::string_view name) {
    const std::string folded = LCase(name);
    for (const Setting& setting : kSettings) {
        if (LCase(setting.key) == folded) return &setting;
    }
    return nullptr;
}

// A note for a name the module does not read (it may be meant for a later
// version, so it is stored all the same).
void NoteUnknown(std::string_view name) {
    if (KnownKey(name) == nullptr) {
        PrintError("note: the module does not read a setting named " + std::string(name));
    }
}

// Whether the module can read `value` for the setting `name`; a switch or a
// count must be a whole number, or every rule is skipped on every send.
bool Readable(std::string_view name, std::string_view value) {
    const Setting* setting = KnownKey(name);
    if (setting == nullptr || !IsWholeNumber(setting->kind)) return true;
    try {
        ToLong(value);
        return true;
    } catch (const RuntimeError&) {
        return false;
    }
}

// A store that was never initialised is seeded by the first send, over every
// value it holds: seeding it now keeps what the person is about to change.
void SeedIfNeverInitialised(Registry& registry) {
    const std::string path = SettingsKeyPath(kSettingsAppName, kSettingsSection);
    if (registry.ReadValue(kHiveCurrentUser, path, kSeedingMarker)) return;
    for (const Setting& setting : kSettings) {
        if (setting.seeded == nullptr) continue;
        registry.SaveSetting(kSettingsAppName, kSettingsSection, setting.key, setting.seeded.text);
    }
}

int Usage(const std::string& message) {
    PrintError(message + " (see postwarden settings --help)");
    return kExitUsage;
}

// Creates the home folder before anything is written into it.
bool PrepareHome(const GlobalOptions& options) {
    const std::string error = MakeFolders(options.home);
    if (error.empty()) return true;
    PrintError(error);
    return false;
}

int Run(const GlobalOptions& options, const std::vector<std::string>& args) {
    const std::string& action = args[0];
    const size_t operands = args.size() - 1;
    Registry registry(options.home + "/" + kRegistryFileName);

    if (action == "list") {
        if (operands != 0) return Usage("settings list takes no arguments");
        for (const auto& [name, value] :
             registry.GetAllSettings(kSettingsAppName, kSettingsSection)) {
            std::printf("%s: %s\n", Visible(name).c_str(), Visible(value).c_str());
        }
        return kExitOk;
    }
    if (action == "get") {
        if (operands != 1) return Usage("settings get needs one KEY");
        const std::optional<Registry::Value> value = registry.ReadValue(
            kHiveCurrentUser, SettingsKeyPath(kSettingsAppName, kSettingsSection), args[1]);
        if (value) {
            const std::string text = value->AsText();
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
            return kExitOk;
        }
        PrintError(args[1] + " is not set");
        return kExitCancelled;
    }
    if (action == "set") {
        const bool force = operands == 3 && args[1] == "--force";
        if (operands != 2 && !force) return Usage("settings set needs KEY and VALUE");
        const std::string& key = args[force ? 2 : 1];
        const std::string& value = args[force ? 3 : 2];
        if (key.empty()) return Usage("a setting needs a name");
        if (!force && !Readable(key, value)) {
            return Usage(KnownKey(key)->key + std::string(" must be a whole number (switches: 0 ") +
                         "off, 1 on), not \"" + Visible(value) +
                         "\"; settings set --force stores it anyway");
        }
        NoteUnknown(key);
        if (!PrepareHome(options)) return kExitFailure;
        SeedIfNeverInitialised(registry);
        registry.SaveSetting(kSettingsAppName, kSettingsSection, key, value);
        return kExitOk;
    }
    if (action == "unset") {
        if (operands != 1) return Usage("settings unset needs one KEY");
        if (registry.KeyExists(kHiveCurrentUser,
                               SettingsKeyPath(kSettingsAppName, kSettingsSection))) {
            SeedIfNeverInitialised(registry);
        }
        if (!registry.DeleteSetting(kSettingsAppName, kSettingsSection, args[1])) {
            PrintError(args[1] + " was not set");
            return kExitCancelled;
        }
        return kExitOk;
    }
    if (action == "set-number") {
        if (operands != 3) return Usage("settings set-number needs KEYPATH, NAME and NUMBER");
        if (args[2].empty()) return Usage("a registry value needs a name");
        int32_t number = 0;
        try {
            number = ToLong(args[3]);
        } catch (const RuntimeError&) {
            return Usage(args[3] + " is not a 32-bit whole number");
        }
        if (!PrepareHome(options)) return kExitFailure;
        registry.WriteNumber(kHiveCurrentUser, args[1], args[2], number);
        return kExitOk;
    }
    return Usage("unknown settings action " + action);
}

}  // namespace

// The module's section of the registry, for people and scripts.
int RunSettings(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf("%s", kHelp);
        for (const Setting& setting : kSettings) std::printf("  %s\n", setting.key);
        return kExitOk;
    }
    if (args.empty()) return Usage("settings needs an action: list, get, set or unset");
    try {
        return Run(options, args);
    } catch (const RuntimeError& e) {
        PrintError(e.Description());
        return kExitFailure;
    }
}

}  // namespace postwarden::host
