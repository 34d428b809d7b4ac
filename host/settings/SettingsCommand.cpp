#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/Options.h"
#include "host/settings/SettingsExport.h"
#include "host/settings/SettingsImport.h"
#include "module/HostEngine.h"
#include "module/SettingKeys.h"
#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/registry/Registry.h"
#include "util/DelimitedList.h"
#include "util/Limits.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden::host {

namespace {

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
        DelimitedList list;
        try {
            list.SetText(value);
        } catch (const RuntimeError& e) {
            return e.Description() + "; settings set --force stores it anyway";
        }
    }
    return "";
}

// What the command line asks of `settings`: the action and its operands.
struct Request {
    std::string action;
    std::string key;                        // get, set, unset; the key path of set-number
    std::string value;                      // set; the value name of set-number
    std::optional<std::string> valueGiven;  // set's VALUE, absent with --file
    std::optional<std::string> file;        // set --file PATH
    bool force = false;
    std::string number;    // set-number
    std::string document;  // import
};

// set [--force] KEY VALUE|-, set [--force] --file PATH KEY.
int RunSet(const GlobalOptions& options, Registry& registry, const Request& request) {
    if (request.file.has_value() == request.valueGiven.has_value()) {
        return Usage(request.file ? "settings set --file PATH needs one KEY"
                                  : "settings set needs KEY and VALUE (- for standard input)");
    }
    const std::string& key = request.key;
    if (key.empty()) return Usage("a setting needs a name");
    std::string value;
    if (request.file || *request.valueGiven == "-") {
        int status = kExitOk;
        if (!ReadValue(request.file ? *request.file : "-", value, status)) return status;
    } else {
        value = *request.valueGiven;
    }
    if (const std::string why = Unusable(key, value, request.force); !why.empty()) {
        return Usage(why);
    }
    NoteUnknown(key);
    if (!PrepareHome(options)) return kExitFailure;
    SeedIfNeverInitialised(registry);
    registry.SaveSetting(kSettingsAppName, kSettingsSection, key, value);
    return kExitOk;
}

int Run(const GlobalOptions& options, const Request& request) {
    const std::string& action = request.action;
    Registry registry(options.home + "/" + kRegistryFileName);

    if (action == "list") {
        for (const auto& [name, value] :
             registry.GetAllSettings(kSettingsAppName, kSettingsSection)) {
            std::printf("%s: %s\n", Visible(name).c_str(), Visible(value).c_str());
        }
        return kExitOk;
    }
    if (action == "get") {
        const std::optional<Registry::Value> value = registry.ReadValue(
            kHiveCurrentUser, SettingsKeyPath(kSettingsAppName, kSettingsSection), request.key);
        if (value) {
            const std::string text = value->AsText();
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
            return kExitOk;
        }
        PrintError(request.key + " is not set");
        return kExitCancelled;
    }
    if (action == "set") return RunSet(options, registry, request);
    if (action == "import") return ImportSettings(options, request.document);
    if (action == "export") {
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
        if (registry.KeyExists(kHiveCurrentUser,
                               SettingsKeyPath(kSettingsAppName, kSettingsSection))) {
            SeedIfNeverInitialised(registry);
        }
        if (!registry.DeleteSetting(kSettingsAppName, kSettingsSection, request.key)) {
            PrintError(request.key + " was not set");
            return kExitCancelled;
        }
        return kExitOk;
    }
    // set-number
    if (request.value.empty()) return Usage("a registry value needs a name");
    int32_t number = 0;
    try {
        number = ToLong(request.number);
    } catch (const RuntimeError&) {
        return Usage(request.number + " is not a 32-bit whole number");
    }
    if (!PrepareHome(options)) return kExitFailure;
    registry.WriteNumber(kHiveCurrentUser, request.key, request.value, number);
    return kExitOk;
}

