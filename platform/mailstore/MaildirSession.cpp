#include "platform/mailstore/MaildirSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <limits>
#include <optional>
#include <vector>

#include "platform/LinuxPlatform.h"
#include "platform/mailstore/DistributionLists.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden {

using namespace mailstore;

namespace {

constexpr const char* kDraftsFolderName = "Drafts";
// Entry identifiers are looked for this deep below the root at most.
constexpr int kMaxFolderDepth = 16;
// Enough of a file to hold any sensible header block.
constexpr size_t kMaxHeadBytes = 1 << 20;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The start of a message file up to the end of its header block, or the whole
// file when it is shorter; throws when it cannot be opened.
std::string ReadHead(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw SystemError(errno, path);
    std::string head;
    char buffer[16384];
    while (head.size() < kMaxHeadBytes) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t from = head.size() < 3 ? 0 : head.size() - 3;
        head.append(buffer, static_cast<size_t>(n));
        if (head.find("\n\n", from) != std::string::npos ||
            head.find("\n\r\n", from) != std::string::npos) {
            break;
        }
    }
    ::close(fd);
    return head;
}

// What a session's objects share: the open store and, once asked for, its
// distribution lists.
class Store {
  public:
    explicit Store(std::string root) : root_(std::move(root)) {}
    const std::string& Root() const { return root_; }

    // Loaded on first use; a store without the file has no lists.
    const DistributionLists& Lists() {
        if (!lists_) {
            const std::string path = root_ + "/" + kDistributionListsFile;
            std::string text;
            try {
                text = ReadWholeFile(path);
            } catch (const RuntimeError& error) {
                if (error.Number() != errors::kFileNotFound) throw;
            }
            lists_ = DistributionLists::Parse(text);
        }
        return *lists_;
    }

  private:
    std::string root_;
    std::optional<DistributionLists> lists_;
};

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
    MaildirAddressEntry(std::shared_ptr<Store> store, std::string address)
        : store_(std::move(store)), address_(std::move(address)) {}
    std::string Address() override { return address_; }
    std::shared_ptr<MapiAddressList> Members() override {
        const std::vector<std::string>* members = store_->Lists().Members(address_);
        return members ? std::make_shared<MemberList>(members->size()) : nullptr;
    }

  private:
    std::shared_ptr<Store> store_;
    std::string address_;
};

class MaildirRecipient final : public MapiRecipient {
  public:
    MaildirRecipient(std::shared_ptr<Store> store, MessageRecipient recipient)
        : store_(std::move(store)), recipient_(std::move(recipient)) {}
    std::shared_ptr<MapiAddressEntry> AddressEntry() override {
        return std::make_shared<MaildirAddressEntry>(store_, recipient_.address);
    }
    std::string Name() override { return recipient_.name; }
    std::string Address() override { return recipient_.address; }

  private:
    std::shared_ptr<Store> store_;
    MessageRecipient recipient_;
};

class MaildirRecipients final : public MapiRecipients {
  public:
    MaildirRecipients(std::shared_ptr<Store> store, std::shared_ptr<const MessageContent> content)
        : store_(std::move(store)), content_(std::move(content)) {}
    int32_t Count() override { return static_cast<int32_t>(content_->recipients.size()); }
    std::shared_ptr<MapiRecipient> Item(int32_t index) override {
        if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
        return std::make_shared<MaildirRecipient>(store_, content_->recipients[index - 1]);
    }

  private:
    std::shared_ptr<Store> store_;
    std::shared_ptr<const MessageContent> content_;
};

// A message file, read and parsed on first use and never again: a failure is
// kept and given to every later call too.
class MaildirMessage final : public MapiMessage {
  public:
    MaildirMessage(std::shared_ptr<Store> store, std::string folder, MessageFile file)
        : store_(std::move(store)), folder_(std::move(folder)), file_(std::move(file)) {}

    std::string Subject() override { return Content().subject; }
    int32_t BodyFormat() override { return Content().bodyFormat; }
    std::string Body() override { return Content().body; }
    std::string HTMLBody() override { return Content().htmlBody; }
    std::string RTFBody() override { return Content().rtfBody; }
    std::shared_ptr<MapiRecipients> Recipients() override {
        Content();
        return std::make_shared<MaildirRecipients>(store_, content_);
    }
    std::string Property(std::string_view name) override {
        if (EqualsNoCase(name, "Body")) return Body();
        if (EqualsNoCase(name, "BodyFormat")) return std::to_string(BodyFormat());
        throw errors::NoSuchMember();
    }

  private:
    const MessageContent& Content() {
        if (failure_) throw *failure_;
        if (!content_) {
            try {
                content_ = std::make_shared<const MessageContent>(ParseMessage(ReadFile()));
            } catch (const RuntimeError& error) {
                failure_ = error;
                throw;
            }
        }
        return *content_;
    }

    // A mail client may have moved the file from new/ to cur/, or changed its
    // flags, since the folder was listed: then it is looked for again by name.
    std::string ReadFile() {
        try {
            return ReadWholeFile(file_.path);
        } catch (const RuntimeError& error) {
            if (error.Number() != errors::kFileNotFound) throw;
        }
        const std::string moved = FindMessage(folder_, file_.uniqueName);
        if (moved.empty()) throw NotFound("message " + file_.uniqueName + " in " + folder_);
        return ReadWholeFile(moved);
    }

