#include "host/ThunderbirdCommand.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "host/InstallLayout.h"
#include "host/Options.h"
#include "host/ThunderbirdHost.h"

namespace postwarden::host {

namespace {

namespace fs = std::filesystem;

// The only two folders Thunderbird on Linux reads native-messaging manifests
// from: the user's, and the system's for every user.
constexpr const char* kUserManifestFolder = ".mozilla/native-messaging-hosts";
constexpr const char* kSystemManifestFolder = "/usr/lib/mozilla/native-messaging-hosts";

// What install writes and where; the file names come from the build.
std::string Description() {
    char text[1500];
    std::snprintf(text, sizeof text,
                  "install writes the native-messaging manifest that lets the Postwarden add-on\n"
                  "run %s (found beside this program, else in ../lib/postwarden/):\n"
                  "into\n"
                  "~/.mozilla/native-messaging-hosts/%s.json, or with --system into\n"
                  "%s/ for every user.\n"
                  "With --profile it also copies the add-on (%s, beside\n"
                  "this program, else in ../share/postwarden/) into the Thunderbird profile\n"
                  "folder DIR; without, it says how to add it in Thunderbird.\n"
                  "uninstall removes what install wrote.\n"
                  "\n"
                  "The add-on asks before every send, with the settings, log and home folder of\n"
                  "postwarden ($POSTWARDEN_HOME as Thunderbird sees it, else\n"
                  "${XDG_STATE_HOME:-~/.local/state}/postwarden). Exit status: 0 done; 2 usage\n"
                  "error; 3 a file could not be written or removed; 69 the host program or the\n"
                  "add-on is missing.",
                  kNativeHostProgram, kNativeHostName, kSystemManifestFolder, kAddonPackage);
    return text;
}

struct Request {
    bool install = false;
    std::string profile;
    bool system = false;
};

std::string UserHome() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "";
}

fs::path ManifestPath(bool system) {
    const fs::path folder =
        system ? fs::path(kSystemManifestFolder) : fs::path(UserHome()) / kUserManifestFolder;
    return folder / (std::string(kNativeHostName) + ".json");
}

fs::path AddonPath(const std::string& profile) {
    return fs::path(profile) / "extensions" / (std::string(kAddonId) + ".xpi");
}

// Writes `path` whole or not at all: Thunderbird reading a half-written
// manifest or add-on would fail the next send.
bool WriteAtomically(const fs::path& path, const std::string& bytes, std::string& error) {
    std::error_code ec;
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
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read | fs::perms::others_read);
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        error = "cannot write " + path.string() + ": " + ec.message();
        return false;
    }
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
    std::ifstream in(addon, std::ios::binary);
    const std::string package((std::istreambuf_iterator<char>(in)), {});
    if (package.empty()) {
        PrintError("the add-on " + addon.string() +
                   " is missing; build it beside postwarden, or install postwarden whole");
        return kExitNotInstalled;
    }
    if (!request.profile.empty() && !fs::is_directory(request.profile)) {
        PrintError(request.profile + " is not a folder (a Thunderbird profile folder is wanted)");
        return kExitUsage;
    }
    const nlohmann::json manifest = {
        {"name", kNativeHostName},
        {"description", "Postwarden: asks before a risky message is sent"},
        {"path", host.string()},
        {"type", "stdio"},
        {"allowed_extensions", {kAddonId}},
    };
    const fs::path manifestPath = ManifestPath(request.system);
    std::string error;
    if (!WriteAtomically(manifestPath, manifest.dump(2) + "\n", error)) {
        PrintError(error);
        return kExitFailure;
    }
    std::printf("Wrote %s (it runs %s)\n", manifestPath.c_str(), host.c_str());

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
    std::printf(
        "Copied the add-on to %s.\n"
        "Restart Thunderbird; if it asks whether to enable Postwarden, allow it (Tools >\n"
        "Add-ons and Themes).\n",
        target.c_str());
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
    bool ok = Remove(ManifestPath(request.system));
    if (!request.profile.empty()) {
        ok = Remove(AddonPath(request.profile)) && ok;
    } else {
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
    for (const auto& [action, summary] : {std::pair{"install", "install the add-on's host"},
                                          std::pair{"uninstall", "remove what install wrote"}}) {
        CLI::App* sub = cli.add_subcommand(action, summary);
        sub->add_option("--profile", request.profile, "the Thunderbird profile folder")
            ->type_name("DIR")
            ->check(folder);
        sub->add_flag("--system", request.system, "for every user, not only this one");
    }
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    request.install = cli.got_subcommand("install");
    if (!request.system && UserHome().empty()) {
        PrintError("no home folder to install into: set HOME, or use --system");
        return kExitUsage;
    }
    return request.install ? Install(request) : Uninstall(request);
}

}  // namespace postwarden::host
