// The session object on the hand-written corpus; what cannot be read ends in a
// readable message or a RuntimeError, never a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "StoreFixture.h"
#include "platform/mailstore/Maildir.h"
#include "platform/mailstore/StoreErrors.h"
#include "util/RuntimeError.h"

namespace postwarden::testing {
namespace {

TEST(Messages, BodyFormatAndTextsFollowTheMimeStructure) {
    const struct {
        const char* entryId;
        const char* shape;
        int32_t format;
        const char* body;
        const char* html;
        const char* rtf;
    } cases[] = {
        {"1700000001.M100P10.corpus", "Latin-1 quoted-printable", kFormatPlain,
         "Grüße aus Köln.\nCafé at noon?\n", "", ""},
        {"1700000002.M100P10.corpus", "HTML only, Windows-1252 base64", kFormatHTML,
         "Price: 10 €\n\nFish & chips\u00a0é",
         "<html><head><title>Ignored</title><style>p {color:red}</style></head><body>"
         "<p>Price: 10 €</p><p>Fish &amp; chips&nbsp;&#233;</p></body></html>\n"
         "\n\nPrice: 10 €\n\nFish & chips\u00a0é",
         ""},
        // Both alternatives are read: either may hold what the other does not.
        {"1700000003.M100P10.corpus", "alternative", kFormatHTML,
         "Plain side: naïve café\n\nHTML side: naïve café",
         "<p>HTML side: naïve café</p>\n\nHTML side: naïve café\n\nPlain side: naïve café", ""},
        {"1700000004.M100P10.corpus", "mixed with attachments", kFormatHTML,
         "See the attached report.\n\nSee the attached report.\n\nreport.pdf\n\nnotes.html",
         "<p>See the <b>attached</b> report.</p><img src=\"cid:logo\">\n\nSee the attached "
         "report.\n\nSee the attached report.\n\nreport.pdf\n\nnotes.html",
         ""},
        {"1700000005.M100P10.corpus", "plain with an HTML attachment", kFormatPlain,
         "The body is plain.\n\npage.html", "", ""},
        {"1700000006.M100P10.corpus", "RTF", kFormatRichText,
         "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss Helvetica;}\\f0\\pard Budget "
         "{\\b confidential}.\\par}\n",
         "",
         "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss Helvetica;}\\f0\\pard Budget "
         "{\\b confidential}.\\par}\n"},
        {"1700000007.M100P10.corpus", "enriched alternative", kFormatRichText,
         "Meet at noon.\n\nMeet at <bold>noon</bold>.", "",
         "Meet at <bold>noon</bold>.\n\nMeet at noon."},
        // Made with `openssl cms -sign -nodetach -binary -nocerts -outform SMIME`:
        // signed is not encrypted, and the content reads as the body.
        {"1700000013.M100P10.corpus", "S/MIME opaque-signed", kFormatPlain,
         "The projectx merger stays confidential until Friday.\r\n", "", ""},
        // `openssl cms -encrypt`, its smime-type parameter taken out.
        {"1700000014.M100P10.corpus", "S/MIME encrypted", kFormatPlain, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        auto message = Message(c.entryId);
        EXPECT_EQ(message->BodyFormat(), c.format);
        EXPECT_EQ(message->Body(), c.body);
        EXPECT_EQ(message->HTMLBody(), c.html);
        EXPECT_EQ(message->RTFBody(), c.rtf);
        EXPECT_EQ(message->UnreadParts(),
                  std::string(c.entryId).starts_with("1700000014") ? "encrypted" : "");
    }
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(Messages, SubjectsAndRecipientsAreDecodedInOrder) {
    const struct {
        const char* entryId;
        const char* shape;
        const char* subject;
        Pairs recipients;  // name, address
    } cases[] = {
        {"1700000001.M100P10.corpus",
         "To, Cc and Bcc",
         "Plain text in Latin-1",
         {{"Bob Builder", "bob@corp.example"},
          {"Smith, Carol", "carol@partner.example"},
          {"dave@corp.example", "dave@corp.example"},
          {"Jörg Müller", "joerg@partner.example"}}},
        {"1700000008.M100P10.corpus",
         "encoded words",
         "Quartalsbericht für Köln €",
         {{"Élodie Dupont", "elodie@partner.example"}, {"René Roe", "rene@partner.example"}}},
        {"1700000009.M100P10.corpus",
         "raw 8-bit UTF-8 or Windows Latin-1",
         "Café ☕ réunion",
         {{"Élodie Dupont", "elodie@partner.example"},
          {"J\xc3\xb6rg M\xc3\xbcller", "joerg@partner.example"}}},
        {"1700000010.M100P10.corpus",
         "groups expanded",
         "Groups",
         {{"alice@corp.example", "alice@corp.example"},
          {"Bee, B.", "b@corp.example"},
          {"Zoë", "zoe@partner.example"},
          {"carl@partner.example", "carl@partner.example"}}},
        {"1700000012.M100P10.corpus",
         "odd addresses passed on as written",
         "Odd addresses",
         {{"\"john doe\"@x.org", "\"john doe\"@x.org"},
          {"'quoted@x.org'", "'quoted@x.org'"},
          {"nobody", "nobody"},
          {"Odd", "\"a,b\"@x.org"},
          {"Comment (the boss)", "boss@corp.example"},
          {"bare@corp.example", "bare@corp.example"},
          {"Smith, J", "J.Smith@Corp.Example"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        auto message = Message(c.entryId);
        EXPECT_EQ(message->Subject(), c.subject);
        auto recipients = message->Recipients();
        Pairs found;
        for (int32_t i = 1; i <= recipients->Count(); ++i) {
            auto recipient = recipients->Item(i);
            auto entry = recipient->AddressEntry();
            EXPECT_EQ(entry ? entry->Address() : "(no entry)", recipient->Address());
            found.emplace_back(recipient->Name(), recipient->Address());
        }
        EXPECT_EQ(found, c.recipients);
    }
}

TEST(DistributionLists, AListRecipientHasItsMembersCountedWhereTheStoreHasLists) {
    auto recipients = Message("1700000011.M100P10.corpus")->Recipients();
    ASSERT_EQ(recipients->Count(), 3);
    EXPECT_THROW(recipients->Item(0), RuntimeError);
    EXPECT_THROW(recipients->Item(4), RuntimeError);
    // all-staff is defined on two lines, in two spellings, with one member twice.
    auto staff = recipients->Item(1)->AddressEntry();
    EXPECT_EQ(staff->Address(), "all-staff@corp.example");
    ASSERT_NE(staff->Members(), nullptr);
    EXPECT_EQ(staff->Members()->Count(), 4);
    EXPECT_EQ(recipients->Item(2)->AddressEntry()->Members(), nullptr);
    auto empty = recipients->Item(3)->AddressEntry()->Members();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Count(), 0);
    // A store without the file has no lists.
    CorpusCopy store;
    std::filesystem::remove(store.Root() + "/distribution-lists");
    recipients = Message("1700000011.M100P10.corpus", store.Root())->Recipients();
    EXPECT_EQ(recipients->Item(1)->AddressEntry()->Members(), nullptr);
}

TEST(Folders, ItemsComeInDeliveryOrderWithNewAndCurMerged) {
    auto session = LoggedOnSession();
    auto drafts = session->GetDefaultFolder(kFolderDrafts)->Items();
    std::vector<std::string> bodies;
    for (int32_t i = 1; i <= drafts->Count(); ++i) bodies.emplace_back(drafts->Item(i)->Body());
    // M5 before M10 although "M10" sorts first byte by byte.
    EXPECT_EQ(bodies, (std::vector<std::string>{"First draft.\n", "Second draft.\n",
                                                "Lower-case subject.\n"}));
    auto inbox = session->GetFolderFromPath("Inbox")->Items();
    ASSERT_EQ(inbox->Count(), 14);
    EXPECT_EQ(inbox->Item(7)->Subject(), "Enriched");  // the one in new/
    EXPECT_EQ(inbox->Item(12)->Subject(), "Odd addresses");
    EXPECT_THROW(inbox->Item(0), RuntimeError);
    EXPECT_THROW(inbox->Item(15), RuntimeError);
}

TEST(Folders, TheSettingsItemIsFoundByItsWholeSubjectWithCaseNewestFirst) {
    auto session = LoggedOnSession();
    for (const std::string& path :
         {std::string("Public/Settings"), CorpusRoot() + "/Public/Settings/"}) {
        SCOPED_TRACE(path);
        auto item = session->GetFolderFromPath(path)->Items()->Item("Post Warden Settings");
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Property("BodyFormat"), "1");
        // The newest of the three, its quoted-printable decoded.
        const std::string body = item->Property("Body");
        for (const char* text : {"<NumberOfRecipients>25<", "<Keyword>Gehälter<",
                                 "send this email outside the company?<"}) {
            EXPECT_NE(body.find(text), std::string::npos) << text;
        }
    }
    // The text index matches whole subjects, with case.
    auto items = session->GetFolderFromPath("Public/Settings")->Items();
    EXPECT_EQ(items->Item("post warden settings"), nullptr);
    EXPECT_EQ(items->Item("Post Warden"), nullptr);
    EXPECT_NE(items->Item("Office closed on Friday"), nullptr);
    auto empty = session->GetFolderFromPath("Empty")->Items();
    EXPECT_EQ(empty->Count(), 0);
    EXPECT_EQ(empty->Item("Post Warden Settings"), nullptr);
}

TEST(Folders, PropertiesOtherThanTheBodyOnesAreNoMembers) {
    auto item = Message("1700000003.M100P10.corpus");
    EXPECT_EQ(item->Property("BodyFormat"), "2");
    EXPECT_EQ(item->Property("body"), "Plain side: naïve café");
    EXPECT_EQ(ErrorNumberOf([&] { item->Property("Subject"); }), errors::kNoSuchMember);
}

TEST(Lookup, EntryIdentifiersAreFoundAnywhereInTheStoreAndNothingElse) {
    const std::pair<const char*, const char*> cases[] = {
        // id, body (null: no message)
        {"1700000100.M10P1.corpus", "Second draft.\n"},     // Drafts
        {"1700000500.M1P1.corpus", "Not the settings.\n"},  // Public/Settings
        {"1700000007.M100P10.corpus", "Meet at noon.\n\nMeet at <bold>noon</bold>."},  // Inbox/new
        {"1700000999.M1P1.corpus", nullptr},
        {"", nullptr},
        {"../Inbox/cur/x", nullptr},
        {".keep", nullptr},
        {"1700000001.M100P10.corpus:2,S", nullptr},
        {"README", nullptr},
    };
    auto session = LoggedOnSession();
    for (const auto& [id, body] : cases) {
        SCOPED_TRACE(id);
        auto message = session->GetMessageFromID(id);
        ASSERT_EQ(message != nullptr, body != nullptr);
        if (message) {
            EXPECT_EQ(message->Body(), body);
        }
    }
}

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
        // Read as plain text, as its recipient's client shows it.
        {"1700000602", "multipart without a boundary", "Multipart without a boundary",
         "--nothing\nContent-Type: text/plain\n\nNever split.\n--nothing--\n", 1},
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
    // Broken base64 gives what decodes.
    const std::string body(Malformed("1700000608")->Body());
    EXPECT_EQ(body.rfind("Hello wor", 0), 0u) << body;
}

TEST(MalformedMessages, NothingReadableFailsEveryCallTheSameWayAndTheIndexPassesOver) {
    for (const char* id : {"1700000606", "1700000607"}) {  // binary data, empty file
        SCOPED_TRACE(id);
        auto message = Malformed(id);
        EXPECT_EQ(ErrorNumberOf([&] { message->Subject(); }), mailstore::kErrorCorruptData);
        EXPECT_EQ(ErrorNumberOf([&] { message->Recipients(); }), mailstore::kErrorCorruptData);
        EXPECT_EQ(ErrorNumberOf([&] { message->Property("Body"); }), mailstore::kErrorCorruptData);
    }
    // The text index passes over them.
    auto items = LoggedOnSession()->GetFolderFromPath("Malformed")->Items();
    EXPECT_EQ(items->Count(), 9);
    ASSERT_NE(items->Item("Unknown charset"), nullptr);
    EXPECT_EQ(items->Item("Unknown charset")->Body(), "Köln café\n");
}

// Files that go or move after the session listed or read them.
TEST(VanishedFiles, EachCallSeesTheStoreAsItIsThen) {
    CorpusCopy store;
    const std::string root = store.Root();
    auto session = LoggedOnSession(root);
    auto drafts = session->GetDefaultFolder(kFolderDrafts)->Items();
    fs::remove(root + "/Drafts/cur/1700000100.M5P1.corpus:2,DS");
    auto deleted = drafts->Item(1);
    EXPECT_EQ(ErrorNumberOf([&] { deleted->Subject(); }), mailstore::kErrorNotFound);
    EXPECT_EQ(drafts->Item(2)->Body(), "Second draft.\n");
    EXPECT_EQ(drafts->Item("Quarterly report")->Body(), "Second draft.\n");

    auto inbox = session->GetFolderFromPath("Inbox")->Items();
    fs::rename(root + "/Inbox/new/1700000007.M100P10.corpus",
               root + "/Inbox/cur/1700000007.M100P10.corpus:2,RS");  // moved to cur/, reflagged
    EXPECT_EQ(inbox->Item(7)->Subject(), "Enriched");

    // A message is read once and kept after its file goes.
    auto message = session->GetMessageFromID("1700000003.M100P10.corpus");
    EXPECT_EQ(message->Subject(), "Alternative");
    fs::remove(root + "/Inbox/cur/1700000003.M100P10.corpus:2,S");
    EXPECT_EQ(message->Property("Body"), "Plain side: naïve café");
    EXPECT_EQ(message->Recipients()->Count(), 1);

    auto folder = session->GetFolderFromPath("Empty");
    fs::remove_all(root + "/Empty");
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
    // Not read in full, and said so.
    EXPECT_EQ(deep->UnreadParts(), "nested too deeply");
}

TEST_F(GeneratedMessages, AnEndlessHeaderLineIsReadToItsEnd) {
    const std::string subject(2 * 1024 * 1024, 's');
    auto message = Store("Subject: " + subject + "\nTo: a@x.org\n\nbody\n");
    EXPECT_EQ(message->Subject(), subject);
    EXPECT_EQ(message->Body(), "body\n");
}

}  // namespace
}  // namespace postwarden::testing
