#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

namespace postwarden {

// The log file, opened once per process and appended to with whole records.
// Every record is written by one write() on a descriptor opened with O_APPEND,
// so records of concurrent processes never interleave.
//
// The log never decides a send: a log that cannot be opened or written throws
// nothing. The first such failure is reported once, and from then on every
// record is dropped, so that the check goes on with every rule whatever the
// log's state.
class LogFile {
  public:
    // Hears of the first failure, as "cannot write the log PATH: REASON".
    using Reporter = std::function<void(const std::string& problem)>;

    // Opens (creating with mode 0600) the file at `path` for appending. Only a
    // regular file is used (a link to one is fine): a device, a named pipe or a
    // folder is refused, and opening never waits, so a named pipe nobody reads
    // cannot hold the process. A failure goes to `report`. An empty `path` means
    // no log: records are dropped and nothing is reported.
    explicit LogFile(const std::string& path, Reporter report = ReportToStandardError);
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends one record stamped now; dropped once the log has failed.
    void Append(std::string_view kind, int32_t level, std::string_view app, std::string_view source,
                std::string_view message);
    // Appends ready-made lines as they are; dropped once the log has failed.
    void AppendRaw(std::string_view lines);

    // False when the file could not be opened or a write failed.
    bool Working() const { return fd_.Valid() && !failed_.load(std::memory_order_relaxed); }
    const std::string& Path() const { return path_; }

    // Writes "postwarden: PROBLEM; going on without it" to standard error.
    static void ReportToStandardError(const std::string& problem);

  private:
    // Turns the log off, reporting `reason` unless a failure was reported before.
    void Fail(const std::string& reason);

    std::string path_;
    Reporter report_;
    UniqueFd fd_;
    std::atomic<bool> failed_{false};
};

// Why the file at `path` could not serve as the log ("Permission denied", "a
// named pipe, not a regular file", "the file system is full"); empty when it
// can. Opens the file without creating it and writes nothing.
std::string LogFileProblem(const std::string& path);

}  // namespace postwarden
