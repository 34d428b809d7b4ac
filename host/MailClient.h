#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/HostEngine.h"
#include "module/MailClient.h"

namespace postwarden::host {

// The mail client's objects as the host plays them, over the Maildir store at
// `storeRoot`. Every failure throws RuntimeError.

// The client's session; its "MAPIOBJECT" is the handle on the open store.
class MailClientSession final : public OutlookSession {
  public:
    explicit MailClientSession(std::string storeRoot) : storeRoot_(std::move(storeRoot)) {}
    std::shared_ptr<MapiObject> MAPIOBJECT() override;

  private:
    std::string storeRoot_;
};

class MailClientApplication final : public OutlookApplication {
  public:
    explicit MailClientApplication(std::string storeRoot);

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

// The message being sent, as its raw bytes. Save() puts a copy into the store's
// drafts folder, which lives until RemoveDraft() or the item's end.
class OutgoingMailItem final : public OutlookItem {
  public:
    OutgoingMailItem(std::string storeRoot, std::string message);
    // Removes the draft copy when it is still there; a failure is swallowed.
    ~OutgoingMailItem() override;
    OutgoingMailItem(const OutgoingMailItem&) = delete;
    OutgoingMailItem& operator=(const OutgoingMailItem&) = delete;

    bool Submitted() override { return false; }
    std::string TypeName() override { return "MailItem"; }
    // Writes the bytes unchanged into Drafts (created when missing), atomically
    // and readable by the owner only. Saving again replaces the same draft.
    void Save() override;
    // The draft's unique name; empty before the first Save().
    std::string EntryID() override { return entryId_; }
    // The decoded subject; empty when the message has none.
    std::string Subject() override;

    // Deletes the draft copy; nothing happens when there is none (never saved,
    // removed already, or deleted by someone else).
    void RemoveDraft();

  private:
    std::string storeRoot_;
    std::string message_;
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
    // Records `selector`; answers 0.
    int32_t RegisterModule(IModuleAPI& module, int32_t selector, std::string_view a,
                           std::string_view b) override;
    const std::vector<int32_t>& RegisteredSelectors() const { return selectors_; }

  private:
    std::shared_ptr<OutlookApplication> application_;
    std::vector<int32_t> selectors_;
};

}  // namespace postwarden::host
