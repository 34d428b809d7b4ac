#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/SettingsExport.h"
#include "host/SettingsImport.h"
#include "module/HostEngine.h"
#include "module/Limits.h"
#include "module/RuntimeError.h"
#include "module/Text.h"
#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/registry/Registry.h"
#include "settings/SettingKeys.h"

namespace postwarden::host {

namespace {

constexpr const char* kHelp =
    "Usage: postwarden settings list\n"
    "       postwarden settings get KEY\n"
    "       postwarden settings set [--force] KEY VALUE|-\n"
    "       postwarden settings set [--force] --file PATH KEY\n"
    "       postwarden settings unset KEY\n"
    "       postwarden settings import FILE|-\n"
    "       postwarden settings export\n"
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
    "  set [--force] KEY -, set [--force] --file PATH KEY\n"
    "              the same with the value read from standard input or from the\n"
    "              file PATH, for a list too long for the command line; one line\n"
    "              end at the very end is not part of the value\n"
    "              A value may hold up to 4 MiB, and a list up to 100000 entries\n"
    "              (more only with --force: the module then skips the list)\n"
    "  unset KEY   removes KEY, so the module uses its default; exit 1 when KEY\n"
    "              was not set\n"
    "  import FILE|-\n"
    "              reads a settings document (from standard input for -) into\n"
    "              the settings exactly as a central settings file is read at the\n"
    "              start of a send, with the same lines in the log; the document\n"
    "              must carry all 16 settings a document holds. When it is\n"
    "              refused: exit 3, standard error says why, and the settings stay\n"
    "              as they were (a home never used before gets the defaults, as\n"
    "              at its first send)\n"
    "  export      writes the settings document of these settings to standard\n"
    "              output: every setting a document carries, each list one <Entry>\n"
    "              element per entry, an unset setting as the module takes it;\n"
    "              import reads it back to the same settings\n"
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

// The value of `set` from a file ("-" for standard input), without the one line
// end a file or a pipe ends with; false after saying why it cannot be read.
// Reading stops past the list limit, as a longer value is no use to the module.
bool ReadValue(const std::string& path, std::string& value, int& status) {
    const bool standardInput = path == "-";
    const std::string shown = standardInput ? "standard input" : path;
    try {
        value = ReadWholeFile(standardInput ? "/dev/stdin" : path, limits::kMaxListTextBytes,
                              "a setting");
    } catch (const RuntimeError& e) {
        if (e.Number() == limits::kErrorTooLarge) {
            status = Usage("the value in " + shown + " is larger than " +
                           std::to_string(limits::kMaxListTextBytes) +
                           " bytes, the limit for a setting");
        } else {
            PrintError("cannot read " + shown + ": " + e.Description());
            status = kExitFailure;
        }
        return false;
    }
    if (value.ends_with('\n')) value.pop_back();
    if (value.ends_with('\r')) value.pop_back();
    return true;
}

// The start of a value for a message: a value read from a file may be megabytes.
std::string Shortened(std::string_view value) {
    constexpr size_t kShown = 60;
    if (value.size() <= kShown) return std::string(value);
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
    return std::string(value.substr(0, cut)) + "…";
}

// Why the module could not use `value` for the setting `name`, unless forced;
// empty when it can.
std::string Unusable(std::string_view name, std::string_view value, bool force) {
    if (value.size() > limits::kMaxListTextBytes) {
        return "the value is larger than " + std::to_string(limits::kMaxListTextBytes) +
               " bytes, the limit for a setting";
    }
    if (force) return "";
    const Setting* setting = KnownKey(name);
    if (setting == nullptr) return "";
    if (!Readable(name, value)) {
        return setting->key + std::string(" must be a whole number (switches: 0 ") +
               "off, 1 on), not \"" + Visible(Shortened(value)) +
               "\"; settings set --force stores it anyway";
    }
    if (setting->kind == SettingKind::kList) {
        SplitDelimitedList list;
        try {
            list.SetText(value);
        } catch (const RuntimeError& e) {
            return e.Description() + "; settings set --force stores it anyway";
        }
    }
    return "";
}

// set [--force] KEY VALUE|-, set [--force] --file PATH KEY. The options stand
// before KEY, so that any VALUE, "--force" too, can follow it.
int RunSet(const GlobalOptions& options, Registry& registry, const std::vector<std::string>& args) {
    bool force = false;
    std::optional<std::string> file;
    size_t next = 1;
    for (; next < args.size() && args[next].starts_with("--"); ++next) {
        const std::string& option = args[next];
        if (option == "--") {
            ++next;
            break;
        }
        if (option == "--force") {
            force = true;
        } else if (option == "--file") {
            if (++next == args.size()) return Usage("settings set --file needs a PATH");
            file = args[next];
        } else if (option.starts_with("--file=")) {
            file = option.substr(std::string_view("--file=").size());
        } else {
            return Usage("unknown option " + Visible(option) + " of settings set");
        }
    }
    const std::vector<std::string> operands(args.begin() + static_cast<ptrdiff_t>(next),
                                            args.end());
    if (file ? operands.size() != 1 : operands.size() != 2) {
        return Usage(file ? "settings set --file PATH needs one KEY"
                          : "settings set needs KEY and VALUE (- for standard input)");
    }
    const std::string& key = operands[0];
    if (key.empty()) return Usage("a setting needs a name");
    std::string value;
    if (file || operands[1] == "-") {
        int status = kExitOk;
        if (!ReadValue(file ? *file : "-", value, status)) return status;
    } else {
        value = operands[1];
    }
    if (const std::string why = Unusable(key, value, force); !why.empty()) return Usage(why);
    NoteUnknown(key);
    if (!PrepareHome(options)) return kExitFailure;
    SeedIfNeverInitialised(registry);
    registry.SaveSetting(kSettingsAppName, kSettingsSection, key, value);
    return kExitOk;
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
    if (action == "set") return RunSet(options, registry, args);
    if (action == "import") {
        if (operands != 1) return Usage("settings import needs one FILE, or - for standard input");
        return ImportSettings(options, args[1]);
    }
    if (action == "export") {
        if (operands != 0) return Usage("settings export takes no arguments");
        std::vector<std::string> notes;
        const std::string document = ExportSettingsDocument(registry, notes);
        for (const std::string& note : notes) PrintError("note: " + Visible(note));
        if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
            std::fflush(stdout) != 0) {
            PrintError(std::string("cannot write the settings document: ") + std::strerror(errno));
            return kExitFailure;
        }
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
    if (args.empty())
        return Usage("settings needs an action: list, get, set, unset, import or export");
    try {
        return Run(options, args);
    } catch (const RuntimeError& e) {
        PrintError(e.Description());
        return kExitFailure;
    }
}

}  // namespace postwarden::host
