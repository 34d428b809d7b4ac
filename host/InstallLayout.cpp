#include "host/InstallLayout.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>

namespace postwarden::host {

std::string ExecutableFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> CompanionCandidates(const std::string& executableFolder,
                                             const std::string& fileName,
                                             const std::string& installedFolder) {
    namespace fs = std::filesystem;
    const fs::path folder(executableFolder);
    // Lexically, not through the file system: "bin/.." is the prefix as the
    // person sees it, and a message naming it should read that way.
    const fs::path installed = (folder / ".." / installedFolder / fileName).lexically_normal();
    return {(folder / fileName).string(), installed.string()};
}

std::string FindCompanionFrom(const std::string& executableFolder, const std::string& fileName,
                              const std::string& installedFolder) {
    const std::vector<std::string> candidates =
        CompanionCandidates(executableFolder, fileName, installedFolder);
    for (const std::string& candidate : candidates) {
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    }
    return candidates.front();
}

std::string FindCompanion(const std::string& fileName, const std::string& installedFolder) {
    return FindCompanionFrom(ExecutableFolder(), fileName, installedFolder);
}

}  // namespace postwarden::host
