#include "platform/mailstore/MaildirMessage.h"

#include <algorithm>
#include <limits>

#include "platform/LinuxPlatform.h"
#include "platform/mailstore/StoreErrors.h"
#include "util/Limits.h"

namespace postwarden::mailstore {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

class MemberList final : public MapiAddressList {
  public:
    explicit MemberList(size_t count) : count_(count) {}
    int32_t Count() override {
        return static_cast<int32_t>(std::min<size_t>(count_, std::numeric_limits<int32_t>::max()));
    }

  private:
    size_t count_;
};

class MaildirAddressEntry final : public MapiAddressEntry {
  public:
    MaildirAddressEntry(std::shared_ptr<MaildirStore> store, std::string address)
        : store_(std::move(store)), address_(std::move(address)) {}
    std::string Address() override { return address_; }
    std::shared_ptr<MapiAddressList> Members() override {
        const std::vector<std::string>* members = store_->Lists().Members(address_);
        return members ? std::make_shared<MemberList>(members->size()) : nullptr;
    }

  private:
    std::shared_ptr<MaildirStore> store_;
    std::string address_;
};

class MaildirRecipient final : public MapiRecipient {
  public:
    MaildirRecipient(std::shared_ptr<MaildirStore> store, MessageRecipient recipient)
        : store_(std::move(store)), recipient_(std::move(recipient)) {}
    std::shared_ptr<MapiAddressEntry> AddressEntry() override {
        return std::make_shared<MaildirAddressEntry>(store_, recipient_.address);
    }
    std::string Name() override { return recipient_.name; }
    std::string Address() override { return recipient_.address; }
    int32_t Type() override { return recipient_.type; }

  private:
    std::shared_ptr<MaildirStore> store_;
    MessageRecipient recipient_;
};

class MaildirRecipients final : public MapiRecipients {
  public:
    MaildirRecipients(std::shared_ptr<MaildirStore> store,
                      std::shared_ptr<const MessageContent> content)
        : store_(std::move(store)), content_(std::move(content)) {}
    int32_t Count() override { return static_cast<int32_t>(content_->recipients.size()); }
    bool Truncated() override { return content_->recipientsTruncated; }
    std::shared_ptr<MapiRecipient> Item(int32_t index) override {
        if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
        return std::make_shared<MaildirRecipient>(store_, content_->recipients[index - 1]);
    }

  private:
    std::shared_ptr<MaildirStore> store_;
    std::shared_ptr<const MessageContent> content_;
};
}  // namespace

const DistributionLists& MaildirStore::Lists() {
    if (!lists_) {
        const std::string path = root_ + "/" + kDistributionListsFile;
        std::string text;
        try {
            text =
                ReadWholeFile(path, limits::kMaxDistributionListsBytes, "the distribution lists");
        } catch (const RuntimeError& error) {
            if (error.Number() != errors::kFileNotFound) throw;
        }
        lists_ = DistributionLists::Parse(text);
    }
    return *lists_;
}

std::shared_ptr<MapiRecipients> MaildirMessage::Recipients() {
    Content();
    return std::make_shared<MaildirRecipients>(store_, content_);
}

std::string MaildirMessage::Property(std::string_view name) {
    if (EqualsNoCase(name, "Body")) return std::string(Content().Text());
    if (EqualsNoCase(name, "BodyFormat")) return std::to_string(BodyFormat());
    throw errors::NoSuchMember();
}

const MessageContent& MaildirMessage::Content() {
    if (failure_) throw *failure_;
    if (!content_) {
        try {
            // A message the client still holds is parsed where it lies; the
            // parse copies out everything it keeps.
            if (const std::optional<std::string_view> lent = store_->Lent(file_.uniqueName)) {
                content_ = std::make_shared<const MessageContent>(
                    ParseMessage(*lent, [this] { store_->ReleaseLent(file_.uniqueName); }));
            } else {
                content_ = std::make_shared<const MessageContent>(ParseMessage(ReadFile()));
            }
        } catch (const RuntimeError& error) {
            failure_ = error;
            throw;
        }
    }
    return *content_;
}

std::string MaildirMessage::ReadFile() {
    try {
        return ReadWholeFile(file_.path, limits::kMaxMessageBytes, "a message");
    } catch (const RuntimeError& error) {
        if (error.Number() != errors::kFileNotFound) throw;
    }
    const std::string moved = FindMessage(folder_, file_.uniqueName);
    if (moved.empty()) throw NotFound("message " + file_.uniqueName + " in " + folder_);
    return ReadWholeFile(moved, limits::kMaxMessageBytes, "a message");
}

}  // namespace postwarden::mailstore
