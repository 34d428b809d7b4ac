#include <gtest/gtest.h>

#include <optional>

#include "module/MapiSession.h"
#include "tests/validation/ValidationFixture.h"

namespace postwarden {
namespace {

using Lines_ = std::vector<std::string>;

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
        EXPECT_EQ(std::get<0>(platform.openedKeys[0]), c.version[0] == '9' ? kMail9 : kMail16);
        EXPECT_EQ(std::get<1>(platform.openedKeys[0]), 0x80000001u);
        EXPECT_EQ(std::get<2>(platform.openedKeys[0]), 63);
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

TEST_F(FindInDraftsTest, FindsTheLatestDraftWithExactlyThatSubject) {
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
}

TEST_F(FindInDraftsTest, FailureIsReportedAndGivesNoObject) {
    AddDraft("Hello", "body");
    platform.FailOn("Items.Item");
    EXPECT_EQ(v.FindInDrafts(session, "Hello"), nullptr);
    EXPECT_EQ(Events(),
              Lines_{"1|Postwarden.FindInDrafts|Error occurred.  Reason: Injected failure"});
}

}  // namespace
}  // namespace postwarden
