#pragma once

#include <memory>
#include <string_view>

#include "module/MapiSession.h"
#include "module/Platform.h"

namespace postwarden::net {

// A session object on the IMAP server of an imap:// or imaps:// URL, as
// Platform::CreateMailServerSession promises. Throws RuntimeError for a URL of
// another scheme or one that cannot be parsed; nothing is sent before Logon().
//
// Logon() logs in (the URL's user and password, else netrc's for the host)
// over TLS: imaps:// from the start, imap:// by STARTTLS, which the server must
// offer. GetFolderFromPath takes a URL of the same server and user, or a
// mailbox name, and fails with "Not found" for a mailbox that is not there.
// A folder's items are its messages in the order of their UIDs (the order they
// were added); the text index selects the newest whose subject is exactly the
// text. A message is read on first use, once, whole: its subject, recipients,
// bodies and format as the local mail store gives them. Reading a message
// marks it seen, as any IMAP client does. The session has no drafts folder
// (GetDefaultFolder throws), finds no message by entry identifier, and cannot
// be attached to a mail client's store.
std::shared_ptr<MapiSession> CreateImapSession(std::string_view url, const FetchPolicy& policy);

}  // namespace postwarden::net
