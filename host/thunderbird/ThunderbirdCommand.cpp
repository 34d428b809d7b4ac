#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "host/Command.h"
#include "host/InstallLayout.h"
#include "host/Options.h"
#include "host/thunderbird/ThunderbirdHost.h"
#include "host/thunderbird/ThunderbirdSetup.h"
#include "platform/TerminalText.h"

namespace postwarden::host {

namespace {

namespace fs = std::filesystem;
// Keeps the order of an administrator's policies file as it was.
using ordered_json = nlohmann::ordered_json;

// Thunderbird starts an add-on it finds in a profile's extensions/ folder
// switched off while the profile's bit is set in this preference, and only
// puts a badge on its menu for the person to enable it. Its default from
// Thunderbird 128 to 153 is 3 (the profile's and the user's add-on folders).
constexpr const char* kAutoDisablePref = "extensions.autoDisableScopes";
constexpr int kThunderbirdAutoDisableDefault = 3;
constexpr int kProfileScope = 1;
// Ends the one line install adds to user.js, so that uninstall finds it.
constexpr const char* kUserJsMark = " // added by postwarden thunderbird install";

// What install writes and where; the file names come from the build.
std::string Description() {
    char text[2000];
    std::snprintf(text, sizeof text,
                  "install writes the native-messaging manifest that lets the Postwarden add-on\n"
                  "run %s (found beside this program, else in ../lib/postwarden/)\n"
                  "into ~/.mozilla/native-messaging-hosts/%s.json, or with --system into\n"
                  "%s/ for every user.\n"
                  "With --profile it also copies the add-on (%s, beside\n"
                  "this program, else in ../share/postwarden/) into the Thunderbird profile\n"
                  "folder DIR and, so that Thunderbird starts it enabled, sets\n"
                  "%s in DIR/user.js. With --system Thunderbird's\n"
                  "enterprise policies install it in every profile, where it cannot be\n"
                  "disabled (%s). With neither, it says how to\n"
                  "add it in Thunderbird. Restart Thunderbird afterwards.\n"
                  "\n"
                  "uninstall removes what install wrote; with --profile, quit Thunderbird first.\n"
                  "\n"
                  "The add-on asks before every send, with the settings, log and home folder of\n"
                  "postwarden ($POSTWARDEN_HOME as Thunderbird sees it, else\n"
                  "${XDG_STATE_HOME:-~/.local/state}/postwarden). Exit status: 0 done; 2 usage\n"
                  "error; 3 a file could not be written or removed; 69 the host program or the\n"
                  "add-on is missing.",
                  kNativeHostProgram, kNativeHostName, kSystemManifestFolder, kAddonPackage,
                  kAutoDisablePref, kSystemPoliciesFile);
    return FillText(text);
}

struct Request {
    bool install = false;
    std::string profile;
    bool system = false;
};

fs::path AddonPath(const std::string& profile) {
    return fs::path(profile) / "extensions" / (std::string(kAddonId) + ".xpi");
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Writes `path` whole or not at all: Thunderbird reading a half-written
// manifest or add-on would fail the next send. A file replaced keeps its
// permissions (Thunderbird keeps prefs.js owner-only); a new one is readable
// by all, as Thunderbird run by any user must read the manifest and policies.
bool WriteAtomically(const fs::path& path, const std::string& bytes, std::string& error) {
    std::error_code ec;
    fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                     fs::perms::others_read;
    if (const fs::file_status status = fs::status(path, ec); fs::exists(status)) {
        mode = status.permissions();
    }
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
        error = "cannot create " + path.parent_path().string() + ": " + ec.message();
        return false;
    }
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << bytes;
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            error = "cannot write " + path.string();
            return false;
        }
    }
    fs::permissions(temporary, mode, ec);
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        error = "cannot write " + path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// The lines of `text`, each with its line end.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    return lines;
}

// The value a line of prefs.js or user.js gives the auto-disable preference.
std::optional<int> AutoDisableValue(const std::string& line) {
    static const std::regex pref(
        R"re(^\s*user_pref\(\s*"extensions\.autoDisableScopes"\s*,\s*(-?[0-9]{1,9})\s*\)\s*;)re");
    std::smatch match;
    if (!std::regex_search(line, match, pref)) return std::nullopt;
    return std::stoi(match[1].str());
}

