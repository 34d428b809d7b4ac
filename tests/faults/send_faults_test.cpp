// A whole life of the module on the fakes (start-up, an explorer window, one
// send, shut-down), run once for every outside call it makes with exactly that
// call failing. Whatever fails, the send event must come back without an
// exception and cancel the send exactly when a prompt was answered No.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "module/SettingKeys.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FakeWindowSystem.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

using fakes::FakePlatform;
using Answer = ScriptedWindowSystem::Answer;

enum class Source { kStored, kNetworkFile, kExchange };

struct Scenario {
    const char* name;
    Source source;
    bool separatePrompts;
    Answer answer;
    // "9.0..." logs on and reads no Word setting; later versions attach and take
    // Word as the editor (the forms then wait modeless).
    const char* clientVersion = "16.0.0.0";
    // The entry identifier leads nowhere and the message is found in the drafts.
    bool onlyInDrafts = false;
};

constexpr const char* kFilePath = "/srv/postwarden/settings.xml";
constexpr const char* kFolderPath = "\\\\Public Folders\\All Public Folders\\Post Warden";

// The settings an administrator would publish: every rule on, with lists.
const std::pair<const char*, const char*> kSettings[] = {
    {keys::kPromptForOutsideDomainsWanted, "1"},
    {keys::kListOfOutsideDomains, "corp.example\r\n*.corp.example"},
    {keys::kMessageForOutsideDomains, "Leaving the company?"},
    {keys::kPromptForEmailAddressesDomainsWanted, "1"},
    {keys::kListOfEmailAddressesDomains, "rival.example\r\nceo@corp.example"},
    {keys::kMessageForEmailAddressesDomains, "Watched addresses?"},
    {keys::kPromptForKeywordsWanted, "1"},
    {keys::kListOfKeywords, "salary\r\nconfidential"},
    {keys::kMessageForKeywords, "Keywords?"},
    {keys::kPromptForNumberOfRecipientsWanted, "1"},
    {keys::kMaxNumberOfRecipients, "3"},
    {keys::kSeparateDLsWanted, "1"},
    {keys::kMessageForNumberOfRecipients, "So many people?"},
    {keys::kPromptForBlankSubjectWanted, "1"},
    {keys::kMessageForBlankSubject, "No subject?"},
    {keys::kPromptForAnySendWanted, "1"},
    {keys::kPromptForManyOrganisationsWanted, "1"},
    {keys::kMaxNumberOfOrganisations, "0"},
    {keys::kMessageForManyOrganisations, "Many organisations?"},
    {keys::kPromptForMissingAttachmentWanted, "1"},
    {keys::kListOfAttachmentWords, "attached\r\nenclosed"},
    {keys::kMessageForMissingAttachment, "Forgot the attachment?"},
    {keys::kPromptForNewRecipientsWanted, "1"},
    {keys::kMessageForNewRecipients, "Never written to?"},
    {keys::kPromptForLookAlikeDomainsWanted, "1"},
    {keys::kMessageForLookAlikeDomains, "A look-alike domain?"},
};

std::string SettingsDocument() {
    std::string doc = "<PostWardenSettings>\n";
    for (const auto& [key, text] : kSettings) {
        // The one element not named as its key.
        const std::string tag =
            std::string_view(key) == keys::kMaxNumberOfRecipients ? "NumberOfRecipients" : key;
        std::string value = text;
        if (tag.starts_with("ListOf")) {
            for (size_t at; (at = value.find("\r\n")) != std::string::npos;) {
                value.replace(at, 2, "</item><item>");
            }
            value = "<item>" + value + "</item>";
        }
        doc += "  <" + tag + ">" + value + "</" + tag + ">\n";
    }
    return doc + "</PostWardenSettings>\n";
}

