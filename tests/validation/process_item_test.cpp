#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>

#include "module/MapiSession.h"
#include "module/SettingKeys.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

// The summary lines for separate prompts and every rule's flag, in rule order.
Lines_ Summary(bool separate, const std::array<bool, kRuleCount>& flags) {
    Lines_ out = {std::string("ProcessItem|Separate prompts wanted: ") +
                  (separate ? "True" : "False")};
    const char* names[] = {"Outside Domains",          "Email Addresses Domains", "Keywords",
                           "Max Number Of Recipients", "Blank Subject",           "Any Send",
                           "Many Organisations",       "Missing Attachment",      "New Recipients",
                           "Look-Alike Domains"};
    static_assert(std::size(names) == kRuleCount);
    for (size_t i = 0; i < kRuleCount; ++i) {
        out.push_back(std::string("ProcessItem|Violated ") + names[i] +
                      " Rule: " + (flags[i] ? "True" : "False"));
    }
    return out;
}

const char* const kSwitches[] = {
    keys::kPromptForOutsideDomainsWanted, keys::kPromptForEmailAddressesDomainsWanted,
    keys::kPromptForKeywordsWanted,       keys::kPromptForNumberOfRecipientsWanted,
    keys::kPromptForBlankSubjectWanted,   keys::kPromptForAnySendWanted};

