#pragma once

// What Thunderbird's own files say about Postwarden's set-up, for `doctor` and
// `thunderbird install`: the profiles (profiles.ini), the add-on's state in a
// profile (extensions.json, which Thunderbird rewrites whenever an add-on is
// installed, enabled or disabled), the host's manifest as Thunderbird would
// find it, and the enterprise policies file it reads.

#include <string>
#include <vector>

namespace postwarden::host {

// The two folders Thunderbird on Linux reads native-messaging manifests from,
// the user's (under HOME) first.
inline constexpr const char* kUserManifestFolder = ".mozilla/native-messaging-hosts";
inline constexpr const char* kSystemManifestFolder = "/usr/lib/mozilla/native-messaging-hosts";

// Debian's Thunderbird reads its enterprise policies from the first file, or
// from the second when the first does not exist; never from both.
inline constexpr const char* kSystemPoliciesFile = "/etc/thunderbird/policies/policies.json";
inline constexpr const char* kDistributionPoliciesFile =
    "/usr/lib/thunderbird/distribution/policies.json";

// $HOME, else the password database's home folder; empty when neither is known.
std::string UserHome();

// The host's manifest: the user's under `home`, or with `system` the one for
// every user.
std::string ManifestPath(const std::string& home, bool system);

// The policies file Thunderbird reads, whether it exists or not.
std::string PoliciesPath();

// The profile folders `home`/.thunderbird/profiles.ini lists, in its order,
// relative paths resolved against that folder; none when it cannot be read.
std::vector<std::string> ThunderbirdProfiles(const std::string& home);

// The add-on in one profile, as Thunderbird last recorded it.
struct AddonState {
    bool inFolder = false;      // the profile's extensions/ holds the add-on's .xpi
    bool recorded = false;      // extensions.json lists it: Thunderbird has loaded it
    bool active = false;        // Thunderbird runs it: every send is asked about
    bool disabled = false;      // switched off in Add-ons and Themes
    bool neverEnabled = false;  // Thunderbird found it in the folder and left it off,
                                // waiting for the person to enable it
    bool refused = false;       // Thunderbird will not run it (incompatible, blocked)
    std::string version;
    std::string unreadable;  // why extensions.json could not be read; empty when it could
};

// The add-on's state in `profile`. A missing extensions.json is no error:
// Thunderbird has not started with this profile yet.
AddonState ReadAddonState(const std::string& profile);

// The host's manifest Thunderbird would use, and whether it can run the host.
struct HostState {
    std::string manifest;  // the manifest found; empty when there is none
    std::string program;   // the program it names
    std::string problem;   // why Thunderbird cannot run the host; empty when it can
};
HostState FindNativeHost(const std::string& home);

// Whether `policiesFile` has Thunderbird install the add-on in every profile.
bool PoliciesInstallAddon(const std::string& policiesFile);

// Whether a running Thunderbird holds `profile` (its lock on .parentlock).
bool ProfileInUse(const std::string& profile);

}  // namespace postwarden::host
