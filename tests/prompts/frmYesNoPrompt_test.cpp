#include "prompts/frmYesNoPrompt.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

using fakes::FakeWindow;

const std::array<std::string, 6> kBoxes = {
    "chkValidateOutsideDomains",     "chkValidateEmailAddressesDomains", "chkValidateKeywords",
    "chkValidateNumberOfRecipients", "chkValidateBlankSubject",          "chkValidateAnySend"};

// The flag that enables each box above.
const std::array<bool Globals::*, 6> kFlags = {
    &Globals::OutsideDomainsViolated, &Globals::EmailAddressesDomainsViolated,
    &Globals::KeywordsViolated,       &Globals::NumberOfRecipientsViolated,
    &Globals::BlankSubjectViolated,   &Globals::AnySendViolated};

const Globals kAllFired{true, true, true, true, true, true};

class YesNoPromptTest : public FormTest {
  protected:
    int32_t Ask(bool manualModal = false) { return form.Ask(values, friendlyName, manualModal); }
    const ThreadRuleFlags flags;
    frmYesNoPrompt form{platform, flags};
};

TEST_F(YesNoPromptTest, OnlyFiredBoxesCanBeTickedAndYesWaitsForEveryOneOfThem) {
    const struct {
        const char* name;
        Globals fired;
        std::vector<int> ticks;  // boxes pressed in turn; unfired ones do nothing
        size_t yesAfter;         // Yes is usable from this tick on
    } cases[] = {
        {"one rule", {.KeywordsViolated = true}, {0, 5, 2}, 2},
        {"all six, last first", kAllFired, {5, 4, 3, 2, 1, 0}, 5},
        {"all six, shuffled", kAllFired, {2, 5, 0, 3, 1, 4}, 5},
        // Clearing a ticked box again does not take Yes back.
        {"cleared again",
         {.OutsideDomainsViolated = true, .BlankSubjectViolated = true},
         {0, 4, 4},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadGlobals() = c.fired;
        windows->person = [&c](FakeWindow& window) {
            for (size_t i = 0; i < kBoxes.size(); ++i) {
                EXPECT_EQ(window.Enabled(kBoxes[i]), c.fired.*kFlags[i]) << kBoxes[i];
                EXPECT_EQ(window.CheckValue(kBoxes[i]), kUnchecked) << kBoxes[i];
            }
            EXPECT_EQ(window.defaultButton(), "cmdNo");
            EXPECT_FALSE(window.Press("cmdYes"));  // disabled: nothing happens
            for (size_t i = 0; i < c.ticks.size(); ++i) {
                window.Press(kBoxes[c.ticks[i]]);
                EXPECT_EQ(window.Enabled("cmdYes"), i >= c.yesAfter) << "after tick " << i;
            }
            window.Press("cmdYes");
        };
        EXPECT_EQ(Ask(), 6);
        EXPECT_EQ(form.Response(), 6);
        EXPECT_FALSE(form.WindowLoaded());
    }
}

TEST_F(YesNoPromptTest, EveryLoadReadsTheQuestionsAfreshAndStartsUnticked) {
    platform.settingsAppName = "Brackenholt Mail";  // the helper's name, asked afresh
    platform.SetSetting("MessageForOutsideDomains", "Leaving the company - sure?");
    platform.SetSetting("MessageForKeywords", "");
    ThreadGlobals() = kAllFired;
    windows->person = [](FakeWindow& window) { window.TickAllAndPressYes(); };
    EXPECT_EQ(Ask(), 6);
    const std::vector<std::string> questions = {
        "Leaving the company - sure?",
        "Are you sure you want to send an email to these addresses?",
        "",
        "Are you sure you want to send this email to all these people?",
        "Are you sure you want to send this email with a blank subject?",
        "Are you sure you want to send this email?"};
    for (size_t i = 0; i < kBoxes.size(); ++i) {
        EXPECT_EQ(windows->shown.at(0).Control(kBoxes[i]).caption, questions[i]);
    }

    platform.SetSetting("MessageForAnySend", "Really send?");
    ThreadGlobals() = Globals{.AnySendViolated = true};
    windows->person = [this](FakeWindow& window) {
        EXPECT_EQ(form.Response(), 6);  // loading does not reset the answer
        window.Press("cmdNo");
    };
    EXPECT_EQ(Ask(), 7);
    const ShownWindow& second = windows->shown.at(1);
    for (const std::string& box : kBoxes) {
        EXPECT_EQ(second.Control(box).checkValue, kUnchecked) << box;
        EXPECT_EQ(second.Control(box).enabled, box == "chkValidateAnySend") << box;
    }
    EXPECT_FALSE(second.Control("cmdYes").enabled);
    EXPECT_EQ(second.Control("chkValidateAnySend").caption, "Really send?");
    EXPECT_EQ(platform.CallsOf("PrepareForm"), 2);
}

// Each case runs right after the one above it: an earlier Yes must not answer
// for a window closed without a button.
TEST_F(YesNoPromptTest, ButtonsTheCloseBoxOrAVanishedWindowAnswerModalAndManualModal) {
    ThreadGlobals().BlankSubjectViolated = true;
    int passes = 0;
    const struct {
        const char* name;
        bool manualModal;
        std::function<void(FakeWindow&)> person;
        int32_t answer;
    } cases[] = {
        {"Yes", false, [](FakeWindow& w) { w.TickAllAndPressYes(); }, 6},
        {"close box", false, [](FakeWindow& w) { w.RequestClose(); }, 7},
        {"manual Yes", true,
         [this](FakeWindow& w) {
             EXPECT_TRUE(w.shownModeless);
             EXPECT_EQ(w.activations, 1);
             EXPECT_EQ(form.Response(), 5);  // waiting
             w.TickAllAndPressYes();
         },
         6},
        {"manual close box", true, [](FakeWindow& w) { w.RequestClose(); }, 7},
        {"manual, gone without a close event", true, [](FakeWindow& w) { w.Unload(); }, 7},
        {"manual, No after a while", true,
         [&](FakeWindow&) {
             windows->onPendingEvents = [&] {
                 if (++passes == 3) windows->current->Press("cmdNo");
             };
         },
         7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        windows->person = c.person;
        EXPECT_EQ(Ask(c.manualModal), c.answer);
        EXPECT_EQ(windows->shown.back().modal, !c.manualModal);
    }
    EXPECT_EQ(passes, 3);
    // The caption is the caller's, and the values are not read.
    windows->person = [](FakeWindow& w) { w.Press("cmdNo"); };
    EXPECT_EQ(form.Ask(-1, "Other caption", false), 7);
    EXPECT_EQ(windows->shown.back().caption, "Other caption");
}

TEST_F(YesNoPromptTest, AModelessShowRefusedWith401FallsBackToModalAndItsFailureGoesToTheCaller) {
    ThreadGlobals().KeywordsViolated = true;
    platform.FailOn("Window.ShowModeless", errors::ModalFormDisplayed());
    windows->person = [](FakeWindow& window) { window.TickAllAndPressYes(); };
    EXPECT_EQ(Ask(true), 6);
    ASSERT_EQ(windows->shown.size(), 1u);
    EXPECT_TRUE(windows->shown[0].modal);
    EXPECT_EQ(platform.CallsOf("Window.Activate"), 0);

    platform.FailOn("Window.ShowModal", RuntimeError(1234, "No modal either"));
    try {
        Ask(true);
        ADD_FAILURE() << "no failure reached the caller";
    } catch (const RuntimeError& failure) {
        EXPECT_EQ(failure.Number(), 1234);
    }
    EXPECT_TRUE(windows->messages.empty());
}

TEST_F(YesNoPromptTest, OtherFailuresShowAMessageBoxAndAnswerZero) {
    const struct {
        const char* operation;
        bool manualModal;
    } cases[] = {{"Windows.CreateWindow", false},       {"Window.SetCaption", false},
                 {"Window.SetDefaultButton", false},    {"Window.ShowModal", false},
                 {"Window.ShowModeless", true},         {"Window.Activate", true},
                 {"Windows.ProcessPendingEvents", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        platform.FailOn(c.operation, RuntimeError(91, "Object variable not set"));
        windows->messages.clear();
        EXPECT_EQ(Ask(c.manualModal), 0);
        ASSERT_EQ(windows->messages.size(), 1u);
        EXPECT_EQ(windows->messages[0].text,
                  "Error occurred.  Reason: Object variable not set Error Number: {91}");
        EXPECT_EQ(windows->messages[0].title, "Postwarden.Ask");
        platform.Heal(c.operation);
        // Whatever was left open is closed before the next case.
        if (windows->current && windows->current->Loaded()) windows->current->RequestClose();
    }
}

// A failing load step is logged, and the window is shown as the steps before it
// left it: the later controls keep their design state (enabled, Yes too).
TEST_F(YesNoPromptTest, ALoadFailureIsLoggedAndTheWindowShownAsTheStepsLeftIt) {
    const struct {
        const char* operation;
        const char* reason;
        bool boxesDisabled;  // the step that disables them all was done
    } cases[] = {{"Window.SetCheckValue", "Cannot tick", true},
                 {"GetSetting", "Type mismatch", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        ThreadGlobals() = kAllFired;
        platform.SetSetting("MessageForKeywords", "Keywords!");
        platform.FailOn(c.operation, RuntimeError(5, c.reason));
        platform.log.clear();
        EXPECT_EQ(Ask(), 7);
        platform.Heal(c.operation);
        EXPECT_EQ(platform.log.size(), 1u);
        EXPECT_EQ(platform.Events(),
                  Lines{"1|Brackenholt.frmYesNoPrompt.Form_Load|Error occurred.  Reason: " +
                        std::string(c.reason)});
        const ShownWindow& shown = windows->shown.back();
        EXPECT_EQ(shown.Control("chkValidateKeywords").caption,
                  c.boxesDisabled
                      ? "Keywords!"
                      : "Are you sure you want to send this email with these keywords?");
        for (const std::string& box : kBoxes) {
            EXPECT_EQ(shown.Control(box).enabled, !c.boxesDisabled) << box;
        }
        EXPECT_TRUE(shown.Control("cmdYes").enabled);
    }
}

// Another send arrives while this prompt waits and leaves only its own rule's
// flag set: its Ask is refused before it touches the window, and this prompt
// still wants all six boxes.
TEST_F(YesNoPromptTest, AnotherSendDuringTheWaitIsRefusedAndChangesNothing) {
    ThreadGlobals() = kAllFired;
    windows->person = [&](FakeWindow& window) {
        ThreadGlobals() = Globals{.KeywordsViolated = true};
        EXPECT_EQ(Ask(true), 7);
        window.Press("chkValidateKeywords");
        EXPECT_FALSE(window.Enabled("cmdYes"));  // five questions still unticked
        window.TickAllAndPressYes();
    };
    EXPECT_EQ(Ask(true), 6);
    EXPECT_EQ(windows->windowsCreated, 1);
    EXPECT_EQ(windows->shown.size(), 1u);
}

}  // namespace
}  // namespace postwarden::testing
