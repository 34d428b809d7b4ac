#include "host/ModuleLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "host/InstallLayout.h"

namespace postwarden::host {

ModuleLibrary::ModuleLibrary(const std::string& path) {
    if (!path.empty()) {
        path_ = path;
        origin_ = "--module";
    } else {
        const std::string folder = ExecutableFolder();
        const std::vector<std::string> candidates =
            CompanionCandidates(folder, kModuleFileName, kInstalledLibraryFolder);
        path_ = FindCompanionFrom(folder, kModuleFileName, kInstalledLibraryFolder);
        origin_ = path_ == candidates.front() ? "beside the program" : "installed";
        if (::access(path_.c_str(), F_OK) != 0) {
            // Naming every place looked in tells a broken install from a
            // build folder with the module not built yet.
            namespace fs = std::filesystem;
            error_ = "cannot find the module " + std::string(kModuleFileName) + " in " +
                     fs::path(candidates[0]).parent_path().string() + " or " +
                     fs::path(candidates[1]).parent_path().string();
            return;
        }
    }
    handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = ::dlerror();
        error_ = "cannot load the module " + path_ + ": " + (why ? why : "unknown error");
        return;
    }
    void* symbol = ::dlsym(handle_, kModuleEntryPoint);
    if (!symbol) {
        error_ = path_ + " is not a Postwarden module (it has no " + kModuleEntryPoint + ")";
        return;
    }
    create_ = reinterpret_cast<IModuleAPI* (*)(Platform*)>(symbol);
    showForm_ = reinterpret_cast<ShowFormFunction>(::dlsym(handle_, kShowFormEntryPoint));
}

ModuleLibrary::~ModuleLibrary() {
    if (handle_) ::dlclose(handle_);
}

std::unique_ptr<IModuleAPI> ModuleLibrary::Create(Platform& platform) {
    if (!create_) return nullptr;
    return std::unique_ptr<IModuleAPI>(create_(&platform));
}

}  // namespace postwarden::host
