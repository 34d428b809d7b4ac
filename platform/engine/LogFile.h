#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"

namespace postwarden {

// When the log starts a new file, and how many old ones it keeps: past
// kLogRotateBytes, PATH becomes PATH.1, PATH.1 becomes PATH.2 and so on, the
// file beyond kLogFilesKept dropped. About 3 KB a send, so each file holds a few
// thousand sends.
inline constexpr uint64_t kLogRotateBytes = uint64_t{10} << 20;
inline constexpr int kLogFilesKept = 3;

struct LogRotation {
    uint64_t maxBytes = kLogRotateBytes;
    int keep = kLogFilesKept;  // at least 1
};

// The `index`-th older file of the log at `path` (1 the newest): "PATH.1".
std::string RotatedLogPath(const std::string& path, int index);
// The file whose lock is held around a rotation: "PATH.lock". It is never
// removed, so that every process locks the same file.
std::string LogLockPath(const std::string& path);

// The log file, opened once per process and appended to with whole records.
// Every record is written by one write() on a descriptor opened with O_APPEND,
// so records of concurrent processes never interleave.
//
// The file keeps itself to a bounded size. The writer that takes it past the
// rotation size renames it (and the older files) under an exclusive lock on
// the lock file, after looking again at the size, so that of several writers
// that cross the limit together only one rotates. A writer checks before every
// record that its file is still the one at PATH, and opens the new one when it
// is not; a record written to a file in the moment it is renamed lands in
// PATH.1, whole. So no record is lost or split, whoever rotates.
//
// The log never decides a send: a log that cannot be opened or written throws
// nothing. The first such failure is reported once, and from then on every
// record is dropped, so that the check goes on with every rule whatever the
// log's state. A rotation that cannot be done leaves the log growing.
class LogFile {
  public:
    // Hears of the first failure, as "cannot write the log PATH: REASON".
    using Reporter = std::function<void(const std::string& problem)>;

    // Opens (creating with mode 0600) the file at `path` for appending. Only a
    // regular file is used (a link to one is fine): a device, a named pipe or a
    // folder is refused, and opening never waits, so a named pipe nobody reads
    // cannot hold the process. A failure goes to `report`. An empty `path` means
    // no log: records are dropped and nothing is reported.
    explicit LogFile(const std::string& path, Reporter report = ReportToStandardError,
                     LogRotation rotation = {});
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends one record stamped now; dropped once the log has failed.
    void Append(std::string_view kind, int32_t level, std::string_view app, std::string_view source,
                std::string_view message);
    // Appends ready-made lines as they are, in one write; dropped once the log
    // has failed.
    void AppendRaw(std::string_view lines);

    // False when the file could not be opened or a write failed.
    bool Working() const;
    const std::string& Path() const { return path_; }

    // Writes "postwarden: PROBLEM; going on without it" to standard error.
    static void ReportToStandardError(const std::string& problem);

  private:
    // Turns the log off, reporting `reason` unless a failure was reported before.
    void Fail(const std::string& reason);
    // Opens the file now at path_ in place of the one held; false after Fail.
    // Caller holds mutex_.
    bool Reopen();
    // Rotates the files when the one at path_ is still past the size once the
    // lock is held. Caller holds mutex_.
    void Rotate();

    std::string path_;
    Reporter report_;
    LogRotation rotation_;
    mutable std::mutex mutex_;  // guards what follows
    UniqueFd fd_;
    dev_t device_ = 0;  // of the file fd_ holds
    ino_t inode_ = 0;
    bool rotationFailed_ = false;  // not tried again in this process
    std::atomic<bool> failed_{false};
};

// Why the file at `path` could not serve as the log ("Permission denied", "a
// named pipe, not a regular file", "the file system is full"); empty when it
// can. Opens the file without creating it and writes nothing.
std::string LogFileProblem(const std::string& path);

}  // namespace postwarden
