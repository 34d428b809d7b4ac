#include "platform/engine/LogFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/engine/LogRecord.h"

namespace postwarden {

namespace {

// Large enough for every ordinary record; a longer one is built on the heap.
thread_local std::string lineBuffer;

std::string KindOfFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

std::string NotRegular(mode_t mode) {
    return KindOfFile(mode) + ", not a regular file";
}

// Opens `path` for appending with `flags` added, or says in `why` why it cannot
// be the log; `info` is what the file is. O_NONBLOCK because opening a named
// pipe for writing otherwise waits for a reader, for ever; writes to a regular
// file ignore it.
UniqueFd OpenForAppending(const std::string& path, int flags, struct stat& info, std::string& why) {
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags, 0600));
    if (!fd) {
        const int error = errno;
        // A pipe without a reader fails with ENXIO and a folder with EISDIR;
        // what the file is says more to a person than either.
        why = ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) ? NotRegular(info.st_mode)
                                                                         : std::strerror(error);
        return {};
    }
    if (::fstat(fd.Get(), &info) != 0) {
        why = std::strerror(errno);
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        why = NotRegular(info.st_mode);
        return {};
    }
    return fd;
}

// Renames `from` to `to`, replacing it; a missing `from` is nothing to do.
bool MoveAside(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT;
}

// Writes all of `bytes` to `fd`; the error number of a failed write, else 0.
// Only write(2), so that a signal handler may call it.
int WriteAll(int fd, const char* bytes, size_t size) {
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        written += static_cast<size_t>(n);
    }
    return 0;
}

// The logs open in this process, for the ends of a process that skip their
// destructors. A fixed table, so that a signal handler can walk it; a log that
// finds no free place is written as usual, only not on those ends.
std::array<std::atomic<LogFile*>, 8> openLogs{};

void WriteRecordsAndDie(int signal) {
    const int saved = errno;
    WriteWaitingRecords();
    errno = saved;
    // The handler was reset to the default on entry and the signal is blocked
    // until this returns: the process then ends as it would have without us.
    ::raise(signal);
}

void FlushOpenLogs() {
    for (auto& slot : openLogs) {
        if (LogFile* log = slot.load()) log->Flush();
    }
}

}  // namespace

void WriteWaitingRecords() {
    for (auto& slot : openLogs) {
        LogFile* log = slot.load();
        if (log == nullptr || log->writing_.load()) continue;
        const size_t size = log->buffered_.load();
        if (size > 0 && log->fd_.Valid()) {
            (void)WriteAll(log->fd_.Get(), log->buffer_.get(), size);
            log->buffered_.store(0);
        }
    }
}

void LogFile::ForgetParentsRecords() {
    for (auto& slot : openLogs) {
        if (LogFile* log = slot.load()) log->buffered_.store(0);
    }
}

void LogFile::WatchProcessEnds() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGILL, SIGABRT, SIGFPE,
                                 SIGSEGV, SIGBUS}) {
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
                (current.sa_flags & SA_SIGINFO) != 0) {
                continue;
            }
            struct sigaction handler {};
            handler.sa_handler = WriteRecordsAndDie;
            handler.sa_flags = SA_RESETHAND;
            sigemptyset(&handler.sa_mask);
            ::sigaction(signal, &handler, nullptr);
        }
        std::atexit(FlushOpenLogs);
        ::pthread_atfork(nullptr, nullptr, ForgetParentsRecords);
    });
}

std::string RotatedLogPath(const std::string& path, int index) {
    return path + "." + std::to_string(index);
}

std::string LogLockPath(const std::string& path) {
    return path + ".lock";
}

LogFile::LogFile(const std::string& path, Reporter report, LogRotation rotation, size_t bufferBytes)
    : path_(path), report_(std::move(report)), rotation_(rotation) {
    assert(rotation_.keep >= 1);
    if (path.empty()) return;
    {
        std::lock_guard lock(mutex_);
        if (!Reopen()) return;
    }
    if (bufferBytes == 0) return;
    buffer_ = std::make_unique_for_overwrite<char[]>(bufferBytes);
    capacity_ = bufferBytes;
    WatchProcessEnds();
    for (auto& slot : openLogs) {
        LogFile* none = nullptr;
        if (slot.compare_exchange_strong(none, this)) break;
    }
}

LogFile::~LogFile() {
    for (auto& slot : openLogs) {
        LogFile* self = this;
        if (slot.compare_exchange_strong(self, nullptr)) break;
    }
    Flush();
}

