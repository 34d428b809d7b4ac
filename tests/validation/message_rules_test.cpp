#include <gtest/gtest.h>

#include "settings/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

using Lines_ = std::vector<std::string>;

class MessageRulesTest : public ValidationTest {};

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
}

TEST_F(MessageRulesTest, RecipientCountTracesBothNumbers) {
    EXPECT_TRUE(v.CheckNumberOfRecipients(false, 21));
    EXPECT_EQ(
        Lines(),
        Lines_{"CheckNumberOfRecipients|Comparing recipient counts (user vs email): 20 vs 21"});
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

TEST_F(MessageRulesTest, RecipientCountAsksWithItsQuestion) {
    Answers({kNo});
    platform.SetSetting(keys::kMessageForNumberOfRecipients, "So many?");
    EXPECT_FALSE(v.CheckNumberOfRecipients(true, 21));
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption, "So many?");
    EXPECT_TRUE(ThreadGlobals().NumberOfRecipientsViolated);
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

TEST_F(MessageRulesTest, BlankSubjectAsksWithItsFallbackQuestion) {
    Answers({kYes});
    EXPECT_TRUE(v.CheckBlankSubject(true, " "));
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_EQ(Shown()[0].Control("lblConfirmationMessage").caption,
              "Are you sure you want to send this email with a blank subject?");
    EXPECT_TRUE(ThreadGlobals().BlankSubjectViolated);
}

TEST_F(MessageRulesTest, AnySendWithoutSeparatePromptsOnlyRaisesItsFlag) {
    EXPECT_TRUE(v.CheckAnySend(false));
    EXPECT_TRUE(ThreadGlobals().AnySendViolated);
    EXPECT_TRUE(platform.log.empty());
    EXPECT_EQ(platform.CallsOf("GetSetting"), 0);
    EXPECT_EQ(platform.CallsOf("Application.Explorers"), 0);
}

TEST_F(MessageRulesTest, AnySendTracesUnderTheDriversNameAndWaitsManuallyWithoutExplorers) {
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
    ASSERT_EQ(Shown().size(), 2u);
    // A manual-modal wait shows the window modeless.
    EXPECT_FALSE(Shown()[0].modal);
    EXPECT_TRUE(Shown()[1].modal);
    EXPECT_EQ(Shown()[1].Control("lblConfirmationMessage").caption,
              "Are you sure you want to send this email?");
}

TEST_F(MessageRulesTest, AnySendFollowsTheEditorWhenExplorersAreOpen) {
    Answers({kYes});
    v.SetUsingWordAsEmailEditor(true);
    EXPECT_TRUE(v.CheckAnySend(true));
    EXPECT_EQ(Lines().front(), "ProcessItem|UsingWordAsEmailEditor: True");
    ASSERT_EQ(Shown().size(), 1u);
    EXPECT_FALSE(Shown()[0].modal);
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
