#include "host/audit/AuditPlatform.h"

#include <algorithm>

#include "module/SettingKeys.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/mailstore/StoreErrors.h"
#include "platform/registry/Registry.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden::host {

class AnsweringWindows::AnsweredWindow final : public ModelWindow {
  public:
    AnsweredWindow(AnsweringWindows& system, const FormDesign& design, WindowEvents& events)
        : ModelWindow(design, events), system_(system) {}
    ~AnsweredWindow() override { std::erase(system_.pending_, this); }

    void ShowModal() override {
        ++system_.asked_;
        Answer(*this);
    }
    // Answered on the next pass over the events, as the form waits for it.
    void ShowModeless() override {
        ++system_.asked_;
        system_.pending_.push_back(this);
    }
    void Activate() override {}

  private:
    AnsweringWindows& system_;
};

std::unique_ptr<Window> AnsweringWindows::CreateWindow(const FormDesign& design,
                                                       WindowEvents& events) {
    return std::make_unique<AnsweredWindow>(*this, design, events);
}

void AnsweringWindows::ProcessPendingEvents() {
    // Answering may end a window, which takes itself out of the list.
    while (!pending_.empty()) {
        AnsweredWindow* window = pending_.front();
        pending_.erase(pending_.begin());
        Answer(*window);
    }
}

void AnsweringWindows::Answer(ModelWindow& window) {
    window.TickAllAndPressYes();
    // A window still up (a Yes that stayed disabled) is closed, so that every show ends.
    if (window.Loaded()) window.RequestClose();
}

namespace {

// The session of an audit: the one message being looked at, and no folders.
class AuditSession final : public MapiSession {
  public:
    AuditSession(std::string entryId, std::shared_ptr<MapiMessage> message)
        : entryId_(std::move(entryId)), message_(std::move(message)) {}

    void Logon() override { loggedOn_ = true; }
    bool LoggedOn() override { return loggedOn_; }
    void SetMAPIOBJECT(std::shared_ptr<MapiObject>) override { loggedOn_ = true; }
    std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view entryId) override {
        return entryId == entryId_ ? message_ : nullptr;
    }
    std::shared_ptr<MapiFolder> GetDefaultFolder(int32_t) override {
        throw mailstore::NotFound("folders: only the audited message is open");
    }
    std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view path) override {
        throw mailstore::NotFound("folder " + std::string(path) + ": an audit reads no folder");
    }

  private:
    std::string entryId_;
    std::shared_ptr<MapiMessage> message_;
    bool loggedOn_ = false;
};

class DroppingLogger final : public EngineLogger {
  public:
    void WriteLog(std::string_view, std::string_view, std::string_view, int16_t) override {}
};

// The target's helper for everything but the log.
class DroppingHelper final : public EngineHelper {
  public:
    explicit DroppingHelper(std::unique_ptr<EngineHelper> inner) : inner_(std::move(inner)) {}
    std::string SettingsAppName() override { return inner_->SettingsAppName(); }
    void LogEvent(std::string_view, int32_t, std::string_view) override {}
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override {
        return inner_->MatchesEntry(value, entry);
    }
    void PrepareForm(FormObject& form) override { inner_->PrepareForm(form); }

  private:
    std::unique_ptr<EngineHelper> inner_;
};

}  // namespace

std::string SettingsCopy::Name(std::string_view app, std::string_view section,
                               std::string_view key) {
    std::string name = AsciiLower(app);
    name += '\n';
    name += AsciiLower(section);
    name += '\n';
    name += AsciiLower(key);
    return name;
}

std::string SettingsCopy::Get(std::string_view app, std::string_view section, std::string_view key,
                              std::string_view defaultValue) const {
    const auto found = values_.find(Name(app, section, key));
    return found == values_.end() ? std::string(defaultValue) : found->second;
}

void SettingsCopy::Set(std::string_view app, std::string_view section, std::string_view key,
                       std::string_view value) {
    values_[Name(app, section, key)] = std::string(value);
}

bool SettingsCopy::Has(std::string_view app, std::string_view section, std::string_view key) const {
    return values_.contains(Name(app, section, key));
}

SettingsCopy StoredSettings(const std::string& registryPath, bool& stored) {
    SettingsCopy copy;
    Registry registry(registryPath);
    for (const auto& [key, value] : registry.GetAllSettings(kSettingsAppName, kSettingsSection)) {
        copy.Set(kSettingsAppName, kSettingsSection, key, value);
    }
    stored = copy.Has(kSettingsAppName, kSettingsSection, keys::kPromptForOutsideDomainsWanted);
    for (const char* key :
         {keys::kFetchSettingsExchangePublicFolder, keys::kFetchSettingsNetworkLocation}) {
        copy.Set(kSettingsAppName, kSettingsSection, key, "");
    }
    return copy;
}

AuditPlatform::AuditPlatform(Platform& target, SettingsCopy settings,
                             std::shared_ptr<mailstore::MaildirStore> store)
    : PlatformWrapper(target), settings_(std::move(settings)), store_(std::move(store)) {}

std::unique_ptr<EngineLogger> AuditPlatform::NewEngineLogger() {
    return std::make_unique<DroppingLogger>();
}

std::unique_ptr<EngineHelper> AuditPlatform::NewEngineHelper() {
    return std::make_unique<DroppingHelper>(PlatformWrapper::NewEngineHelper());
}

std::string AuditPlatform::GetSetting(std::string_view app, std::string_view section,
                                      std::string_view key, std::string_view defaultValue) {
    return settings_.Get(app, section, key, defaultValue);
}

void AuditPlatform::SaveSetting(std::string_view app, std::string_view section,
                                std::string_view key, std::string_view value) {
    settings_.Set(app, section, key, value);
}

std::shared_ptr<MapiSession> AuditPlatform::CreateMapiSession(std::string_view progId) {
    if (progId != kSessionProgId) throw errors::CannotCreateObject();
    return std::make_shared<AuditSession>(entryId_, message_);
}

std::string AuditPlatform::ReadTextFile(std::string_view) {
    throw errors::CannotCreateObject();
}

std::string AuditPlatform::FetchUrl(std::string_view, const FetchPolicy&) {
    throw errors::CannotCreateObject();
}

std::shared_ptr<MapiSession> AuditPlatform::CreateMailServerSession(std::string_view,
                                                                    const FetchPolicy&) {
    throw errors::CannotCreateObject();
}

void AuditPlatform::SetMessage(std::string entryId,
                               std::shared_ptr<const mailstore::MessageContent> content) {
    entryId_ = std::move(entryId);
    message_ = std::make_shared<mailstore::MaildirMessage>(store_, std::move(content));
}

}  // namespace postwarden::host