Lines_ Concat(std::initializer_list<Lines_> parts) {
    Lines_ out;
    for (const Lines_& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class ProcessItemTest : public ValidationTest {
  protected:
    void SetUp() override {
        ValidationTest::SetUp();
        message->subject = "Plans";
        message->body = "See you";
        platform.store.byEntryId[item->entryId] = message;
        item->subject = "Plans";
    }
    void AddRecipient(const std::string& name, const std::string& address,
                      std::optional<int32_t> members = std::nullopt) {
        message->recipients.push_back({name, address, true, "", members});
    }
    // One send, whose result must say what its trace and reports say.
    bool Send() {
        const size_t from = platform.log.size(), results = platform.results.size();
        const bool answer = v.ProcessItem(item);
        EXPECT_EQ(platform.results.size(), results + 1) << "one result per send";
        if (platform.results.size() > results) ExpectResultAsLogged(from);
        return answer;
    }
    // The send's result, against what the log lines since `from` say: the
    // driver's count, recipient, violation and evidence lines, and the
    // reports of the driver's and the rules' failures.
    void ExpectResultAsLogged(size_t from) const {
        const SendResult& result = platform.results.back();
        SendResult logged;
        for (size_t i = from; i < platform.log.size(); ++i) {
            const std::string& text = platform.log[i].message;
            const std::string& source = platform.log[i].source;
            std::smatch m;
            if (platform.log[i].kind == "event") {
                for (const Rule& rule : kRules) {
                    if (source.starts_with("Postwarden.Check") &&
                        std::string_view(rule.switchKey).find(source.substr(16, 10)) !=
                            std::string_view::npos &&
                        std::find(logged.failedRules.begin(), logged.failedRules.end(),
                                  rule.name) == logged.failedRules.end()) {
                        logged.failedRules.emplace_back(rule.name);
                    }
                }
                if (logged.failure.empty() &&
                    (source == "Postwarden.ProcessItem" || source.starts_with("Postwarden.Check") ||
                     (source.empty() && text.starts_with("Error occurred.")))) {
                    logged.failure = source + ": " + text;
                }
            } else if (source != "ProcessItem") {
            } else if (std::regex_match(text, m, std::regex("Starting recipients count: (.*)"))) {
                logged.recipients = std::stoi(m[1]);
            } else if (std::regex_match(text, m, std::regex("Recipient #[0-9]+: .* \\[(.*)\\]"))) {
                logged.addresses.push_back(m[1]);
            } else if (std::regex_match(text, m, std::regex("Violated (.*) Rule: True"))) {
                logged.fired.push_back(m[1]);
            } else if (std::regex_match(text, m, std::regex("Evidence of (.*?) Rule: (.*)"))) {
                logged.evidence.push_back({m[1], m[2]});
            }
        }
        EXPECT_EQ(result.recipients, logged.recipients);
        EXPECT_EQ(result.addresses, logged.addresses);
        EXPECT_EQ(result.fired, logged.fired);
        ASSERT_EQ(result.evidence.size(), logged.evidence.size());
        for (size_t i = 0; i < result.evidence.size(); ++i) {
            EXPECT_EQ(result.evidence[i].rule, logged.evidence[i].rule);
            EXPECT_EQ(result.evidence[i].text, logged.evidence[i].text);
        }
        EXPECT_EQ(result.failedRules, logged.failedRules);
        EXPECT_EQ(result.failure, logged.failure);
    }
    Lines_ Trace() const { return Lines("trace"); }

    std::shared_ptr<fakes::FakeItem> item = std::make_shared<fakes::FakeItem>(platform);
    std::shared_ptr<fakes::FakeMessageData> message = std::make_shared<fakes::FakeMessageData>();
};

TEST_F(ProcessItemTest, AllSwitchesOffRunsNoRuleButTracesTheSend) {
    // A recipient's address is its address entry's.
    message->recipients.push_back(
        {"Jane Doe", "jane-own@corp.example", true, "jane@corp.example", {}});
    AddRecipient("Bob", "bob@elsewhere.example");
    // Every rule's switch, the look-alike rule's too, which is on unless set.
    for (const Rule& rule : kRules) platform.SetSetting(rule.switchKey, "0");
    EXPECT_TRUE(Send());
    EXPECT_EQ(Trace(), Concat({{
                                   "ProcessItem|Starting recipients count: 2",
                                   "ProcessItem|Recipient #1: Jane Doe [jane@corp.example]",
                                   "ProcessItem|Recipient #2: Bob [bob@elsewhere.example]",
                                   "ProcessItem|Keywords (start) passed: True",
                                   "ProcessItem|Prompt for Keywords Wanted: 0",
                                   "ProcessItem|Keywords (subject) passed: True",
                               },
                               Summary(true, {})}));
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(item->saves, 1);
    // The settings are read in their order, the separate-lists switch only with the count rule.
    EXPECT_EQ(platform.CallsOf("GetSetting"), 11);
}

TEST_F(ProcessItemTest, DistributionListsCountByTheirMembersWhenAsked) {
    platform.SetSetting(keys::kPromptForNumberOfRecipientsWanted, "1");
    EXPECT_TRUE(Send());
    EXPECT_TRUE(platform.Logged("Comparing recipient counts (user vs email): 20 vs 0"));
    AddRecipient("Jane", "jane@corp.example");
    AddRecipient("All staff", "staff@corp.example", 12);
    message->recipients.push_back({"No entry", "bare@corp.example", false, "", 40});
    for (const auto& [separate, count] : {std::pair{"1", "14"}, std::pair{"0", "3"}}) {
        platform.SetSetting(keys::kSeparateDLsWanted, separate);
        platform.log.clear();
        EXPECT_TRUE(Send());
        EXPECT_TRUE(platform.Logged(
            std::string("Comparing recipient counts (user vs email): 20 vs ") + count))
            << separate;
        EXPECT_TRUE(platform.Logged("Recipient #3: No entry [bare@corp.example]"));
    }
}

TEST_F(ProcessItemTest, ACountPastWhatCanBeCountedIsOverAnyMaximum) {
    platform.SetSetting(keys::kPromptForNumberOfRecipientsWanted, "1");
    platform.SetSetting(keys::kSeparateDLsWanted, "1");
    platform.SetSetting(keys::kMaxNumberOfRecipients, "2000000000");
    const std::string over = "Comparing recipient counts (user vs email): 2000000000 vs 2147483647";
    // 800 lists of 3 million members: more than 32 bits can hold.
    for (int i = 0; i < 800; ++i) AddRecipient("List", "list@corp.example", 3'000'000);
    EXPECT_TRUE(Send());
    EXPECT_TRUE(platform.Logged(over));

    // More recipients than the store could read.
    platform.log.clear();
    message->recipients.resize(1);
    message->recipientsTruncated = true;
    EXPECT_TRUE(Send());
    EXPECT_TRUE(
        platform.Logged("More recipients than the 1 read: the count is taken as over any maximum"));
    EXPECT_TRUE(platform.Logged(over));
}

TEST_F(ProcessItemTest, SeparatePromptsFirstNoEndsEverything) {
    Answers({kNo});
    for (const char* key : kSwitches) platform.SetSetting(key, "1");
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.SetSetting(keys::kListOfEmailAddressesDomains, "elsewhere.example");
    platform.SetSetting(keys::kListOfKeywords, "plans");
    AddRecipient("Bob", "bob@elsewhere.example");
    AddRecipient("Jane", "jane@corp.example");
    EXPECT_FALSE(Send());
    EXPECT_EQ(Trace(), Concat({{
                                   "ProcessItem|Starting recipients count: 2",
                                   "ProcessItem|Recipient #1: Bob [bob@elsewhere.example]",
                                   "CheckOutsideDomains|Looking at domain 'elsewhere.example'",
                                   "CheckOutsideDomains|Comparing with 'corp.example'",
                                   "CheckOutsideDomains|Domain found: False",
                                   "ProcessItem|Keywords (start) passed: False",
                                   "ProcessItem|Prompt for Keywords Wanted: 1",
                               },
                               Summary(true, {true, false, false, false, false, false}),
                               {"ProcessItem|Evidence of Outside Domains Rule: outside "
                                "recipients: bob@elsewhere.example"}}));
    EXPECT_EQ(Shown().size(), 1u);
}

TEST_F(ProcessItemTest, SeparatePromptsYesGoesOnToTheNextRules) {
    Answers({kYes, kYes, kNo});
    platform.SetSetting(keys::kPromptForOutsideDomainsWanted, "1");
    platform.SetSetting(keys::kPromptForKeywordsWanted, "1");
    platform.SetSetting(keys::kPromptForAnySendWanted, "1");
    platform.SetSetting(keys::kListOfOutsideDomains, "corp.example");
    platform.SetSetting(keys::kListOfKeywords, "plans");
    AddRecipient("Bob", "bob@elsewhere.example");
    AddRecipient("Eve", "eve@elsewhere.example");
    EXPECT_FALSE(Send());
    EXPECT_EQ(platform.results.back().answers, (std::vector<int32_t>{6, 6, 7}));
    ASSERT_EQ(Shown().size(), 3u);
    EXPECT_EQ(Shown()[1].Control("lblConfirmationMessage").caption,
              "Are you sure you want to send this email with these keywords?");
    EXPECT_EQ(Shown()[2].Control("lblConfirmationMessage").caption,
              "Are you sure you want to send this email?");
    EXPECT_TRUE(platform.Logged("Keywords (subject) passed: True"));
    EXPECT_TRUE(platform.Logged("Recipient #2: Eve [eve@elsewhere.example]"));
    const Lines_ trace = Trace();
    EXPECT_EQ(
        Lines_(trace.end() - 13, trace.end()),
        Concat({Summary(true, {true, false, true, false, false, true}),
                {"ProcessItem|Evidence of Outside Domains Rule: outside recipients: "
                 "bob@elsewhere.example",
                 "ProcessItem|Evidence of Keywords Rule: keyword \"plans\" in the subject"}}));
}

class MultiRulePromptTest : public ProcessItemTest {
  protected:
    void SetUp() override {
        ProcessItemTest::SetUp();
        platform.SetSetting(keys::kSeparatePromptsWanted, "0");
        platform.SetSetting(keys::kPromptForBlankSubjectWanted, "1");
        platform.SetSetting(keys::kPromptForAnySendWanted, "1");
        AddRecipient("Jane", "jane@corp.example");
    }
};

TEST_F(MultiRulePromptTest, OneFormForAllRulesAndItsAnswerDecidesNoneWhenNoneFires) {
    message->subject = "  ";
    for (auto [answer, expected, line] :
         {std::tuple{kNo, false, "Prompt: Send This Message?  User Response: 7; (No = 7)"},
          std::tuple{kYes, true, "Prompt: Send This Message?  User Response: 6; (No = 7)"}}) {
        Answers({answer});
        platform.log.clear();
        EXPECT_EQ(Send(), expected);
        const Lines_ trace = Trace();
        EXPECT_EQ(Lines_(trace.end() - 12, trace.end()),
                  Concat({Summary(false, {false, false, false, false, true, true}),
                          {std::string("ProcessItem|") + line}}));
        ASSERT_EQ(Shown().size(), 1u);
        EXPECT_EQ(Shown()[0].form, "frmYesNoPrompt");
    }
    // No form when no rule fires.
    message->subject = "Plans";
    Answers({kNo});
    platform.SetSetting(keys::kPromptForAnySendWanted, "0");
    EXPECT_TRUE(Send());
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(Trace().back(), "ProcessItem|Violated Look-Alike Domains Rule: False");
}

TEST_F(ProcessItemTest, KeywordsAreLookedForInTheBodyOfTheMessagesFormat) {
    platform.SetSetting(keys::kSeparatePromptsWanted, "0");
    platform.SetSetting(keys::kPromptForKeywordsWanted, "1");
    platform.SetSetting(keys::kListOfKeywords, "secret");
    message->body = "plain";
    message->htmlBody = "<p>html</p>";
    message->rtfBody = "{\\rtf1 rich}";
    struct Case {
        int32_t format;
        std::string* body;
    } cases[] = {{1, &message->body}, {2, &message->htmlBody}, {3, &message->rtfBody}};
    for (const Case& c : cases) {
        for (const Case& other : cases) *other.body = "nothing here";
        *c.body = "the SECRET";
        message->bodyFormat = c.format;
        EXPECT_TRUE(Send());
        EXPECT_TRUE(ThreadGlobals().KeywordsViolated) << c.format;
        message->bodyFormat = 1 + c.format % 3;
        EXPECT_TRUE(Send());
        EXPECT_FALSE(ThreadGlobals().KeywordsViolated) << c.format;
    }
    // A format it does not know has no body to look in.
    for (const Case& c : cases) *c.body = "the SECRET";
    message->bodyFormat = 0;
    platform.log.clear();
    EXPECT_TRUE(Send());
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
    EXPECT_TRUE(platform.Logged("Unrecognized body format: 0"));
    EXPECT_TRUE(platform.Logged("Keywords (body) passed: True"));

    // Part of the message the store could not read may hold one: the rule
    // asks, and says why. A keyword found is named instead.
    const std::string unread =
        "Evidence of Keywords Rule: part of the message could not be read (encrypted)";
    message->bodyFormat = 1;
    message->body = "nothing here";
    message->unreadParts = "encrypted";
    for (const char* subject : {"Plans", "secret plans"}) {
        message->subject = subject;
        platform.log.clear();
        EXPECT_TRUE(Send());
        EXPECT_TRUE(ThreadGlobals().KeywordsViolated) << subject;
        EXPECT_EQ(platform.Logged(unread), message->subject == "Plans") << subject;
    }
    // Asking on its own, the rule names a keyword the body holds, not what the
    // store could not read.
    platform.SetSetting(keys::kSeparatePromptsWanted, "1");
    Answers({kYes});
    message->subject = "Plans";
    message->body = "the secret";
    EXPECT_TRUE(Send());
    EXPECT_TRUE(platform.Logged("Evidence of Keywords Rule: keyword \"secret\" in the body"));
    platform.SetSetting(keys::kPromptForKeywordsWanted, "0");
    EXPECT_TRUE(Send());
    EXPECT_FALSE(ThreadGlobals().KeywordsViolated);
}

TEST_F(ProcessItemTest, FailuresReportTheStageReached) {
    AddRecipient("Jane", "jane@corp.example");
    platform.SetSetting(keys::kPromptForKeywordsWanted, "1");
    platform.SetSetting(keys::kListOfKeywords, "secret");
    const std::pair<const char*, int> cases[] = {
        {"Item.Save", 4},       {"CreateMapiSession", 4}, {"Message.Recipients", 8},
        {"Recipient.Name", 10}, {"Message.Subject", 18},  {"WriteLog", 8}};
    for (const auto& [operation, stage] : cases) {
        platform.log.clear();
        platform.FailOn(operation);
        EXPECT_TRUE(Send()) << operation;
        platform.Heal(operation);
        EXPECT_EQ(Events(), Lines_{"1|Postwarden.ProcessItem|Error occurred at line " +
                                   std::to_string(stage) + ".  Reason: Injected failure"})
            << operation;
    }
    // A switch that is no number ends the send driver before it saves or traces.
    platform.log.clear();
    item->saves = 0;
    platform.SetSetting(keys::kPromptForKeywordsWanted, "abc");
    EXPECT_TRUE(Send());
    EXPECT_EQ(Events(),
              Lines_{"1|Postwarden.ProcessItem|Error occurred at line 2.  Reason: Type mismatch"});
    EXPECT_EQ(item->saves, 0);
    EXPECT_TRUE(Trace().empty());

    // Rules that fail go on to the end; the first failure is the send's.
    platform.SetSetting(keys::kPromptForKeywordsWanted, "1");
    platform.SetSetting(keys::kListOfKeywords, "");
    platform.SetSetting(keys::kPromptForNumberOfRecipientsWanted, "1");
    platform.SetSetting(keys::kMaxNumberOfRecipients, "many");
    EXPECT_TRUE(Send());
    const SendResult& result = platform.results.back();
    EXPECT_EQ(result.failedRules, (Lines_{"Keywords", "Max Number Of Recipients"}));
    EXPECT_EQ(
        result.failure,
        "Postwarden.CheckKeywords: Error occurred: List of email keywords to check is empty.");
}

TEST_F(ProcessItemTest, TheMessageIsLookedForInTheDraftsAndWithoutItTheSendGoes) {
    platform.store.byEntryId.clear();
    platform.SetSetting(keys::kPromptForAnySendWanted, "1");
    EXPECT_TRUE(Send());
    EXPECT_EQ(Events(),
              Lines_{"0||Error occurred.  Reason: Failed to find item in drafts folder."});
    EXPECT_TRUE(Trace().empty());
    EXPECT_FALSE(ThreadGlobals().AnySendViolated);

    platform.log.clear();
    platform.store.drafts.push_back(message);
    platform.SetSetting(keys::kPromptForAnySendWanted, "0");
    AddRecipient("Jane", "jane@corp.example");
    EXPECT_TRUE(Send());
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(Trace()[0], "ProcessItem|Starting recipients count: 1");
}

TEST_F(ProcessItemTest, VersionNineLogsOnOthersAttachTheClientsStore) {
    engine->application->version = "9.0.0.2711";
    EXPECT_TRUE(Send());
    EXPECT_EQ(Trace()[0], "ProcessItem|Logged on: True");
    EXPECT_EQ(platform.store.logons, 1);
    EXPECT_EQ(platform.store.attaches, 0);

    platform.log.clear();
    platform.store.loggedOnAfterLogon = false;
    EXPECT_TRUE(Send());
    EXPECT_EQ(Trace()[0], "ProcessItem|Logged on: False");

    platform.log.clear();
    engine->application->version = "16.0.0.0";
    EXPECT_TRUE(Send());
    EXPECT_EQ(Trace()[0], "ProcessItem|Starting recipients count: 0");
    EXPECT_EQ(platform.store.logons, 2);
    EXPECT_EQ(platform.store.attaches, 1);
}

constexpr const char* kMail9 = "Software\\Microsoft\\Office\\9.0\\Outlook\\Options\\Mail";
constexpr const char* kMail16 = "Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail";

class EnvironmentProbesTest : public ValidationTest {};

TEST_F(EnvironmentProbesTest, WordAsEditorFromTheEditorPreference) {
    struct Case {
        std::string version;
        const char* key;                   // the key that exists, or nullptr
        std::optional<std::string> value;  // EditorPreference in it
        bool expected;
    } cases[] = {
        {"9.0.0.2711", nullptr, std::nullopt, false},
        {"9.0.0.2711", kMail9, "1", true},
        {"9.0.0.2711", kMail9, "0", false},
        {"9.0.0.2711", kMail9, "131072", false},
        {"9.0.0.2711", kMail16, "1", false},
        {"16.0.0.0", nullptr, std::nullopt, true},
        {"16.0.0.0", kMail16, "131073", true},
        {"16.0.0.0", kMail16, "131072", false},
        {"16.0.0.0", kMail16, "0", true},
        {"16.0.0.0", kMail9, "0", true},
    };
    for (const Case& c : cases) {
        platform.registry.clear();
        platform.openedKeys.clear();
        if (c.key) {
            platform.registry[c.key];
            if (c.value) platform.registry[c.key]["EditorPreference"] = *c.value;
        }
        EXPECT_EQ(v.UsingWordAsEditor(c.version), c.expected)
            << c.version << " " << (c.key ? c.key : "-") << " " << c.value.value_or("-");
        ASSERT_EQ(platform.openedKeys.size(), 1u);
        EXPECT_EQ(platform.openedKeys[0],
                  std::make_tuple(c.version[0] == '9' ? kMail9 : kMail16, 0x80000001u, 63));
    }
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(platform.CallsOf("CloseKey"), 10);
}

TEST_F(EnvironmentProbesTest, FailuresReportTheLastStepAndKeepTheAnswerSoFar) {
    platform.registry[kMail16];  // the key is there, the value is not
    EXPECT_TRUE(v.UsingWordAsEditor("16.0.0.0"));
    platform.FailOn("OpenKey");
    EXPECT_TRUE(v.UsingWordAsEditor("16.0.0.0"));
    EXPECT_FALSE(v.UsingWordAsEditor("9.0"));
    platform.FailOn("NewRegistryAccess");
    EXPECT_FALSE(v.UsingWordAsEditor("16.0.0.0"));
    const std::string prefix =
        "0|UsingWordAsEditor|Error occurred.  Failed to fetch mail format.  ";
    EXPECT_EQ(Events(), (Lines_{
                            prefix + "LastLineNumber: 14; Reason: The value does not exist",
                            prefix + "LastLineNumber: 4; Reason: Injected failure",
                            prefix + "LastLineNumber: 4; Reason: Injected failure",
                            prefix + "LastLineNumber: 4; Reason: Injected failure",
                        }));
    EXPECT_EQ(platform.CallsOf("CloseKey"), 0);
}

class FindInDraftsTest : public ValidationTest {
  protected:
    void AddDraft(const std::string& subject, const std::string& body) {
        auto data = std::make_shared<fakes::FakeMessageData>();
        data->subject = subject;
        data->body = body;
        platform.store.drafts.push_back(data);
    }
    std::shared_ptr<MapiSession> session = platform.CreateMapiSession(kSessionProgId);
};

TEST_F(FindInDraftsTest, FindsTheLatestDraftWithExactlyThatSubjectOrNoneOnAFailure) {
    EXPECT_EQ(v.FindInDrafts(session, ""), nullptr);  // an empty folder
    AddDraft("Quarterly figures", "older");
    AddDraft("quarterly figures", "other case");
    AddDraft("Quarterly figures", "newer");
    AddDraft("Something else", "unrelated");
    std::shared_ptr<MapiMessage> found = v.FindInDrafts(session, "Quarterly figures");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Body(), "newer");
    EXPECT_EQ(v.FindInDrafts(session, "QUARTERLY FIGURES"), nullptr);
    EXPECT_TRUE(platform.log.empty());
    // A failure is reported and gives no object.
    platform.FailOn("Items.Item");
    EXPECT_EQ(v.FindInDrafts(session, "Quarterly figures"), nullptr);
    EXPECT_EQ(Events(),
              Lines_{"1|Postwarden.FindInDrafts|Error occurred.  Reason: Injected failure"});
}

}  // namespace
}  // namespace postwarden
