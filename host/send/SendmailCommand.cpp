#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Command.h"
#include "host/Options.h"
#include "host/send/ClientObjects.h"
#include "host/send/SendCheck.h"
#include "platform/TerminalText.h"
#include "platform/UniqueFd.h"
#include "util/Text.h"

namespace postwarden::host {

namespace {

constexpr const char* kDefaultSendmail = "/usr/sbin/sendmail";

// The options of Postfix's sendmail as it hands them to getopt: a letter
// followed by ":" takes a value, in the rest of its argument or else in the
// next one. The leading "+" stops the options at the first argument that is
// none: from the first recipient on, every argument is a recipient, one that
// begins with "-" too.
constexpr std::string_view kSendmailOptions = "+A:B:C:F:GIL:N:O:R:UV:X:b:ce:f:h:imno:p:r:q:tvx";

bool TakesValue(char letter) {
    const size_t at = letter == ':' ? std::string_view::npos : kSendmailOptions.find(letter, 1);
    return at != std::string_view::npos && at + 1 < kSendmailOptions.size() &&
           kSendmailOptions[at + 1] == ':';
}

// Where the recipients begin in `args`: after the options, each letter of a
// bundle ("-oi", "-tfme@corp.example", "-t -f me@corp.example") read in turn,
// and after a "--" that ends them.
size_t FirstRecipient(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") return i + 1;
        // "-" alone is no option. A letter Postfix does not know makes it
        // refuse the whole command; read as one without a value, it hides no
        // recipient.
        if (arg.size() < 2 || arg[0] != '-') return i;
        for (size_t letter = 1; letter < arg.size(); ++letter) {
            if (!TakesValue(arg[letter])) continue;
            if (letter + 1 == arg.size()) ++i;
            break;
        }
    }
    return args.size();
}

// How many of `args` are postwarden's own: the options `cli` declares, each with
// its value, up to the first argument that is not one of them. From there on
// everything is sendmail's, even an option of the same name.
size_t OwnArguments(const CLI::App& cli, const std::vector<std::string>& args) {
    size_t count = 0;
    while (count < args.size() && args[count].starts_with("--") && args[count] != "--") {
        const std::string& arg = args[count];
        const size_t equals = arg.find('=');
        const CLI::Option* option = cli.get_option_no_throw(arg.substr(0, equals));
        if (option == nullptr) break;
        count += equals == std::string::npos && option->get_expected_max() > 0 ? 2 : 1;
    }
    return std::min(count, args.size());
}

// The message in an anonymous in-memory file, complete and read from its start:
// `input`, or the message kept on disk. Null (with `error` set) when it cannot
// be made.
UniqueFd MessageFile(const std::string& input, const KeptMessage& kept, std::string& error) {
    UniqueFd fd(::memfd_create("postwarden-message", MFD_CLOEXEC));
    if (!fd) {
        error = std::string("cannot hold the message for sendmail: ") + std::strerror(errno);
        return {};
    }
    if (kept.copy && !kept.copy->SendTo(fd.Get(), kept.from, error)) {
        error = "cannot hold the message for sendmail: " + error;
        return {};
    }
    for (size_t written = 0; written < input.size();) {
        const ssize_t n = ::write(fd.Get(), input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("cannot hold the message for sendmail: ") +
                    std::strerror(n < 0 ? errno : EIO);
            return {};
        }
        written += static_cast<size_t>(n);
    }
    if (::lseek(fd.Get(), 0, SEEK_SET) != 0) {
        error = std::string("cannot hold the message for sendmail: ") + std::strerror(errno);
        return {};
    }
    return fd;
}

// Runs `program` with `args`, no shell, with `input` (or the message `kept`) as
// its standard input; returns its exit status, or a status of our own (with
// `error` set) when it could not be run or did not exit.
//
// All or nothing: the program is started only once the whole message is in a
// file of its own, so that killing us at any moment leaves the real sendmail
// either never started or reading the complete message. Fed through a pipe, a
// kill cut the message short, the sendmail sent the part it had, and the mail
// client, seeing a failure, sent the whole again.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& input, const KeptMessage& kept, std::string& error) {
    const UniqueFd message = MessageFile(input, kept, error);
    if (!message) return 71;  // EX_OSERR
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, message.Get(), STDIN_FILENO);
    // A caller that ignores SIGCHLD would have the status thrown away before we
    // could pass it on.
    ::signal(SIGCHLD, SIG_DFL);
    pid_t pid = 0;
    const int spawnError = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        error = "cannot run " + program + ": " + std::strerror(spawnError);
        return 69;  // EX_UNAVAILABLE
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR) continue;
        error = "lost track of " + program + ": " + std::strerror(errno);
        return 75;  // EX_TEMPFAIL
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    error = program + " was killed by signal " + std::to_string(WTERMSIG(status));
    return 75;  // EX_TEMPFAIL: whether anything was sent is not known
}

