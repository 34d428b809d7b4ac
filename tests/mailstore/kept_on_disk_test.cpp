// A large outgoing message kept in a private file while it is checked: the
// bytes stay as they came whatever happens to the draft, the parse gives the
// file's pages back once it has decoded the texts, and the texts and the
// fingerprint are those from memory.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "StoreFixture.h"
#include "host/send/ClientObjects.h"
#include "platform/DiskCopy.h"
#include "platform/mailstore/MimeMessage.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;
using host::OutgoingMailItem;
using mailstore::MessageContent;
using mailstore::ParseMessage;

// The resident KiB of this process's mapping that begins at `at`; -1 when
// there is none.
long ResidentKiB(const void* at) {
    std::ifstream smaps("/proc/self/smaps");
    char start[32];
    std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(at));
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.rfind(start, 0) == 0) inside = true;
        if (inside && line.rfind("Rss:", 0) == 0) return std::stol(line.substr(4));
    }
    return -1;
}

// An HTML-only message of some `paragraphs`, ending in a word found nowhere
// else, so that a search that misses the end of the text misses it.
std::string HtmlMessage(size_t paragraphs) {
    std::string message =
        "From: Ann <ann@corp.example>\r\nTo: Bob <bob@corp.example>\r\n"
        "Subject: Weekly report\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body>";
    for (size_t i = 0; i < paragraphs; ++i) message += "<p>Figures &amp; notes, line.</p>\r\n";
    return message + "<p>Closing\xc2\xa0word: projectx</p></body></html>\r\n";
}

// Plain text, HTML, rich text and an attachment, each of some size.
std::string MixedMessage() {
    const auto times = [](const std::string& line) {
        std::string lines;
        for (int i = 0; i < 3000; ++i) lines += line + "\r\n";
        return lines;
    };
    return "From: Ann <ann@corp.example>\r\nTo: Bob <bob@corp.example>\r\nSubject: Mixed\r\n"
           "Content-Type: multipart/mixed; boundary=m\r\n\r\n--m\r\n"
           "Content-Type: multipart/alternative; boundary=a\r\n\r\n--a\r\n"
           "Content-Type: text/plain; charset=iso-8859-1\r\n\r\n" +
           times("Plain line caf\xe9") + "--a\r\nContent-Type: text/html; charset=utf-8\r\n\r\n" +
           times("<p>HTML <b>line</b></p>") +
           "--a--\r\n--m\r\nContent-Type: text/enriched\r\n\r\n<bold>rich</bold>\r\n--m\r\n"
           "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
           "filename=\"figures.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           times(std::string(76, 'Q')) + "--m--\r\n";
}

