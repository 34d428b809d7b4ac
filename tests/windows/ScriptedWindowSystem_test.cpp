#include "platform/windows/ScriptedWindowSystem.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "tests/fakes/FakePlatform.h"
#include "validation/Globals.h"

namespace postwarden {
namespace {

using Answer = ScriptedWindowSystem::Answer;

TEST(ScriptedAnswersText, ParsesWordsInOrder) {
    const struct {
        const char* text;
        std::vector<Answer> answers;
    } cases[] = {
        {"yes", {Answer::kYes}},
        {"no", {Answer::kNo}},
        {"close", {Answer::kClose}},
        {"yes,no,close", {Answer::kYes, Answer::kNo, Answer::kClose}},
        {" Yes , NO,close ", {Answer::kYes, Answer::kNo, Answer::kClose}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScriptedWindowSystem::ParseAnswers(c.text), c.answers) << c.text;
    }
}

TEST(ScriptedAnswersText, RejectsAnythingElseNamingTheWord) {
    const struct {
        const char* text;
        const char* named;
    } cases[] = {{"", "an empty answer"},
                 {"yes,,no", "an empty answer"},
                 {"yes,", "an empty answer"},
                 {"maybe", "\"maybe\""},
                 {"y", "\"y\""},
                 {"yes;no", "\"yes;no\""}};
    for (const auto& c : cases) {
        try {
            ScriptedWindowSystem::ParseAnswers(c.text);
            ADD_FAILURE() << "accepted \"" << c.text << "\"";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.named), std::string::npos) << error.what();
        }
    }
}

class ScriptedFormsTest : public ::testing::Test {
  protected:
    ScriptedWindowSystem& Use(std::vector<Answer> answers) {
        auto windows = std::make_unique<ScriptedWindowSystem>(std::move(answers));
        ScriptedWindowSystem& system = *windows;
        platform.windows = std::move(windows);
        return system;
    }
    void SetUp() override { ThreadGlobals() = Globals{}; }
    void TearDown() override {
        ThreadObjects::ReleaseFor(platform);
        ThreadGlobals() = Globals{};
    }
    int32_t AskMulti(bool manualModal = false) {
        return ThreadObjects::For(platform).YesNoPrompt().Ask(65540, "Post Warden", manualModal);
    }
    int32_t AskSimple(const std::string& question, bool manualModal = false) {
        frmSimpleYesNoPrompt& form = ThreadObjects::For(platform).SimpleYesNoPrompt();
        form.SetConfirmationMessage(question);
        return form.Ask(65540, "Post Warden", manualModal);
    }
    fakes::FakePlatform platform;
};

TEST_F(ScriptedFormsTest, YesTicksEveryEnabledBoxThroughTheFormsClicks) {
    ScriptedWindowSystem& windows = Use({Answer::kYes});
    ThreadGlobals().KeywordsViolated = true;
    ThreadGlobals().AnySendViolated = true;
    EXPECT_EQ(AskMulti(), 6);
    EXPECT_EQ(AskMulti(true), 6);
    ASSERT_EQ(windows.shown().size(), 2u);
    const ShownWindow& shown = windows.shown()[0];
    EXPECT_EQ(shown.form, "frmYesNoPrompt");
    EXPECT_EQ(shown.caption, "Post Warden");
    EXPECT_TRUE(shown.modal);
    EXPECT_FALSE(windows.shown()[1].modal);
    EXPECT_TRUE(shown.Control("chkValidateKeywords").enabled);
    EXPECT_TRUE(shown.Control("chkValidateAnySend").enabled);
    EXPECT_FALSE(shown.Control("chkValidateOutsideDomains").enabled);
    EXPECT_FALSE(shown.Control("cmdYes").enabled);  // recorded as shown, before the ticks
}

// Records what reaches the form's logic.
struct RecordingEvents final : WindowEvents {
    std::vector<std::string> clicks;
    int closes = 0;
    void Click(std::string_view control) override { clicks.emplace_back(control); }
    void CloseRequested() override { ++closes; }
};

