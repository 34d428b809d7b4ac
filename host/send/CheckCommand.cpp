#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Options.h"
#include "host/send/ClientObjects.h"
#include "host/send/SendCheck.h"
#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

int RunCheck(const GlobalOptions& options, const std::vector<std::string>& args) {
    CheckOptions check;
    std::string file;
    CommandLine cli("check",
                    "Runs one send of the message in FILE (or standard input, also as -) through\n"
                    "the checks. RCPT are recipients the message goes to besides those of its\n"
                    "header (as a sendmail program's arguments); each is checked as a Bcc. After\n"
                    "\"--\" every argument is a RCPT.\n"
                    "Exit status: 0 the send may go ahead; 1 it was held (answered No, or a rule\n"
                    "fired and nobody could be asked: checking the same message again within 10\n"
                    "minutes then lets it go); 2 usage error; 69 the check is not installed\n"
                    "properly.");
    cli.add_option("--answers", check.answers,
                   "answers to the prompts: yes, no or close, comma-separated,\n"
                   "one per prompt, the last repeating (default: ask)")
        ->type_name("LIST");
    // For tests of the module's version-dependent steps (see DEVELOPER OPTIONS
    // in the manual page): kept out of --help.
    cli.add_option("--client-version", check.clientVersion)->group("");
    cli.add_option("FILE", file, "the message (default: standard input)");
    cli.add_option("RCPT", check.envelopeRecipients, "recipients besides the header's");
    // What follows "--" is recipients only, even the first of them.
    const auto marker = std::find(args.begin(), args.end(), "--");
    if (const std::optional<int> status = cli.Parse({args.begin(), marker})) return *status;
    if (marker != args.end())
        check.envelopeRecipients.insert(check.envelopeRecipients.end(), marker + 1, args.end());

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
    // Nothing is handed on: a message kept on disk is not read back.
    KeptMessage dropped;
    const CheckOutcome outcome = CheckMessage(options, check, message, usable, &dropped);
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
