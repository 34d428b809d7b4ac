#include <cstdio>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/SendCheck.h"
#include "module/RuntimeError.h"
#include "platform/LinuxPlatform.h"

namespace postwarden::host {

int RunCheck(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf(
            "Usage: postwarden check [--answers LIST] [--client-version V] [FILE]\n"
            "\n"
            "Runs one send of the message in FILE (or standard input) through the checks.\n"
            "Exit status: 0 the send may go ahead, 1 it was cancelled, 2 usage error.\n"
            "\n"
            "  --answers LIST        answers to the prompts: yes, no or close, comma-separated,\n"
            "                        one per prompt, the last repeating (default: ask)\n"
            "  --client-version V    the mail client version the module sees (default 16.0.0.0)\n");
        return kExitOk;
    }
    CheckOptions check;
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](const char* name, std::string& target) {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) == 0) {
                target = arg.substr(prefix.size());
                return true;
            }
            if (arg != name) return false;
            if (i + 1 >= args.size()) throw std::string(name) + " needs a value";
            target = args[++i];
            return true;
        };
        try {
            if (value("--answers", check.answers) ||
                value("--client-version", check.clientVersion)) {
                continue;
            }
        } catch (const std::string& error) {
            PrintError(error);
            return kExitUsage;
        }
        if (arg == "-" || arg[0] != '-' || arg.size() == 1) {
            if (!file.empty()) {
                PrintError("check takes one message file");
                return kExitUsage;
            }
            file = arg;
            continue;
        }
        PrintError("unknown option " + arg + " for check (see postwarden check --help)");
        return kExitUsage;
    }

    std::string message;
    if (file.empty() || file == "-") {
        std::string error;
        if (!ReadAllStdin(message, error)) {
            PrintError(error);
            return kExitFailure;
        }
    } else {
        try {
            message = ReadWholeFile(file);
        } catch (const RuntimeError& e) {
            PrintError("cannot read " + file + ": " + e.Description());
            return kExitUsage;
        }
    }

    bool usable = true;
    const CheckOutcome outcome = CheckMessage(options, check, message, usable);
    if (!usable) {
        PrintError(outcome.problem);
        return kExitUsage;
    }
    if (!outcome.problem.empty()) {
        PrintError("the check could not be completed: " + outcome.problem);
    }
    if (outcome.mayGo) {
        std::printf("send: go ahead\n");
        return kExitOk;
    }
    std::printf("send: cancelled (%s)\n", DescribeRefusal(outcome).c_str());
    return kExitCancelled;
}

}  // namespace postwarden::host
