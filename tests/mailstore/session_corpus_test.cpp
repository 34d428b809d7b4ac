// The session object on the hand-written corpus: body shapes, subjects,
// recipients, distribution lists, folder order and lookups.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>
#include <utility>
#include <vector>

#include "StoreFixture.h"
#include "module/RuntimeError.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden::testing {
namespace {

std::shared_ptr<MapiMessage> Message(const std::string& entryId) {
    auto message = LoggedOnSession()->GetMessageFromID(entryId);
    if (!message) throw std::runtime_error("no message " + entryId);
    return message;
}

struct BodyCase {
    const char* entryId;
    const char* shape;
    int32_t format;
    const char* body;
    const char* html;
    const char* rtf;
};

class BodyShapes : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyShapes, FormatAndTextsFollowTheMimeStructure) {
    const BodyCase& c = GetParam();
    auto message = Message(c.entryId);
    EXPECT_EQ(message->BodyFormat(), c.format);
    EXPECT_EQ(message->Body(), c.body);
    EXPECT_EQ(message->HTMLBody(), c.html);
    EXPECT_EQ(message->RTFBody(), c.rtf);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, BodyShapes,
    ::testing::Values(
        BodyCase{"1700000001.M100P10.corpus", "LatinOneQuotedPrintable", kFormatPlain,
                 "Grüße aus Köln.\nCafé at noon?\n", "", ""},
        BodyCase{"1700000002.M100P10.corpus", "HtmlOnlyWindows1252Base64", kFormatHTML,
                 "Price: 10 €\n\nFish & chips\u00a0é",
                 "<html><head><title>Ignored</title><style>p {color:red}</style></head><body>"
                 "<p>Price: 10 €</p><p>Fish &amp; chips&nbsp;&#233;</p></body></html>\n",
                 ""},
        BodyCase{"1700000003.M100P10.corpus", "Alternative", kFormatHTML, "Plain side: naïve café",
                 "<p>HTML side: naïve café</p>", ""},
        BodyCase{"1700000004.M100P10.corpus", "MixedWithAttachments", kFormatHTML,
                 "See the attached report.",
                 "<p>See the <b>attached</b> report.</p><img src=\"cid:logo\">", ""},
        BodyCase{"1700000005.M100P10.corpus", "PlainWithHtmlAttachment", kFormatPlain,
                 "The body is plain.", "", ""},
        BodyCase{"1700000006.M100P10.corpus", "Rtf", kFormatRichText, "", "",
                 "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss Helvetica;}\\f0\\pard Budget "
                 "{\\b confidential}.\\par}\n"},
        BodyCase{"1700000007.M100P10.corpus", "EnrichedAlternative", kFormatRichText,
                 "Meet at noon.", "", "Meet at <bold>noon</bold>."}),
    [](const auto& info) { return std::string(info.param.shape); });

