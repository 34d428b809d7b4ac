#include "platform/engine/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/RuntimeError.h"
#include "platform/engine/LogRecord.h"

namespace postwarden {

namespace {
// Large enough for every ordinary record; a longer one is built on the heap.
thread_local std::string lineBuffer;
}  // namespace

LogFile::LogFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw RuntimeError(errors::kPathNotFound,
                           "Cannot open the log file " + path + ": " + std::strerror(errno));
    }
}

LogFile::~LogFile() {
    if (fd_ >= 0) ::close(fd_);
}

void LogFile::Append(std::string_view kind, int32_t level, std::string_view app,
                     std::string_view source, std::string_view message) {
    lineBuffer.clear();
    AppendRecordLine(lineBuffer, kind, level, app, source, message);
    AppendRaw(lineBuffer);
}

void LogFile::AppendRaw(std::string_view lines) {
    // A regular file opened with O_APPEND takes the whole buffer in one write;
    // the loop only matters for an interrupted or short write.
    while (!lines.empty()) {
        const ssize_t n = ::write(fd_, lines.data(), lines.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw RuntimeError(errors::kDeviceIO,
                               "Cannot write the log file " + path_ + ": " + std::strerror(errno));
        }
        lines.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace postwarden
