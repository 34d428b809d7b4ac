#include "platform/windows/ScriptedWindowSystem.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

using Answer = ScriptedWindowSystem::Answer;

TEST(ScriptedAnswersText, ParsesWordsInOrderAndRejectsOthersByName) {
    const struct {
        const char* text;
        std::vector<Answer> answers;  // empty: refused, naming `refused`
        const char* refused;
    } cases[] = {
        {"yes,no,close", {Answer::kYes, Answer::kNo, Answer::kClose}, ""},
        {" Yes , NO,close ", {Answer::kYes, Answer::kNo, Answer::kClose}, ""},
        {"", {}, "an empty answer"},
        {"yes,,no", {}, "an empty answer"},
        {"yes,", {}, "an empty answer"},
        {"y", {}, "\"y\""},
        {"yes;no", {}, "\"yes;no\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            EXPECT_EQ(ScriptedWindowSystem::ParseAnswers(c.text), c.answers);
            EXPECT_FALSE(c.answers.empty()) << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.refused), std::string::npos) << error.what();
            EXPECT_TRUE(c.answers.empty()) << "refused";
        }
    }
}

class ScriptedFormsTest : public FormsTest {
  protected:
    ScriptedWindowSystem& Use(std::vector<Answer> answers) {
        auto windows = std::make_unique<ScriptedWindowSystem>(std::move(answers));
        ScriptedWindowSystem& system = *windows;
        platform.windows = std::move(windows);
        return system;
    }
};

TEST_F(ScriptedFormsTest, AnswersAreUsedInOrderTheLastRepeatsAndNoneCloses) {
    ScriptedWindowSystem& windows = Use({Answer::kNo, Answer::kYes, Answer::kClose, Answer::kYes});
    ThreadGlobals().KeywordsViolated = true;
    ThreadGlobals().AnySendViolated = true;
    EXPECT_EQ(AskSimple(platform, "First?"), 7);
    EXPECT_EQ(AskSimple(platform, "Second?", true), 6);
    EXPECT_EQ(AskMulti(platform), 7);
    EXPECT_EQ(AskMulti(platform), 6);  // Yes ticks the enabled boxes through the form's clicks
    EXPECT_EQ(AskSimple(platform, "Fifth?"), 6);
    ASSERT_EQ(windows.shown().size(), 5u);
    EXPECT_EQ(windows.shown()[1].form, "frmSimpleYesNoPrompt");
    EXPECT_FALSE(windows.shown()[1].modal);
    EXPECT_EQ(windows.shown()[1].Control("lblConfirmationMessage").caption, "Second?");
    const ShownWindow& multi = windows.shown()[3];
    EXPECT_EQ(multi.form, "frmYesNoPrompt");
    EXPECT_EQ(multi.caption, "Post Warden");
    EXPECT_TRUE(multi.modal);
    EXPECT_TRUE(multi.Control("chkValidateKeywords").enabled);
    EXPECT_TRUE(multi.Control("chkValidateAnySend").enabled);
    EXPECT_FALSE(multi.Control("chkValidateOutsideDomains").enabled);
    EXPECT_FALSE(multi.Control("cmdYes").enabled);  // recorded as shown, before the ticks
    Use({});
    EXPECT_EQ(AskSimple(platform, "Send?"), 7);
    EXPECT_EQ(AskMulti(platform, true), 7);
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

TEST(ScriptedWindows, ModelessWindowsAreAnsweredOnTheNextPassUnlessDestroyed) {
    ScriptedWindowSystem scripted({Answer::kNo});
    RecordingEvents events, gone;
    auto window = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), events);
    auto destroyed = scripted.CreateWindow(frmSimpleYesNoPrompt::Design(), gone);
    window->ShowModeless();
    destroyed->ShowModeless();
    destroyed.reset();
    EXPECT_TRUE(events.clicks.empty());
    scripted.ProcessPendingEvents();
    EXPECT_EQ(events.clicks, std::vector<std::string>{"cmdNo"});
    EXPECT_EQ(events.closes, 1);  // the form did not unload it on No
    EXPECT_TRUE(gone.clicks.empty());
    scripted.ProcessPendingEvents();
    EXPECT_EQ(events.clicks.size(), 1u);
}

TEST(ScriptedWindows, AModelessShowWhileAModalOneIsOpenIsRefusedWith401) {
    // A modal show is answered inside ShowModal; a rule that prompts from
    // inside it (another send) finds a modal window open.
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
}  // namespace postwarden::testing
