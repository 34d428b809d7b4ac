#include "tests/fakes/FakeMailStore.h"

#include "tests/fakes/FakePlatform.h"
#include "util/RuntimeError.h"

namespace postwarden::fakes {

namespace {

using Messages = std::vector<std::shared_ptr<FakeMessageData>>;

// The recipient and its address entry in one: both read the same data.
class FakeRecipient final : public MapiRecipient, Faked {
  public:
    FakeRecipient(FakePlatform& p, const FakeRecipientData& d) : Faked(p), d_(d) {}
    std::shared_ptr<MapiAddressEntry> AddressEntry() override {
        p_.Check("Recipient.AddressEntry");
        return d_.hasAddressEntry ? std::make_shared<Entry>(p_, d_) : nullptr;
    }
    std::string Name() override { return p_.Checked("Recipient.Name", d_.name); }
    std::string Address() override { return p_.Checked("Recipient.Address", d_.address); }
    int32_t Type() override { return p_.Checked("Recipient.Type", d_.type); }

  private:
    // An address entry and, for a distribution list, its members in one.
    class Entry final : public MapiAddressEntry, public MapiAddressList, Faked {
      public:
        Entry(FakePlatform& p, const FakeRecipientData& d) : Faked(p), d_(d) {}
        std::string Address() override {
            return p_.Checked("AddressEntry.Address",
                              d_.entryAddress.empty() ? d_.address : d_.entryAddress);
        }
        std::shared_ptr<MapiAddressList> Members() override {
            p_.Check("AddressEntry.Members");
            return d_.memberCount ? std::make_shared<Entry>(p_, d_) : nullptr;
        }
        int32_t Count() override { return p_.Checked("Members.Count", d_.memberCount.value()); }

      private:
        FakeRecipientData d_;
    };
    FakeRecipientData d_;
};

// A message and its recipients in one.
class FakeMessage final : public MapiMessage, public MapiRecipients, Faked {
  public:
    FakeMessage(FakePlatform& p, std::shared_ptr<FakeMessageData> m) : Faked(p), m_(std::move(m)) {}
    std::string Subject() override { return p_.Checked("Message.Subject", m_->subject); }
    int32_t BodyFormat() override { return p_.Checked("Message.BodyFormat", m_->bodyFormat); }
    std::string_view Body() override {
        return p_.Checked<std::string_view>("Message.Body", m_->body);
    }
    std::string_view HTMLBody() override {
        return p_.Checked<std::string_view>("Message.HTMLBody", m_->htmlBody);
    }
    std::string_view RTFBody() override {
        return p_.Checked<std::string_view>("Message.RTFBody", m_->rtfBody);
    }
    std::shared_ptr<MapiRecipients> Recipients() override {
        return p_.Checked("Message.Recipients", std::make_shared<FakeMessage>(p_, m_));
    }
    int32_t Count() override {
        return p_.Checked("Recipients.Count", static_cast<int32_t>(m_->recipients.size()));
    }
    std::shared_ptr<MapiRecipient> Item(int32_t index) override {
        p_.Check("Recipients.Item");
        return std::make_shared<FakeRecipient>(p_, ItemAt(m_->recipients, index));
    }
    bool Truncated() override { return m_->recipientsTruncated; }
    int32_t AttachmentCount() override {
        return p_.Checked("Message.AttachmentCount", m_->attachmentCount);
    }
    std::string UnreadParts() override {
        return p_.Checked("Message.UnreadParts", m_->unreadParts);
    }
    std::string Property(std::string_view name) override {
        p_.Check("Message.Property");
        auto it = m_->properties.find(std::string(name));
        if (it == m_->properties.end()) throw errors::NoSuchMember();
        return it->second;
    }

  private:
    std::shared_ptr<FakeMessageData> m_;
};

// A folder and its items in one; the items are read when the folder is opened.
class FakeFolder final : public MapiFolder, public MapiItems, Faked {
  public:
    FakeFolder(FakePlatform& p, const Messages& items) : Faked(p), items_(items) {}
    std::shared_ptr<MapiItems> Items() override {
        return p_.Checked("Folder.Items", std::make_shared<FakeFolder>(p_, items_));
    }
    int32_t Count() override {
        return p_.Checked("Items.Count", static_cast<int32_t>(items_.size()));
    }
    std::shared_ptr<MapiMessage> Item(int32_t index) override {
        p_.Check("Items.Item");
        return std::make_shared<FakeMessage>(p_, ItemAt(items_, index));
    }
    std::shared_ptr<MapiMessage> Item(std::string_view text) override {
        p_.Check("Items.Find");
        for (const auto& item : items_) {
            if (item->subject == text) return std::make_shared<FakeMessage>(p_, item);
        }
        return nullptr;
    }

  private:
    Messages items_;
};

class FakeMapiObject final : public MapiObject {};

// The mail client's session, which hands out its store for a session to attach to.
class FakeOutlookSession final : public OutlookSession, Faked {
  public:
    using Faked::Faked;
    std::shared_ptr<MapiObject> MAPIOBJECT() override {
        return p_.Checked<std::shared_ptr<MapiObject>>("MAPIOBJECT",
                                                       std::make_shared<FakeMapiObject>());
    }
};

class FakeSession final : public MapiSession, Faked {
  public:
    using Faked::Faked;
    void Logon() override {
        p_.Check("Logon");
        ++p_.store.logons;
        loggedOn_ = p_.store.loggedOnAfterLogon;
    }
    bool LoggedOn() override { return p_.Checked("LoggedOn", loggedOn_); }
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
    bool loggedOn_ = false;
};

}  // namespace

std::shared_ptr<MapiSession> NewFakeSession(FakePlatform& platform) {
    return std::make_shared<FakeSession>(platform);
}

std::shared_ptr<OutlookSession> FakeApplication::Session() {
    return p_.Checked<std::shared_ptr<OutlookSession>>("Application.Session",
                                                       std::make_shared<FakeOutlookSession>(p_));
}

}  // namespace postwarden::fakes
