#include <cstdio>

#include "host/Command.h"
#include "host/ModuleLoader.h"
#include "host/Options.h"
#include "platform/LinuxPlatform.h"
#include "platform/windows/NoWindowSystem.h"

namespace postwarden::host {

// Loads the module and prints the version it reports; nothing is created on disk.
int RunVersion(const GlobalOptions& options, const std::vector<std::string>& args) {
    CommandLine cli("version", "Prints the version of the loaded module.");
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    ModuleLibrary library(options.modulePath);
    if (!library.Loaded()) {
        PrintError(library.Error());
        return kExitFailure;
    }
    LinuxPlatform platform({}, std::make_unique<NoWindowSystem>());
    std::unique_ptr<IModuleAPI> module = library.Create(platform);
    if (!module) {
        PrintError("the module could not be created");
        return kExitFailure;
    }
    std::printf("postwarden %s\n", module->Version().c_str());
    return kExitOk;
}

}  // namespace postwarden::host
