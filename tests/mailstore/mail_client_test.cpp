// The host's mail client objects and their drafts; the working copies of ended
// sends are cleaned away, everything else stays.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "StoreFixture.h"
#include "host/send/ClientObjects.h"
#include "platform/UniqueFd.h"
#include "platform/mailstore/Maildir.h"
#include "tests/TempFolder.h"
#include "util/RuntimeError.h"

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
    std::string message = kMessage;
};

TEST_F(DraftTest, SaveStoresTheBytesUnchangedAsAnOwnerOnlyDraft) {
    fs::remove_all(store.Root() + "/Drafts");  // made on demand
    OutgoingMailItem item(store.Root(), message);
    EXPECT_EQ(item.EntryID(), "");
    item.Save();
    ASSERT_FALSE(item.EntryID().empty());
    const auto files = FilesIn(store.Root() + "/Drafts/cur");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string(), item.EntryID() + ":2,DS");
    EXPECT_EQ(ReadFile(files[0]), kMessage);
    EXPECT_EQ(ModeOf(files[0]), 0600);
    EXPECT_TRUE(FilesIn(store.Root() + "/Drafts/tmp").empty());
    EXPECT_TRUE(FilesIn(store.Root() + "/Drafts/new").empty());
}

TEST_F(DraftTest, ItsDraftIsReplacedRemovedAndGoesWithTheItemOthersStay) {
    {
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
    { OutgoingMailItem unsaved(store.Root(), message); }
    EXPECT_EQ(Drafts(), 3u);
}

TEST_F(DraftTest, ASaveThatCannotWriteFails) {
    fs::remove_all(store.Root() + "/Drafts");
    std::ofstream(store.Root() + "/Drafts") << "a file where the folder should be";
    OutgoingMailItem item(store.Root(), message);
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

// A child process that delivers a working copy into `folder`, tells its unique
// name, and runs until End() kills it (or this object goes).
class CopyOwner {
  public:
    explicit CopyOwner(const std::string& folder) {
        int names[2];
        if (::pipe(names) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(names[0]);
            try {
                const std::string name =
                    mailstore::DeliverWorkingCopy(folder, "Subject: x\n\nx\n", "DS");
                (void)!::write(names[1], name.data(), name.size());
            } catch (...) {
                ::_exit(1);
            }
            ::close(names[1]);
            for (;;) ::pause();
        }
        ::close(names[1]);
        const UniqueFd in(names[0]);
        char buffer[256];
        for (ssize_t n; (n = ::read(in.Get(), buffer, sizeof buffer)) > 0;) {
            name_.append(buffer, static_cast<size_t>(n));
        }
    }
    ~CopyOwner() { End(); }
    CopyOwner(const CopyOwner&) = delete;
    CopyOwner& operator=(const CopyOwner&) = delete;

    // Kills the process, as a send killed half-way is, and waits until it is gone.
    void End() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ended_ = pid_;
        pid_ = -1;
    }
    const std::string& Name() const { return name_; }
    // The id the process had, once it has ended.
    pid_t EndedPid() const { return ended_; }

  private:
    pid_t pid_ = -1;
    pid_t ended_ = -1;
    std::string name_;
};

class WorkingCopiesTest : public ::testing::Test {
  protected:
    bool Present(const std::string& uniqueName) const {
        for (const char* sub : {"cur", "new", "tmp"}) {
            for (const auto& entry : fs::directory_iterator(drafts + "/" + sub)) {
                if (mailstore::UniqueNameOf(entry.path().filename().string()) == uniqueName) {
                    return true;
                }
            }
        }
        return false;
    }
    void Put(const std::string& sub, const std::string& fileName) {
        std::ofstream(drafts + "/" + sub + "/" + fileName) << "Subject: x\n\nx\n";
    }

    TempFolder temp;
    const std::string drafts = temp.Path() + "/Drafts";
};

TEST_F(WorkingCopiesTest, TheCopiesOfEndedProcessesGoThoseOfRunningOnesStayAndNoFolderHasNone) {
    CopyOwner killed(drafts), running(drafts);
    ASSERT_TRUE(mailstore::IsWorkingCopy(killed.Name())) << killed.Name();
    const std::string ours = mailstore::DeliverWorkingCopy(drafts, "Subject: mine\n\nx\n", "DS");
    const std::string ordinary = mailstore::DeliverMessage(drafts, "Subject: kept\n\nx\n", "DS");
    // What a run killed while it delivered leaves: the file under tmp/ too.
    Put("tmp", killed.Name());
    killed.End();

    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(drafts), 2u);
    EXPECT_FALSE(Present(killed.Name()));
    EXPECT_TRUE(Present(running.Name())) << "a send going on at the same time keeps its draft";
    EXPECT_TRUE(Present(ours));
    EXPECT_TRUE(Present(ordinary));

    running.End();
    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(drafts), 1u);
    EXPECT_FALSE(Present(running.Name()));
    EXPECT_TRUE(Present(ours));
    EXPECT_EQ(mailstore::ListMessages(drafts).size(), 2u);
    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(temp.Path() + "/nowhere"), 0u);
}

struct NameCase {
    const char* why;
    std::string name;
    bool workingCopy;
    bool removed;
};

TEST_F(WorkingCopiesTest, OnlyWorkingCopiesOfThisMachineAreTouched) {
    const std::string ours = mailstore::DeliverWorkingCopy(drafts, "x", "");
    const std::string host = ours.substr(ours.find('.', ours.find('.') + 1) + 1);
    const std::string me = std::to_string(::getpid());
    CopyOwner ended(drafts);
    ended.End();
    const std::string dead = std::to_string(ended.EndedPid());
    // Maildir names with the process id `pid`, then `tail` and the machine.
    const auto name = [](const std::string& pid, const std::string& tail) {
        return "1700000000.M1P" + pid + tail;
    };
    const NameCase cases[] = {
        {"no mark", name(dead, "Q1." + host), false, false},
        {"another program's name", name(dead, "Q1.postwarden_S1." + host), false, false},
        {"another machine", name(dead, "Q1_postwarden_S7.other.example"), true, false},
        {"no start time", name(dead, "Q1_postwarden_S." + host), false, false},
        {"text after the mark", name(dead, "Q1_postwarden_S7x." + host), false, false},
        {"no process id", name("", "Q1_postwarden_S7." + host), false, false},
        {"an ended process", name(dead, "Q1_postwarden_S7." + host), true, true},
        {"this process id, taken over from an owner that started at another time",
         name(me, "Q1_postwarden_S1." + host), true, true},
    };
    for (const NameCase& c : cases) Put("cur", c.name + ":2,DS");
    mailstore::RemoveAbandonedWorkingCopies(drafts);
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(mailstore::IsWorkingCopy(c.name), c.workingCopy) << c.name;
        EXPECT_EQ(Present(c.name), !c.removed) << c.name;
    }
    EXPECT_TRUE(Present(ours));
}

TEST_F(WorkingCopiesTest, ASendKeepsItsCopyWhileItGrows) {
    const std::string ours = mailstore::DeliverWorkingCopy(drafts, "Subject: mine\n\nx\n", "DS");
    // A send takes memory as it goes on; its copy stays its own all the same.
    constexpr size_t kMore = size_t{64} << 20;
    void* more = ::mmap(nullptr, kMore, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(more, MAP_FAILED);
    EXPECT_EQ(mailstore::RemoveAbandonedWorkingCopies(drafts), 0u);
    EXPECT_TRUE(Present(ours));
    ::munmap(more, kMore);
}

}  // namespace
}  // namespace postwarden::testing
