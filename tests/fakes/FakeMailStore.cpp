#include "tests/fakes/FakeMailStore.h"

#include "module/RuntimeError.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden::fakes {

namespace {

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
    std::string_view Body() override {
        p_.Check("Message.Body");
        return m_->body;
    }
    std::string_view HTMLBody() override {
        p_.Check("Message.HTMLBody");
        return m_->htmlBody;
    }
    std::string_view RTFBody() override {
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

}  // namespace

std::shared_ptr<MapiSession> NewFakeSession(FakePlatform& platform) {
    return std::make_shared<FakeSession>(platform);
}

}  // namespace postwarden::fakes