TEST(Subjects, EncodedWordsAndRawEightBitHeadersAreDecoded) {
    EXPECT_EQ(Message("1700000008.M100P10.corpus")->Subject(), "Quartalsbericht für Köln €");
    EXPECT_EQ(Message("1700000009.M100P10.corpus")->Subject(), "Café ☕ réunion");
    EXPECT_EQ(Message("1700000001.M100P10.corpus")->Subject(), "Plain text in Latin-1");
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs RecipientsOf(const std::string& entryId) {
    auto recipients = Message(entryId)->Recipients();
    Pairs found;
    for (int32_t i = 1; i <= recipients->Count(); ++i) {
        auto recipient = recipients->Item(i);
        auto entry = recipient->AddressEntry();
        EXPECT_TRUE(entry != nullptr);
        if (entry) {
            EXPECT_EQ(entry->Address(), recipient->Address());
        }
        found.emplace_back(recipient->Name(), recipient->Address());
    }
    return found;
}

TEST(Recipients, ToCcBccInOrderWithDecodedNames) {
    EXPECT_EQ(RecipientsOf("1700000001.M100P10.corpus"),
              (Pairs{{"Bob Builder", "bob@corp.example"},
                     {"Smith, Carol", "carol@partner.example"},
                     {"dave@corp.example", "dave@corp.example"},
                     {"Jörg Müller", "joerg@partner.example"}}));
    EXPECT_EQ(
        RecipientsOf("1700000008.M100P10.corpus"),
        (Pairs{{"Élodie Dupont", "elodie@partner.example"}, {"René Roe", "rene@partner.example"}}));
}

TEST(Recipients, RawEightBitNamesAreReadAsUtf8OrWindowsLatin1) {
    EXPECT_EQ(RecipientsOf("1700000009.M100P10.corpus"),
              (Pairs{{"Élodie Dupont", "elodie@partner.example"},
                     {"J\xc3\xb6rg M\xc3\xbcller", "joerg@partner.example"}}));
}

TEST(Recipients, GroupsAreExpandedIntoTheirMembers) {
    EXPECT_EQ(RecipientsOf("1700000010.M100P10.corpus"),
              (Pairs{{"alice@corp.example", "alice@corp.example"},
                     {"Bee, B.", "b@corp.example"},
                     {"Zoë", "zoe@partner.example"},
                     {"carl@partner.example", "carl@partner.example"}}));
}

TEST(Recipients, OddAddressesArePassedOnAsWritten) {
    EXPECT_EQ(RecipientsOf("1700000012.M100P10.corpus"),
              (Pairs{{"\"john doe\"@x.org", "\"john doe\"@x.org"},
                     {"'quoted@x.org'", "'quoted@x.org'"},
                     {"nobody", "nobody"},
                     {"Odd", "\"a,b\"@x.org"},
                     {"Comment (the boss)", "boss@corp.example"},
                     {"bare@corp.example", "bare@corp.example"},
                     {"Smith, J", "J.Smith@Corp.Example"}}));
}

TEST(Recipients, IndexOutsideTheCollectionFails) {
    auto recipients = Message("1700000011.M100P10.corpus")->Recipients();
    EXPECT_THROW(recipients->Item(0), RuntimeError);
    EXPECT_THROW(recipients->Item(recipients->Count() + 1), RuntimeError);
}

TEST(DistributionLists, AListRecipientHasItsMembersCounted) {
    auto recipients = Message("1700000011.M100P10.corpus")->Recipients();
    ASSERT_EQ(recipients->Count(), 3);
    // all-staff is defined on two lines, in two spellings, with one member twice.
    auto staff = recipients->Item(1)->AddressEntry();
    EXPECT_EQ(staff->Address(), "all-staff@corp.example");
    ASSERT_NE(staff->Members(), nullptr);
    EXPECT_EQ(staff->Members()->Count(), 4);
    EXPECT_EQ(recipients->Item(2)->AddressEntry()->Members(), nullptr);
    auto empty = recipients->Item(3)->AddressEntry()->Members();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Count(), 0);
}

TEST(DistributionLists, AStoreWithoutTheFileHasNoLists) {
    CorpusCopy store;
    std::filesystem::remove(store.Root() + "/distribution-lists");
    auto message = LoggedOnSession(store.Root())->GetMessageFromID("1700000011.M100P10.corpus");
    EXPECT_EQ(message->Recipients()->Item(1)->AddressEntry()->Members(), nullptr);
}

std::vector<std::string> Bodies(MapiItems& items) {
    std::vector<std::string> bodies;
    for (int32_t i = 1; i <= items.Count(); ++i) bodies.push_back(items.Item(i)->Body());
    return bodies;
}

TEST(Folders, DraftsComeInDeliveryOrderWithNumbersComparedByValue) {
    auto drafts = LoggedOnSession()->GetDefaultFolder(kFolderDrafts)->Items();
    // M5 before M10 although "M10" sorts first byte by byte.
    EXPECT_EQ(Bodies(*drafts), (std::vector<std::string>{"First draft.\n", "Second draft.\n",
                                                         "Lower-case subject.\n"}));
    EXPECT_EQ(drafts->Item(1)->Subject(), "Quarterly report");
    EXPECT_EQ(drafts->Item(2)->Subject(), "Quarterly report");
    EXPECT_EQ(drafts->Item(3)->Subject(), "quarterly report");
}