// One module's life on a fresh platform. Setting up the fakes makes no outside
// call, so call N of a run is call N of every run of the same scenario.
struct ModuleLife {
    explicit ModuleLife(const Scenario& s) : scenario(s) {
        auto fake = std::make_unique<fakes::FakeWindowSystem>(platform);
        windows = fake.get();
        platform.windows = std::move(fake);
        // The person answers as the scenario says; a window still up after
        // that (a Yes that could not be pressed) is closed, which is a No too.
        windows->person = [this](fakes::FakeWindow& window) {
            if (scenario.answer == Answer::kYes) window.TickAllAndPressYes();
            if (scenario.answer == Answer::kNo) refused = window.Press("cmdNo") || refused;
            if (window.ModelWindow::Loaded()) {
                refused = true;
                window.RequestClose();
            }
        };
        engine->application->version = s.clientVersion;

        platform.SetSetting(keys::kPromptForOutsideDomainsWanted, "0");  // initialised
        platform.SetSetting(keys::kSeparatePromptsWanted, s.separatePrompts ? "1" : "0");
        switch (s.source) {
            case Source::kStored:
                for (const auto& [key, value] : kSettings) platform.SetSetting(key, value);
                break;
            case Source::kNetworkFile:
                platform.SetSetting(keys::kFetchSettingsNetworkLocation, kFilePath);
                platform.files[kFilePath] = SettingsDocument();
                break;
            case Source::kExchange: {
                platform.SetSetting(keys::kFetchSettingsExchangePublicFolder, kFolderPath);
                auto settingsItem = std::make_shared<fakes::FakeMessageData>();
                settingsItem->subject = "Post Warden Settings";
                settingsItem->properties = {{"Body", SettingsDocument()}, {"BodyFormat", "1"}};
                platform.store.folders[kFolderPath] = {settingsItem};
                break;
            }
        }

        // A message that breaks every rule: outside and watch-listed recipients
        // (an organisation over none), a distribution list that takes it over
        // the limit, a keyword in the body, an attachment mentioned and missing,
        // recipients never written to in a history of 20 sends, one at a domain
        // that looks like the company's.
        auto message = std::make_shared<fakes::FakeMessageData>();
        message->subject = " ";
        message->bodyFormat = kFormatHTML;
        message->htmlBody = "<p>The salary review, attached</p>";
        message->properties = {{"Body", "The salary review, attached"}};
        message->recipients = {
            {"Jane", "jane@corp.example", true, "", std::nullopt},
            {"Bob", "bob@rival.example", true, "", std::nullopt},
            {"All staff", "all@corp.example", true, "", 12},
            {"Undisclosed", "undisclosed-recipients", false, "", std::nullopt},
            {"Typo", "ann@c0rp.example", true, "", std::nullopt},
        };
        for (int i = 0; i < 20; ++i) platform.RememberSend({"jane@corp.example"});
        item->subject = message->subject;
        if (s.onlyInDrafts) {
            platform.store.drafts = {message};
        } else {
            platform.store.byEntryId[item->entryId] = message;
        }
    }

    // Returns the send event's Cancel; fails the test when the event throws.
    bool Go(int64_t failAt) {
        if (failAt > 0) platform.FailAtCall(failAt);
        std::shared_ptr<Engine> e = engine;
        module.YSStartup(e);
        try {
            module.YSExplorerOpen(nullptr);
        } catch (const RuntimeError&) {
            // The host's to log; the send comes all the same.
            explorerFailed = true;
        }
        int32_t selector = kSelectorItemSend;
        std::shared_ptr<OutlookItem> sent = item;
        bool cancel = false;
        std::string folderEntryId, folderStoreId;
        try {
            module.YSItemEvent(selector, sent, cancel, folderEntryId, folderStoreId);
        } catch (const std::exception& e) {
            ADD_FAILURE() << scenario.name << ", call " << failAt << " failing: YSItemEvent threw "
                          << e.what();
        }
        module.YSShutdown();
        return cancel;
    }

    // Whether the failure of call `n` reached the log or a message box, or
    // went back to the host from the explorer event.
    bool Reported(int64_t n) const {
        const std::string mark = "call " + std::to_string(n) + " (";
        for (const fakes::LogLine& line : platform.log) {
            if (line.message.find(mark) != std::string::npos) return true;
        }
        for (const auto& box : windows->messages) {
            if (box.text.find(mark) != std::string::npos) return true;
        }
        return explorerFailed;
    }

