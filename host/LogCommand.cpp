#include <cstdio>

#include "host/Command.h"
#include "host/Home.h"
#include "module/RuntimeError.h"
#include "platform/LinuxPlatform.h"

namespace postwarden::host {

// Prints the log file as it stands.
int RunLog(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf(
            "Usage: postwarden log\n\n"
            "Prints the log: one record per line, TAB-separated:\n"
            "TIMESTAMP KIND LEVEL APP SOURCE MESSAGE (control characters escaped).\n");
        return kExitOk;
    }
    if (!args.empty()) {
        PrintError("log takes no arguments");
        return kExitUsage;
    }
    const std::string path = options.home + "/" + kLogFileName;
    std::string content;
    try {
        content = ReadWholeFile(path);
    } catch (const RuntimeError& e) {
        if (e.Number() == errors::kFileNotFound) return kExitOk;  // nothing logged yet
        PrintError("cannot read " + path + ": " + e.Description());
        return kExitFailure;
    }
    std::fwrite(content.data(), 1, content.size(), stdout);
    return kExitOk;
}

}  // namespace postwarden::host
