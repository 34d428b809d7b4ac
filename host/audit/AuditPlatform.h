#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/PlatformWrapper.h"
#include "platform/mailstore/MaildirMessage.h"
#include "platform/windows/ModelWindow.h"

namespace postwarden::host {

// A window system for sends nobody watches: every question is answered Yes at
// once (every box ticked first, as a person letting it go would), nothing is
// shown, and the questions are counted. Message boxes are dropped: a form that
// could not ask says so in the send's trace as well.
class AnsweringWindows final : public WindowSystem {
  public:
    AnsweringWindows() = default;
    AnsweringWindows(const AnsweringWindows&) = delete;
    AnsweringWindows& operator=(const AnsweringWindows&) = delete;

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    // Answers the windows shown modeless since the last call.
    void ProcessPendingEvents() override;
    void MessageBox(std::string_view, std::string_view) override {}

    // The questions shown since the last Reset (one per window).
    int Asked() const { return asked_; }
    void Reset() { asked_ = 0; }

  private:
    class AnsweredWindow;
    static void Answer(ModelWindow& window);

    int asked_ = 0;
    std::vector<AnsweredWindow*> pending_;  // shown modeless, not yet answered
};

// The settings of one section, read once and then kept in memory: what the
// module writes (seeding, a refresh) stays here and never reaches the store.
// Names compare without regard to case, as in the store.
class SettingsCopy {
  public:
    // The setting `key` of `section` of `app`; `defaultValue` when absent.
    std::string Get(std::string_view app, std::string_view section, std::string_view key,
                    std::string_view defaultValue) const;
    void Set(std::string_view app, std::string_view section, std::string_view key,
             std::string_view value);
    bool Has(std::string_view app, std::string_view section, std::string_view key) const;

  private:
    static std::string Name(std::string_view app, std::string_view section, std::string_view key);
    std::map<std::string, std::string> values_;
};

// The module's settings as stored in the registry at `registryPath`, with the
// central sources emptied: a check from this copy uses the rules the last
// refresh stored, and fetches nothing. `stored` is false when the store holds
// no settings of the module yet. Throws RuntimeError when it cannot be read.
SettingsCopy StoredSettings(const std::string& registryPath, bool& stored);

// The platform of one audit worker: everything passes to `target` (whose log
// must drop what it is given, and whose window system must ask nobody) except
// that
// - settings are read from and written to a SettingsCopy of the worker's own;
// - the mail session holds only the message being audited (SetMessage), and
//   looks it up by the entry identifier the audited item gives;
// - nothing is fetched: a central source, a file or a server fails as it does
//   on a platform without a network, so the stored settings are the ones used;
// - trace lines and error reports are dropped here, before the log would
//   format them (a wrapper above reads them first).
class AuditPlatform final : public PlatformWrapper {
  public:
    // `target` and `store` (the distribution lists) must remain live while this
    // platform is in use.
    AuditPlatform(Platform& target, SettingsCopy settings,
                  std::shared_ptr<mailstore::MaildirStore> store);

    std::unique_ptr<EngineLogger> NewEngineLogger() override;
    std::unique_ptr<EngineHelper> NewEngineHelper() override;
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue) override;
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value) override;
    std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) override;
    std::string ReadTextFile(std::string_view path) override;
    std::string FetchUrl(std::string_view url, const FetchPolicy& policy) override;
    std::shared_ptr<MapiSession> CreateMailServerSession(std::string_view url,
                                                         const FetchPolicy& policy) override;

    // The message the next send finds under `entryId`.
    void SetMessage(std::string entryId, std::shared_ptr<const mailstore::MessageContent> content);

  private:
    SettingsCopy settings_;
    std::shared_ptr<mailstore::MaildirStore> store_;
    std::string entryId_;
    std::shared_ptr<MapiMessage> message_;
};

// The mail client's item for a message that is only being looked at: saving it
// writes nothing, and its entry identifier is fixed.
class AuditedItem final : public OutlookItem {
  public:
    AuditedItem(std::string entryId, std::string subject)
        : entryId_(std::move(entryId)), subject_(std::move(subject)) {}
    bool Submitted() override { return false; }
    std::string TypeName() override { return "MailItem"; }
    void Save() override {}
    std::string EntryID() override { return entryId_; }
    std::string Subject() override { return subject_; }

  private:
    std::string entryId_;
    std::string subject_;
};

}  // namespace postwarden::host
