// The MIME library's one exported entry point; everything else in it is local.
// Also linked wherever MimeMessage.cpp and the files beside it are, for
// MimeUnavailable().
#include "platform/mailstore/MimeLibrary.h"

namespace postwarden::mailstore {

MimeFunctions MimeFunctions::Linked() {
    return {
        sizeof(MessageContent),
        ParseMessage,
        ParseSubject,
        ParseHeaderValue,
        MessageFingerprint,
        [](const MessageContent& content, std::span<const MessageContent::Piece> order, int which) {
            return content.BodyOf(order, which);
        },
    };
}

std::string MimeUnavailable() {
    return {};
}

}  // namespace postwarden::mailstore

extern "C" const postwarden::mailstore::MimeFunctions* PostwardenMimeFunctions() {
    static const postwarden::mailstore::MimeFunctions functions =
        postwarden::mailstore::MimeFunctions::Linked();
    return &functions;
}
