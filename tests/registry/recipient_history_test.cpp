// The recipient history's file: what a send records, what the rules ask of it,
// and what `forget` takes back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "platform/LinuxPlatform.h"
#include "platform/history/RecipientHistory.h"
#include "platform/windows/NoWindowSystem.h"
#include "tests/TempFolder.h"
#include "util/RuntimeError.h"

namespace postwarden {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using testing::TempFolder;
using Send = RecipientHistory::Send;

class RecipientHistoryTest : public ::testing::Test {
  protected:
    TempFolder folder_;
    RecipientHistory history_{folder_.File("history.db")};

    RecipientHistory::Counts Record(std::vector<std::string> addresses, int64_t when = 100,
                                    std::string messageId = "") {
        return history_.Record({{std::move(addresses), when, std::move(messageId)}});
    }
};

TEST_F(RecipientHistoryTest, EverySpellingOfAMailboxIsOneEntry) {
    Record({"Bob@Partner.Example", "\"bob\"@partner.example.", "bob@XN--BCHER-KVA.example"});
    Record({" bob@partner.example "}, 200);
    const auto entries = history_.List();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].address, "bob@bücher.example");
    EXPECT_EQ(entries[1].address, "bob@partner.example");
    EXPECT_EQ(entries[1].uses, 2);
    EXPECT_EQ(entries[1].firstUse, 100);
    EXPECT_EQ(entries[1].lastUse, 200);
    EXPECT_TRUE(history_.Knows("BOB@partner.example"));
    EXPECT_TRUE(history_.Knows("bob@bücher.example"));
    EXPECT_FALSE(history_.Knows("bobby@partner.example"));
    EXPECT_FALSE(history_.Knows("bob"));
    EXPECT_TRUE(history_.KnowsDomain("PARTNER.example"));
    EXPECT_FALSE(history_.KnowsDomain("example"));
}

TEST_F(RecipientHistoryTest, FirstAndLastUseHoldWhateverOrderSendsComeIn) {
    Record({"a@x.example"}, 500);
    Record({"a@x.example"}, 300);  // an older message imported later
    Record({"a@x.example"}, 400);
    const auto entries = history_.List();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].firstUse, 300);
    EXPECT_EQ(entries[0].lastUse, 500);
    EXPECT_EQ(entries[0].uses, 3);
}

TEST_F(RecipientHistoryTest, CountsSendsOnceAndLeavesOutRepeatsAndSendsToNobody) {
    const RecipientHistory::Counts counts = history_.Record({
        {{"a@x.example", "b@x.example"}, 1, "<1@corp>"},
        {{"a@x.example"}, 2, "<1@corp>"},  // the same message again
        {{"undisclosed-recipients:;", "bob", "@x.example", "a@"}, 3, "<2@corp>"},
        {{"c@y.example"}, 4, ""},
        {{"c@y.example"}, 5, ""},  // no Message-ID: never taken as a repeat
    });
    EXPECT_EQ(counts.recorded, 3u);
    EXPECT_EQ(counts.repeated, 1u);
    EXPECT_EQ(counts.nobody, 1u);
    EXPECT_EQ(history_.Sends(), 3);
    // The send to nobody did not use up its Message-ID.
    EXPECT_EQ(Record({"d@z.example"}, 6, "<2@corp>").recorded, 1u);
    EXPECT_EQ(history_.Sends(), 4);
}