    std::shared_ptr<Store> store_;
    std::string folder_;
    MessageFile file_;
    std::shared_ptr<const MessageContent> content_;
    std::optional<RuntimeError> failure_;
};

class MaildirItems final : public MapiItems {
  public:
    MaildirItems(std::shared_ptr<Store> store, std::string folder)
        : store_(std::move(store)), folder_(std::move(folder)), files_(ListMessages(folder_)) {}

    int32_t Count() override {
        return static_cast<int32_t>(
            std::min<size_t>(files_.size(), std::numeric_limits<int32_t>::max()));
    }
    std::shared_ptr<MapiMessage> Item(int32_t index) override {
        if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
        return std::make_shared<MaildirMessage>(store_, folder_, files_[index - 1]);
    }
    // The newest match wins, so that a settings item posted again replaces the
    // older one. Files that vanished or cannot be read are passed over.
    std::shared_ptr<MapiMessage> Item(std::string_view text) override {
        for (auto it = files_.rbegin(); it != files_.rend(); ++it) {
            std::string head;
            try {
                head = ReadHead(it->path);
            } catch (const RuntimeError&) {
                continue;
            }
            if (ParseSubject(head) == text) {
                return std::make_shared<MaildirMessage>(store_, folder_, *it);
            }
        }
        return nullptr;
    }

  private:
    std::shared_ptr<Store> store_;
    std::string folder_;
    std::vector<MessageFile> files_;
};

class MaildirFolder final : public MapiFolder {
  public:
    MaildirFolder(std::shared_ptr<Store> store, std::string path)
        : store_(std::move(store)), path_(std::move(path)) {}
    std::shared_ptr<MapiItems> Items() override {
        return std::make_shared<MaildirItems>(store_, path_);
    }

  private:
    std::shared_ptr<Store> store_;
    std::string path_;
};

class MaildirSession final : public MapiSession {
  public:
    explicit MaildirSession(std::string root) : root_(std::move(root)) {}

    void Logon() override { Open(root_); }
    bool LoggedOn() override { return store_ != nullptr; }
    void SetMAPIOBJECT(std::shared_ptr<MapiObject> object) override {
        const auto handle = std::dynamic_pointer_cast<MaildirStoreObject>(object);
        if (!handle) throw errors::TypeMismatch();
        Open(handle->Root());
    }

    std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view entryId) override {
        Store& store = Opened();
        if (!IsUniqueName(entryId)) return nullptr;
        const std::string id(entryId);
        // The drafts folder first: that is where the message being sent is.
        const std::string drafts = DraftsFolderOf(store.Root());
        if (auto message = FindIn(drafts, id)) return message;
        std::deque<std::pair<std::string, int>> pending{{store.Root(), 0}};
        while (!pending.empty()) {
            const auto [folder, depth] = pending.front();
            pending.pop_front();
            if (folder != drafts)
                if (auto message = FindIn(folder, id)) return message;
            if (depth >= kMaxFolderDepth) continue;
            std::error_code error;
            for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                const std::string name = it->path().filename().string();
                if (name.empty() || name.front() == '.' || name == "cur" || name == "new" ||
                    name == "tmp") {
                    continue;
                }
                std::error_code typeError;
                if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
                    pending.emplace_back(it->path().string(), depth + 1);
                }
            }
        }
        return nullptr;
    }

    std::shared_ptr<MapiFolder> GetDefaultFolder(int32_t kind) override {
        Store& store = Opened();
        if (kind != kFolderDrafts) throw errors::InvalidCall();
        return FolderAt(DraftsFolderOf(store.Root()), kDraftsFolderName);
    }

    std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view path) override {
        Store& store = Opened();
        std::string resolved = path.empty() || path.front() == '/'
                                   ? std::string(path)
                                   : store.Root() + "/" + std::string(path);
        if (resolved.empty()) resolved = store.Root();
        return FolderAt(resolved, std::string(path));
    }

  private:
    void Open(const std::string& root) {
        if (root.empty() || !IsFolder(root)) throw NotFound("no mail store at " + root);
        store_ = std::make_shared<Store>(root);
    }

    Store& Opened() {
        if (!store_) throw NotLoggedOn();
        return *store_;
    }

    std::shared_ptr<MapiFolder> FolderAt(const std::string& path, const std::string& name) {
        if (!IsMaildir(path)) throw NotFound("no mail folder " + name);
        return std::make_shared<MaildirFolder>(store_, path);
    }

    std::shared_ptr<MapiMessage> FindIn(const std::string& folder, const std::string& id) {
        if (!IsMaildir(folder)) return nullptr;
        std::string path = FindMessage(folder, id);
        if (path.empty()) return nullptr;
        return std::make_shared<MaildirMessage>(store_, folder, MessageFile{id, std::move(path)});
    }

    std::string root_;
    std::shared_ptr<Store> store_;
};

}  // namespace

std::shared_ptr<MapiSession> CreateMaildirSession(const std::string& storeRoot) {
    return std::make_shared<MaildirSession>(storeRoot);
}

std::string DraftsFolderOf(const std::string& storeRoot) {
    return storeRoot + "/" + kDraftsFolderName;
}

}  // namespace postwarden
