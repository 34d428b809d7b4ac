#pragma once

// Where the command finds the files it ships with. In a build folder they all
// stand beside the executable; installed, the executable is in bin/ and the
// rest in folders relative to it (lib/postwarden/, share/postwarden/), so an
// install into any root, a `dpkg -x` or `cmake --install --prefix ~/.local`,
// finds its own files and never another install's.

#include <string>
#include <vector>

namespace postwarden::host {

// The folders of an install, relative to its prefix. The CMake install rules
// put the files there (the same names reach the code from CMakeLists.txt).
inline constexpr const char* kInstalledLibraryFolder = POSTWARDEN_INSTALL_LIBRARY_FOLDER;
inline constexpr const char* kInstalledDataFolder = POSTWARDEN_INSTALL_DATA_FOLDER;

// The folder of the running executable (symbolic links resolved), without a
// trailing "/"; "." when /proc/self/exe cannot be read.
std::string ExecutableFolder();

// The places `fileName` is looked for, most specific first: beside the
// executable in `executableFolder`, then in the install's `installedFolder`
// (relative to the prefix, the folder above `executableFolder`).
std::vector<std::string> CompanionCandidates(const std::string& executableFolder,
                                             const std::string& fileName,
                                             const std::string& installedFolder);

// The first of the candidates for `fileName` that exists, beside the running
// executable or in its install; when none does, the first candidate, so that
// an error names where the file was expected.
std::string FindCompanion(const std::string& fileName, const std::string& installedFolder);

// The same for a given executable folder.
std::string FindCompanionFrom(const std::string& executableFolder, const std::string& fileName,
                              const std::string& installedFolder);

}  // namespace postwarden::host
