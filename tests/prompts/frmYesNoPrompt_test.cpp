#include "prompts/frmYesNoPrompt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

using fakes::FakeWindow;

const std::array<std::string, 6> kBoxes = {
    "chkValidateOutsideDomains",     "chkValidateEmailAddressesDomains", "chkValidateKeywords",
    "chkValidateNumberOfRecipients", "chkValidateBlankSubject",          "chkValidateAnySend"};

void FireAll() {
    ThreadGlobals() = Globals{true, true, true, true, true, true};
}

class YesNoPromptTest : public FormTest {
  protected:
    int32_t Ask(bool manualModal = false) { return form.Ask(values, friendlyName, manualModal); }
    const ThreadRuleFlags flags;
    frmYesNoPrompt form{platform, flags};
};

TEST_F(YesNoPromptTest, OneFiredRuleEnablesOnlyItsBoxAndYesAfterTheTick) {
    ThreadGlobals().KeywordsViolated = true;
    windows->person = [](FakeWindow& window) {
        for (const std::string& box : kBoxes) {
            EXPECT_EQ(window.Enabled(box), box == "chkValidateKeywords") << box;
            EXPECT_EQ(window.CheckValue(box), kUnchecked) << box;
        }
        EXPECT_FALSE(window.Enabled("cmdYes"));
        EXPECT_EQ(window.defaultButton(), "cmdNo");
        EXPECT_EQ(window.caption(), "Post Warden");
        EXPECT_FALSE(window.Press("cmdYes"));  // disabled: nothing happens
        EXPECT_TRUE(window.Loaded());
        window.Press("chkValidateKeywords");
        EXPECT_TRUE(window.Enabled("cmdYes"));
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(), 6);
    EXPECT_EQ(form.Response(), 6);
    EXPECT_FALSE(form.WindowLoaded());
}

TEST_F(YesNoPromptTest, AllSixFiredEnableYesOnlyAtTheSixthTickInAnyOrder) {
    const std::vector<std::array<int, 6>> orders = {
        {0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {2, 5, 0, 3, 1, 4}, {1, 3, 5, 0, 2, 4}};
    for (const auto& order : orders) {
        FireAll();
        windows->person = [&order](FakeWindow& window) {
            for (int i = 0; i < 6; ++i) {
                EXPECT_FALSE(window.Enabled("cmdYes")) << "before tick " << i;
                window.Press(kBoxes[order[i]]);
            }
            EXPECT_TRUE(window.Enabled("cmdYes"));
            window.Press("cmdYes");
        };
        EXPECT_EQ(Ask(), 6);
    }
}

TEST_F(YesNoPromptTest, ClearingATickedBoxKeepsYesEnabled) {
    ThreadGlobals().OutsideDomainsViolated = true;
    ThreadGlobals().BlankSubjectViolated = true;
    windows->person = [](FakeWindow& window) {
        window.Press("chkValidateOutsideDomains");
        window.Press("chkValidateBlankSubject");
        window.Press("chkValidateBlankSubject");  // cleared again
        EXPECT_EQ(window.CheckValue("chkValidateBlankSubject"), kUnchecked);
        EXPECT_TRUE(window.Enabled("cmdYes"));
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(), 6);
}

TEST_F(YesNoPromptTest, BoxesOfRulesThatDidNotFireShowTheirQuestionGreyedAndStayUnticked) {
    ThreadGlobals().AnySendViolated = true;
    windows->person = [](FakeWindow& window) {
        EXPECT_FALSE(window.Press("chkValidateKeywords"));
        EXPECT_EQ(window.CheckValue("chkValidateKeywords"), kUnchecked);
        EXPECT_EQ(window.ControlCaption("chkValidateKeywords"),
                  "Are you sure you want to send this email with these keywords?");
        window.Press("cmdNo");
    };
    EXPECT_EQ(Ask(), 7);
    EXPECT_FALSE(windows->shown[0].Control("chkValidateKeywords").enabled);
}

TEST_F(YesNoPromptTest, QuestionsComeFromTheSettingsWithTheirDefaults) {
    platform.settingsAppName = "Brackenholt Mail";  // the helper's name, asked afresh
    platform.SetSetting("MessageForOutsideDomains", "Leaving the company - sure?");
    platform.SetSetting("MessageForKeywords", "");
    EXPECT_EQ(Ask(), 7);
    const ShownWindow& shown = windows->shown.at(0);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"chkValidateOutsideDomains", "Leaving the company - sure?"},
        {"chkValidateEmailAddressesDomains",
         "Are you sure you want to send an email to these addresses?"},
        {"chkValidateKeywords", ""},
        {"chkValidateNumberOfRecipients",
         "Are you sure you want to send this email to all these people?"},
        {"chkValidateBlankSubject",
         "Are you sure you want to send this email with a blank subject?"},
        {"chkValidateAnySend", "Are you sure you want to send this email?"},
    };
    for (const auto& [box, caption] : expected) EXPECT_EQ(shown.Control(box).caption, caption);
}

