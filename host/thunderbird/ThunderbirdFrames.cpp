#include "host/thunderbird/ThunderbirdFrames.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace postwarden::host {

namespace {

// Fills `buffer` from `fd`; returns how many bytes came before the end of the
// stream (less than `size` only at the end), or -1 on a read error.
ssize_t ReadFull(int fd, char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool WriteFull(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FrameStatus ReadFrame(int fd, std::string& payload, size_t maxBytes) {
    payload.clear();
    char header[sizeof(uint32_t)];
    const ssize_t got = ReadFull(fd, header, sizeof header);
    if (got < 0) {
        payload = std::strerror(errno);
        return FrameStatus::kReadError;
    }
    if (got == 0) return FrameStatus::kEnd;
    if (static_cast<size_t>(got) < sizeof header) return FrameStatus::kTruncated;
    uint32_t length = 0;
    std::memcpy(&length, header, sizeof length);
    if (length > maxBytes) {
        payload = std::to_string(length);
        return FrameStatus::kTooLarge;
    }
    payload.resize(length);
    const ssize_t body = ReadFull(fd, payload.data(), length);
    if (body < 0) {
        payload = std::strerror(errno);
        return FrameStatus::kReadError;
    }
    if (static_cast<size_t>(body) < length) {
        payload.clear();
        return FrameStatus::kTruncated;
    }
    return FrameStatus::kFrame;
}

bool WriteFrame(int fd, std::string_view payload) {
    if (payload.size() > UINT32_MAX) return false;
    const uint32_t length = static_cast<uint32_t>(payload.size());
    // One buffer, so that a reader never sees a length without its message
    // because of a write that failed in between.
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame.append(payload);
    return WriteFull(fd, frame.data(), frame.size());
}

}  // namespace postwarden::host
