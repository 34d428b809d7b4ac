#pragma once

#include <memory>
#include <string>

#include "host/InstallLayout.h"  // ExecutableFolder, where the module is looked for
#include "module/IModuleAPI.h"
#include "module/ShowForm.h"

namespace postwarden::host {

// The module's shared library, loaded with dlopen and kept loaded while this
// object lives. Modules it creates must be destroyed before it.
class ModuleLibrary {
  public:
    // Loads the library at `path`; when `path` is empty, the one beside this
    // executable, else the installed one (see host/InstallLayout.h). On failure
    // Loaded() is false and Error() says why in one line.
    explicit ModuleLibrary(const std::string& path);
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    bool Loaded() const { return create_ != nullptr; }
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }
    // How Path() was chosen, for a person: "--module", "beside the program" or
    // "installed".
    const std::string& Origin() const { return origin_; }

    // A new module for `platform`, which must outlive it; null on failure.
    std::unique_ptr<IModuleAPI> Create(Platform& platform);

    // The library's PostwardenShowForm (see module/ShowForm.h); null when the
    // library is not loaded or has none.
    using ShowFormFunction = decltype(&PostwardenShowForm);
    ShowFormFunction ShowForm() const { return showForm_; }

  private:
    std::string path_;
    std::string origin_;
    std::string error_;
    void* handle_ = nullptr;
    IModuleAPI* (*create_)(Platform*) = nullptr;
    ShowFormFunction showForm_ = nullptr;
};

inline constexpr const char* kModuleFileName = "libpostwarden-module.so";

}  // namespace postwarden::host