// The recipient arguments of a sendmail command line, read as Postfix's
// sendmail reads them: options (getopt's, bundled or not, a value in the same
// or the next argument) up to the first argument that is none, or up to "--";
// every argument from there on, one beginning with "-" too. A comma-separated
// list in one argument gives each of its addresses.
std::vector<std::string> EnvelopeRecipients(const std::vector<std::string>& sendmailArgs) {
    std::vector<std::string> recipients;
    for (size_t i = FirstRecipient(sendmailArgs); i < sendmailArgs.size(); ++i) {
        const std::string& arg = sendmailArgs[i];
        // sendmail takes a comma-separated list in one argument too.
        size_t start = 0;
        for (size_t comma = arg.find(',');; comma = arg.find(',', start)) {
            const size_t end = comma == std::string::npos ? arg.size() : comma;
            const std::string_view piece =
                Trim(std::string_view(arg).substr(start, end - start), " \t");
            if (!piece.empty()) recipients.emplace_back(piece);
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    return recipients;
}

}  // namespace

int RunSendmail(const GlobalOptions& options, const std::vector<std::string>& args) {
    CheckOptions check;
    std::string program;
    CommandLine cli(
        "sendmail",
        "Reads a message on standard input, checks it, and when the send may go ahead\n"
        "runs the real sendmail with the same options and recipients, feeding it the\n"
        "message byte for byte, and exits with its status. The recipients checked are\n"
        "those of the message's To, Cc, Bcc and Resent- fields and the recipient\n"
        "arguments.\n"
        "\n"
        "Postwarden's own options below must come first; everything from the first\n"
        "other argument on is sendmail's and is passed on unchanged (-h 5 is the hop\n"
        "count). Those are read as Postfix's sendmail reads them: its options, bundled\n"
        "or not (-oi, -tfme@corp.example), up to the first recipient or \"--\"; from\n"
        "there on every argument is a recipient, one that begins with \"-\" too.\n"
        "\n"
        "Exit status: the real sendmail's; 1 when the send was held (answered No, or a\n"
        "rule fired and nobody could be asked: sending the same message again within\n"
        "10 minutes then sends it); 69 when the check is not installed properly.\n"
        "Nothing is run when the send is held, and the reason goes to standard error.\n"
        "When the check itself fails otherwise, the message is sent.",
        /*shortHelp=*/false);
    cli.add_option("--answers", check.answers,
                   "answers to the prompts: yes, no or close, comma-separated,\n"
                   "one per prompt, the last repeating (default: ask)")
        ->type_name("LIST");
    cli.add_option("--sendmail", program,
                   std::string("the real sendmail (default $POSTWARDEN_SENDMAIL, else\n") +
                       kDefaultSendmail + ")")
        ->type_name("PROGRAM");
    cli.add_option("--client-version", check.clientVersion)->group("");  // as for check
    // Named for --help only: what follows our options never reaches the parser.
    std::vector<std::string> passOn;
    cli.add_option("SENDMAIL-ARGS", passOn,
                   "sendmail's options, \"--\" and recipients, passed on unchanged");
    const auto own = args.begin() + static_cast<ptrdiff_t>(OwnArguments(cli, args));
    if (const std::optional<int> status = cli.Parse({args.begin(), own})) return *status;
    passOn.assign(own, args.end());
    check.envelopeRecipients = EnvelopeRecipients(passOn);

    if (program.empty()) {
        const char* fromEnv = std::getenv("POSTWARDEN_SENDMAIL");
        program = fromEnv && *fromEnv ? fromEnv : kDefaultSendmail;
    }
    std::string message;
    std::string error;
    if (!ReadAllStdin(message, error, OutgoingMailItem::FieldRoom(check.envelopeRecipients))) {
        PrintError(error);
        return 74;  // EX_IOERR: nothing was read, so nothing can be sent
    }

    bool usable = true;
    // A message kept on disk goes from there to sendmail's file, not through
    // our memory again.
    KeptMessage kept;
    const CheckOutcome outcome = CheckMessage(options, check, message, usable, &kept);
    if (!usable) {
        PrintError(outcome.problem);
        return kExitUsage;
    }
    if (outcome.verdict == SendVerdict::kNotInstalled) {
        PrintError("not sent: " + DescribeRefusal(outcome));
        return kExitNotInstalled;
    }
    if (!outcome.MayGo()) {
        PrintError("not sent: " + DescribeRefusal(outcome));
        return kExitCancelled;
    }
    if (outcome.verdict == SendVerdict::kUnchecked) {
        PrintError(EscapeForTerminal("the check could not be completed (" + outcome.problem +
                                     "); sending the message anyway"));
    }
    const int status = RunProgram(program, passOn, message, kept, error);
    if (!error.empty()) PrintError(error);
    return status;
}

}  // namespace postwarden::host
