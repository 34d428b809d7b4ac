#include "tests/fakes/FakePlatform.h"

#include "module/Text.h"

namespace postwarden::fakes {

namespace {

constexpr const char* kSection = "Postwarden";

class FakeHelper final : public EngineHelper {
  public:
    explicit FakeHelper(FakePlatform& p) : p_(p) {}
    std::string SettingsAppName() override {
        p_.Check("SettingsAppName");
        return p_.settingsAppName;
    }
    void LogEvent(std::string_view message, int32_t level, std::string_view source) override {
        p_.Check("LogEvent");
        p_.log.push_back({"event", level, "", std::string(source), std::string(message)});
    }
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override {
        p_.Check("MatchesEntry");
        if (p_.matchesEntry) return p_.matchesEntry(value, entry);
        return value == entry ? 1 : 0;
    }
    void PrepareForm(FormObject&) override { p_.Check("PrepareForm"); }

  private:
    FakePlatform& p_;
};

class FakeLogger final : public EngineLogger {
  public:
    explicit FakeLogger(FakePlatform& p) : p_(p) {}
    void WriteLog(std::string_view app, std::string_view source, std::string_view message,
                  int16_t level) override {
        p_.Check("WriteLog");
        p_.log.push_back(
            {"trace", level, std::string(app), std::string(source), std::string(message)});
    }

  private:
    FakePlatform& p_;
};

// Splits at CR LF only and keeps empty entries, so tests can see what the rules
// do with them; the empty text has no entries.
class FakeList final : public DelimitedList {
  public:
    explicit FakeList(FakePlatform& p) : p_(p) {}
    void SetText(std::string_view text) override {
        p_.Check("SetText");
        entries_.clear();
        if (text.empty()) return;
        size_t start = 0;
        for (;;) {
            const size_t end = text.find("\r\n", start);
            entries_.emplace_back(text.substr(start, end - start));
            if (end == std::string_view::npos) break;
            start = end + 2;
        }
    }
    int32_t Count() override {
        p_.Check("Count");
        return static_cast<int32_t>(entries_.size());
    }
    std::string Item(int32_t index) override {
        p_.Check("Item");
        if (index < 1 || index > static_cast<int32_t>(entries_.size())) {
            throw errors::SubscriptOutOfRange();
        }
        return entries_[static_cast<size_t>(index - 1)];
    }

  private:
    FakePlatform& p_;
    std::vector<std::string> entries_;
};

class FakeRegistryAccess final : public RegistryAccess {
  public:
    explicit FakeRegistryAccess(FakePlatform& p) : p_(p) {}
    int32_t OpenKey(std::string_view path, uint32_t hive, int32_t access) override {
        p_.Check("OpenKey");
        p_.openedKeys.emplace_back(std::string(path), hive, access);
        auto it = p_.registry.find(std::string(path));
        if (it == p_.registry.end()) return 2;
        open_ = &it->second;
        return 0;
    }
    int32_t QueryValue(std::string_view name, int32_t) override {
        p_.Check("QueryValue");
        if (!open_) throw RuntimeError(errors::kInvalidCall, "No key is open");
        auto it = open_->find(std::string(name));
        if (it == open_->end())
            throw RuntimeError(errors::kInvalidCall, "The value does not exist");
        return ToLong(it->second);
    }
    void CloseKey() override {
        p_.Check("CloseKey");
        open_ = nullptr;
    }

  private:
    FakePlatform& p_;
    std::map<std::string, std::string>* open_ = nullptr;
};

class FakeAddressList final : public MapiAddressList {
  public:
    FakeAddressList(FakePlatform& p, int32_t count) : p_(p), count_(count) {}
    int32_t Count() override {
        p_.Check("Members.Count");
        return count_;
    }

  private:
    FakePlatform& p_;
    int32_t count_;
};

class FakeAddressEntry final : public MapiAddressEntry {
  public:
    FakeAddressEntry(FakePlatform& p, const FakeRecipientData& d) : p_(p), d_(d) {}
    std::string Address() override {
        p_.Check("AddressEntry.Address");
        return d_.entryAddress.empty() ? d_.address : d_.entryAddress;
    }
    std::shared_ptr<MapiAddressList> Members() override {
        p_.Check("AddressEntry.Members");
        if (!d_.memberCount) return nullptr;
        return std::make_shared<FakeAddressList>(p_, *d_.memberCount);
    }

