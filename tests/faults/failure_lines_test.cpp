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
struct Send {
    Send() {
        std::shared_ptr<Engine> e = engine;
        module.YSStartup(e);
        ThreadGlobals() = Globals{};
        auto message = std::make_shared<fakes::FakeMessageData>();
        message->subject = "Plans";
        message->body = "See you";
        message->recipients = {{"Jane", "jane@corp.example", true, "", std::nullopt},
                               {"Staff", "staff@corp.example", true, "", 12}};
        platform.store.byEntryId[item->entryId] = message;
        item->subject = message->subject;
    }
    Lines_ Events() const {
        Lines_ out;
        for (const fakes::LogLine& line : platform.log) {
            if (line.kind == "event") {
                out.push_back(std::to_string(line.level) + "|" + line.source + "|" + line.message);
            }
        }
        return out;
    }

    fakes::FakePlatform platform;
    std::shared_ptr<fakes::FakeEngine> engine = platform.NewEngine();
    std::shared_ptr<fakes::FakeItem> item = std::make_shared<fakes::FakeItem>(platform);
    CPostwarden module{platform};
};

TEST(SendDriverFailureTest, ReportsEveryStageItCanFailAt) {
    using fakes::FakePlatform;
    struct Case {
        int stage;
        std::vector<std::pair<const char*, const char*>> settings;
        std::function<void(FakePlatform&)> fail;
    } cases[] = {
        // A rule reports its own failures; only a report that fails too reaches the driver.
        {12,
         {{keys::kPromptForOutsideDomainsWanted, "1"},
          {keys::kListOfOutsideDomains, "corp.example"}},
         [](FakePlatform& p) {
             p.FailOn("SetText");
             p.FailNthCallOf("LogEvent", 1);
         }},
        {14,
         {{keys::kPromptForEmailAddressesDomainsWanted, "1"},
          {keys::kListOfEmailAddressesDomains, "rival.example"}},
         [](FakePlatform& p) {
             p.FailOn("SetText");
             p.FailNthCallOf("LogEvent", 1);
         }},
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
        {24,
         {{keys::kPromptForAnySendWanted, "1"}},
         [](FakePlatform& p) {
             p.FailOn("Application.Explorers");
             p.FailNthCallOf("LogEvent", 1);
         }},
    };
    for (const Case& c : cases) {
        Send send;
        for (const auto& [key, value] : c.settings) send.platform.SetSetting(key, value);
        c.fail(send.platform);
        EXPECT_TRUE(ValidationAccess(send.module).ProcessItem(send.item)) << c.stage;
        EXPECT_EQ(send.Events(), Lines_{"1|Postwarden.ProcessItem|Error occurred at line " +
                                        std::to_string(c.stage) + ".  Reason: Injected failure"})
            << c.stage;
    }
}

TEST(RuleFailureTest, BlankSubjectRuleReportsItsFailureAndLetsTheSendGo) {
    Send send;
    send.platform.FailOn("GetSetting", RuntimeError(errors::kDeviceIO, "Store unreadable"));
    EXPECT_TRUE(ValidationAccess(send.module).CheckBlankSubject(true, "   "));
    EXPECT_EQ(send.Events(),
              Lines_{"1|Postwarden.CheckBlankSubject|Error occurred.  Reason: Store unreadable"});
    EXPECT_FALSE(ThreadGlobals().BlankSubjectViolated);
}

TEST(EditorProbeFailureTest, AFailingCloseReportsStepTwentyAndKeepsTheAnswer) {
    for (const char* version : {"9.0.0.2711", "16.0.0.0"}) {
        Send send;
        const std::string major = version[0] == '9' ? "9" : "16";
        send.platform.registry["Software\\Microsoft\\Office\\" + major +
                               ".0\\Outlook\\Options\\Mail"]["EditorPreference"] = "1";
        send.platform.FailOn("CloseKey");
        EXPECT_TRUE(ValidationAccess(send.module).UsingWordAsEditor(version)) << version;
        EXPECT_EQ(send.Events(), Lines_{"0|UsingWordAsEditor|Error occurred.  Failed to fetch "
                                        "mail format.  LastLineNumber: 20; Reason: Injected "
                                        "failure"})
            << version;
    }
}

}  // namespace
}  // namespace postwarden
