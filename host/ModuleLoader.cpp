#include "host/ModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace postwarden::host {

std::string ExecutableFolder() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string path(buffer, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

ModuleLibrary::ModuleLibrary(const std::string& path)
    : path_(path.empty() ? ExecutableFolder() + "/" + kModuleFileName : path) {
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