  private:
    FakePlatform& p_;
    FakeRecipientData d_;
};

class FakeRecipient final : public MapiRecipient {
  public:
    FakeRecipient(FakePlatform& p, const FakeRecipientData& d) : p_(p), d_(d) {}
    std::shared_ptr<MapiAddressEntry> AddressEntry() override {
        p_.Check("Recipient.AddressEntry");
        if (!d_.hasAddressEntry) return nullptr;
        return std::make_shared<FakeAddressEntry>(p_, d_);
    }
    std::string Name() override {
        p_.Check("Recipient.Name");
        return d_.name;
    }
    std::string Address() override {
        p_.Check("Recipient.Address");
        return d_.address;
    }

  private:
    FakePlatform& p_;
    FakeRecipientData d_;
};

class FakeRecipients final : public MapiRecipients {
  public:
    FakeRecipients(FakePlatform& p, std::shared_ptr<FakeMessageData> m) : p_(p), m_(std::move(m)) {}
    int32_t Count() override {
        p_.Check("Recipients.Count");
        return static_cast<int32_t>(m_->recipients.size());
    }
    std::shared_ptr<MapiRecipient> Item(int32_t index) override {
        p_.Check("Recipients.Item");
        if (index < 1 || index > static_cast<int32_t>(m_->recipients.size())) {
            throw errors::SubscriptOutOfRange();
        }
        return std::make_shared<FakeRecipient>(p_, m_->recipients[static_cast<size_t>(index - 1)]);
    }
    bool Truncated() override { return m_->recipientsTruncated; }

  private:
    FakePlatform& p_;
    std::shared_ptr<FakeMessageData> m_;
};

class FakeMessage final : public MapiMessage {
  public:
    FakeMessage(FakePlatform& p, std::shared_ptr<FakeMessageData> m) : p_(p), m_(std::move(m)) {}
    std::string Subject() override {
        p_.Check("Message.Subject");
        return m_->subject;
    }
    int32_t BodyFormat() override {
        p_.Check("Message.BodyFormat");
        return m_->bodyFormat;
    }
    std::string Body() override {
        p_.Check("Message.Body");
        return m_->body;
    }
    std::string HTMLBody() override {
        p_.Check("Message.HTMLBody");
        return m_->htmlBody;
    }
    std::string RTFBody() override {
        p_.Check("Message.RTFBody");
        return m_->rtfBody;
    }
    std::shared_ptr<MapiRecipients> Recipients() override {
        p_.Check("Message.Recipients");
        return std::make_shared<FakeRecipients>(p_, m_);
    }
    std::string Property(std::string_view name) override {
        p_.Check("Message.Property");
        auto it = m_->properties.find(std::string(name));
        if (it == m_->properties.end()) throw errors::NoSuchMember();
        return it->second;
    }
    const FakeMessageData& Data() const { return *m_; }

  private:
    FakePlatform& p_;
    std::shared_ptr<FakeMessageData> m_;
};

class FakeItems final : public MapiItems {
  public:
    FakeItems(FakePlatform& p, const std::vector<std::shared_ptr<FakeMessageData>>& items)
        : p_(p), items_(items) {}
    int32_t Count() override {
        p_.Check("Items.Count");
        return static_cast<int32_t>(items_.size());
    }
    std::shared_ptr<MapiMessage> Item(int32_t index) override {
        p_.Check("Items.Item");
        if (index < 1 || index > static_cast<int32_t>(items_.size())) {
            throw errors::SubscriptOutOfRange();
        }
        return std::make_shared<FakeMessage>(p_, items_[static_cast<size_t>(index - 1)]);
    }
    std::shared_ptr<MapiMessage> Item(std::string_view text) override {
        p_.Check("Items.Find");
        for (const auto& item : items_) {
            if (item->subject == text) return std::make_shared<FakeMessage>(p_, item);
        }
        return nullptr;
    }

  private:
    FakePlatform& p_;
    std::vector<std::shared_ptr<FakeMessageData>> items_;
};

class FakeFolder final : public MapiFolder {
  public:
    FakeFolder(FakePlatform& p, const std::vector<std::shared_ptr<FakeMessageData>>& items)
        : p_(p), items_(items) {}
    std::shared_ptr<MapiItems> Items() override {
        p_.Check("Folder.Items");
        return std::make_shared<FakeItems>(p_, items_);
    }