    const Scenario& scenario;
    FakePlatform platform;
    fakes::FakeWindowSystem* windows = nullptr;
    bool refused = false;  // a No reached a form, by its button or the close box
    std::shared_ptr<fakes::FakeEngine> engine = platform.NewEngine();
    std::shared_ptr<fakes::FakeItem> item = std::make_shared<fakes::FakeItem>(platform);
    CPostwarden module{platform};
    bool explorerFailed = false;
};

// Failures that leave no trace by design: a lookup that only means "not found
// this way" (the drafts are searched next), the shut-down line, and a form
// checking whether its answered window is gone (it looks again next time).
bool QuietFailure(const ModuleLife& run, const std::string& op) {
    if (op == "GetMessageFromID" || op == "Item.Subject" || op == "Window.Loaded") return true;
    return (op == "NewEngineLogger" || op == "WriteLog") &&
           !run.platform.Logged("Postwarden is stopping");
}

class SendFaultsTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(SendFaultsTest, EveryFailingCallLetsTheSendGoUnlessAPromptWasAnsweredNo) {
    const Scenario& s = GetParam();

    // The clean run: how many outside calls it makes, and that the scenario
    // really asks and answers as meant.
    int64_t calls = 0;
    {
        ModuleLife clean(s);
        const bool cancel = clean.Go(0);
        calls = clean.platform.Calls();
        EXPECT_FALSE(clean.explorerFailed);
        EXPECT_EQ(cancel, s.answer == Answer::kNo);
        EXPECT_EQ(clean.refused, s.answer == Answer::kNo);
        ASSERT_FALSE(clean.windows->shown.empty());
        // Every rule fired: every question, or every box of the one form.
        if (s.separatePrompts && s.answer == Answer::kYes) {
            EXPECT_EQ(clean.windows->shown.size(), kRuleCount);
        }
        if (!s.separatePrompts) {
            for (const ShownControl& c : clean.windows->shown[0].controls) {
                if (c.kind == ControlKind::kCheckBox) {
                    EXPECT_TRUE(c.enabled) << c.name;
                }
            }
        }
        ASSERT_GT(calls, 100) << "the send should have gone through every rule";
    }

    for (int64_t n = 1; n <= calls; ++n) {
        ModuleLife run(s);
        const bool cancel = run.Go(n);
        ASSERT_GE(run.platform.Calls(), n) << "call " << n << " was never made";
        const std::string& op = run.platform.FailedAtCall();
        EXPECT_EQ(cancel, run.refused)
            << s.name << ": " << op << " (call " << n << ") failing "
            << (cancel ? "cancelled the send" : "sent a message the person refused");
        EXPECT_TRUE(run.Reported(n) || QuietFailure(run, op))
            << s.name << ": " << op << " (call " << n << ") failed without a trace";
    }
}

INSTANTIATE_TEST_SUITE_P(
    WholeSends, SendFaultsTest,
    ::testing::Values(Scenario{"StoredSeparateYes", Source::kStored, true, Answer::kYes},
                      Scenario{"StoredSeparateNo", Source::kStored, true, Answer::kNo},
                      Scenario{"StoredOneFormYes", Source::kStored, false, Answer::kYes},
                      Scenario{"StoredOneFormNo", Source::kStored, false, Answer::kNo},
                      Scenario{"FileSeparateYes", Source::kNetworkFile, true, Answer::kYes},
                      Scenario{"FileOneFormNo", Source::kNetworkFile, false, Answer::kNo},
                      Scenario{"ExchangeSeparateNo", Source::kExchange, true, Answer::kNo},
                      Scenario{"ExchangeOneFormYes", Source::kExchange, false, Answer::kYes},
                      Scenario{"OldClientDraftsSeparateYes", Source::kStored, true, Answer::kYes,
                               "9.0.0.3821", true},
                      Scenario{"OldClientDraftsOneFormNo", Source::kStored, false, Answer::kNo,
                               "9.0.0.3821", true}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Failure reports that no other test area produces: the send driver's stages
// that only a failing rule handler or a late call can reach, the blank-subject
// rule's handler, and the editor probe failing as it closes the key.
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
     FailingWithItsReport("MatchesEntry")},
    {14,
     {{keys::kPromptForEmailAddressesDomainsWanted, "1"},
      {keys::kListOfEmailAddressesDomains, "rival.example"}},
     FailingWithItsReport("MatchesEntry")},
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