TEST(Folders, ItemsOfNewAndCurAreMergedInOrder) {
    auto inbox = LoggedOnSession()->GetFolderFromPath("Inbox")->Items();
    ASSERT_EQ(inbox->Count(), 12);
    EXPECT_EQ(inbox->Item(7)->Subject(), "Enriched");  // the one in new/
    EXPECT_EQ(inbox->Item(12)->Subject(), "Odd addresses");
    EXPECT_THROW(inbox->Item(0), RuntimeError);
    EXPECT_THROW(inbox->Item(13), RuntimeError);
}

TEST(Folders, TheSettingsItemIsFoundByItsSubjectNewestFirst) {
    auto session = LoggedOnSession();
    for (const std::string& path :
         {std::string("Public/Settings"), CorpusRoot() + "/Public/Settings/"}) {
        SCOPED_TRACE(path);
        auto item = session->GetFolderFromPath(path)->Items()->Item("Post Warden Settings");
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Property("BodyFormat"), "1");
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(item->Property("Body").c_str()));
        const pugi::xml_node root = document.document_element();
        EXPECT_EQ(std::distance(root.children().begin(), root.children().end()), 16);
        EXPECT_STREQ(root.child("NumberOfRecipients").text().get(), "25");
        EXPECT_STREQ(root.child("ListOfKeywords").last_child().text().get(), "Gehälter");
        EXPECT_STREQ(root.child("MessageForOutsideDomains").text().get(),
                     "Are you sure you want to send this email outside the company?");
    }
}

TEST(Folders, TheTextIndexMatchesWholeSubjectsWithCase) {
    auto items = LoggedOnSession()->GetFolderFromPath("Public/Settings")->Items();
    EXPECT_EQ(items->Item("post warden settings"), nullptr);
    EXPECT_EQ(items->Item("Post Warden"), nullptr);
    EXPECT_NE(items->Item("Office closed on Friday"), nullptr);
}

TEST(Folders, PropertiesOtherThanTheBodyOnesAreNoMembers) {
    auto item = Message("1700000003.M100P10.corpus");
    EXPECT_EQ(item->Property("BodyFormat"), "2");
    EXPECT_EQ(item->Property("body"), "Plain side: naïve café");
    try {
        item->Property("Subject");
        FAIL() << "no failure";
    } catch (const RuntimeError& error) {
        EXPECT_EQ(error.Number(), errors::kNoSuchMember);
    }
}

TEST(Folders, AnEmptyFolderHasNoItems) {
    auto items = LoggedOnSession()->GetFolderFromPath("Empty")->Items();
    EXPECT_EQ(items->Count(), 0);
    EXPECT_EQ(items->Item("Post Warden Settings"), nullptr);
}

TEST(Lookup, EntryIdentifiersAreFoundAnywhereInTheStore) {
    auto session = LoggedOnSession();
    EXPECT_EQ(session->GetMessageFromID("1700000100.M10P1.corpus")->Body(), "Second draft.\n");
    EXPECT_EQ(session->GetMessageFromID("1700000500.M1P1.corpus")->Subject(),
              "Office closed on Friday");
    EXPECT_EQ(session->GetMessageFromID("1700000007.M100P10.corpus")->Subject(), "Enriched");
}

TEST(Lookup, UnknownOrMalformedIdentifiersGiveNoMessage) {
    auto session = LoggedOnSession();
    for (const char* id : {"1700000999.M1P1.corpus", "", "../Inbox/cur/x", ".keep",
                           "1700000001.M100P10.corpus:2,S", "README"}) {
        EXPECT_EQ(session->GetMessageFromID(id), nullptr) << id;
    }
}

}  // namespace
}  // namespace postwarden::testing
