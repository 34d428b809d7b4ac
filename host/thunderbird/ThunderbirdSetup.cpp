#include "host/thunderbird/ThunderbirdSetup.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/thunderbird/ThunderbirdHost.h"
#include "platform/UniqueFd.h"

namespace postwarden::host {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// The file's JSON; discarded (is_discarded()) when it cannot be read or parsed.
json ReadJson(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return json(json::value_t::discarded);
    return json::parse(in, nullptr, false);
}

// Why Thunderbird would pass over the manifest `path`; empty when it would use it.
std::string ManifestProblem(const fs::path& path, std::string& program) {
    const json manifest = ReadJson(path);
    if (!manifest.is_object()) return path.string() + " is not a JSON object";
    const auto text = [&](const char* key) {
        const auto it = manifest.find(key);
        return it != manifest.end() && it->is_string() ? it->get<std::string>() : "";
    };
    if (text("name") != kNativeHostName || text("type") != "stdio") {
        return path.string() + " is not the manifest of the \"" + kNativeHostName + "\" host";
    }
    const auto allowed = manifest.find("allowed_extensions");
    if (allowed != manifest.end() &&
        (!allowed->is_array() ||
         std::find(allowed->begin(), allowed->end(), kAddonId) == allowed->end())) {
        return path.string() + " does not let the add-on " + kAddonId + " in";
    }
    program = text("path");
    if (!fs::path(program).is_absolute()) {
        return path.string() + " names no program by its full path";
    }
    if (::access(program.c_str(), X_OK) != 0) {
        return "the host program " + program + " (named by " + path.string() +
               ") cannot be run: " + std::strerror(errno);
    }
    return "";
}

}  // namespace

std::string UserHome() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "";
}

std::string ManifestPath(const std::string& home, bool system) {
    const fs::path folder =
        system ? fs::path(kSystemManifestFolder) : fs::path(home) / kUserManifestFolder;
    return (folder / (std::string(kNativeHostName) + ".json")).string();
}

std::string PoliciesPath() {
    std::error_code ec;
    if (!fs::exists(kSystemPoliciesFile, ec) && fs::exists(kDistributionPoliciesFile, ec)) {
        return kDistributionPoliciesFile;
    }
    return kSystemPoliciesFile;
}

std::vector<std::string> ThunderbirdProfiles(const std::string& home) {
    const fs::path folder = fs::path(home) / ".thunderbird";
    std::ifstream in(folder / "profiles.ini");
    std::vector<std::string> profiles;
    // A [ProfileN] section names one profile; [General] and [Install…] do not.
    bool inProfile = false;
    std::string path;
    bool relative = true;
    const auto flush = [&] {
        if (inProfile && !path.empty()) {
            profiles.push_back(relative ? (folder / path).string() : path);
        }
        path.clear();
        relative = true;
    };
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("[")) {
            flush();
            inProfile = line.starts_with("[Profile");
        } else if (line.starts_with("Path=")) {
            path = line.substr(5);
        } else if (line.starts_with("IsRelative=")) {
            relative = line.substr(11) != "0";
        }
    }
    flush();
    return profiles;
}

AddonState ReadAddonState(const std::string& profile) {
    AddonState state;
    std::error_code ec;
    state.inFolder =
        fs::exists(fs::path(profile) / "extensions" / (std::string(kAddonId) + ".xpi"), ec);
    const fs::path database = fs::path(profile) / "extensions.json";
    if (!fs::exists(database, ec)) return state;
    const json record = ReadJson(database);
    const auto addons = record.is_object() ? record.find("addons") : record.end();
    if (!record.is_object() || addons == record.end() || !addons->is_array()) {
        state.unreadable = database.string() + " is not the add-on list Thunderbird writes";
        return state;
    }
    for (const json& addon : *addons) {
        if (!addon.is_object() || addon.value("id", json()) != kAddonId) continue;
        const auto flag = [&](const char* key) { return addon.value(key, json()) == true; };
        state.recorded = true;
        state.active = flag("active");
        state.disabled = flag("userDisabled");
        state.neverEnabled = state.disabled && addon.value("seen", json()) == false;
        state.refused = flag("appDisabled");
        if (const auto v = addon.find("version"); v != addon.end() && v->is_string()) {
            state.version = *v;
        }
    }
    return state;
}

HostState FindNativeHost(const std::string& home) {
    HostState found;
    for (const bool system : {false, true}) {
        const std::string path = ManifestPath(home, system);
        std::error_code ec;
        if (!fs::exists(path, ec)) continue;
        std::string program;
        const std::string problem = ManifestProblem(path, program);
        // Thunderbird passes over a manifest it cannot use and tries the next.
        if (problem.empty()) return {path, program, ""};
        if (found.manifest.empty()) found = {path, program, problem};
    }
    if (found.manifest.empty()) {
        found.problem = "no manifest for the host in ~/" + std::string(kUserManifestFolder) +
                        " or " + kSystemManifestFolder;
    }
    return found;
}

bool PoliciesInstallAddon(const std::string& policiesFile) {
    const json policies = ReadJson(policiesFile);
    const json::json_pointer entry("/policies/ExtensionSettings/" + std::string(kAddonId) +
                                   "/installation_mode");
    return policies.is_object() && policies.contains(entry) &&
           policies.at(entry) == "force_installed";
}

bool ProfileInUse(const std::string& profile) {
    const UniqueFd fd(::open((fs::path(profile) / ".parentlock").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd.Get(), F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace postwarden::host
