#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "util/RuntimeError.h"

namespace postwarden::mailstore {

// The numbers the session component raises, as a MAPI client sees them.
inline constexpr int32_t kErrorNotFound = -2147221233;     // MAPI_E_NOT_FOUND
inline constexpr int32_t kErrorLogonFailed = -2147221231;  // MAPI_E_LOGON_FAILED
inline constexpr int32_t kErrorCorruptData = -2147221221;  // MAPI_E_CORRUPT_DATA

inline RuntimeError NotFound(const std::string& what) {
    return RuntimeError(kErrorNotFound, "Not found: " + what);
}

inline RuntimeError NotLoggedOn() {
    return RuntimeError(kErrorLogonFailed, "The session is not logged on to a mail store");
}

inline RuntimeError Unreadable(const std::string& why) {
    return RuntimeError(kErrorCorruptData, "The message cannot be read: " + why);
}

// A failed system call on `path`, with the system's reason.
inline RuntimeError SystemError(int error, const std::string& path) {
    if (error == ENOENT) return NotFound(path);
    return RuntimeError(
        error == EACCES || error == EPERM ? errors::kPermissionDenied : errors::kDeviceIO,
        std::string(std::strerror(error)) + ": " + path);
}

}  // namespace postwarden::mailstore
