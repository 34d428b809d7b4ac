#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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
// How many bytes of records wait in the process before they are written: a
// send to many recipients traces tens of thousands of records, and one write
// (and one look for a rotation) each cost more than checking the send.
inline constexpr size_t kLogBufferBytes = size_t{64} << 10;

struct LogRotation {
    uint64_t maxBytes = kLogRotateBytes;
    int keep = kLogFilesKept;  // at least 1
};

// The `index`-th older file of the log at `path` (1 the newest): "PATH.1".
std::string RotatedLogPath(const std::string& path, int index);
// The file whose lock is held around a rotation: "PATH.lock". It is never
// removed, so that every process locks the same file.
std::string LogLockPath(const std::string& path);

// Writes the records waiting in every LogFile of the process, with write(2)
// alone: what a handler of a fatal signal may call.
void WriteWaitingRecords();

// The log file, opened once per process and appended to with whole records.
// Records wait in a buffer of whole records, which goes to the file in one
// write() on a descriptor opened with O_APPEND, so records of concurrent
// processes never interleave. The buffer is written when the next record would
// not fit, on Flush() (before a person is asked anything, and when a call into
// the module returns), when the LogFile goes, at exit(), and on a fatal signal
// (SIGSEGV, SIGABRT, SIGTERM and the like, where the process left them at
// their default): records that were not written are records lost in a crash.
// A child made by fork() starts with an empty buffer; its parent writes them.
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
    // no log: records are dropped and nothing is reported. Up to `bufferBytes`
    // of records wait to be written; 0 writes each record as it comes.
    explicit LogFile(const std::string& path, Reporter report = ReportToStandardError,
                     LogRotation rotation = {}, size_t bufferBytes = kLogBufferBytes);
    // Writes what is waiting.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends one record stamped now; dropped once the log has failed.
    void Append(std::string_view kind, int32_t level, std::string_view app, std::string_view source,
                std::string_view message);
    // Writes the records waiting, if any, so that other processes see them.
    void Flush();

    // False when the file could not be opened or a write failed.
    bool Working() const;
    const std::string& Path() const { return path_; }

    // Writes "postwarden: PROBLEM; going on without it" to standard error.
    static void ReportToStandardError(const std::string& problem);

  private:
    // Turns the log off, reporting `reason` unless a failure was reported before.
    void Fail(const std::string& reason);
    // Writes `lines` (whole records) in one write, to the file now at path_,
    // and rotates when that took it past the size. Caller holds mutex_.
    void Write(std::string_view lines);
    // Writes the buffer and empties it. Caller holds mutex_.
    void WriteBuffered();
    // Opens the file now at path_ in place of the one held; false after Fail.
    // Caller holds mutex_.
    bool Reopen();
    // Rotates the files when the one at path_ is still past the size once the
    // lock is held. Caller holds mutex_.
    void Rotate();

    // Once per process: writes what waits on a fatal signal left at its default
    // (a signal ignored, or handled by someone else, stays so) and at exit(),
    // and forgets it in a child made by fork().
    static void WatchProcessEnds();
    static void ForgetParentsRecords();
    friend void WriteWaitingRecords();

    std::string path_;
    Reporter report_;
    LogRotation rotation_;
    mutable std::mutex mutex_;  // guards what follows
    // Whole records not yet written: buffer_[0, buffered_). A signal handler may
    // write them, so the buffer never moves, a record is copied in before
    // buffered_ counts it, and writing_ says a write of them is under way.
    std::unique_ptr<char[]> buffer_;
    size_t capacity_ = 0;
    std::atomic<size_t> buffered_{0};
    std::atomic<bool> writing_{false};
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
