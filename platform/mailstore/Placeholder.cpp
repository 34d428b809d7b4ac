// Temporary body until the Maildir store lands.
#include "module/RuntimeError.h"
#include "platform/mailstore/MaildirSession.h"

namespace postwarden {

std::shared_ptr<MapiSession> CreateMaildirSession(const std::string&) {
    throw errors::CannotCreateObject();
}

}  // namespace postwarden
