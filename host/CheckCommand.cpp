#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/ClientObjects.h"
#include "host/Command.h"
#include "host/SendCheck.h"
#include "module/RuntimeError.h"
#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"

namespace postwarden::host {

int RunCheck(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf(
            "Usage: postwarden check [--answers LIST] [--client-version V] [FILE] [--] [RCPT...]\n"
            "\n"
            "Runs one send of the message in FILE (or standard input, also as -) through\n"
            "the checks. RCPT are recipients the message goes to besides those of its\n"
            "header (as a sendmail program's arguments); each is checked as a Bcc.\n"
            "Exit status: 0 the send may go ahead; 1 it was held (answered No, or a rule\n"
            "fired and nobody could be asked: checking the same message again within 10\n"
            "minutes then lets it go); 2 usage error; 69 the check is not installed properly.\n"
            "\n"
            "  --answers LIST        answers to the prompts: yes, no or close, comma-separated,\n"
            "                        one per prompt, the last repeating (default: ask)\n"
            "  --client-version V    the mail client version the module sees (default 16.0.0.0)\n");
        return kExitOk;
    }
    CheckOptions check;
    std::string file;
    bool haveFile = false;
    bool recipientsOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (recipientsOnly) {
            check.envelopeRecipients.push_back(arg);
            continue;
        }
        if (arg == "--") {
            recipientsOnly = true;
            continue;
        }
        bool taken = false;
        for (auto [name, target] : {std::pair{"--answers", &check.answers},
                                    std::pair{"--client-version", &check.clientVersion}}) {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) == 0) {
                *target = arg.substr(prefix.size());
                taken = true;
            } else if (arg == name) {
                if (i + 1 >= args.size()) {
                    PrintError(std::string(name) + " needs a value");
                    return kExitUsage;
                }
                *target = args[++i];
                taken = true;
            }
            if (taken) break;
        }
        if (taken) continue;
        if (arg == "-" || arg.empty() || arg[0] != '-') {
            if (haveFile) {
                check.envelopeRecipients.push_back(arg);
            } else {
                file = arg;
                haveFile = true;
            }
            continue;
        }
        PrintError("unknown option " + arg + " for check (see postwarden check --help)");
        return kExitUsage;
    }

    std::string message;
    if (file.empty() || file == "-") {
        std::string error;
        if (!ReadAllStdin(message, error, OutgoingMailItem::FieldRoom(check.envelopeRecipients))) {
            PrintError(error);
            return kExitFailure;
        }
    } else {
        try {
            message = ReadWholeFile(file, SIZE_MAX, {},
                                    OutgoingMailItem::FieldRoom(check.envelopeRecipients));
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
    if (outcome.verdict == SendVerdict::kNotInstalled) {
        PrintError("not checked: " + DescribeRefusal(outcome));
        return kExitNotInstalled;
    }
    if (outcome.verdict == SendVerdict::kUnchecked) {
        PrintError(EscapeForTerminal("the check could not be completed: " + outcome.problem));
    }
    if (outcome.MayGo()) {
        std::printf("send: go ahead\n");
        return kExitOk;
    }
    std::printf("send: cancelled (%s)\n", DescribeRefusal(outcome).c_str());
    return kExitCancelled;
}

}  // namespace postwarden::host
