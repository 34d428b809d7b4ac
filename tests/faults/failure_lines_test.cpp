// Failure reports that no other test area produces: the send driver's stages
// that only a failing rule handler or a late call can reach, the blank-subject
// rule's handler, and the editor probe failing as it closes the key.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "settings/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

using Lines_ = std::vector<std::string>;

// A started module, a message to two recipients (one a distribution list), and
// every rule off until a case switches it on.
struct StageCase {
    int stage;
    std::vector<std::pair<const char*, const char*>> settings;
    std::function<void(fakes::FakePlatform&)> fail;
};

class SendDriverStageTest : public ValidationTest, public ::testing::WithParamInterface<StageCase> {
  protected:
    void SetUp() override {
        ValidationTest::SetUp();
        auto message = std::make_shared<fakes::FakeMessageData>();
        message->subject = "Plans";
        message->body = "See you";
        message->recipients = {{"Jane", "jane@corp.example", true, "", std::nullopt},
                               {"Staff", "staff@corp.example", true, "", 12}};
        platform.store.byEntryId[item->entryId] = message;
        item->subject = message->subject;
    }

    std::shared_ptr<fakes::FakeItem> item = std::make_shared<fakes::FakeItem>(platform);
};

TEST_P(SendDriverStageTest, ReportsTheStageItFailedAt) {
    const StageCase& c = GetParam();
    for (const auto& [key, value] : c.settings) platform.SetSetting(key, value);
    c.fail(platform);
    EXPECT_TRUE(v.ProcessItem(item));
    EXPECT_EQ(Events(), Lines_{"1|Postwarden.ProcessItem|Error occurred at line " +
                               std::to_string(c.stage) + ".  Reason: Injected failure"});
}

using fakes::FakePlatform;
// A rule reports its own failures; only a report that fails too reaches the driver.
std::function<void(FakePlatform&)> FailingWithItsReport(const char* operation) {
    return [operation](FakePlatform& p) {
        p.FailOn(operation);
        p.FailNthCallOf("LogEvent", 1);
    };
}

const StageCase kStages[] = {
    {12,
     {{keys::kPromptForOutsideDomainsWanted, "1"}, {keys::kListOfOutsideDomains, "corp.example"}},
     FailingWithItsReport("SetText")},
    {14,
     {{keys::kPromptForEmailAddressesDomainsWanted, "1"},
      {keys::kListOfEmailAddressesDomains, "rival.example"}},
     FailingWithItsReport("SetText")},
    {16,
     {{keys::kPromptForNumberOfRecipientsWanted, "1"}, {keys::kSeparateDLsWanted, "1"}},
     [](FakePlatform& p) { p.FailOn("AddressEntry.Members"); }},
    // The count is read a second time for the count rule.
    {20,
     {{keys::kPromptForNumberOfRecipientsWanted, "1"}},
     [](FakePlatform& p) { p.FailNthCallOf("Recipients.Count", 2); }},
    {22,
     {{keys::kPromptForBlankSubjectWanted, "1"}},
     [](FakePlatform& p) { p.FailOn("Message.Subject"); }},
    {24, {{keys::kPromptForAnySendWanted, "1"}}, FailingWithItsReport("Application.Explorers")},
};

INSTANTIATE_TEST_SUITE_P(LaterStages, SendDriverStageTest, ::testing::ValuesIn(kStages),
                         [](const ::testing::TestParamInfo<StageCase>& info) {
                             return "Stage" + std::to_string(info.param.stage);
                         });

// A failure after the person's No is reported, and the No stands: the
// outside-domains rule asks about Jane, and the trace line after its answer
// ("Keywords (start) ...") fails. After the one form's No the stage is 24,
// whose report the table above checks; that the No stands there too, the
// whole-send fault runs check.
TEST_F(SendDriverStageTest, AFailureAfterANoKeepsTheSendCancelled) {
    platform.SetSetting(keys::kSeparatePromptsWanted, "1");
    platform.SetSetting(keys::kPromptForOutsideDomainsWanted, "1");
    platform.SetSetting(keys::kListOfOutsideDomains, "elsewhere.example");
    platform.SetSetting(keys::kPromptForAnySendWanted, "0");
    Answers({kNo});
    platform.FailNthCallOf("WriteLog", 6);
    EXPECT_FALSE(v.ProcessItem(item));
    EXPECT_EQ(Events(), Lines_{"1|Postwarden.ProcessItem|Error occurred at line 18.  Reason: "
                               "Injected failure"});
}

class FailureLinesTest : public ValidationTest {};

TEST_F(FailureLinesTest, BlankSubjectRuleReportsItsFailureAndLetsTheSendGo) {
    platform.FailOn("GetSetting", RuntimeError(errors::kDeviceIO, "Store unreadable"));
    EXPECT_TRUE(v.CheckBlankSubject(true, "   "));
    EXPECT_EQ(Events(),
              Lines_{"1|Postwarden.CheckBlankSubject|Error occurred.  Reason: Store unreadable"});
    EXPECT_FALSE(ThreadGlobals().BlankSubjectViolated);
}

TEST_F(FailureLinesTest, AFailingCloseOfTheEditorKeyReportsStepTwentyAndKeepsTheAnswer) {
    for (const char* major : {"9", "16"}) {
        platform.log.clear();
        platform.registry[std::string("Software\\Microsoft\\Office\\") + major +
                          ".0\\Outlook\\Options\\Mail"]["EditorPreference"] = "1";
        platform.FailOn("CloseKey");
        EXPECT_TRUE(v.UsingWordAsEditor(std::string(major) + ".0.0.0")) << major;
        EXPECT_EQ(Events(), Lines_{"0|UsingWordAsEditor|Error occurred.  Failed to fetch mail "
                                   "format.  LastLineNumber: 20; Reason: Injected failure"})
            << major;
    }
}

}  // namespace
}  // namespace postwarden
