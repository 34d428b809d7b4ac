#pragma once

// GMime and what it brings with it (glib, gio, gpgme, libmount, ...) take longer
// to map and relocate than the rest of the command together, and only a run
// that reads a message needs them. So the command does not link them: the
// functions of MimeMessage.h live in libpostwarden-mime.so beside the module,
// and the command's own definitions of them (host/MimeOnDemand.cpp) load it at
// the first call and pass each call on. Everything else (the tests, the fuzz
// targets, the library itself) links MimeMessage.cpp and the files beside it
// directly.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/mailstore/MimeMessage.h"

namespace postwarden::mailstore {

// The library's functions. Both sides are built from the same tree; the size
// of MessageContent tells a library from another build.
struct MimeFunctions {
    size_t contentSize;
    MessageContent (*parseMessage)(std::string_view bytes, const std::function<void()>& release);
    std::string (*parseSubject)(std::string_view bytes);
    std::string (*parseHeaderValue)(std::string_view bytes, const char* name);
    std::string (*messageFingerprint)(std::string_view bytes, const std::function<void()>& release);
    std::string_view (*bodyOf)(const MessageContent& content,
                               std::span<const MessageContent::Piece> order, int which);

    // The table of the definitions linked into this program.
    static MimeFunctions Linked();
};

// Why this program cannot read messages, or empty when it can: the command
// loads the library now (host/MimeOnDemand.cpp); where MimeMessage.cpp and the
// files beside it are linked in, it always can. A send checks this before it
// starts, so that a broken install stops it the way a missing module does.
std::string MimeUnavailable();

inline constexpr const char* kMimeLibraryFileName = "libpostwarden-mime.so";
inline constexpr const char* kMimeLibraryEntryPoint = "PostwardenMimeFunctions";

}  // namespace postwarden::mailstore

// The library's one exported symbol: its table, which lives as long as the library.
extern "C" const postwarden::mailstore::MimeFunctions* PostwardenMimeFunctions();