bool IsOurLine(const std::string& line) {
    return line.find(kUserJsMark) != std::string::npos;
}

// The auto-disable preference as Thunderbird will have it in `profile`
// without our line: user.js is read after prefs.js, and a later line wins.
int AutoDisableScopes(const std::string& profile, const std::vector<std::string>& userJs) {
    std::optional<int> value;
    for (const std::string& line : Lines(ReadText(fs::path(profile) / "prefs.js"))) {
        if (const auto v = AutoDisableValue(line)) value = v;
    }
    for (const std::string& line : userJs) {
        if (const auto v = AutoDisableValue(line); v && !IsOurLine(line)) value = v;
    }
    return value.value_or(kThunderbirdAutoDisableDefault);
}

// Lets Thunderbird start add-ons put into `profile` enabled: clears the
// profile's bit of the auto-disable preference in its user.js, leaving the
// other bits and the person's own lines as they are. The value written, or
// nullopt when nothing needed writing; `error` says why it failed.
std::optional<int> AllowProfileAddons(const std::string& profile, std::string& error) {
    const fs::path userJs = fs::path(profile) / "user.js";
    std::vector<std::string> lines = Lines(ReadText(userJs));
    std::erase_if(lines, IsOurLine);
    const int scopes = AutoDisableScopes(profile, lines);
    if ((scopes & kProfileScope) == 0) return std::nullopt;
    const int allowed = scopes & ~kProfileScope;
    std::string text;
    for (const std::string& line : lines) text += line;
    text += "user_pref(\"" + std::string(kAutoDisablePref) + "\", " + std::to_string(allowed) +
            ");" + kUserJsMark + "\n";
    if (!WriteAtomically(userJs, text, error)) return std::nullopt;
    return allowed;
}

// Takes our line out of `profile`'s user.js, and the value it set out of
// prefs.js, where Thunderbird keeps it once it has started with it.
bool RestoreProfileAddons(const std::string& profile, std::string& error) {
    const fs::path userJs = fs::path(profile) / "user.js";
    std::vector<std::string> lines = Lines(ReadText(userJs));
    const auto ours = std::find_if(lines.begin(), lines.end(), IsOurLine);
    if (ours == lines.end()) return true;
    const std::optional<int> set = AutoDisableValue(*ours);
    std::erase_if(lines, IsOurLine);
    std::string text;
    for (const std::string& line : lines) text += line;
    std::error_code ec;
    if (text.empty() ? !fs::remove(userJs, ec) : !WriteAtomically(userJs, text, error)) {
        if (error.empty()) error = "cannot remove " + userJs.string() + ": " + ec.message();
        return false;
    }

    const fs::path prefsJs = fs::path(profile) / "prefs.js";
    std::vector<std::string> prefs = Lines(ReadText(prefsJs));
    const size_t before = prefs.size();
    std::erase_if(prefs,
                  [&](const std::string& line) { return set && AutoDisableValue(line) == set; });
    if (prefs.size() == before) return true;
    text.clear();
    for (const std::string& line : prefs) text += line;
    return WriteAtomically(prefsJs, text, error);
}

// `path` as a file: URL, every byte outside the unreserved ones escaped.
std::string FileUrl(const fs::path& path) {
    std::string url = "file://";
    for (const unsigned char c : fs::absolute(path).lexically_normal().string()) {
        if (std::isalnum(c) || std::strchr("/-._~", c)) {
            url += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            url += escaped;
        }
    }
    return url;
}

// Reads the policies file at `path` into `policies` ({} when there is none);
// false, with `error` saying why, when it is not a file Thunderbird can use.
bool ReadPolicies(const fs::path& path, ordered_json& policies, std::string& error) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        policies = ordered_json::object();
        return true;
    }
    policies = ordered_json::parse(ReadText(path), nullptr, false);
    const auto isObjectOrMissing = [](const ordered_json& j, const char* key) {
        return !j.contains(key) || j.at(key).is_object();
    };
    if (!policies.is_object() || !isObjectOrMissing(policies, "policies") ||
        !isObjectOrMissing(policies.value("policies", ordered_json::object()),
                           "ExtensionSettings")) {
        error = path.string() +
                " is not a policies file that this command can add to; fix it, then run this "
                "again";
        return false;
    }
    return true;
}

