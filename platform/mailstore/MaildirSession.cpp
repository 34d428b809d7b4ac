#include "platform/mailstore/MaildirSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <limits>
#include <vector>

#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/MaildirMessage.h"
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

class MaildirItems final : public MapiItems {
  public:
    MaildirItems(std::shared_ptr<MaildirStore> store, std::string folder)
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
    std::shared_ptr<MaildirStore> store_;
    std::string folder_;
    std::vector<MessageFile> files_;
};

class MaildirFolder final : public MapiFolder {
  public:
    MaildirFolder(std::shared_ptr<MaildirStore> store, std::string path)
        : store_(std::move(store)), path_(std::move(path)) {}
    std::shared_ptr<MapiItems> Items() override {
        return std::make_shared<MaildirItems>(store_, path_);
    }

  private:
    std::shared_ptr<MaildirStore> store_;
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
        Open(handle->Root(), handle);
    }

    std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view entryId) override {
        MaildirStore& store = Opened();
        if (!IsUniqueName(entryId)) return nullptr;
        const std::string id(entryId);
        // The drafts folder first: that is where the message being sent is.
        const std::string drafts = DraftsFolderOf(store.Root());
        if (auto message = FindIn(drafts, id)) return message;
        std::deque<std::pair<std::string, int>> pending{{store.Root(), 0}};
        while (!pending.empty()) {
            const auto [folder, depth] = pending.front();
            pending.pop_front();
            if (folder != drafts) {
                if (auto message = FindIn(folder, id)) return message;
            }
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
        MaildirStore& store = Opened();
        if (kind != kFolderDrafts) throw errors::InvalidCall();
        return FolderAt(DraftsFolderOf(store.Root()), kDraftsFolderName);
    }

    std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view path) override {
        MaildirStore& store = Opened();
        std::string resolved = path.empty() || path.front() == '/'
                                   ? std::string(path)
                                   : store.Root() + "/" + std::string(path);
        if (resolved.empty()) resolved = store.Root();
        return FolderAt(resolved, std::string(path));
    }

  private:
    void Open(const std::string& root, std::shared_ptr<const MaildirStoreObject> client = {}) {
        if (root.empty() || !IsFolder(root)) throw NotFound("no mail store at " + root);
        store_ = std::make_shared<MaildirStore>(root, std::move(client));
    }

    MaildirStore& Opened() {
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
    std::shared_ptr<MaildirStore> store_;
};

}  // namespace

std::shared_ptr<MapiSession> CreateMaildirSession(const std::string& storeRoot) {
    return std::make_shared<MaildirSession>(storeRoot);
}

std::string DraftsFolderOf(const std::string& storeRoot) {
    return storeRoot + "/" + kDraftsFolderName;
}

}  // namespace postwarden
