// The host's mail client objects: the draft copy of the outgoing message, and
// its round trip through a session object.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "StoreFixture.h"
#include "host/ClientObjects.h"
#include "module/RuntimeError.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;
using host::MailClientApplication;
using host::OutgoingMailItem;

// Bytes a mail program might hand over: CRLF line ends, a NUL-free but
// otherwise arbitrary body with 8-bit bytes and trailing blanks.
const std::string kMessage =
    "From: Ann <ann@corp.example>\r\n"
    "To: Bob <bob@corp.example>, all-staff@corp.example\r\n"
    "Subject: =?utf-8?q?Budget_f=C3=BCr?= 2024\r\n"
    "\r\n"
    "Numbers \xe2\x82\xac 10  \r\n"
    "\xff raw byte, no final line end";

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    return files;
}

// A copy of the corpus, whose Drafts folder holds three drafts of its own.
class DraftTest : public ::testing::Test {
  protected:
    size_t Drafts() const { return FilesIn(store.Root() + "/Drafts/cur").size(); }
    CorpusCopy store;
};

TEST_F(DraftTest, SaveStoresTheBytesUnchangedAsAnOwnerOnlyDraft) {
    fs::remove_all(store.Root() + "/Drafts");  // made on demand
    std::string message = kMessage;
    OutgoingMailItem item(store.Root(), message);
    EXPECT_EQ(item.EntryID(), "");
    item.Save();
    ASSERT_FALSE(item.EntryID().empty());
    const auto files = FilesIn(store.Root() + "/Drafts/cur");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string(), item.EntryID() + ":2,DS");
    std::ostringstream bytes;
    bytes << std::ifstream(files[0], std::ios::binary).rdbuf();
    EXPECT_EQ(bytes.str(), kMessage);
    struct stat info {};
    ASSERT_EQ(::stat(files[0].c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(FilesIn(store.Root() + "/Drafts/tmp").empty());
    EXPECT_TRUE(FilesIn(store.Root() + "/Drafts/new").empty());
}

TEST_F(DraftTest, ItsDraftIsReplacedRemovedAndGoesWithTheItemOthersStay) {
    {
        std::string message = kMessage;
        OutgoingMailItem item(store.Root(), message);
        item.Save();
        const std::string id = item.EntryID();
        item.Save();
        EXPECT_EQ(item.EntryID(), id);
        EXPECT_EQ(Drafts(), 4u);
        item.RemoveDraft();
        EXPECT_EQ(Drafts(), 3u);
        EXPECT_EQ(LoggedOnSession(store.Root())->GetMessageFromID(id), nullptr);
        EXPECT_NO_THROW(item.RemoveDraft());  // nothing left
        item.Save();
        // Deleted by someone else: no failure, and the next save makes it anew.
        ASSERT_TRUE(fs::remove(store.Root() + "/Drafts/cur/" + item.EntryID() + ":2,DS"));
        EXPECT_NO_THROW(item.RemoveDraft());
        item.Save();
        EXPECT_EQ(Drafts(), 4u);
    }
    EXPECT_EQ(Drafts(), 3u);
    std::string message = kMessage;
    { OutgoingMailItem unsaved(store.Root(), message); }
    EXPECT_EQ(Drafts(), 3u);
}

TEST(OutgoingMailItem, ASaveThatCannotWriteFails) {
    TempFolder temp;
    const std::string root = temp.Path() + "/store";
    fs::create_directories(root);
    std::ofstream(root + "/Drafts") << "a file where the folder should be";
    std::string message = kMessage;
    OutgoingMailItem item(root, message);
    EXPECT_THROW(item.Save(), RuntimeError);
    EXPECT_EQ(item.EntryID(), "");
}

TEST(OutgoingMailItem, ItsSubjectIsDecodedFromTheHeaderOnly) {
    std::string message = kMessage;
    EXPECT_EQ(OutgoingMailItem("/nowhere", message, {"bcc@corp.example"}).Subject(),
              "Budget für 2024");
    for (std::string other : {"no header at all", "To: a@x.org\n\nSubject: in the body"}) {
        EXPECT_EQ(OutgoingMailItem("/nowhere", other).Subject(), "");
    }
}

// The envelope recipients' field stands in front of the caller's own string
// while the item lives, moved in within its capacity, and comes off again.
TEST(OutgoingMailItem, TheEnvelopeFieldIsAddedInPlaceAndTakenOffAgain) {
    const std::vector<std::string> envelope{"a@corp.example", "b\r\nX-Evil: 1@x.org"};
    std::string message;
    message.reserve(kMessage.size() + OutgoingMailItem::FieldRoom(envelope));
    message = kMessage;
    const char* const buffer = message.data();
    {
        OutgoingMailItem item("/nowhere", message, envelope);
        EXPECT_EQ(item.DraftBytes(), "Bcc: a@corp.example,\r\n b  X-Evil: 1@x.org\r\n" + kMessage);
        EXPECT_EQ(item.Message(), kMessage);
        EXPECT_EQ(item.DraftBytes().data(), buffer);  // never copied
    }
    EXPECT_EQ(message, kMessage);
    EXPECT_EQ(message.data(), buffer);
    // Without room to spare it still works, by way of a copy.
    std::string tight = "Subject: x\n\nbody";
    tight.shrink_to_fit();
    { OutgoingMailItem item("/nowhere", tight, {"c@corp.example"}); }
    EXPECT_EQ(tight, "Subject: x\n\nbody");
}

// The store reads a draft its client still holds from the client's memory,
// and from the file again once the client has let it go.
TEST_F(DraftTest, ASessionOnTheClientsStoreReadsTheLentDraftFromMemory) {
    auto handle = std::make_shared<MaildirStoreObject>(store.Root());
    MailClientApplication application(handle);
    std::string message = kMessage;
    OutgoingMailItem item(handle, message);
    item.Save();
    ASSERT_EQ(handle->Lent(item.EntryID()), std::string_view(kMessage));
    const std::string file = store.Root() + "/Drafts/cur/" + item.EntryID() + ":2,DS";
    std::ofstream(file, std::ios::binary) << "Subject: changed on disk\n\nx\n";
    auto session = CreateMaildirSession("/nowhere");
    session->SetMAPIOBJECT(application.Session()->MAPIOBJECT());
    EXPECT_EQ(session->GetMessageFromID(item.EntryID())->Subject(), "Budget für 2024");
    // The newest draft is the last item, where a lookup by subject looks first.
    auto drafts = session->GetDefaultFolder(kFolderDrafts)->Items();
    EXPECT_EQ(drafts->Item(drafts->Count())->Subject(), "Budget für 2024");
    // A store logged on to by itself has no client to borrow from.
    EXPECT_EQ(LoggedOnSession(store.Root())->GetMessageFromID(item.EntryID())->Subject(),
              "changed on disk");
    const std::string id = item.EntryID();
    item.RemoveDraft();
    EXPECT_FALSE(handle->Lent(id).has_value());
}

TEST(MailClientApplication, VersionExplorersAndStoreHandle) {
    MailClientApplication application("/some/store");
    EXPECT_EQ(application.Version(), "16.0.0.0");
    EXPECT_EQ(application.ExplorersCount(), 0);
    auto handle =
        std::dynamic_pointer_cast<MaildirStoreObject>(application.Session()->MAPIOBJECT());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->Root(), "/some/store");
}

}  // namespace
}  // namespace postwarden::testing