// Has Thunderbird's enterprise policies install `addon` in every profile, so
// that it cannot be disabled there; the administrator's other policies, read
// into `policies` beforehand, stay as they are.
int InstallByPolicy(const fs::path& addon, ordered_json policies) {
    const fs::path path = PoliciesPath();
    policies["policies"]["ExtensionSettings"][kAddonId] = {
        {"installation_mode", "force_installed"},
        {"install_url", FileUrl(addon)},
    };
    std::string error;
    if (!WriteAtomically(path, policies.dump(2) + "\n", error)) {
        PrintError(error);
        return kExitFailure;
    }
    std::printf(
        "Wrote the add-on into %s: Thunderbird installs it in every profile when it\n"
        "next starts, and it cannot be disabled there. Restart Thunderbird.\n",
        path.c_str());
    return kExitOk;
}

bool UninstallByPolicy() {
    const fs::path path = PoliciesPath();
    ordered_json policies;
    std::string error;
    if (!ReadPolicies(path, policies, error)) {
        PrintError(error);
        return false;
    }
    if (!policies.contains("policies") || !policies["policies"].contains("ExtensionSettings") ||
        policies["policies"]["ExtensionSettings"].erase(kAddonId) == 0) {
        std::printf("Nothing to remove in %s\n", path.c_str());
        return true;
    }
    if (policies["policies"]["ExtensionSettings"].empty()) {
        policies["policies"].erase("ExtensionSettings");
    }
    std::error_code ec;
    const bool written = policies["policies"].empty() && policies.size() == 1
                             ? fs::remove(path, ec) && !ec
                             : WriteAtomically(path, policies.dump(2) + "\n", error);
    if (!written) {
        PrintError(error.empty() ? "cannot remove " + path.string() + ": " + ec.message() : error);
        return false;
    }
    std::printf(
        "Removed the add-on from %s. Thunderbird leaves it in the profiles it installed it\n"
        "in, where it now holds every send: remove it there (Tools > Add-ons and Themes).\n",
        path.c_str());
    return true;
}

int Install(const Request& request) {
    // The manifest names the host by the path found here, so Thunderbird runs
    // the host of this install, beside the module of this install.
    const fs::path host = FindCompanion(kNativeHostProgram, kInstalledLibraryFolder);
    const fs::path addon = FindCompanion(kAddonPackage, kInstalledDataFolder);
    if (::access(host.c_str(), X_OK) != 0) {
        PrintError("the host program " + host.string() +
                   " is missing; build it beside postwarden, or install postwarden whole");
        return kExitNotInstalled;
    }
    const std::string package = ReadText(addon);
    if (package.empty()) {
        PrintError("the add-on " + addon.string() +
                   " is missing; build it beside postwarden, or install postwarden whole");
        return kExitNotInstalled;
    }
    std::error_code unreadable;
    if (!request.profile.empty() && !fs::is_directory(request.profile, unreadable)) {
        PrintError(request.profile + " is not a folder (a Thunderbird profile folder is wanted)");
        return kExitUsage;
    }
    // A policies file that cannot be added to stops the install before
    // anything is written.
    ordered_json policies;
    std::string error;
    if (request.system && !ReadPolicies(PoliciesPath(), policies, error)) {
        PrintError(error);
        return kExitFailure;
    }
    const nlohmann::json manifest = {
        {"name", kNativeHostName},
        {"description", "Postwarden: asks before a risky message is sent"},
        {"path", host.string()},
        {"type", "stdio"},
        {"allowed_extensions", {kAddonId}},
    };
    const fs::path manifestPath = ManifestPath(UserHome(), request.system);
    if (!WriteAtomically(manifestPath, manifest.dump(2) + "\n", error)) {
        PrintError(error);
        return kExitFailure;
    }
    std::printf("Wrote %s (it runs %s)\n", manifestPath.c_str(), host.c_str());

    if (request.system) return InstallByPolicy(addon, std::move(policies));
    if (request.profile.empty()) {
        std::printf(
            "Now add the add-on in Thunderbird: Tools > Add-ons and Themes, the gear\n"
            "menu, Install Add-on From File..., and choose\n  %s\n"
            "(or run this again with --profile FOLDER to put it into a profile).\n",
            addon.c_str());
        return kExitOk;
    }
    const fs::path target = AddonPath(request.profile);
    if (!WriteAtomically(target, package, error)) {
        PrintError(error);
        return kExitFailure;
    }
    std::printf("Copied the add-on to %s.\n", target.c_str());
    const std::optional<int> allowed = AllowProfileAddons(request.profile, error);
    if (!error.empty()) {
        PrintError(error +
                   "; Thunderbird will start the add-on disabled: switch it on in its "
                   "Add-ons and Themes (the menu \u2261)");
        return kExitFailure;
    }
    if (allowed) {
        std::printf(
            "Set %s to %d in %s/user.js:\n"
            "Thunderbird starts an add-on put into this profile enabled, instead of waiting\n"
            "for you to enable it from its menu (uninstall takes the line out again).\n",
            kAutoDisablePref, *allowed, request.profile.c_str());
    }
    const AddonState state = ReadAddonState(request.profile);
    if (state.recorded && !state.active) {
        // Thunderbird keeps an add-on it has switched off switched off when
        // its file is replaced; only the person can switch it on.
        std::printf(
            "Thunderbird has the add-on switched off in this profile, and keeps it so: after\n"
            "restarting Thunderbird, switch Postwarden on in its Add-ons and Themes (the menu\n"
            "\u2261). Until then sends from this profile are NOT checked.\n");
    } else {
        std::printf("Restart Thunderbird: from then on it asks Postwarden before every send.\n");
    }
    std::printf("`postwarden doctor` says whether it does.\n");
    return kExitOk;
}

