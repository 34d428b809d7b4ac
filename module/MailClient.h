#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace postwarden {

// The mail client's handle on its open message store, as the session object
// can attach to it. Opaque to the module.
class MapiObject {
  public:
    virtual ~MapiObject() = default;
};

// The mail client's session (namespace) object.
class OutlookSession {
  public:
    virtual ~OutlookSession() = default;
    // The "MAPIOBJECT" property; throws when the client has none.
    virtual std::shared_ptr<MapiObject> MAPIOBJECT() = 0;
};

// The mail client's application object. Every call may throw RuntimeError.
class OutlookApplication {
  public:
    virtual ~OutlookApplication() = default;
    // e.g. "16.0.0.0".
    virtual std::string Version() = 0;
    virtual std::shared_ptr<OutlookSession> Session() = 0;
    // Number of open explorer windows.
    virtual int32_t ExplorersCount() = 0;
};

// An item of the mail client, read late-bound: a property the item does not
// have throws "Object doesn't support this property or method".
class OutlookItem {
  public:
    virtual ~OutlookItem() = default;
    virtual bool Submitted() = 0;
    // The name of the item's class, e.g. "MailItem".
    virtual std::string TypeName() = 0;
    // Saves the item into the drafts folder; afterwards EntryID() names it.
    virtual void Save() = 0;
    virtual std::string EntryID() = 0;
    virtual std::string Subject() = 0;
};

}  // namespace postwarden
