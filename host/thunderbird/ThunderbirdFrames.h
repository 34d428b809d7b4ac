#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace postwarden::host {

// Thunderbird's native messaging: each message is a 4-byte length in this
// machine's byte order followed by that many bytes of UTF-8 JSON, both ways.

enum class FrameStatus {
    kFrame,      // `payload` holds one whole message
    kEnd,        // the stream ended cleanly between messages
    kTruncated,  // the stream ended inside a length or a message
    kTooLarge,   // the length exceeds the limit; the message was not read
    kReadError,  // reading failed; `payload` holds the reason
};

// Reads one message from `fd`, waiting for all of it however the bytes arrive.
// A message longer than `maxBytes` is refused without reading it, so the
// stream cannot be trusted afterwards. On kTooLarge `payload` holds the length
// announced, in decimal.
FrameStatus ReadFrame(int fd, std::string& payload, size_t maxBytes);

// Writes one message to `fd`; false when it could not be written whole (the
// reader is gone).
bool WriteFrame(int fd, std::string_view payload);

}  // namespace postwarden::host
