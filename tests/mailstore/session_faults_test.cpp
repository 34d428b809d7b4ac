// Malformed messages, vanished files and stores that cannot be opened: each
// ends in a readable message or a RuntimeError, never a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "StoreFixture.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<MapiMessage> Malformed(const std::string& id) {
    return Message(id + ".M1P1.corpus");
}

TEST(MalformedMessages, OpenWithWhatCanBeRead) {
    const struct {
        const char* id;
        const char* what;
        const char* subject;
        const char* body;
        int32_t recipients;
    } cases[] = {
        {"1700000601", "no header block", "",
         "Just a note without any header.\nSecond line with café.\n", 0},
        {"1700000602", "multipart without a boundary", "Multipart without a boundary", "", 1},
        {"1700000603", "boundary never closed", "Boundary never closed",
         "The only part, and the message ends inside it.\n", 1},
        {"1700000604", "unknown charset", "Unknown charset", "Köln café\n", 1},
        {"1700000605", "invalid UTF-8", "Invalid ÿ UTF-8",
         "ok \xef\xbf\xbd\xef\xbf\xbd broken é end\n", 1},
        {"1700000609", "headers only", "Headers only", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto message = Malformed(c.id);
        EXPECT_EQ(message->Subject(), c.subject);
        EXPECT_EQ(message->BodyFormat(), kFormatPlain);
        EXPECT_EQ(message->Body(), c.body);
        EXPECT_EQ(message->HTMLBody(), "");
        EXPECT_EQ(message->Recipients()->Count(), c.recipients);
    }
}

TEST(MalformedMessages, BrokenBase64GivesWhatDecodes) {
    const std::string body(Malformed("1700000608")->Body());
    EXPECT_EQ(body.rfind("Hello wor", 0), 0u) << body;
}

TEST(MalformedMessages, NothingReadableFailsEveryCallTheSameWay) {
    for (const char* id : {"1700000606", "1700000607"}) {  // binary data, empty file
        SCOPED_TRACE(id);
        auto message = Malformed(id);
        EXPECT_EQ(ErrorNumberOf([&] { message->Subject(); }), mailstore::kErrorCorruptData);
        EXPECT_EQ(ErrorNumberOf([&] { message->Recipients(); }), mailstore::kErrorCorruptData);
        EXPECT_EQ(ErrorNumberOf([&] { message->Property("Body"); }), mailstore::kErrorCorruptData);
    }
}

TEST(MalformedMessages, TheTextIndexPassesOverUnreadableFiles) {
    auto items = LoggedOnSession()->GetFolderFromPath("Malformed")->Items();
    EXPECT_EQ(items->Count(), 9);
    ASSERT_NE(items->Item("Unknown charset"), nullptr);
    EXPECT_EQ(items->Item("Unknown charset")->Body(), "Köln café\n");
}

TEST(VanishedFiles, AMessageDeletedAfterListingFailsWhenRead) {
    CorpusCopy store;
    auto items = LoggedOnSession(store.Root())->GetDefaultFolder(kFolderDrafts)->Items();
    fs::remove(store.Root() + "/Drafts/cur/1700000100.M5P1.corpus:2,DS");
    auto message = items->Item(1);
    EXPECT_EQ(ErrorNumberOf([&] { message->Subject(); }), mailstore::kErrorNotFound);
    EXPECT_EQ(items->Item(2)->Body(), "Second draft.\n");
    EXPECT_EQ(items->Item("Quarterly report")->Body(), "Second draft.\n");
}

TEST(VanishedFiles, AMessageMovedToCurOrReflaggedIsFoundAgain) {
    CorpusCopy store;
    auto items = LoggedOnSession(store.Root())->GetFolderFromPath("Inbox")->Items();
    fs::rename(store.Root() + "/Inbox/new/1700000007.M100P10.corpus",
               store.Root() + "/Inbox/cur/1700000007.M100P10.corpus:2,RS");
    EXPECT_EQ(items->Item(7)->Subject(), "Enriched");
}

TEST(VanishedFiles, AMessageIsReadOnceAndKeptAfterItsFileGoes) {
    CorpusCopy store;
    auto message = Message("1700000003.M100P10.corpus", store.Root());
    EXPECT_EQ(message->Subject(), "Alternative");
    fs::remove(store.Root() + "/Inbox/cur/1700000003.M100P10.corpus:2,S");
    EXPECT_EQ(message->Property("Body"), "Plain side: naïve café");
    EXPECT_EQ(message->Recipients()->Count(), 1);
}

TEST(VanishedFiles, AFolderRemovedAfterLookupFailsWhenListed) {
    CorpusCopy store;
    auto folder = LoggedOnSession(store.Root())->GetFolderFromPath("Empty");
    fs::remove_all(store.Root() + "/Empty");
    EXPECT_EQ(ErrorNumberOf([&] { folder->Items(); }), mailstore::kErrorNotFound);
}

// Each way a store, a folder or a session cannot be used fails with its own number.
TEST(Stores, WhatCannotBeOpenedFailsWithItsNumber) {
    CorpusCopy noDrafts;
    fs::remove_all(noDrafts.Root() + "/Drafts");
    TempFolder temp;
    std::ofstream(temp.File("file")) << "x";
    class OtherObject final : public MapiObject {};
    const auto loggedOn = LoggedOnSession();
    const auto fresh = CreateMaildirSession(CorpusRoot());
    const auto missing = CreateMaildirSession(temp.File("missing"));
    const int32_t notFound = mailstore::kErrorNotFound;
    const int32_t notLoggedOn = mailstore::kErrorLogonFailed;
    const struct {
        const char* what;
        std::function<void()> call;
        int32_t error;
    } cases[] = {
        {"a missing store", [&] { missing->Logon(); }, notFound},
        {"a file for a store", [&] { CreateMaildirSession(temp.File("file"))->Logon(); }, notFound},
        {"no store", [&] { CreateMaildirSession("")->Logon(); }, notFound},
        {"drafts before logon", [&] { fresh->GetDefaultFolder(kFolderDrafts); }, notLoggedOn},
        {"a path before logon", [&] { fresh->GetFolderFromPath("Inbox"); }, notLoggedOn},
        {"a message before logon", [&] { fresh->GetMessageFromID("1700000001.M100P10.corpus"); },
         notLoggedOn},
        {"attaching another object", [&] { fresh->SetMAPIOBJECT(std::make_shared<OtherObject>()); },
         errors::kTypeMismatch},
        {"attaching nothing", [&] { fresh->SetMAPIOBJECT(nullptr); }, errors::kTypeMismatch},
        {"a folder that is no Maildir", [&] { loggedOn->GetFolderFromPath("Archive"); }, notFound},
        {"no such folder", [&] { loggedOn->GetFolderFromPath("NoSuchFolder"); }, notFound},
        {"a Maildir's own cur/", [&] { loggedOn->GetFolderFromPath("Inbox/cur"); }, notFound},
        {"a path outside the store", [&] { loggedOn->GetFolderFromPath("/nonexistent"); },
         notFound},
        {"no such default folder", [&] { loggedOn->GetDefaultFolder(6); }, errors::kInvalidCall},
        {"a store without drafts",
         [&] { LoggedOnSession(noDrafts.Root())->GetDefaultFolder(kFolderDrafts); }, notFound},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorNumberOf(c.call), c.error) << c.what;
    EXPECT_FALSE(fresh->LoggedOn());
    EXPECT_FALSE(missing->LoggedOn());
    EXPECT_EQ(LoggedOnSession(noDrafts.Root())->GetMessageFromID("1700000100.M10P1.corpus"),
              nullptr);
}

// Messages too large or too deep to keep in the corpus, made on the spot.
class GeneratedMessages : public ::testing::Test {
  protected:
    std::shared_ptr<MapiMessage> Store(const std::string& bytes) {
        const std::string id = mailstore::DeliverMessage(DraftsFolderOf(temp_.Path()), bytes, "");
        return LoggedOnSession(temp_.Path())->GetMessageFromID(id);
    }
    TempFolder temp_;
};

TEST_F(GeneratedMessages, TenThousandRecipientsAreAllThereInOrder) {
    std::string message = "Subject: many\nTo: ";
    for (int i = 0; i < 10000; ++i) {
        message += (i ? ",\n " : "") + std::string("N") + std::to_string(i) + " <u" +
                   std::to_string(i) + "@x.org>";
    }
    auto recipients = Store(message + "\n\nbody\n")->Recipients();
    ASSERT_EQ(recipients->Count(), 10000);
    EXPECT_EQ(recipients->Item(1)->Address(), "u0@x.org");
    EXPECT_EQ(recipients->Item(10000)->Name(), "N9999");
    EXPECT_EQ(recipients->Item(10000)->Address(), "u9999@x.org");
}

TEST_F(GeneratedMessages, AbsurdNestingOpensWithoutABody) {
    std::string message = "Subject: deep\nContent-Type: multipart/mixed; boundary=b0\n\n";
    for (int i = 0; i < 5000; ++i) {
        message += "--b" + std::to_string(i) + "\nContent-Type: multipart/mixed; boundary=b" +
                   std::to_string(i + 1) + "\n\n";
    }
    auto deep = Store(message + "--b5000\nContent-Type: text/plain\n\ninnermost\n");
    EXPECT_EQ(deep->Subject(), "deep");
    EXPECT_EQ(deep->Body(), "");
    EXPECT_EQ(deep->BodyFormat(), kFormatPlain);
}

TEST_F(GeneratedMessages, AnEndlessHeaderLineIsReadToItsEnd) {
    const std::string subject(2 * 1024 * 1024, 's');
    auto message = Store("Subject: " + subject + "\nTo: a@x.org\n\nbody\n");
    EXPECT_EQ(message->Subject(), subject);
    EXPECT_EQ(message->Body(), "body\n");
}

}  // namespace
}  // namespace postwarden::testing
