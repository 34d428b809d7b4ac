#include <gtest/gtest.h>

#include <functional>

#include "settings/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

class MessageRulesTest : public ValidationTest {};

// A rule that fires with separate prompts asks its stored question, or its own
// when none is stored; a No stops the send. The rules that look at each
// recipient or text ask once per send, and stop looking once they have asked.
TEST_F(MessageRulesTest, EachRuleAsksItsQuestionAndANoStopsTheSend) {
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.SetSetting(keys::kListOfEmailAddressesDomains, "rival.example");
    platform.SetSetting(keys::kListOfKeywords, "secret");
    const struct {
        const char* question;  // the key of the stored question
        std::function<bool()> check;
        bool Globals::*flag;
        const char* fallback;
        bool oncePerSend;
    } rules[] = {
        {keys::kMessageForOutsideDomains,
         [&] { return v.CheckOutsideDomains(true, "spy@rival.example"); },
         &Globals::OutsideDomainsViolated,
         "Are you sure you want to send this email outside the company?", true},
        {keys::kMessageForEmailAddressesDomains,
         [&] { return v.CheckEmailAddressesDomains(true, "spy@rival.example"); },
         &Globals::EmailAddressesDomainsViolated,
         "Are you sure you want to send an email to these addresses?", true},
        {keys::kMessageForKeywords, [&] { return v.CheckKeywords(true, "Secret plan"); },
         &Globals::KeywordsViolated,
         "Are you sure you want to send this email with these keywords?", true},
        {keys::kMessageForNumberOfRecipients, [&] { return v.CheckNumberOfRecipients(true, 21); },
         &Globals::NumberOfRecipientsViolated,
         "Are you sure you want to send this email to all these people?", false},
        {keys::kMessageForBlankSubject, [&] { return v.CheckBlankSubject(true, " "); },
         &Globals::BlankSubjectViolated,
         "Are you sure you want to send this email with a blank subject?", false},
        {keys::kMessageForAnySend, [&] { return v.CheckAnySend(true); }, &Globals::AnySendViolated,
         "Are you sure you want to send this email?", false},
    };
    for (const auto& r : rules) {
        for (const bool stored : {false, true}) {
            SCOPED_TRACE(std::string(r.question) + (stored ? " stored" : " fallback"));
            if (stored) platform.SetSetting(r.question, "Stored?");
            Answers({kNo});
            ThreadGlobals() = Globals{};
            v.ClearPrompted();
            EXPECT_FALSE(r.check());
            EXPECT_TRUE(ThreadGlobals().*r.flag);
            const size_t logged = platform.log.size();
            EXPECT_EQ(r.check(), r.oncePerSend);
            if (r.oncePerSend) {
                EXPECT_EQ(platform.log.size(), logged);
            }
            ASSERT_EQ(Shown().size(), r.oncePerSend ? 1u : 2u);
            EXPECT_EQ(Shown()[0].form, "frmSimpleYesNoPrompt");
            EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption,
                      stored ? "Stored?" : r.fallback);
        }
    }
    EXPECT_TRUE(Events().empty());
}

TEST_F(MessageRulesTest, RecipientCountFiresAboveTheLimitOnly) {
    struct Case {
        const char* stored;  // nullptr: the setting is missing
        int32_t count;
        bool fires;
    } cases[] = {
        {nullptr, 20, false}, {nullptr, 21, true}, {"0", 0, false}, {"0", 1, true},
        {" 5 ", 5, false},    {"5", 6, true},      {"-1", 0, true},
    };
    for (const Case& c : cases) {
        if (c.stored) {
            platform.SetSetting(keys::kMaxNumberOfRecipients, c.stored);
        } else {
            platform.RemoveSetting(keys::kMaxNumberOfRecipients);
        }
        ThreadGlobals() = Globals{};
        EXPECT_TRUE(v.CheckNumberOfRecipients(false, c.count));
        EXPECT_EQ(ThreadGlobals().NumberOfRecipientsViolated, c.fires)
            << (c.stored ? c.stored : "missing") << " vs " << c.count;
    }
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(Lines().back(),
              "CheckNumberOfRecipients|Comparing recipient counts (user vs email): -1 vs 0");
}

TEST_F(MessageRulesTest, NonNumericLimitIsAFailureThatLetsTheSendGo) {
    for (const char* stored : {"twenty", ""}) {
        platform.log.clear();
        platform.SetSetting(keys::kMaxNumberOfRecipients, stored);
        EXPECT_TRUE(v.CheckNumberOfRecipients(true, 100));
        EXPECT_EQ(
            Events(),
            Lines_{"1|Postwarden.CheckNumberOfRecipients|Error occurred.  Reason: Type mismatch"});
        EXPECT_FALSE(ThreadGlobals().NumberOfRecipientsViolated);
    }
}

TEST_F(MessageRulesTest, OnlySpacesMakeASubjectBlank) {
    struct Case {
        std::string subject;
        bool blank;
    } cases[] = {{"", true}, {"   ", true}, {"\t", false}, {" a ", false}, {"\xC2\xA0", false}};
    for (const Case& c : cases) {
        ThreadGlobals() = Globals{};
        EXPECT_TRUE(v.CheckBlankSubject(false, c.subject));
        EXPECT_EQ(ThreadGlobals().BlankSubjectViolated, c.blank) << "'" << c.subject << "'";
    }
    EXPECT_TRUE(platform.log.empty());
}

// A manual-modal wait (no explorers) shows the window modeless; with explorers
// open the editor decides, and Word's waits modeless too.
TEST_F(MessageRulesTest, AnySendTracesUnderTheDriversNameAndWaitsAsExplorersAndEditorSay) {
    Answers({kNo, kYes});
    engine->application->explorers = 0;
    EXPECT_FALSE(v.CheckAnySend(true));
    EXPECT_EQ(Lines(), (Lines_{"ProcessItem|UsingWordAsEmailEditor: False",
                               "ProcessItem|NoExplorersPresent: -1"}));
    engine->application->explorers = 2;
    platform.log.clear();
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Lines(), (Lines_{"ProcessItem|UsingWordAsEmailEditor: False",
                               "ProcessItem|NoExplorersPresent: 0"}));
    v.SetUsingWordAsEmailEditor(true);
    platform.log.clear();
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Lines().front(), "ProcessItem|UsingWordAsEmailEditor: True");
    ASSERT_EQ(Shown().size(), 3u);
    EXPECT_FALSE(Shown()[0].modal);
    EXPECT_TRUE(Shown()[1].modal);
    EXPECT_FALSE(Shown()[2].modal);
}

TEST_F(MessageRulesTest, AnySendFailureLeavesItsFlagUnset) {
    Answers({kYes});
    platform.FailOn("Application.Explorers");
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Events(),
              Lines_{"1|Postwarden.CheckAnySend|Error occurred.  Reason: Injected failure"});
    EXPECT_FALSE(ThreadGlobals().AnySendViolated);
}

}  // namespace
}  // namespace postwarden
