#include "host/thunderbird/ThunderbirdHost.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "host/Command.h"
#include "host/Home.h"
#include "host/send/SendCheck.h"
#include "host/thunderbird/ThunderbirdCompose.h"
#include "host/thunderbird/ThunderbirdFrames.h"
#include "platform/UniqueFd.h"

namespace postwarden::host {

namespace {

using nlohmann::json;

std::string Answer(bool allowed, std::string_view outcome, const std::string& reason) {
    json answer = {{"allowed", allowed}, {"outcome", outcome}};
    if (!reason.empty()) answer["reason"] = reason;
    // A reason is UTF-8 already; replacing is only for a byte that is not.
    return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string ErrorAnswer(const std::string& reason) {
    return Answer(false, "error", reason);
}

// To standard error, which Thunderbird keeps in its own output. (This program
// has no `postwarden` main to print for it.)
void Complain(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kNativeHostProgram, message.c_str());
}

// One send: the request made into a message and run through the module as
// every other command runs one.
std::string Handle(const GlobalOptions& options, const std::string& payload) {
    std::string message;
    try {
        message = BuildMessage(ParseComposeRequest(payload));
    } catch (const std::invalid_argument& e) {
        return ErrorAnswer(std::string("the add-on's request could not be read: ") + e.what());
    } catch (const std::exception& e) {
        // Memory, most likely: the send is refused with its reason instead of
        // the host ending without an answer.
        return ErrorAnswer(std::string("the add-on's request could not be taken in: ") + e.what());
    }
    if (options.home.empty()) {
        return ErrorAnswer("Postwarden has no home folder: set POSTWARDEN_HOME or HOME");
    }
    bool usable = true;
    // The add-on sends the message itself: one kept on disk is not read back.
    KeptMessage dropped;
    const CheckOutcome outcome = CheckMessage(options, CheckOptions{}, message, usable, &dropped);
    if (!usable) return ErrorAnswer("POSTWARDEN_ANSWERS is not valid: " + outcome.problem);
    if (outcome.MayGo()) {
        return Answer(true, VerdictName(outcome.verdict),
                      outcome.verdict == SendVerdict::kUnchecked
                          ? "the check could not be completed: " + outcome.problem
                          : "");
    }
    return Answer(false, VerdictName(outcome.verdict), DescribeRefusal(outcome));
}

// Standard output belongs to the answers alone: they get a descriptor of their
// own, and standard output becomes standard error, so that whatever else
// prints (Qt's warnings, a library, a message box's echo) goes where
// Thunderbird logs it instead of breaking the stream.
UniqueFd TakeStdoutForAnswers() {
    UniqueFd answers(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    if (answers && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return {};
    return answers;
}

// Thunderbird started from a terminal hands that terminal on; a form drawn
// there is one nobody looks at while the compose window waits for it. Without
// a terminal the question is a window where there is a display, and otherwise
// nobody can be asked (the send is held).
void LeaveTerminal() {
    if (::setsid() >= 0) return;
    // Already leading a process group: give up the terminal alone.
    const UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty) ::ioctl(tty.Get(), TIOCNOTTY);
}

}  // namespace

int RunNativeHost(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::printf(
            "Usage: %s MANIFEST ADDON-ID   (started by Thunderbird)\n"
            "\n"
            "The native-messaging host of the Postwarden add-on for Thunderbird. It reads\n"
            "the add-on's requests (a 4-byte length and JSON) on standard input, checks\n"
            "each send as `postwarden check` does, asking in a window, and answers on\n"
            "standard output whether the send may go ahead. Home folder, settings, log and\n"
            "$POSTWARDEN_ANSWERS as for postwarden. Set it up with\n"
            "`postwarden thunderbird install`.\n",
            kNativeHostProgram);
        return kExitOk;
    }
    if (args.size() != 2) {
        Complain(
            "this program is started by Thunderbird for the Postwarden add-on; see "
            "`postwarden thunderbird --help`");
        return kExitUsage;
    }
    // A Thunderbird that stops listening must not kill us while the log and
    // the draft are being dealt with.
    std::signal(SIGPIPE, SIG_IGN);
    const UniqueFd answers = TakeStdoutForAnswers();
    if (!answers) {
        Complain("no standard output to answer on");
        return 1;
    }
    LeaveTerminal();

    GlobalOptions options;
    options.home = ResolveHome("");
    if (!options.home.empty()) options.mailStore = options.home + "/" + kMailFolderName;

    for (;;) {
        std::string payload;
        switch (ReadFrame(STDIN_FILENO, payload, kMaxRequestBytes)) {
            case FrameStatus::kEnd:
                return kExitOk;
            case FrameStatus::kFrame:
                if (!WriteFrame(answers.Get(), Handle(options, payload))) return 1;
                break;
            case FrameStatus::kTooLarge:
                WriteFrame(answers.Get(), ErrorAnswer("the message is too large to check (" +
                                                      payload + " bytes of details; at most " +
                                                      std::to_string(kMaxRequestBytes) + ")"));
                return 1;
            case FrameStatus::kTruncated:
                WriteFrame(answers.Get(), ErrorAnswer("the add-on's request was cut short"));
                return 1;
            case FrameStatus::kReadError:
                Complain("cannot read the add-on's request: " + payload);
                return 1;
        }
    }
}

}  // namespace postwarden::host
