#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/Options.h"
#include "platform/TerminalText.h"
#include "platform/UniqueFd.h"
#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"

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
// whole, so that an escape is never cut in two. With a start time, only the
// records stamped at it or later are shown; a line that is no record goes with
// the record before it.
class LogPrinter {
  public:
    // `since`: a record timestamp, or empty for every record.
    explicit LogPrinter(std::string since) : since_(std::move(since)), showing_(since_.empty()) {}

    void Add(std::string_view bytes) {
        pending_.append(bytes);
        size_t start = 0;
        for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
            Show(std::string_view(pending_).substr(start, end - start), true);
        }
        pending_.erase(0, start);
    }
    // Ends a file that others follow: a last line without its line end (a
    // record cut short) is shown as a line of its own.
    void EndFile() {
        if (!pending_.empty()) Show(pending_, true);
        pending_.clear();
    }
    // Shows what is left of a last line without its line end, as the file has it.
    void Finish() {
        Show(pending_, false);
        pending_.clear();
    }

  private:
    void Show(std::string_view line, bool lineEnd) {
        if (!since_.empty()) {
            const std::string_view stamp = LineTimestamp(line);
            if (!stamp.empty()) showing_ = stamp >= since_;
        }
        if (!showing_) return;
        std::string shown = ShownLine(line);
        if (lineEnd) shown += '\n';
        std::fwrite(shown.data(), 1, shown.size(), stdout);
    }

    std::string since_;
    bool showing_;
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

// One file of the log, open for reading.
struct OpenLog {
    std::string path;
    UniqueFd fd;
};

// Opens the log file at `path`: Valid() when it is there, empty when it is not;
// `error` says why one that is there cannot be read. Without O_NONBLOCK a named
// pipe in the log's place would hold us until someone writes to it.
UniqueFd OpenLogFile(const std::string& path, std::string& error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT) error = "cannot read " + path + ": " + std::strerror(errno);
        return {};
    }
    // A device such as /dev/zero would never end; only a file is a log.
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "cannot read " + path + ": not a regular file";
        return {};
    }
    return fd;
}

// The log's files that are there, oldest first, opened together under the
// rotation lock (when there is one to take) so that no rotation moves them
// while they are picked up. What is added to them later is still read.
std::vector<OpenLog> OpenLogFiles(const std::string& path, std::string& error) {
    const UniqueFd lock(::open(LogLockPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (lock) {
        while (::flock(lock.Get(), LOCK_SH) != 0 && errno == EINTR) {
        }
    }
    std::vector<OpenLog> files;
    for (int index = kLogFilesKept; index >= 0; --index) {
        std::string name = index == 0 ? path : RotatedLogPath(path, index);
        UniqueFd fd = OpenLogFile(name, error);
        if (!error.empty()) return {};
        if (fd) files.push_back({std::move(name), std::move(fd)});
    }
    return files;
}

// Whether the file at `path` is another one than `fd` holds: the log was
// rotated (or removed and made again) since `fd` was opened.
bool Replaced(const std::string& path, int fd) {
    struct stat atPath {
    }, held{};
    if (::stat(path.c_str(), &atPath) != 0) return false;  // not made again yet
    return ::fstat(fd, &held) != 0 || atPath.st_ino != held.st_ino || atPath.st_dev != held.st_dev;
}

constexpr const char* kDescription =
    "Prints the log: one record per line, TAB-separated:\n"
    "TIMESTAMP KIND LEVEL APP SOURCE MESSAGE. The timestamps are UTC. Control\n"
    "characters are shown escaped (\\t, \\r, \\n, \\xHH), and so are the characters\n"
    "that could change the terminal or reorder the text (C1 controls and\n"
    "bidirectional controls, as \\u{HHHH}).\n\n"
    "The log keeps itself: past 10 MiB postwarden.log becomes postwarden.log.1,\n"
    "and so on to postwarden.log.3, the oldest dropped. They are shown too,\n"
    "oldest first.";

}  // namespace

// Prints the log's files as they stand, and with --follow what is added to them.
int RunLog(const GlobalOptions& options, const std::vector<std::string>& args) {
    bool follow = false;
    std::string since;
    CommandLine cli("log", kDescription);
    cli.add_option_function<std::string>(
           "--since",
           [&since](const std::string& text) {
               const std::optional<std::string> stamp = TimestampOf(text);
               if (!stamp) {
                   throw CLI::ValidationError(
                       "--since needs a date (2026-12-06) or a date and time (2026-12-06T14:30), "
                       "not \"" +
                       EscapeForTerminal(text) + "\"");
               }
               since = *stamp;
           },
           "only the records from TIME on: a date (2026-12-06) or a\n"
           "date and time (2026-12-06T14:30, 2026-12-06 14:30:05) in\n"
           "local time, or in UTC or another zone with Z or an offset\n"
           "(2026-12-06T13:30Z, 2026-12-06T14:30+01:00)")
        ->type_name("TIME");
    cli.add_flag("-f,--follow", follow,
                 "keep printing records as they are added\n(stop with Ctrl-C)");
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    const std::string path = options.home + "/" + kLogFileName;
    std::string error;
    std::vector<OpenLog> files = OpenLogFiles(path, error);
    LogPrinter printer(since);
    for (size_t i = 0; error.empty() && i < files.size(); ++i) {
        if (const int failed = ReadInto(files[i].fd.Get(), printer); failed != 0) {
            error = "cannot read " + files[i].path + ": " + std::strerror(failed);
        } else if (i + 1 < files.size()) {
            printer.EndFile();
        }
    }
    if (!error.empty()) {
        PrintError(error);
        return kExitFailure;
    }
    if (!follow) {
        printer.Finish();
        return kExitOk;
    }
    // The current file, or none yet; a rotation replaces it with a new one,
    // whose records follow what is left of the old one.
    UniqueFd current;
    if (!files.empty() && files.back().path == path) current = std::move(files.back().fd);
    for (;;) {
        if (current) {
            if (const int failed = ReadInto(current.Get(), printer); failed != 0) {
                PrintError("cannot read " + path + ": " + std::strerror(failed));
                return kExitFailure;
            }
        }
        std::fflush(stdout);
        ::usleep(250000);
        if (current && !Replaced(path, current.Get())) continue;
        UniqueFd next = OpenLogFile(path, error);
        if (!error.empty()) {
            PrintError(error);
            return kExitFailure;
        }
        if (!next) continue;  // nothing logged yet, or the new file not made yet
        if (current) {
            // What the old file got before it was renamed.
            (void)ReadInto(current.Get(), printer);
            printer.EndFile();
        }
        current = std::move(next);
    }
}

}  // namespace postwarden::host
