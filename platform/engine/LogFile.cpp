#include "platform/engine/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
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
// be the log. O_NONBLOCK because opening a named pipe for writing otherwise
// waits for a reader, for ever; writes to a regular file ignore it.
UniqueFd OpenForAppending(const std::string& path, int flags, std::string& why) {
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags, 0600));
    struct stat info {};
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

}  // namespace

LogFile::LogFile(const std::string& path, Reporter report)
    : path_(path), report_(std::move(report)) {
    if (path.empty()) return;
    std::string why;
    fd_ = OpenForAppending(path, O_CREAT, why);
    if (!fd_) Fail(why);
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
    if (!Working()) return;
    lineBuffer.clear();
    AppendRecordLine(lineBuffer, kind, level, app, source, message);
    AppendRaw(lineBuffer);
}

void LogFile::AppendRaw(std::string_view lines) {
    if (!Working()) return;
    // A regular file opened with O_APPEND takes the whole buffer in one write;
    // the loop only matters for an interrupted or short write.
    size_t written = 0;
    int error = 0;
    while (written < lines.size()) {
        const ssize_t n = ::write(fd_.Get(), lines.data() + written, lines.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        written += static_cast<size_t>(n);
    }
    if (error != 0) Fail(std::strerror(error));
}

std::string LogFileProblem(const std::string& path) {
    std::string why;
    const UniqueFd fd = OpenForAppending(path, 0, why);
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