TEST_F(YesNoPromptTest, ASecondPromptStartsAfreshAndRereadsTheQuestions) {
    FireAll();
    windows->person = [](FakeWindow& window) {
        for (const std::string& box : kBoxes) window.Press(box);
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(), 6);

    platform.SetSetting("MessageForAnySend", "Really send?");
    ThreadGlobals() = Globals{};
    ThreadGlobals().AnySendViolated = true;
    windows->person = [this](FakeWindow& window) {
        EXPECT_EQ(form.Response(), 6);  // loading does not reset the answer
        window.Press("cmdNo");
    };
    EXPECT_EQ(Ask(), 7);

    ASSERT_EQ(windows->shown.size(), 2u);
    const ShownWindow& second = windows->shown[1];
    for (const std::string& box : kBoxes) {
        EXPECT_EQ(second.Control(box).checkValue, kUnchecked) << box;
        EXPECT_EQ(second.Control(box).enabled, box == "chkValidateAnySend") << box;
    }
    EXPECT_FALSE(second.Control("cmdYes").enabled);
    EXPECT_EQ(second.Control("chkValidateAnySend").caption, "Really send?");
    EXPECT_EQ(windows->windowsCreated, 2);
    EXPECT_EQ(platform.CallsOf("PrepareForm"), 2);
}

TEST_F(YesNoPromptTest, LoadStepsRunInOrder) {
    ThreadGlobals().EmailAddressesDomainsViolated = true;
    ThreadGlobals().NumberOfRecipientsViolated = true;
    EXPECT_EQ(Ask(), 7);
    std::vector<std::string> expected = {"CreateWindow(frmYesNoPrompt)"};
    const char* const defaults[] = {
        "Are you sure you want to send this email outside the company?",
        "Are you sure you want to send an email to these addresses?",
        "Are you sure you want to send this email with these keywords?",
        "Are you sure you want to send this email to all these people?",
        "Are you sure you want to send this email with a blank subject?",
        "Are you sure you want to send this email?"};
    for (int i = 0; i < 6; ++i) {
        expected.push_back("SetControlCaption(" + kBoxes[i] + "," + defaults[i] + ")");
    }
    for (const std::string& box : kBoxes) expected.push_back("SetEnabled(" + box + ",0)");
    for (const std::string& box : kBoxes) expected.push_back("SetCheckValue(" + box + ",0)");
    expected.push_back("SetEnabled(chkValidateEmailAddressesDomains,1)");
    expected.push_back("SetEnabled(chkValidateNumberOfRecipients,1)");
    expected.push_back("SetEnabled(cmdYes,0)");
    expected.push_back("SetCaption(Post Warden)");
    expected.push_back("SetDefaultButton(cmdNo)");
    expected.push_back("ShowModal()");
    expected.push_back("Unload()");
    EXPECT_EQ(windows->operations, expected);
}

TEST_F(YesNoPromptTest, ValuesAreNotRead) {
    ThreadGlobals().KeywordsViolated = true;
    EXPECT_EQ(form.Ask(0, friendlyName, false), 7);
    EXPECT_EQ(form.Ask(-1, "Other caption", false), 7);
    ASSERT_EQ(windows->shown.size(), 2u);
    EXPECT_TRUE(windows->shown[0].modal && windows->shown[1].modal);
    EXPECT_EQ(windows->shown[1].caption, "Other caption");
}

TEST_F(YesNoPromptTest, ManualModalShowsModelessActivatesAndWaitsForTheAnswer) {
    ThreadGlobals().BlankSubjectViolated = true;
    for (const bool yes : {true, false}) {
        windows->person = [this, yes](FakeWindow& window) {
            EXPECT_TRUE(window.shownModeless);
            EXPECT_EQ(window.activations, 1);
            EXPECT_EQ(form.Response(), 5);
            if (yes) window.Press("chkValidateBlankSubject");
            window.Press(yes ? "cmdYes" : "cmdNo");
        };
        EXPECT_EQ(Ask(true), yes ? 6 : 7);
        EXPECT_FALSE(windows->shown.back().modal);
    }
}

TEST_F(YesNoPromptTest, ManualModalWaitKeepsDispatchingUntilAnswered) {
    int passes = 0;
    windows->person = [](FakeWindow&) {};  // the person thinks a while
    windows->onPendingEvents = [&] {
        if (++passes == 3) windows->current->Press("cmdNo");
    };
    EXPECT_EQ(Ask(true), 7);
    EXPECT_EQ(passes, 3);
}

TEST_F(YesNoPromptTest, ModelessRefusedWith401FallsBackToModal) {
    ThreadGlobals().KeywordsViolated = true;
    platform.FailOn("Window.ShowModeless", errors::ModalFormDisplayed());
    windows->person = [](FakeWindow& window) {
        window.Press("chkValidateKeywords");
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(true), 6);
    ASSERT_EQ(windows->shown.size(), 1u);
    EXPECT_TRUE(windows->shown[0].modal);
    EXPECT_EQ(platform.CallsOf("Window.Activate"), 0);
    EXPECT_TRUE(windows->messages.empty());
}