// The settings the module reads, for the foot of --help, with those a
// settings document does not carry marked: they are each user's own.
std::string KnownKeys() {
    std::string keys =
        "Setting names compare without regard to case. The settings the module reads\n"
        "(* not in a settings document: import leaves them as they are, export\n"
        "writes none of them; + a document may leave it out, and import then\n"
        "leaves it as it is):\n";
    for (const Setting& setting : kSettings) {
        const char* mark = !setting.element.present ? "* " : setting.optionalElement ? "+ " : "  ";
        keys += mark + std::string(setting.key) + "\n";
    }
    return keys;
}

}  // namespace

// The module's section of the registry, for people and scripts.
int RunSettings(const GlobalOptions& options, const std::vector<std::string>& args) {
    Request request;
    CommandLine cli("settings", "Reads and changes the module's settings in HOME/registry.db.");
    cli.require_subcommand(1);
    cli.footer(KnownKeys());
    // Each action's operands are its last arguments: from the first of them on
    // nothing is an option, so a VALUE may be "--force" or "-5".
    const auto action = [&cli](const char* name, const char* description) {
        CLI::App* sub = cli.add_subcommand(name, description);
        sub->positionals_at_end();
        return sub;
    };
    action("list",
           "every stored setting, one per line: KEY: VALUE (line breaks\n"
           "and other control characters shown as \\r, \\n, \\t, \\xHH)");
    action("get", "the stored value of KEY as it is; exit 1 when KEY is not set")
        ->add_option("KEY", request.key, "the setting's name")
        ->required();
    CLI::App* set = action("set",
                           "stores VALUE for KEY (switches: 0 off, 1 on); a switch or a count\n"
                           "must be a whole number, unless --force. A home never used before\n"
                           "gets the default settings first, so the first send keeps VALUE.\n"
                           "VALUE - or --file PATH read it from standard input or from the\n"
                           "file PATH, for a list too long for the command line; one line\n"
                           "end at the very end is not part of the value. A value may hold up\n"
                           "to 4 MiB, and a list up to 100000 entries (more only with --force:\n"
                           "the module then skips the list)");
    set->add_flag("--force", request.force, "store a value the module cannot use");
    set->add_option("--file", request.file, "read the value from the file PATH")->type_name("PATH");
    set->add_option("KEY", request.key, "the setting's name")->required();
    set->add_option("VALUE", request.valueGiven, "the value, or - for standard input");
    action("unset",
           "removes KEY, so the module uses its default; exit 1 when KEY\n"
           "was not set")
        ->add_option("KEY", request.key, "the setting's name")
        ->required();
    action("import",
           "reads a settings document (from standard input for -) into\n"
           "the settings exactly as a central settings file is read at the\n"
           "start of a send, with the same lines in the log; the document\n"
           "must carry all 16 settings a document holds (those not marked\n"
           "with * below). When it is refused: exit 3, standard error says\n"
           "why, and the settings stay as they were (a home never used\n"
           "before gets the defaults, as at its first send)")
        ->add_option("FILE", request.document, "the document, or - for standard input")
        ->required();
    action("export",
           "writes the settings document of these settings to standard\n"
           "output: every setting a document carries, each list one <Entry>\n"
           "element per entry, an unset setting as the module takes it;\n"
           "import reads it back to the same settings");
    // For tests of the module's editor probe, which nothing on Linux sets
    // (see DEVELOPER OPTIONS in the manual page): kept out of --help.
    CLI::App* setNumber = action("set-number", "");
    setNumber->group("");
    setNumber->add_option("KEYPATH", request.key, "the registry key")->required();
    setNumber->add_option("NAME", request.value, "the value's name")->required();
    setNumber->add_option("NUMBER", request.number, "a 32-bit whole number")->required();
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    request.action = cli.get_subcommands().front()->get_name();
    try {
        return Run(options, request);
    } catch (const RuntimeError& e) {
        PrintError(e.Description());
        return kExitFailure;
    }
}

}  // namespace postwarden::host
