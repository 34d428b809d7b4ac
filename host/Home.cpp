#include "host/Home.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Environment.h"

namespace postwarden::host {

std::string ResolveHome(const std::string& explicitHome) {
    if (!explicitHome.empty()) return explicitHome;
    if (std::string home = Environment("POSTWARDEN_HOME"); !home.empty()) return home;
    if (std::string state = Environment("XDG_STATE_HOME"); !state.empty())
        return state + "/postwarden";
    std::string userHome = Environment("HOME");
    if (userHome.empty()) {
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) userHome = pw->pw_dir;
    }
    if (userHome.empty()) return "";
    return userHome + "/.local/state/postwarden";
}

std::string MakeFolders(const std::string& path) {
    if (path.empty()) return "no folder given";
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string part = path.substr(0, i);
        // Owner-only, parents included: the home holds a person's rules, log
        // and mail, and a folder made for it is nobody else's. One that exists
        // keeps its mode.
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create " + part + ": " + std::strerror(errno);
        }
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return path + " is not a folder";
    }
    return "";
}

}  // namespace postwarden::host
