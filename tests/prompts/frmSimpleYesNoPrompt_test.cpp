#include "prompts/frmSimpleYesNoPrompt.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

using fakes::FakeWindow;

class SimpleYesNoPromptTest : public FormTest {
  protected:
    int32_t Ask(bool manualModal = false) { return form.Ask(values, friendlyName, manualModal); }
    frmSimpleYesNoPrompt form{platform};
};

TEST_F(SimpleYesNoPromptTest, TheCallersQuestionIsAskedWithYesUsableAndEachPromptStartsWithNo) {
    EXPECT_EQ(form.Response(), 0);
    EXPECT_EQ(Ask(), 7);  // without a question: the design's text
    EXPECT_EQ(windows->shown.at(0).Control("lblConfirmationMessage").caption,
              "Are you sure you want to send this email?");

    const std::string question = "Are you sure? It goes to \"everyone\" & their managers.";
    form.SetConfirmationMessage(question);  // loads the window, not yet shown
    EXPECT_EQ(form.Response(), 7);
    EXPECT_EQ(windows->shown.size(), 1u);
    EXPECT_EQ(platform.CallsOf("PrepareForm"), 2);
    windows->person = [](FakeWindow& window) {
        EXPECT_TRUE(window.Enabled("cmdYes"));
        EXPECT_EQ(window.defaultButton(), "cmdNo");
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(), 6);
    EXPECT_EQ(windows->shown.at(1).Control("lblConfirmationMessage").caption, question);
    EXPECT_EQ(windows->windowsCreated, 2);  // Ask used the window the question loaded

    form.SetConfirmationMessage("Second rule?");
    EXPECT_EQ(form.Response(), 7);
    windows->person = [](FakeWindow& window) { window.RequestClose(); };
    EXPECT_EQ(Ask(), 7);
}

TEST_F(SimpleYesNoPromptTest, AnotherSendDuringTheWaitCannotChangeTheQuestion) {
    form.SetConfirmationMessage("Outside the company?");
    int32_t inner = -1;
    windows->person = [&](FakeWindow& window) {
        form.SetConfirmationMessage("Blank subject?");  // a rule of another send
        inner = Ask(true);
        EXPECT_EQ(window.ControlCaption("lblConfirmationMessage"), "Outside the company?");
        window.Press("cmdYes");
    };
    EXPECT_EQ(Ask(true), 6);
    EXPECT_EQ(inner, 7);
}

TEST_F(SimpleYesNoPromptTest, ALoadFailureIsLoggedAndTheWindowStillShown) {
    platform.FailOn("PrepareForm", RuntimeError(438, "Object doesn't support this property"));
    form.SetConfirmationMessage("Outside?");
    EXPECT_EQ(form.Response(), 7);  // set before the failing step
    EXPECT_EQ(platform.Events(), Lines{"1|Postwarden.frmSimpleYesNoPrompt.Form_Load|Error "
                                       "occurred.  Reason: Object doesn't support this property"});
    windows->person = [](FakeWindow& window) { window.Press("cmdYes"); };
    EXPECT_EQ(Ask(), 6);
}

TEST_F(SimpleYesNoPromptTest, AFailingQuestionGoesToTheCaller) {
    platform.FailOn("Windows.CreateWindow", errors::CannotCreateObject());
    EXPECT_THROW(form.SetConfirmationMessage("Outside?"), RuntimeError);
    EXPECT_EQ(Ask(), 0);
    ASSERT_EQ(windows->messages.size(), 1u);
    EXPECT_EQ(windows->messages[0].text,
              "Error occurred.  Reason: Can't create object Error Number: {429}");
}

}  // namespace
}  // namespace postwarden::testing