  private:
    FakePlatform& p_;
    const std::vector<std::shared_ptr<FakeMessageData>>& items_;
};

class FakeMapiObject final : public MapiObject {};

class FakeOutlookSession final : public OutlookSession {
  public:
    explicit FakeOutlookSession(FakePlatform& p) : p_(p) {}
    std::shared_ptr<MapiObject> MAPIOBJECT() override {
        p_.Check("MAPIOBJECT");
        return std::make_shared<FakeMapiObject>();
    }

  private:
    FakePlatform& p_;
};

class FakeSession final : public MapiSession {
  public:
    explicit FakeSession(FakePlatform& p) : p_(p) {}
    void Logon() override {
        p_.Check("Logon");
        ++p_.store.logons;
        loggedOn_ = p_.store.loggedOnAfterLogon;
    }
    bool LoggedOn() override {
        p_.Check("LoggedOn");
        return loggedOn_;
    }
    void SetMAPIOBJECT(std::shared_ptr<MapiObject> object) override {
        p_.Check("SetMAPIOBJECT");
        if (!object) throw errors::ObjectNotSet();
        ++p_.store.attaches;
    }
    std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view entryId) override {
        p_.Check("GetMessageFromID");
        auto it = p_.store.byEntryId.find(std::string(entryId));
        if (it == p_.store.byEntryId.end()) {
            throw RuntimeError(errors::kInvalidCall, "The message could not be found");
        }
        return std::make_shared<FakeMessage>(p_, it->second);
    }
    std::shared_ptr<MapiFolder> GetDefaultFolder(int32_t kind) override {
        p_.Check("GetDefaultFolder");
        if (kind != kFolderDrafts) throw RuntimeError(errors::kInvalidCall, "No such folder");
        return std::make_shared<FakeFolder>(p_, p_.store.drafts);
    }
    std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view path) override {
        p_.Check("GetFolderFromPath");
        auto it = p_.store.folders.find(std::string(path));
        if (it == p_.store.folders.end()) {
            throw RuntimeError(errors::kPathNotFound, "The folder could not be found");
        }
        return std::make_shared<FakeFolder>(p_, it->second);
    }

  private:
    FakePlatform& p_;
    bool loggedOn_ = false;
};

// Loads no window: the forms take their failure path.
class NoWindows final : public WindowSystem {
  public:
    std::unique_ptr<Window> CreateWindow(const FormDesign&, WindowEvents&) override {
        throw RuntimeError(errors::kCannotCreateObject, "No window system");
    }
    void ProcessPendingEvents() override {}
    void MessageBox(std::string_view, std::string_view) override {}
};

}  // namespace

std::string FakeApplication::Version() {
    platform_.Check("Application.Version");
    return version;
}
std::shared_ptr<OutlookSession> FakeApplication::Session() {
    platform_.Check("Application.Session");
    return std::make_shared<FakeOutlookSession>(platform_);
}
int32_t FakeApplication::ExplorersCount() {
    platform_.Check("Application.Explorers");
    return explorers;
}

bool FakeItem::Submitted() {
    platform_.Check("Item.Submitted");
    return submitted;
}
std::string FakeItem::TypeName() {
    platform_.Check("Item.TypeName");
    return typeName;
}
void FakeItem::Save() {
    platform_.Check("Item.Save");
    ++saves;
}
std::string FakeItem::EntryID() {
    platform_.Check("Item.EntryID");
    return entryId;
}
std::string FakeItem::Subject() {
    platform_.Check("Item.Subject");
    return subject;
}

FakeEngine::FakeEngine(FakePlatform& platform)
    : application(std::make_shared<FakeApplication>(platform)), platform_(platform) {}
std::shared_ptr<OutlookApplication> FakeEngine::Application() {
    platform_.Check("Engine.Application");
    return application;
}
int32_t FakeEngine::RegisterModule(IModuleAPI&, int32_t selector, std::string_view,
                                   std::string_view) {
    platform_.Check("Engine.RegisterModule");
    registeredSelectors.push_back(selector);
    return 0;
}