// Removes `path` if it is there; says which.
bool Remove(const fs::path& path) {
    std::error_code ec;
    const bool removed = fs::remove(path, ec);
    if (ec) {
        PrintError("cannot remove " + path.string() + ": " + ec.message());
        return false;
    }
    std::printf("%s %s\n", removed ? "Removed" : "Nothing to remove at", path.c_str());
    return true;
}

int Uninstall(const Request& request) {
    // A running Thunderbird writes its preferences back when it quits, the
    // one uninstall takes out of prefs.js among them.
    if (!request.profile.empty() && ProfileInUse(request.profile)) {
        PrintError("Thunderbird is running with " + request.profile +
                   "; quit it, then run this again");
        return kExitFailure;
    }
    bool ok = Remove(ManifestPath(UserHome(), request.system));
    if (request.system) ok = UninstallByPolicy() && ok;
    if (!request.profile.empty()) {
        ok = Remove(AddonPath(request.profile)) && ok;
        std::string error;
        if (!RestoreProfileAddons(request.profile, error)) {
            PrintError(error);
            ok = false;
        }
    } else if (!request.system) {
        std::printf("Remove the add-on in Thunderbird: Tools > Add-ons and Themes.\n");
    }
    return ok ? kExitOk : kExitFailure;
}

}  // namespace

int RunThunderbird(const GlobalOptions&, const std::vector<std::string>& args) {
    Request request;
    CommandLine cli("thunderbird", Description());
    cli.require_subcommand(1);
    const CLI::Validator folder(
        [](const std::string& value) { return value.empty() ? "needs a folder" : ""; }, "");
    for (const auto& [action, summary] : {std::pair{"install", "install the add-on and its host"},
                                          std::pair{"uninstall", "remove what install wrote"}}) {
        CLI::App* sub = cli.add_subcommand(action, summary);
        sub->add_option("--profile", request.profile, "the Thunderbird profile folder")
            ->type_name("DIR")
            ->check(folder);
        sub->add_flag("--system", request.system, "for every user, not only this one");
    }
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    request.install = cli.got_subcommand("install");
    if (request.install && request.system && !request.profile.empty()) {
        PrintError("--system installs the add-on in every profile; leave out --profile");
        return kExitUsage;
    }
    if (!request.system && UserHome().empty()) {
        PrintError("no home folder to install into: set HOME, or use --system");
        return kExitUsage;
    }
    return request.install ? Install(request) : Uninstall(request);
}

}  // namespace postwarden::host
