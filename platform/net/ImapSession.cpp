#include "platform/net/ImapSession.h"

#include <algorithm>
#include <optional>

#include "platform/mailstore/MimeMessage.h"
#include "platform/mailstore/StoreErrors.h"
#include "platform/net/CurlLibrary.h"
#include "platform/net/CurlSession.h"
#include "platform/net/ImapResponse.h"

namespace postwarden::net {

namespace {

// Untagged responses of a NOOP or a SEARCH: a few lines, or a number per message.
constexpr size_t kMaxResponseBytes = size_t{16} << 20;
// A header block holding one field.
constexpr size_t kMaxSubjectHeaderBytes = size_t{64} << 10;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
               return lower(x) == lower(y);
           });
}

// What the objects of one session share: the connection, kept open between
// requests so that the server sees one login.
struct Connection {
    Connection(UrlParts server, const FetchPolicy& policy)
        : parts(std::move(server)), curl(policy, "imap,imaps", "imap,imaps") {
        curl.Hide(parts.password);
        curl.UseNetrc();
        curl.RequireTls();
    }
    UrlParts parts;
    CurlSession curl;
    bool loggedOn = false;
};

// The root URL without its final "/", ready for a path.
std::string ServerPrefix(const Connection& connection) {
    std::string root = connection.parts.root;
    if (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

class ImapRecipient final : public MapiRecipient, public MapiAddressEntry {
  public:
    explicit ImapRecipient(mailstore::MessageRecipient recipient)
        : recipient_(std::move(recipient)) {}
    std::shared_ptr<MapiAddressEntry> AddressEntry() override {
        return std::make_shared<ImapRecipient>(recipient_);
    }
    std::string Name() override { return recipient_.name; }
    std::string Address() override { return recipient_.address; }
    // A server's message names mailboxes; it knows no distribution lists.
    std::shared_ptr<MapiAddressList> Members() override { return nullptr; }

  private:
    mailstore::MessageRecipient recipient_;
};

class ImapRecipients final : public MapiRecipients {
  public:
    explicit ImapRecipients(std::shared_ptr<const mailstore::MessageContent> content)
        : content_(std::move(content)) {}
    int32_t Count() override { return static_cast<int32_t>(content_->recipients.size()); }
    bool Truncated() override { return content_->recipientsTruncated; }
    std::shared_ptr<MapiRecipient> Item(int32_t index) override {
        if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
        return std::make_shared<ImapRecipient>(content_->recipients[index - 1]);
    }

  private:
    std::shared_ptr<const mailstore::MessageContent> content_;
};

class ImapMessage final : public MapiMessage {
  public:
    ImapMessage(std::shared_ptr<Connection> connection, std::string folderUrl, uint32_t uid)
        : connection_(std::move(connection)),
          url_(std::move(folderUrl) + ";UID=" + std::to_string(uid)) {}

    std::string Subject() override { return Content().subject; }
    int32_t BodyFormat() override { return Content().bodyFormat; }
    std::string_view Body() override { return Content().Body(); }
    std::string_view HTMLBody() override { return Content().HtmlBody(); }
    std::string_view RTFBody() override { return Content().RtfBody(); }
    std::shared_ptr<MapiRecipients> Recipients() override {
        Content();
        return std::make_shared<ImapRecipients>(content_);
    }
    std::string Property(std::string_view name) override {
        if (EqualsNoCase(name, "Body")) return std::string(Content().Text());
        if (EqualsNoCase(name, "BodyFormat")) return std::to_string(BodyFormat());
        throw errors::NoSuchMember();
    }

  private:
    const mailstore::MessageContent& Content() {
        if (failure_) throw *failure_;
        if (!content_) {
            try {
                // Room for a document at the limit in any transfer encoding
                // (quoted-printable at worst triples it); the document's own
                // limit is applied to the text.
                const size_t limit = connection_->curl.policy().maxBytes * 3;
                content_ = std::make_shared<const mailstore::MessageContent>(
                    mailstore::ParseMessage(connection_->curl.Get(url_, {}, limit, "The message")));
            } catch (const RuntimeError& error) {
                failure_ = error;
                throw;
            }
        }
        return *content_;
    }

    std::shared_ptr<Connection> connection_;
    std::string url_;
    std::shared_ptr<const mailstore::MessageContent> content_;
    std::optional<RuntimeError> failure_;
};

class ImapItems final : public MapiItems {
  public:
    ImapItems(std::shared_ptr<Connection> connection, std::string folderUrl)
        : connection_(std::move(connection)), folderUrl_(std::move(folderUrl)) {}

    int32_t Count() override { return static_cast<int32_t>(All().size()); }
    std::shared_ptr<MapiMessage> Item(int32_t index) override {
        if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
        return std::make_shared<ImapMessage>(connection_, folderUrl_, All()[index - 1]);
    }
    // The server narrows the messages down (its match is a part of the subject,
    // in any case); the exact comparison is made here, newest first.
    std::shared_ptr<MapiMessage> Item(std::string_view text) override {
        const std::optional<std::string> quoted = QuotedString(text);
        const auto subjectOf = [this](uint32_t uid) {
            return mailstore::ParseSubject(connection_->curl.Get(
                folderUrl_ + ";UID=" + std::to_string(uid) + ";SECTION=HEADER.FIELDS%20(SUBJECT)",
                {}, kMaxSubjectHeaderBytes, "A message's subject"));
        };
        const std::optional<uint32_t> uid = NewestWithSubject(
            quoted ? Search("UID SEARCH HEADER Subject " + *quoted) : All(), text, subjectOf);
        return uid ? std::make_shared<ImapMessage>(connection_, folderUrl_, *uid) : nullptr;
    }

  private:
    std::vector<uint32_t> Search(const std::string& command) {
        std::vector<uint32_t> uids = ParseSearchResponse(
            connection_->curl.Get(folderUrl_, command, kMaxResponseBytes, "A search's answer"));
        std::sort(uids.begin(), uids.end());
        return uids;
    }
    const std::vector<uint32_t>& All() {
        if (!all_) all_ = Search("UID SEARCH ALL");
        return *all_;
    }

    std::shared_ptr<Connection> connection_;
    std::string folderUrl_;
    std::optional<std::vector<uint32_t>> all_;
};

class ImapFolder final : public MapiFolder {
  public:
    ImapFolder(std::shared_ptr<Connection> connection, std::string url)
        : connection_(std::move(connection)), url_(std::move(url)) {}
    std::shared_ptr<MapiItems> Items() override {
        return std::make_shared<ImapItems>(connection_, url_);
    }

  private:
    std::shared_ptr<Connection> connection_;
    std::string url_;
};

class ImapSession final : public MapiSession {
  public:
    explicit ImapSession(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)) {}

    void Logon() override {
        // A NOOP needs no mailbox, only the login before it.
        const TransferResult result =
            connection_->curl.Perform(connection_->parts.root, "NOOP", kMaxResponseBytes);
        if (result.code == CURLE_LOGIN_DENIED) {
            throw RuntimeError(mailstore::kErrorLogonFailed,
                               "Logon to the mail server failed: " + result.reason);
        }
        if (!result.ok()) throw connection_->curl.Failure(result, kMaxResponseBytes, "An answer");
        connection_->loggedOn = true;
    }
    bool LoggedOn() override { return connection_->loggedOn; }
    void SetMAPIOBJECT(std::shared_ptr<MapiObject>) override { throw errors::TypeMismatch(); }
    std::shared_ptr<MapiMessage> GetMessageFromID(std::string_view) override { return nullptr; }
    std::shared_ptr<MapiFolder> GetDefaultFolder(int32_t) override { throw errors::InvalidCall(); }

    std::shared_ptr<MapiFolder> GetFolderFromPath(std::string_view path) override {
        if (!connection_->loggedOn) throw mailstore::NotLoggedOn();
        std::string encodedPath;
        if (path.find("://") != std::string_view::npos) {
            const UrlParts parts = ParseUrl(path);
            const UrlParts& server = connection_->parts;
            if (parts.scheme != server.scheme || parts.host != server.host ||
                parts.port != server.port || parts.user != server.user) {
                throw mailstore::NotFound("a folder on another server");
            }
            encodedPath = parts.path;
        } else {
            encodedPath = "/" + EncodedMailboxPath(path);
        }
        while (encodedPath.size() > 1 && encodedPath.back() == '/') encodedPath.pop_back();
        std::string mailbox = encodedPath.substr(1);
        if (char* decoded = Curl().easy_unescape(nullptr, mailbox.c_str(),
                                                 static_cast<int>(mailbox.size()), nullptr)) {
            mailbox = decoded;
            Curl().free(decoded);
        }
        if (mailbox.empty()) throw mailstore::NotFound("no mail folder named in the URL");

        const std::string url = ServerPrefix(*connection_) + encodedPath;
        // The server selects the mailbox before the NOOP, and says so when it
        // has none of that name.
        const TransferResult result = connection_->curl.Perform(url, "NOOP", kMaxResponseBytes);
        if (result.code == CURLE_LOGIN_DENIED)
            throw mailstore::NotFound("no mail folder " + mailbox);
        if (!result.ok()) throw connection_->curl.Failure(result, kMaxResponseBytes, "An answer");
        return std::make_shared<ImapFolder>(connection_, url);
    }

  private:
    std::shared_ptr<Connection> connection_;
};

}  // namespace

std::shared_ptr<MapiSession> CreateImapSession(std::string_view url, const FetchPolicy& policy) {
    UrlParts parts = ParseUrl(url);
    if (parts.scheme != "imap" && parts.scheme != "imaps") {
        throw RuntimeError(errors::kCannotCreateObject,
                           "A mail server's folder is named by an imap:// or imaps:// URL, not " +
                               parts.scheme + "://");
    }
    return std::make_shared<ImapSession>(std::make_shared<Connection>(std::move(parts), policy));
}

}  // namespace postwarden::net