TEST_F(YesNoPromptTest, AFailingFallBackModalShowGoesToTheCaller) {
    platform.FailOn("Window.ShowModeless", errors::ModalFormDisplayed());
    platform.FailOn("Window.ShowModal", RuntimeError(1234, "No modal either"));
    try {
        Ask(true);
        FAIL() << "no failure reached the caller";
    } catch (const RuntimeError& failure) {
        EXPECT_EQ(failure.Number(), 1234);
    }
    EXPECT_TRUE(windows->messages.empty());
}

TEST_F(YesNoPromptTest, OtherFailuresShowAMessageBoxAndAnswerZero) {
    struct Case {
        const char* operation;
        bool manualModal;
    };
    const Case cases[] = {{"Windows.CreateWindow", false},       {"Window.SetCaption", false},
                          {"Window.SetDefaultButton", false},    {"Window.ShowModal", false},
                          {"Window.ShowModeless", true},         {"Window.Activate", true},
                          {"Windows.ProcessPendingEvents", true}};
    for (const Case& c : cases) {
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

TEST_F(YesNoPromptTest, ALoadFailureIsLoggedAndTheWindowShownAsTheStepsLeftIt) {
    FireAll();
    platform.SetSetting("MessageForKeywords", "Keywords!");
    platform.FailOn("Window.SetCheckValue", RuntimeError(5, "Cannot tick"));
    EXPECT_EQ(Ask(), 7);
    ASSERT_EQ(platform.log.size(), 1u);
    EXPECT_EQ(platform.log[0].kind, "event");
    EXPECT_EQ(platform.log[0].level, 1);
    EXPECT_EQ(platform.log[0].source, "Brackenholt.frmYesNoPrompt.Form_Load");
    EXPECT_EQ(platform.log[0].message, "Error occurred.  Reason: Cannot tick");
    const ShownWindow& shown = windows->shown.at(0);
    EXPECT_EQ(shown.Control("chkValidateKeywords").caption, "Keywords!");            // step 2 done
    for (const std::string& box : kBoxes) EXPECT_FALSE(shown.Control(box).enabled);  // step 3
    EXPECT_TRUE(shown.Control("cmdYes").enabled);  // step 6 skipped: design state
}

TEST_F(YesNoPromptTest, AFailingQuestionReadLeavesTheDesignState) {
    ThreadGlobals().KeywordsViolated = true;
    platform.FailOn("GetSetting", RuntimeError(13, "Type mismatch"));
    EXPECT_EQ(Ask(), 7);
    EXPECT_TRUE(platform.Logged("Error occurred.  Reason: Type mismatch"));
    const ShownWindow& shown = windows->shown.at(0);
    for (const std::string& box : kBoxes) EXPECT_TRUE(shown.Control(box).enabled);
    EXPECT_TRUE(shown.Control("cmdYes").enabled);
}

TEST_F(YesNoPromptTest, ClosingWithoutAButtonAnswersNoWhateverCameBefore) {
    FireAll();
    windows->person = [](FakeWindow& window) {
        for (const std::string& box : kBoxes) window.Press(box);
        window.Press("cmdYes");
    };
    ASSERT_EQ(Ask(), 6);
    // The earlier Yes must not answer for a window closed by its close box.
    windows->person = [](FakeWindow& window) { window.RequestClose(); };
    EXPECT_EQ(Ask(), 7);
    EXPECT_EQ(Ask(true), 7);
}

TEST_F(YesNoPromptTest, AnotherSendDuringTheWaitDoesNotChangeWhatMustBeTicked) {
    FireAll();
    windows->person = [&](FakeWindow& window) {
        // Another send runs meanwhile and leaves only its own rule's flag set.
        ThreadGlobals() = Globals{};
        ThreadGlobals().KeywordsViolated = true;
        EXPECT_EQ(Ask(true), 7);  // its prompt is refused
        window.Press("chkValidateKeywords");
        EXPECT_FALSE(window.Enabled("cmdYes"));  // five questions still unticked
        for (const std::string& box : kBoxes) {
            if (box != "chkValidateKeywords") window.Press(box);
        }
        EXPECT_TRUE(window.Enabled("cmdYes"));
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(true), 6);
}

TEST_F(YesNoPromptTest, TheWindowVanishingDuringTheWaitAnswersNo) {
    windows->person = [](FakeWindow& window) { window.Unload(); };  // no close event at all
    EXPECT_EQ(Ask(true), 7);
}

TEST_F(YesNoPromptTest, AnAskDuringTheWaitIsRefusedWithNo) {
    ThreadGlobals().AnySendViolated = true;
    int inner = -1;
    windows->person = [&](FakeWindow& window) {
        inner = Ask(true);  // another send arrives while this prompt waits
        window.Press("chkValidateAnySend");
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(true), 6);
    EXPECT_EQ(inner, 7);
    EXPECT_EQ(windows->windowsCreated, 1);
    // Refused before it touched the window: shown once, for the first send only.
    EXPECT_EQ(windows->shown.size(), 1u);
}

}  // namespace
}  // namespace postwarden::testing
