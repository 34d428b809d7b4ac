#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/RuntimeError.h"

namespace postwarden {

class MapiObject;

// The objects of the MAPI session component. Every call may throw RuntimeError;
// a null pointer is "no object".

class MapiAddressList {
  public:
    virtual ~MapiAddressList() = default;
    virtual int32_t Count() = 0;
};

class MapiAddressEntry {
  public:
    virtual ~MapiAddressEntry() = default;
    virtual std::string Address() = 0;
    // The members of a distribution list; null for a single mailbox.
    virtual std::shared_ptr<MapiAddressList> Members() = 0;
};

// Where a recipient stands: the ones in To and Cc see each other's addresses,
// the ones in Bcc are seen by nobody.
enum RecipientType : int32_t { kRecipientTo = 1, kRecipientCc = 2, kRecipientBcc = 3 };

class MapiRecipient {
  public:
    virtual ~MapiRecipient() = default;
    // Null when the recipient has no address entry.
    virtual std::shared_ptr<MapiAddressEntry> AddressEntry() = 0;
    virtual std::string Name() = 0;
    virtual std::string Address() = 0;
    // A store that cannot tell gives every recipient as seen by the others.
    virtual int32_t Type() { return kRecipientTo; }
};

class MapiRecipients {
  public:
    virtual ~MapiRecipients() = default;
    virtual int32_t Count() = 0;
    // Recipient `index`, 1 to Count().
    virtual std::shared_ptr<MapiRecipient> Item(int32_t index) = 0;
    // True when the message has more recipients than could be read: Count()
    // gives those read, and the message goes to more.
    virtual bool Truncated() { return false; }
};

enum BodyFormat : int32_t { kFormatPlain = 1, kFormatHTML = 2, kFormatRichText = 3 };

class MapiMessage {
  public:
    virtual ~MapiMessage() = default;
    virtual std::string Subject() = 0;
    virtual int32_t BodyFormat() = 0;
    // The bodies stay valid while this message lives: a large message's text
    // is searched where the store holds it.
    virtual std::string_view Body() = 0;
    virtual std::string_view HTMLBody() = 0;
    virtual std::string_view RTFBody() = 0;
    virtual std::shared_ptr<MapiRecipients> Recipients() = 0;
    // The file names of the message's attachments, with which the bodies end,
    // each after a blank line; empty when there are none or the store does not
    // tell them apart from the text.
    virtual std::vector<std::string> AttachmentNames() { return {}; }
    // How many attachments the message carries: the files and forwarded
    // messages sent with it, named or not; not the images an HTML body shows
    // in place, nor a signature. Throws "Object doesn't support this property
    // or method" when the store cannot tell.
    virtual int32_t AttachmentCount() { throw errors::NoSuchMember(); }
    // Why part of what the recipient reads is not in the bodies, in a few
    // words ("encrypted", "nested too deeply"); empty when the store read all
    // of it.
    virtual std::string UnreadParts() { return {}; }
    // A property read by name at run time ("Body", "BodyFormat"), as text;
    // throws "Object doesn't support this property or method" for others.
    virtual std::string Property(std::string_view name) = 0;
};

class MapiItems {
  public:
    virtual ~MapiItems() = default;
    virtual int32_t Count() = 0;
    // Item `index`, 1 to Count().
    virtual std::shared_ptr<MapiMessage> Item(int32_t index) = 0;
    // The item a text index selects (its subject), or null.
    virtual std::shared_ptr<MapiMessage> Item(std::string_view text) = 0;
};

class MapiFolder {
  public:
    virtual ~MapiFolder() = default;
    virtual std::shared_ptr<MapiItems> Items() = 0;
};

inline constexpr int32_t kFolderDrafts = 16;
inline constexpr const char* kSessionProgId = "PWOutlook.PWRDOSession";

class MapiSession {
  public:
    virtual ~MapiSession() = default;
    // Logs on to the default store (no profile, no dialog, no new session).
    virtual void Logon() = 0;
    virtual bool LoggedOn() = 0;
    // Attaches the session to the mail client's own open store.
    virtual void SetMAPIOBJECT(std::shared_ptr<MapiObject> object) = 0;
    // The message with this entry identifier; null or a throw when there is none.
    virtual std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view entryId) = 0;
    virtual std::shared_ptr<MapiFolder> GetDefaultFolder(int32_t kind) = 0;
    virtual std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view path) = 0;
};

}  // namespace postwarden