void LogFile::Flush() {
    if (buffered_.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard lock(mutex_);
    WriteBuffered();
}

bool LogFile::Working() const {
    std::lock_guard lock(mutex_);
    return fd_.Valid() && !failed_.load(std::memory_order_relaxed);
}

bool LogFile::Reopen() {
    std::string why;
    struct stat info {};
    fd_ = OpenForAppending(path_, O_CREAT, info, why);
    if (!fd_) {
        Fail(why);
        return false;
    }
    device_ = info.st_dev;
    inode_ = info.st_ino;
    return true;
}

void LogFile::Rotate() {
    if (rotationFailed_) return;
    const UniqueFd lock(
        ::open(LogLockPath(path_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    int locked = -1;
    if (lock) {
        while ((locked = ::flock(lock.Get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
    }
    if (locked != 0) {
        rotationFailed_ = true;
        return;
    }
    // Another writer may have rotated while this one waited for the lock.
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0 ||
        static_cast<uint64_t>(info.st_size) <= rotation_.maxBytes) {
        return;
    }
    for (int index = rotation_.keep - 1; index >= 1; --index) {
        if (!MoveAside(RotatedLogPath(path_, index), RotatedLogPath(path_, index + 1))) {
            rotationFailed_ = true;
            return;
        }
    }
    if (!MoveAside(path_, RotatedLogPath(path_, 1))) {
        rotationFailed_ = true;
        return;
    }
    // The new file is made before the lock goes, so that a writer looking at the
    // size after this never finds the path missing and rotates nothing twice.
    Reopen();
}

void LogFile::ReportToStandardError(const std::string& problem) {
    const std::string line = "postwarden: " + problem + "; going on without it\n";
    // One write, so that the line stays whole beside other output.
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

void LogFile::Fail(const std::string& reason) {
    if (failed_.exchange(true)) return;
    if (!report_) return;
    try {
        report_("cannot write the log " + path_ + ": " + reason);
    } catch (...) {
        // Reporting is a courtesy; it must not turn into a failure of the caller.
    }
}

void LogFile::Append(std::string_view kind, int32_t level, std::string_view app,
                     std::string_view source, std::string_view message) {
    if (failed_.load(std::memory_order_relaxed)) return;
    lineBuffer.clear();
    AppendRecordLine(lineBuffer, kind, level, app, source, message);
    std::lock_guard lock(mutex_);
    if (!fd_) return;
    const size_t size = buffered_.load(std::memory_order_relaxed);
    if (size + lineBuffer.size() > capacity_) {
        WriteBuffered();
        if (lineBuffer.size() > capacity_) {
            Write(lineBuffer);
            return;
        }
    }
    const size_t at = buffered_.load(std::memory_order_relaxed);
    std::memcpy(buffer_.get() + at, lineBuffer.data(), lineBuffer.size());
    buffered_.store(at + lineBuffer.size());
}

void LogFile::WriteBuffered() {
    const size_t size = buffered_.load(std::memory_order_relaxed);
    if (size == 0) return;
    writing_.store(true);
    Write({buffer_.get(), size});
    buffered_.store(0);
    writing_.store(false);
}

void LogFile::Write(std::string_view lines) {
    if (failed_.load(std::memory_order_relaxed) || !fd_) return;
    // The file held may have been rotated away by another process: records
    // must go to the file at the path, not to one on its way out.
    struct stat current {};
    if (::stat(path_.c_str(), &current) != 0 || current.st_ino != inode_ ||
        current.st_dev != device_) {
        if (!Reopen()) return;
        current.st_size = 0;
    }
    // A regular file opened with O_APPEND takes the whole buffer in one write;
    // WriteAll loops only for an interrupted or short write.
    if (const int error = WriteAll(fd_.Get(), lines.data(), lines.size()); error != 0) {
        Fail(std::strerror(error));
        return;
    }
    // The size seen before these records, plus the records: records other
    // processes wrote in between are counted by whoever writes next.
    if (static_cast<uint64_t>(current.st_size) + lines.size() > rotation_.maxBytes) Rotate();
}

std::string LogFileProblem(const std::string& path) {
    std::string why;
    struct stat info {};
    const UniqueFd fd = OpenForAppending(path, 0, info, why);
    if (!fd) return why;
    struct statvfs space {};
    if (::fstatvfs(fd.Get(), &space) == 0) {
        // The blocks kept back for root are there for root only.
        const auto free = ::geteuid() == 0 ? space.f_bfree : space.f_bavail;
        if (free == 0) return "the file system is full";
    }
    return "";
}

}  // namespace postwarden
