// A raw message, as a mail client would hand it over: parsed on its own, its
// address headers split, fingerprinted in either form of line ends, and read
// back through a session over a Maildir store in a temporary folder, as a send
// does.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "module/MapiSession.h"
#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/DistributionLists.h"
#include "platform/mailstore/HtmlText.h"
#include "platform/mailstore/MaildirSession.h"
#include "platform/mailstore/MimeMessage.h"
#include "tests/TempFolder.h"
#include "util/RuntimeError.h"

namespace postwarden {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUniqueName = "1700000000.M1P1.fuzz";

// The store's distribution lists: one of them is named in the seed messages.
constexpr const char* kLists =
    "team@corp.example: ann@corp.example, bob@corp.example, ann@corp.example\n"
    "# comment\n"
    "empty@corp.example:\n";

// A store made once per process and removed when it ends.
class Store {
  public:
    Store() {
        for (const char* sub : {"cur", "new", "tmp"})
            fs::create_directories(root_ + "/Drafts/" + sub);
        std::ofstream(root_ + "/distribution-lists") << kLists;
    }
    const std::string& Root() const { return root_; }
    void Put(std::string_view bytes) const {
        std::ofstream out(root_ + "/Drafts/cur/" + kUniqueName + ":2,S",
                          std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        FUZZ_CHECK(out.good());
    }

  private:
    postwarden::testing::TempFolder folder_;
    const std::string& root_ = folder_.Path();
};

void CheckContent(const mailstore::MessageContent& content) {
    FUZZ_CHECK(fuzz::IsUtf8(content.subject));
    FUZZ_CHECK(fuzz::IsUtf8(content.Body()));
    FUZZ_CHECK(fuzz::IsUtf8(content.HtmlBody()));
    FUZZ_CHECK(fuzz::IsUtf8(content.RtfBody()));
    FUZZ_CHECK(fuzz::IsUtf8(content.Text()));
    FUZZ_CHECK(content.bodyFormat >= 1 && content.bodyFormat <= 3);
    for (const mailstore::MessageRecipient& r : content.recipients) {
        FUZZ_CHECK(fuzz::IsUtf8(r.name));
        FUZZ_CHECK(fuzz::IsUtf8(r.address));
        // A recipient always has something to show.
        if (!r.address.empty()) FUZZ_CHECK(!r.name.empty());
    }
}

// The same message with its line ends in the other form, as another client
// sends it again, has the same fingerprint.
void CheckFingerprint(std::string_view bytes) {
    const std::string fingerprint = mailstore::MessageFingerprint(bytes);
    FUZZ_CHECK(fingerprint.size() == 64);
    if (bytes.find('\r') != std::string_view::npos) return;
    std::string crlf;
    for (const char c : bytes) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    FUZZ_CHECK(mailstore::MessageFingerprint(crlf) == fingerprint);
}

void CheckAddressList(std::string_view value) {
    for (const mailstore::RawMailbox& mailbox : mailstore::SplitAddressList(value)) {
        FUZZ_CHECK(!mailbox.address.empty() || !mailbox.phrase.empty());
        for (const std::string* part : {&mailbox.address, &mailbox.phrase}) {
            if (part->empty()) continue;
            for (char end : {part->front(), part->back()}) {
                FUZZ_CHECK(end != ' ' && end != '\t' && end != '\r' && end != '\n');
            }
        }
        mailstore::UnquotePhrase(mailbox.phrase);
    }
}

void CheckDistributionLists(std::string_view text) {
    const mailstore::DistributionLists lists = mailstore::DistributionLists::Parse(text);
    // The list named first, if any, has each member once and none empty.
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view name = text.substr(0, colon);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (const std::vector<std::string>* members = lists.Members(name)) {
        std::set<std::string> seen;
        for (const std::string& member : *members) {
            FUZZ_CHECK(!member.empty());
            FUZZ_CHECK(seen.insert(member).second);
        }
    }
}

// The session gives the same message as the parser, recipient by recipient,
// and finds it in the drafts by the subject the parser read.
void CheckSession(const Store& store, std::string_view bytes,
                  const mailstore::MessageContent* parsed) {
    store.Put(bytes);
    std::shared_ptr<MapiSession> session = CreateMaildirSession(store.Root());
    session->Logon();
    std::shared_ptr<MapiMessage> message = session->GetMessageFromID(kUniqueName);
    FUZZ_CHECK(message != nullptr);
    if (parsed == nullptr) {
        FUZZ_CHECK(fuzz::ThrowsRuntimeError([&] { message->Subject(); }));
        return;
    }
    FUZZ_CHECK(message->Subject() == parsed->subject);
    FUZZ_CHECK(message->BodyFormat() == parsed->bodyFormat);
    FUZZ_CHECK(message->Body() == parsed->Body());
    std::shared_ptr<MapiRecipients> recipients = message->Recipients();
    FUZZ_CHECK(recipients->Count() == static_cast<int32_t>(parsed->recipients.size()));
    for (int32_t i = 1; i <= recipients->Count(); ++i) {
        std::shared_ptr<MapiRecipient> recipient = recipients->Item(i);
        FUZZ_CHECK(recipient->Address() == parsed->recipients[i - 1].address);
        FUZZ_CHECK(recipient->Name() == parsed->recipients[i - 1].name);
        std::shared_ptr<MapiAddressEntry> entry = recipient->AddressEntry();
        FUZZ_CHECK(entry != nullptr && entry->Address() == recipient->Address());
        if (std::shared_ptr<MapiAddressList> members = entry->Members()) {
            FUZZ_CHECK(members->Count() >= 0);
        }
    }
    std::shared_ptr<MapiItems> drafts = session->GetDefaultFolder(kFolderDrafts)->Items();
    FUZZ_CHECK(drafts->Count() == 1);
    FUZZ_CHECK(drafts->Item(parsed->subject) != nullptr);
}

}  // namespace
}  // namespace postwarden

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace postwarden;
    static const Store store;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    std::unique_ptr<mailstore::MessageContent> parsed;
    try {
        parsed = std::make_unique<mailstore::MessageContent>(mailstore::ParseMessage(bytes));
    } catch (const RuntimeError&) {
        // Only a message with nothing to read may be refused.
        FUZZ_CHECK(bytes.empty() || bytes.find('\0') != std::string_view::npos);
    }
    if (parsed) {
        CheckContent(*parsed);
        // A draft is found by its subject read from the header block alone.
        FUZZ_CHECK(mailstore::ParseSubject(bytes) == parsed->subject);
        FUZZ_CHECK(fuzz::IsUtf8(parsed->unreadParts));
        CheckFingerprint(bytes);
    }
    CheckAddressList(bytes);
    CheckDistributionLists(bytes);
    FUZZ_CHECK(fuzz::IsUtf8(mailstore::HtmlToText(bytes)) || !fuzz::IsUtf8(bytes));
    // The session costs file operations: every eighth input goes through it, the
    // first one always, so that a reproducer run on its own does too.
    static uint64_t inputs = 0;
    if (inputs++ % 8 == 0) CheckSession(store, bytes, parsed.get());
    return 0;
}
