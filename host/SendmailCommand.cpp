#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/SendCheck.h"

namespace postwarden::host {

namespace {

constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";

// sendmail options that take a value in the next argument when given alone.
bool TakesValue(const std::string& arg) {
    static const char* const kWithValue[] = {"-f", "-F", "-N", "-R", "-r", "-V", "-B",
                                             "-O", "-X", "-L", "-C", "-h", "-p"};
    for (const char* option : kWithValue) {
        if (arg == option) return true;
    }
    return false;
}

struct SendmailArgs {
    CheckOptions check;
    std::string program;
    std::vector<std::string> passOn;  // everything that is not ours, in order
};

// Picks out postwarden's own options (--answers, --sendmail, --client-version)
// from a sendmail command line and keeps every other argument as it came.
bool ParseSendmailArgs(const std::vector<std::string>& args, SendmailArgs& parsed,
                       std::string& error) {
    bool recipientsOnly = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (recipientsOnly) {
            parsed.passOn.push_back(arg);
            continue;
        }
        if (arg == "--") {
            recipientsOnly = true;
            parsed.passOn.push_back(arg);
            continue;
        }
        std::string* ours = nullptr;
        std::string name;
        for (auto [option, target] : {std::pair{"--answers", &parsed.check.answers},
                                      std::pair{"--sendmail", &parsed.program},
                                      std::pair{"--client-version", &parsed.check.clientVersion}}) {
            const size_t length = std::strlen(option);
            if (arg == option || (arg.compare(0, length, option) == 0 && arg[length] == '=')) {
                ours = target;
                name = option;
                break;
            }
        }
        if (ours) {
            if (arg.size() > name.size()) {
                *ours = arg.substr(name.size() + 1);
            } else if (i + 1 < args.size()) {
                *ours = args[++i];
            } else {
                error = name + " needs a value";
                return false;
            }
            continue;
        }
        parsed.passOn.push_back(arg);
        if (TakesValue(arg) && i + 1 < args.size()) parsed.passOn.push_back(args[++i]);
    }
    return true;
}

// Runs `program` with `args`, no shell, feeding it `input`; returns its exit
// status, or a status of our own (with `error` set) when it could not be run.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& input, std::string& error) {
    int pipeFds[2];
    int execFds[2];  // tells the parent why exec failed
    if (pipe2(pipeFds, O_CLOEXEC) != 0 || pipe2(execFds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return 71;  // EX_OSERR
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("cannot start ") + program + ": " + std::strerror(errno);
        return 71;
    }
    if (pid == 0) {
        dup2(pipeFds[0], 0);
        signal(SIGPIPE, SIG_DFL);
        execvp(raw[0], raw.data());
        const int why = errno;
        (void)!write(execFds[1], &why, sizeof why);
        _exit(127);
    }
    close(pipeFds[0]);
    close(execFds[1]);

    // Ignore SIGPIPE so that a sendmail that stops reading early gives its own
    // status instead of killing us.
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = write(pipeFds[1], input.data() + written, input.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        written += static_cast<size_t>(n);
    }
    close(pipeFds[1]);

    int execError = 0;
    const bool execFailed = read(execFds[0], &execError, sizeof execError) == sizeof execError;
    close(execFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (execFailed) {
        error = "cannot run " + program + ": " + std::strerror(execError);
        return 69;  // EX_UNAVAILABLE
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    error = program + " was killed by signal " + std::to_string(WTERMSIG(status));
    return 75;  // EX_TEMPFAIL: nothing is known to have been sent
}

}  // namespace

int RunSendmail(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::printf(
            "Usage: postwarden sendmail [--answers LIST] [--sendmail PROGRAM]\n"
            "                           [--client-version V] [sendmail options] [--] [recipients]\n"
            "\n"
            "Reads a message on standard input, checks it, and when the send may go ahead\n"
            "runs the real sendmail with the same options and recipients, feeding it the\n"
            "message byte for byte, and exits with its status.\n"
            "\n"
            "  --answers LIST    answers to the prompts: yes, no or close, comma-separated,\n"
            "                    one per prompt, the last repeating (default: ask)\n"
            "  --sendmail PROG   the real sendmail (default $POSTWARDEN_SENDMAIL, else\n"
            "                    %s)\n"
            "\n"
            "When the send is cancelled nothing is run, the reason goes to standard error\n"
            "and the exit status is 1. When the check itself fails, the message is sent.\n",
            kDefaultSendmail);
        return kExitOk;
    }
    SendmailArgs parsed;
    std::string error;
    if (!ParseSendmailArgs(args, parsed, error)) {
        PrintError(error);
        return kExitUsage;
    }
    if (parsed.program.empty()) {
        const char* fromEnv = std::getenv("POSTWARDEN_SENDMAIL");
        parsed.program = fromEnv && *fromEnv ? fromEnv : kDefaultSendmail;
    }
    std::string message;
    if (!ReadAllStdin(message, error)) {
        PrintError(error);
        return 74;  // EX_IOERR: nothing was read, so nothing can be sent
    }

    bool usable = true;
    const CheckOutcome outcome = CheckMessage(options, parsed.check, message, usable);
    if (!usable) {
        PrintError(outcome.problem);
        return kExitUsage;
    }
    if (!outcome.problem.empty()) {
        PrintError("the check could not be completed (" + outcome.problem +
                   "); sending the message anyway");
    }
    if (!outcome.mayGo) {
        PrintError("send cancelled: " + DescribeRefusal(outcome));
        return kExitCancelled;
    }
    const int status = RunProgram(parsed.program, parsed.passOn, message, error);
    if (!error.empty()) PrintError(error);
    return status;
}

}  // namespace postwarden::host
