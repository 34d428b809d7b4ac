#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "host/Command.h"
#include "host/Home.h"
#include "platform/TerminalText.h"
#include "platform/UniqueFd.h"

namespace postwarden::host {

namespace {

// One line of the log as it may be shown on a terminal: each field with every
// control, C1 and bidirectional character escaped, the TABs between the fields
// kept. Records escape C0 controls when they are written, but the rest of a
// subject or an address reaches the file as it came, and a C1 CSI or a
// right-to-left override would act on the terminal of whoever reads the log.
std::string ShownLine(std::string_view line) {
    std::string shown;
    shown.reserve(line.size());
    for (size_t start = 0;;) {
        const size_t tab = line.find('\t', start);
        shown += EscapeForTerminal(line.substr(start, tab - start));
        if (tab == std::string_view::npos) return shown;
        shown += '\t';
        start = tab + 1;
    }
}

// Prints the log's lines as they come in pieces; a line is shown once it is
// whole, so that an escape is never cut in two.
class LogPrinter {
  public:
    void Add(std::string_view bytes) {
        pending_.append(bytes);
        size_t start = 0;
        for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string shown =
                ShownLine(std::string_view(pending_).substr(start, end - start)) + '\n';
            std::fwrite(shown.data(), 1, shown.size(), stdout);
        }
        pending_.erase(0, start);
    }
    // Shows what is left of a last line without its line end, as the file has it.
    void Finish() {
        const std::string shown = ShownLine(pending_);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        pending_.clear();
    }

  private:
    std::string pending_;
};

// Passes what `fd` holds from where it stands to `printer`. Returns 0, or the
// error number when reading fails.
int ReadInto(int fd, LogPrinter& printer) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        printer.Add(std::string_view(buffer, static_cast<size_t>(n)));
    }
}

}  // namespace

// Prints the log file as it stands, and with --follow what is added to it.
int RunLog(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::printf(
            "Usage: postwarden log [--follow]\n\n"
            "Prints the log: one record per line, TAB-separated:\n"
            "TIMESTAMP KIND LEVEL APP SOURCE MESSAGE. Control characters are shown\n"
            "escaped (\\t, \\r, \\n, \\xHH), and so are the characters that could change\n"
            "the terminal or reorder the text (C1 controls and bidirectional controls,\n"
            "as \\u{HHHH}).\n\n"
            "  -f, --follow   keep printing records as they are added (stop with Ctrl-C)\n");
        return kExitOk;
    }
    bool follow = false;
    for (const std::string& arg : args) {
        if (arg == "--follow" || arg == "-f") {
            follow = true;
        } else {
            PrintError("log: unknown argument " + arg + " (see postwarden log --help)");
            return kExitUsage;
        }
    }
    const std::string path = options.home + "/" + kLogFileName;
    // Without O_NONBLOCK a named pipe in the log's place would hold us until
    // someone writes to it.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    while (!fd) {
        if (errno != ENOENT) {
            PrintError("cannot read " + path + ": " + std::strerror(errno));
            return kExitFailure;
        }
        if (!follow) return kExitOk;  // nothing logged yet
        ::usleep(250000);
        fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    }
    // A device such as /dev/zero would never end; only a file is a log.
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        PrintError("cannot read " + path + ": not a regular file");
        return kExitFailure;
    }
    LogPrinter printer;
    int error = ReadInto(fd.Get(), printer);
    while (error == 0 && follow) {
        std::fflush(stdout);
        ::usleep(250000);
        error = ReadInto(fd.Get(), printer);
    }
    if (error != 0) {
        PrintError("cannot read " + path + ": " + std::strerror(error));
        return kExitFailure;
    }
    printer.Finish();
    return kExitOk;
}

}  // namespace postwarden::host