TEST(DiskCopy, HoldsThePiecesInOrderAndReadsThemAgainAfterThePagesWentBack) {
    TempFolder dir;
    const std::string body = HtmlMessage(20000);
    const std::string field = "Bcc: x@else.example\r\n";
    const std::string_view pieces[] = {field, "", body};
    std::string error;
    const auto copy = DiskCopy::Make(dir.Path(), pieces, error);
    ASSERT_NE(copy, nullptr) << error;
    EXPECT_TRUE(fs::is_empty(dir.Path())) << "the copy has a name someone could open";
    ASSERT_EQ(copy->Bytes(), field + body);
    copy->ReleasePages();
    EXPECT_EQ(ResidentKiB(copy->Bytes().data()), 0);
    EXPECT_EQ(copy->Bytes(), field + body) << "the pages were not read in again";
    for (const size_t from : {size_t{0}, field.size(), field.size() + body.size() + 7}) {
        const std::string tail = (field + body).substr(std::min(from, field.size() + body.size()));
        std::string out = "left over";
        ASSERT_TRUE(copy->CopyOut(from, out, error)) << error;
        EXPECT_EQ(out, tail);
        {
            const UniqueFd file(
                ::open(dir.File("sent").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
            ASSERT_TRUE(copy->SendTo(file.Get(), from, error)) << error;
        }
        EXPECT_EQ(ReadFile(dir.File("sent")), tail);
    }
    // Refused where the folder is not there, or in memory: memory all the same.
    std::vector<std::string> refused{dir.File("missing")};
    if (fs::is_directory("/dev/shm")) refused.push_back("/dev/shm");
    for (const std::string& folder : refused) {
        error.clear();
        EXPECT_EQ(DiskCopy::Make(folder, pieces, error), nullptr) << folder;
        EXPECT_NE(error, "") << folder;
    }
}

// The item's message moved to disk, in a store whose client lends the draft.
class KeptOnDiskTest : public ::testing::Test {
  protected:
    std::shared_ptr<MapiMessage> ReadLent(OutgoingMailItem& item) {
        auto session = CreateMaildirSession("/nowhere");
        session->SetMAPIOBJECT(handle);
        return session->GetMessageFromID(item.EntryID());
    }
    std::string DraftFile(OutgoingMailItem& item) const {
        return store.Root() + "/Drafts/cur/" + item.EntryID() + ":2,DS";
    }

    CorpusCopy store;
    TempFolder spool;
    std::shared_ptr<MaildirStoreObject> handle = std::make_shared<MaildirStoreObject>(store.Root());
    std::string error;
};

// Given back as it came, by GiveBack or at the item's end, whatever a mail sync
// tool does to the draft meanwhile (rewrites or truncates it).
TEST_F(KeptOnDiskTest, TheCallersStringIsFreedAndGivenBackAsItCame) {
    const std::string original = HtmlMessage(1000) + "\xff no final line end";
    const std::string field = "Bcc: x@else.example\r\n";
    for (const bool explicitly : {true, false}) {
        std::string message = original;
        {
            OutgoingMailItem item(handle, message, {"x@else.example"});
            ASSERT_TRUE(item.KeepOnDisk(spool.Path(), error)) << error;
            EXPECT_EQ(message.capacity(), std::string().capacity()) << "still held in memory";
            EXPECT_EQ(item.DraftBytes(), field + original);
            EXPECT_EQ(item.Message(), original);
            item.Save();
            EXPECT_EQ(ReadFile(DraftFile(item)), field + original);
            fs::resize_file(DraftFile(item), 10);
            if (explicitly) std::ofstream(DraftFile(item)) << "Subject: other\n\nx\n";
            EXPECT_EQ(ReadLent(item)->Subject(), "Weekly report");
            if (explicitly) {
                ASSERT_TRUE(item.GiveBack(error)) << error;
                EXPECT_EQ(item.Message(), original);
            }
        }
        EXPECT_EQ(message, original) << (explicitly ? "after GiveBack" : "at the item's end");
    }
}

// Where no copy can be made the message stays in the caller's string, whole.
TEST_F(KeptOnDiskTest, WithoutACopyTheMessageStaysInMemory) {
    const std::string original = HtmlMessage(100);
    std::string message = original;
    {
        OutgoingMailItem item(handle, message, {"x@else.example"});
        EXPECT_FALSE(item.KeepOnDisk(spool.File("missing"), error));
        EXPECT_EQ(item.Message(), original);
        item.Save();
        EXPECT_EQ(ReadLent(item)->Subject(), "Weekly report");
        size_t from = 0;
        EXPECT_EQ(item.TakeDiskCopy(from), nullptr);
    }
    EXPECT_EQ(message, original);
}

TEST_F(KeptOnDiskTest, TheParseGivesThePagesBackAndReadsTheSameTexts) {
    const struct {
        const char* name;
        std::string message;
        bool readAfterRelease;  // parts decoded after the markup read pages in again
    } cases[] = {
        {"HTML only", HtmlMessage(20000), false},
        {"plain, HTML, rich text, attachment", MixedMessage(), true},
        {"plain text", "Subject: s\r\n\r\n" + std::string(200000, 'p'), false},
        {"no header block", std::string(200000, 'q'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MessageContent fromMemory = ParseMessage(c.message);
        int releases = 0;
        ParseMessage(c.message, [&] { ++releases; });
        EXPECT_EQ(releases, 1);

        std::string message = c.message;
        OutgoingMailItem item(handle, message);
        ASSERT_TRUE(item.KeepOnDisk(spool.Path(), error)) << error;
        item.Save();
        const void* mapping = item.DraftBytes().data();
        ASSERT_GT(ResidentKiB(mapping), 0);  // written into the draft from there
        const auto lent = ReadLent(item);
        EXPECT_EQ(lent->Subject(), fromMemory.subject);
        EXPECT_EQ(lent->HTMLBody(), fromMemory.HtmlBody());
        EXPECT_EQ(lent->Body(), fromMemory.Body());
        EXPECT_EQ(lent->RTFBody(), fromMemory.RtfBody());
        EXPECT_EQ(lent->AttachmentNames(), fromMemory.attachmentNames);
        if (!c.readAfterRelease) {
            EXPECT_EQ(ResidentKiB(mapping), 0) << "the message is in memory beside its texts";
        }
        // What knows a message held for nobody to ask again, as the check makes it.
        EXPECT_EQ(mailstore::MessageFingerprint(item.DraftBytes(), [&] { item.ReleasePages(); }),
                  mailstore::MessageFingerprint(c.message));
    }
}

}  // namespace
}  // namespace postwarden::testing
