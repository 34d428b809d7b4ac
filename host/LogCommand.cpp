#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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

// A record's timestamp (UTC, "2026-12-06T12:34:56.789Z") as the local time a
// person reads it in: "2026-12-06 13:34:56".
std::string LocalTime(std::string_view stamp) {
    tm fields{};
    if (std::sscanf(std::string(stamp).c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &fields.tm_year,
                    &fields.tm_mon, &fields.tm_mday, &fields.tm_hour, &fields.tm_min,
                    &fields.tm_sec) != 6) {
        return std::string(stamp);
    }
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    const time_t instant = ::timegm(&fields);
    tm local{};
    char text[32];
    if (::localtime_r(&instant, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return std::string(stamp);
    }
    return text;
}

// The one line `log --sends` shows for a send's record (the host's event
// "Send: OUTCOME; rules fired: RULES; recipients: N; Message-ID: ID; Subject:
// SUBJECT[; evidence: ...]"): its local time, then the record without its
// Message-ID and evidence. Nothing for any other record. A send's record of
// another shape is shown whole rather than left out.
std::optional<std::string> SendLine(std::string_view line) {
    constexpr std::string_view kSend = "Send: ";
    const std::optional<LogRecord> record = ParseRecord(line);
    if (!record || record->kind != kKindEvent || record->source != "postwarden" ||
        !record->message.starts_with(kSend)) {
        return std::nullopt;
    }
    const std::string_view whole = std::string_view(record->message).substr(kSend.size());
    std::string_view rest = whole;
    // The field before `marker`, which `rest` then starts after.
    const auto take = [&rest](std::string_view marker, std::string_view& field) {
        const size_t at = rest.find(marker);
        if (at == std::string_view::npos) return false;
        field = rest.substr(0, at);
        rest.remove_prefix(at + marker.size());
        return true;
    };
    std::string_view outcome, rules, count, messageId;
    std::string shown = LocalTime(record->timestamp) + "  ";
    if (!take("; rules fired: ", outcome) || !take("; recipients: ", rules) ||
        !take("; Message-ID: ", count) || !take("; Subject: ", messageId)) {
        return shown + EscapeForTerminal(whole);
    }
    // Evidence follows the subject only when a rule fired. A subject that
    // itself holds "; evidence: " is cut there: shown short, never mixed with
    // what the rules found.
    const std::string_view subject =
        rules == "none" ? rest : rest.substr(0, rest.find("; evidence: "));
    shown += std::string(outcome) + "; rules fired: " + std::string(rules) +
             "; recipients: " + std::string(count) + "; Subject: " + std::string(subject);
    return EscapeForTerminal(shown);
}

// Prints the log's lines as they come in pieces; a line is shown once it is
// whole, so that an escape is never cut in two. With a start time, only the
// records stamped at it or later are shown; a line that is no record goes with
// the record before it. With `sends`, only the sends' records are shown, one
// line each (SendLine).
class LogPrinter {
  public:
    // `since`: a record timestamp, or empty for every record.
    LogPrinter(std::string since, bool sends)
        : since_(std::move(since)), showing_(since_.empty()), sends_(sends) {}

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
        std::string shown;
        if (sends_) {
            std::optional<std::string> send = SendLine(line);
            if (!send) return;
            shown = std::move(*send) + '\n';
        } else {
            shown = ShownLine(line);
            if (lineEnd) shown += '\n';
        }
        std::fwrite(shown.data(), 1, shown.size(), stdout);
    }

    std::string since_;
    bool showing_;
    bool sends_;
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
    "Prints the log. With --sends, one line per send: when (local time), how it\n"
    "ended (yes, no, closed, not asked (nobody to ask), approved by resend,\n"
    "nothing to ask, sent without a check (why), held: the check is not\n"
    "installed), the rules that fired, the number of recipients and the subject:\n"
    "  2026-12-06 14:30:05  no; rules fired: Outside Domains; recipients: 2; Subject: Numbers\n\n"
    "Without it, every record: one per line, TAB-separated:\n"
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
    bool sends = false;
    std::string since;
    CommandLine cli("log", kDescription);
    cli.add_flag("--sends", sends,
                 "only the sends, one line each: time, outcome, rules\n"
                 "fired, recipients, subject");
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
    LogPrinter printer(since, sends);
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
