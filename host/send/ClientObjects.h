#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "platform/DiskCopy.h"
#include "platform/mailstore/MaildirSession.h"

namespace postwarden::host {

// The mail client's objects as the host plays them, over the Maildir store at
// `storeRoot`. Every failure throws RuntimeError.

// The client's session; its "MAPIOBJECT" is the handle on the open store.
class MailClientSession final : public OutlookSession {
  public:
    explicit MailClientSession(std::shared_ptr<MaildirStoreObject> store)
        : store_(std::move(store)) {}
    std::shared_ptr<MapiObject> MAPIOBJECT() override { return store_; }

  private:
    std::shared_ptr<MaildirStoreObject> store_;
};

class MailClientApplication final : public OutlookApplication {
  public:
    explicit MailClientApplication(std::string storeRoot);
    // Over the client's open store `store`, which its items may lend messages to.
    explicit MailClientApplication(std::shared_ptr<MaildirStoreObject> store);

    std::string Version() override { return version_; }
    void SetVersion(std::string version) { version_ = std::move(version); }
    std::shared_ptr<OutlookSession> Session() override { return session_; }
    int32_t ExplorersCount() override { return explorers_; }
    void SetExplorersCount(int32_t count) { explorers_ = count; }

  private:
    std::string version_ = "16.0.0.0";
    std::shared_ptr<MailClientSession> session_;
    int32_t explorers_ = 0;
};

// The message being sent, as its raw bytes, and the recipients it is sent to
// besides those its header names (a sendmail program's recipient arguments:
// Bcc recipients, whose header the mail client removed, or a bounce's new
// recipient). Save() puts a copy into the store's drafts folder, which lives
// until RemoveDraft() or the item's end.
//
// The item works on the caller's `message` in place, so that a large message
// is held once: while the item lives, a Bcc field naming the envelope
// recipients stands in front of it (moved in within the string's capacity,
// which FieldRoom() bytes to spare keep from growing), and the item's end
// takes it off again, leaving `message` as it was. `message` must remain live
// and must not be changed by anyone else while the item lives.
class OutgoingMailItem final : public OutlookItem {
  public:
    // The store is the client's open store, to which a saved draft is lent.
    OutgoingMailItem(std::shared_ptr<MaildirStoreObject> store, std::string& message,
                     std::vector<std::string> envelopeRecipients = {});
    OutgoingMailItem(std::string storeRoot, std::string& message,
                     std::vector<std::string> envelopeRecipients = {});
    // Removes the draft copy when it is still there (a failure is swallowed),
    // and gives `message` back as it came.
    ~OutgoingMailItem() override;
    OutgoingMailItem(const OutgoingMailItem&) = delete;
    OutgoingMailItem& operator=(const OutgoingMailItem&) = delete;

    bool Submitted() override { return false; }
    std::string TypeName() override { return "MailItem"; }
    // Writes DraftBytes() into Drafts (created when missing), atomically and
    // readable by the owner only, and lends them to the store. Saving again
    // replaces the same draft.
    void Save() override;
    // The draft's unique name; empty before the first Save().
    std::string EntryID() override { return entryId_; }
    // The decoded subject; empty when the message has none.
    std::string Subject() override;

    // Deletes the draft copy; nothing happens when there is none (never saved,
    // removed already, or deleted by someone else).
    void RemoveDraft();

    // Moves DraftBytes() into a private file in `folder` (DiskCopy) and frees
    // the caller's string, so that a large message is not in memory while the
    // texts made from it are: the store it is lent to gives its pages back once
    // the parse has decoded them. Call before Save(). False, with `error` set,
    // when the folder is in memory or the file cannot be made; the item then
    // works in the caller's string as before.
    bool KeepOnDisk(const std::string& folder, std::string& error);
    // Puts the message's own bytes back into the caller's string, as they came,
    // and withdraws them from the store; nothing to do for an item that was not
    // kept on disk. False, with `error` set, when they cannot be read back: the
    // string is empty then, and the message must not be sent from it. The item
    // holds the message as it came from then on.
    bool GiveBack(std::string& error);
    // Instead of GiveBack(): withdraws a message kept on disk from the store
    // and hands its copy over, leaving the caller's string empty; the message's
    // own bytes are the copy's from `from` on. Null for a message in memory,
    // which the item's end gives back as ever.
    std::unique_ptr<DiskCopy> TakeDiskCopy(size_t& from);
    // Gives the pages of a message kept on disk back for a while (see
    // DiskCopy); nothing happens for one in memory.
    void ReleasePages() const {
        if (disk_) disk_->ReleasePages();
    }

    // The message as the mail client holds it: the bytes unchanged, with the
    // envelope recipients in a Bcc field in front, so that the draft names
    // everyone the message goes to. Valid while the item lives, and up to
    // KeepOnDisk() or GiveBack().
    std::string_view DraftBytes() const { return disk_ ? disk_->Bytes() : *message_; }
    // The message's own bytes, as they came. Valid as DraftBytes() is.
    std::string_view Message() const { return DraftBytes().substr(fieldLength_); }

    // The bytes the Bcc field of `envelopeRecipients` can take at most.
    static size_t FieldRoom(const std::vector<std::string>& envelopeRecipients);

  private:
    std::shared_ptr<MaildirStoreObject> store_;
    std::string* message_;
    // The message while it is kept on disk; *message_ is empty then.
    std::unique_ptr<DiskCopy> disk_;
    size_t fieldLength_ = 0;
    std::string entryId_;
    std::optional<std::string> subject_;
};

// The host's engine object handed to the module.
class HostEngine final : public Engine {
  public:
    explicit HostEngine(std::shared_ptr<OutlookApplication> application)
        : application_(std::move(application)) {}

    // Throws "Object variable or With block variable not set" when there is none.
    std::shared_ptr<OutlookApplication> Application() override;
    // Nothing here dispatches by selector: answers 0.
    int32_t RegisterModule(IModuleAPI& module, int32_t selector, std::string_view a,
                           std::string_view b) override;

  private:
    std::shared_ptr<OutlookApplication> application_;
};

// Starts `module` as a mail client's start does: YSStartup with an engine over
// `application`, then the opening of the client's first window, where the
// module refreshes its settings from their central source. A failure in that
// opening is not the start's (the refresh notes its own, and the settings are
// still read at every send); one of YSStartup throws.
void StartAsMailClient(IModuleAPI& module, std::shared_ptr<MailClientApplication> application);

}  // namespace postwarden::host