FakePlatform::FakePlatform() : windows(std::make_unique<NoWindows>()) {}
FakePlatform::~FakePlatform() = default;

void FakePlatform::FailOn(const std::string& operation, RuntimeError error) {
    failures_.insert_or_assign(operation, std::move(error));
}

void FakePlatform::Check(const std::string& operation) {
    ++calls_;
    ++callsOf_[operation];
    if (calls_ == failAt_) {
        failedAtCall_ = operation;
        throw RuntimeError(
            errors::kInvalidCall,
            "Injected failure of call " + std::to_string(calls_) + " (" + operation + ")");
    }
    auto nth = failNthOf_.find(operation);
    if (nth != failNthOf_.end() && nth->second == callsOf_[operation]) {
        failNthOf_.erase(nth);
        throw RuntimeError(errors::kInvalidCall, "Injected failure");
    }
    auto it = failures_.find(operation);
    if (it != failures_.end()) throw it->second;
}

int64_t FakePlatform::CallsOf(const std::string& operation) const {
    auto it = callsOf_.find(operation);
    return it == callsOf_.end() ? 0 : it->second;
}

std::vector<std::string> FakePlatform::Messages(const std::string& kind) const {
    std::vector<std::string> out;
    for (const LogLine& line : log) {
        if (kind.empty() || line.kind == kind) out.push_back(line.source + "|" + line.message);
    }
    return out;
}

std::vector<std::string> FakePlatform::Events() const {
    std::vector<std::string> out;
    for (const LogLine& line : log) {
        if (line.kind == "event") {
            out.push_back(std::to_string(line.level) + "|" + line.source + "|" + line.message);
        }
    }
    return out;
}

bool FakePlatform::Logged(const std::string& message) const {
    for (const LogLine& line : log) {
        if (line.message == message) return true;
    }
    return false;
}

std::optional<std::string> FakePlatform::Setting(const std::string& key) const {
    auto it = settings.find({settingsAppName, kSection, key});
    if (it == settings.end()) return std::nullopt;
    return it->second;
}

void FakePlatform::SetSetting(const std::string& key, const std::string& value) {
    settings[{settingsAppName, kSection, key}] = value;
}

void FakePlatform::RemoveSetting(const std::string& key) {
    settings.erase({settingsAppName, kSection, key});
}

std::shared_ptr<FakeEngine> FakePlatform::NewEngine() {
    return std::make_shared<FakeEngine>(*this);
}

std::unique_ptr<EngineHelper> FakePlatform::NewEngineHelper() {
    Check("NewEngineHelper");
    return std::make_unique<FakeHelper>(*this);
}
std::unique_ptr<EngineLogger> FakePlatform::NewEngineLogger() {
    Check("NewEngineLogger");
    return std::make_unique<FakeLogger>(*this);
}
std::unique_ptr<DelimitedList> FakePlatform::NewDelimitedList() {
    Check("NewDelimitedList");
    return std::make_unique<FakeList>(*this);
}
std::unique_ptr<RegistryAccess> FakePlatform::NewRegistryAccess() {
    Check("NewRegistryAccess");
    return std::make_unique<FakeRegistryAccess>(*this);
}

std::string FakePlatform::GetSetting(std::string_view app, std::string_view section,
                                     std::string_view key, std::string_view defaultValue) {
    Check("GetSetting");
    auto it = settings.find({std::string(app), std::string(section), std::string(key)});
    return it == settings.end() ? std::string(defaultValue) : it->second;
}

void FakePlatform::SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                               std::string_view value) {
    Check("SaveSetting");
    settings[{std::string(app), std::string(section), std::string(key)}] = std::string(value);
    settingWrites.emplace_back(key);
}

std::shared_ptr<MapiSession> FakePlatform::CreateMapiSession(std::string_view progId) {
    Check("CreateMapiSession");
    if (progId != kSessionProgId) throw errors::CannotCreateObject();
    ++store.sessionsCreated;
    return std::make_shared<FakeSession>(*this);
}

std::string FakePlatform::ReadTextFile(std::string_view path) {
    Check("ReadTextFile");
    auto it = files.find(std::string(path));
    if (it == files.end()) throw RuntimeError(errors::kFileNotFound, "File not found");
    return it->second;
}

WindowSystem& FakePlatform::Windows() {
    return *windows;
}

}  // namespace postwarden::fakes
