#pragma once

#include <memory>
#include <string>

#include "module/MailClient.h"
#include "module/MapiSession.h"

namespace postwarden {

// A session object over the Maildir store rooted at `storeRoot`. Nothing is
// opened until Logon() or SetMAPIOBJECT(); every other call before that throws.
//
// The store is a folder of Maildirs: `Drafts` is the drafts folder, folder paths
// are Maildir paths (absolute, or relative to the root), a message's entry
// identifier is its Maildir unique name, and the optional file
// `distribution-lists` in the root defines the distribution lists. Items of a
// folder come in delivery order; the text index selects the newest item whose
// subject equals the text. Messages are read on first use, once.
std::shared_ptr<MapiSession> CreateMaildirSession(const std::string& storeRoot);

// The mail client's handle on its open Maildir store: what the client's session
// hands out as its "MAPIOBJECT", and what a session object attaches to.
class MaildirStoreObject final : public MapiObject {
  public:
    explicit MaildirStoreObject(std::string root) : root_(std::move(root)) {}
    const std::string& Root() const { return root_; }

  private:
    std::string root_;
};

// The drafts folder of the store at `storeRoot`.
std::string DraftsFolderOf(const std::string& storeRoot);

}  // namespace postwarden