// A domain is familiar from its second send, not from its second address.
TEST_F(RecipientHistoryTest, ADomainIsFamiliarFromItsSecondSend) {
    Record({"a@partner.example", "b@partner.example"});
    EXPECT_THAT(history_.FamiliarDomainsLike("partnre.example"), ElementsAre());
    Record({"c@partner.example"});
    EXPECT_THAT(history_.FamiliarDomainsLike("partnre.example"), ElementsAre("partner.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("PARTNER.EXAMPL"), ElementsAre("partner.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("partner.example"), ElementsAre());
    EXPECT_THAT(history_.FamiliarDomainsLike("rival.example"), ElementsAre());
}

TEST_F(RecipientHistoryTest, FindsLookAlikesOfEveryKindAmongManyDomains) {
    for (int i = 0; i < 200; ++i) {
        const std::string address = "x@domain" + std::to_string(i) + ".example";
        Record({address});
        Record({address});
    }
    Record({"a@corp.example"});
    Record({"b@corp.example"});
    EXPECT_THAT(history_.FamiliarDomainsLike("c0rp.example"), ElementsAre("corp.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("c\xD0\xBErp.example"), ElementsAre("corp.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("corp.exmaple"), ElementsAre("corp.example"));
    // A superset: "domain1.example" shares the key "domain1.exampl" with it,
    // and LooksLike tells the two apart.
    EXPECT_THAT(history_.FamiliarDomainsLike("domain17.exampl"), Contains("domain17.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("domain17.exampl"), Not(Contains("domain2.example")));
}

TEST_F(RecipientHistoryTest, ForgettingTakesTheAddressAndWhatOnlyItMadeFamiliar) {
    Record({"typo@corp.exmaple"}, 1);
    Record({"typo@corp.exmaple", "bob@partner.example"}, 2);
    Record({"bob@partner.example", "ann@partner.example"}, 3);
    ASSERT_THAT(history_.FamiliarDomainsLike("corp.example"), ElementsAre("corp.exmaple"));

    EXPECT_TRUE(history_.Forget("TYPO@corp.exmaple"));
    EXPECT_FALSE(history_.Knows("typo@corp.exmaple"));
    EXPECT_FALSE(history_.KnowsDomain("corp.exmaple"));
    EXPECT_THAT(history_.FamiliarDomainsLike("corp.example"), ElementsAre());
    EXPECT_FALSE(history_.Forget("typo@corp.exmaple"));
    EXPECT_FALSE(history_.Forget("no address"));

    // ann's send was bob's too: partner.example stays written to twice.
    EXPECT_TRUE(history_.Forget("ann@partner.example"));
    EXPECT_TRUE(history_.KnowsDomain("partner.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("partnre.example"), ElementsAre("partner.example"));
    Record({"carl@partner.example"}, 4);  // bob 2 uses, carl 1: still familiar
    EXPECT_TRUE(history_.Forget("bob@partner.example"));
    EXPECT_THAT(history_.FamiliarDomainsLike("partnre.example"), ElementsAre());
    // The sends stay counted: they were sent.
    EXPECT_EQ(history_.Sends(), 4);
}

TEST_F(RecipientHistoryTest, AnotherProgramsDatabaseIsRefusedUntouched) {
    const std::string path = folder_.File("other.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE mine(x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    RecipientHistory other(path);
    try {
        other.Sends();
        FAIL() << "opened";
    } catch (const RuntimeError& e) {
        EXPECT_THAT(e.Description(), ::testing::HasSubstr("is not a valid recipient history"));
    }
}

TEST_F(RecipientHistoryTest, ASecondConnectionSeesWhatTheFirstRecorded) {
    Record({"a@x.example"});
    history_.Close();
    RecipientHistory again(folder_.File("history.db"));
    EXPECT_EQ(again.Sends(), 1);
    EXPECT_TRUE(again.Knows("a@x.example"));
    EXPECT_EQ(testing::ModeOf(folder_.File("history.db")), 0600);
}

// What the checks ask through the platform: each answer in the order asked,
// and an empty history where none is kept.
TEST_F(RecipientHistoryTest, ThePlatformAnswersFromTheFileItIsToldOf) {
    Record({"ann@partner.example", "bob@corp.example"});
    Record({"ann@partner.example"});
    history_.Close();
    LinuxPlatform platform({"", "", ""}, std::make_unique<NoWindowSystem>());
    const std::vector<std::string> addresses = {"new@partner.example", "Ann@Partner.Example",
                                                "bob@corp.example", "bob"};
    const std::vector<std::string> domains = {"partner.example", "other.example", "CORP.example"};
    EXPECT_EQ(platform.RecordedSends(), 0);
    EXPECT_EQ(platform.KnownRecipients(addresses), std::vector<bool>(4, false));
    EXPECT_EQ(platform.KnownDomains(domains), std::vector<bool>(3, false));
    EXPECT_THAT(platform.FamiliarDomainsLike("partnre.example"), ElementsAre());

    platform.KeepHistoryIn(folder_.File("history.db"));
    EXPECT_EQ(platform.RecordedSends(), 2);
    EXPECT_EQ(platform.KnownRecipients(addresses), (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(platform.KnownDomains(domains), (std::vector<bool>{true, false, true}));
    // corp.example was written to once: not familiar.
    EXPECT_THAT(platform.FamiliarDomainsLike("partnre.example"), ElementsAre("partner.example"));
    EXPECT_THAT(platform.FamiliarDomainsLike("c0rp.example"), ElementsAre());
}

}  // namespace
}  // namespace postwarden