TEST(ScriptedWindows, AYesThatStaysDisabledClosesTheWindowInstead) {
    ScriptedWindowSystem scripted({Answer::kYes});
    RecordingEvents events;  // never enables Yes, whatever is ticked
    auto window = scripted.CreateWindow(frmYesNoPrompt::Design(), events);
    window->SetEnabled("cmdYes", false);
    window->SetEnabled("chkValidateKeywords", false);
    window->ShowModal();
    EXPECT_FALSE(window->Loaded());
    EXPECT_EQ(events.clicks.size(), 5u);  // the five enabled boxes, not Yes
    EXPECT_EQ(events.closes, 1);
    EXPECT_EQ(window->CheckValue("chkValidateKeywords"), kUnchecked);
    EXPECT_EQ(window->CheckValue("chkValidateAnySend"), kChecked);
}

TEST(ScriptedWindows, AModelessWindowIsAnsweredOnTheNextPass) {
    ScriptedWindowSystem scripted({Answer::kNo});
    RecordingEvents events;
    auto window = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    window->ShowModeless();
    EXPECT_TRUE(events.clicks.empty());
    scripted.ProcessPendingEvents();
    EXPECT_EQ(events.clicks, std::vector<std::string>{"cmdNo"});
    // The form did not unload it on No, so it was closed as well.
    EXPECT_EQ(events.closes, 1);
    scripted.ProcessPendingEvents();
    EXPECT_EQ(events.clicks.size(), 1u);
}

TEST(ScriptedWindows, AWindowDestroyedBeforeItsAnswerIsForgotten) {
    ScriptedWindowSystem scripted({Answer::kYes});
    RecordingEvents events;
    auto window = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    window->ShowModeless();
    window.reset();
    scripted.ProcessPendingEvents();
    EXPECT_TRUE(events.clicks.empty());
}

TEST_F(ScriptedFormsTest, AnswersAreUsedInOrderAndTheLastRepeats) {
    ScriptedWindowSystem& windows = Use({Answer::kNo, Answer::kYes, Answer::kClose});
    ThreadGlobals().BlankSubjectViolated = true;
    EXPECT_EQ(AskSimple("First?"), 7);
    EXPECT_EQ(AskMulti(), 6);
    EXPECT_EQ(AskSimple("Third?", true), 7);
    EXPECT_EQ(AskMulti(), 7);
    EXPECT_EQ(AskSimple("Fifth?"), 7);
    ASSERT_EQ(windows.shown().size(), 5u);
    EXPECT_EQ(windows.shown()[2].form, "frmSimpleYesNoPrompt");
    EXPECT_EQ(windows.shown()[2].Control("lblConfirmationMessage").caption, "Third?");
}

TEST_F(ScriptedFormsTest, YesOnTheSingleRuleFormAndAnEmptyScriptCloses) {
    Use({Answer::kYes});
    EXPECT_EQ(AskSimple("Send?", true), 6);
    Use({});
    EXPECT_EQ(AskSimple("Send?"), 7);
    EXPECT_EQ(AskMulti(true), 7);
}

TEST_F(ScriptedFormsTest, AModelessShowWhileAModalOneIsOpenIsRefusedWith401) {
    // The single-rule form's modal show is answered inside ShowModal; a rule
    // that prompts from inside it (another send) finds a modal window open.
    ScriptedWindowSystem scripted({Answer::kYes});
    struct Nested final : WindowEvents {
        Window* other = nullptr;
        int refused = 0;
        void Click(std::string_view) override {
            try {
                other->ShowModeless();
            } catch (const RuntimeError& error) {
                if (error.Number() == errors::kModalFormDisplayed) ++refused;
            }
        }
        void CloseRequested() override {}
    } events;
    auto modal = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    auto other = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    events.other = other.get();
    modal->ShowModal();
    EXPECT_EQ(events.refused, 1);
    EXPECT_NO_THROW(other->ShowModeless());
}

}  // namespace
}  // namespace postwarden
