// The two confirmation forms on the fake windows, and the details they show.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "module/Evidence.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {
namespace {

using fakes::FakeWindow;

const std::array<std::string, 10> kBoxes = {
    "chkValidateOutsideDomains",     "chkValidateEmailAddressesDomains", "chkValidateKeywords",
    "chkValidateNumberOfRecipients", "chkValidateBlankSubject",          "chkValidateAnySend",
    "chkValidateManyOrganisations",  "chkValidateMissingAttachment",     "chkValidateNewRecipients",
    "chkValidateLookAlikeDomains"};

// The flag that enables each box above.
const std::array<bool Globals::*, 10> kFlags = {
    &Globals::OutsideDomainsViolated,    &Globals::EmailAddressesDomainsViolated,
    &Globals::KeywordsViolated,          &Globals::NumberOfRecipientsViolated,
    &Globals::BlankSubjectViolated,      &Globals::AnySendViolated,
    &Globals::ManyOrganisationsViolated, &Globals::MissingAttachmentViolated,
    &Globals::NewRecipientsViolated,     &Globals::LookAlikeDomainsViolated};

const Globals kAllFired{true, true, true, true, true, true, true, true, true, true};

// The multi-rule window keeps the six rows where they always stood and adds a
// row of 480 twips for each rule after them, growing the window by as much.
TEST(MultiRuleFormDesign, TheSixKeepTheirPlacesAndEachLaterRuleAddsARowBelow) {
    const FormDesign& design = frmYesNoPrompt::Design();
    const auto control = [&](const std::string& name) {
        for (const ControlDesign& c : design.controls) {
            if (c.name == name) return c;
        }
        ADD_FAILURE() << "no control " << name;
        return ControlDesign{};
    };
    const int32_t tops[] = {165, 645, 1125, 1620, 2100, 2580, 3060, 3540, 4020, 4500};
    for (size_t i = 0; i < kBoxes.size(); ++i) {
        const ControlDesign box = control(kBoxes[i]);
        EXPECT_EQ(box.container, "Frame1") << kBoxes[i];
        EXPECT_EQ(box.top, tops[i]) << kBoxes[i];
        EXPECT_EQ(box.left, 120) << kBoxes[i];
        EXPECT_EQ(box.height, 495) << kBoxes[i];
        EXPECT_EQ(box.tabIndex, 3 + static_cast<int32_t>(i)) << kBoxes[i];
    }
    EXPECT_EQ(design.clientHeight, 4140 + 4 * 480);
    EXPECT_EQ(control("Frame1").height, 3240 + 4 * 480);
    EXPECT_EQ(control("cmdYes").top, 3570 + 4 * 480);
    EXPECT_EQ(control("cmdNo").top, 3570 + 4 * 480);
    // The last row ends inside the frame.
    EXPECT_LE(tops[9] + 495, control("Frame1").height);
}

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
        {"all ten, last first", kAllFired, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, 9},
        {"all ten, shuffled", kAllFired, {2, 7, 9, 5, 0, 8, 6, 3, 1, 4}, 9},
        // A later rule's box counts as the six's do.
        {"a later rule",
         {.BlankSubjectViolated = true, .MissingAttachmentViolated = true},
         {7, 6, 4},
         2},
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
        "Are you sure you want to send this email?",
        "Are you sure these organisations may see each other's addresses?",
        "This email mentions an attachment but has none. Send it anyway?",
        "You have never written to these recipients before. Send it anyway?",
        "A recipient's domain only looks like one you know. Send it anyway?"};
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

TEST_F(SimpleYesNoPromptTest, ALoadFailureIsLoggedAndShownAFailingQuestionGoesToTheCaller) {
    platform.FailOn("PrepareForm", RuntimeError(438, "Object doesn't support this property"));
    form.SetConfirmationMessage("Outside?");
    EXPECT_EQ(form.Response(), 7);  // set before the failing step
    EXPECT_EQ(platform.Events(), Lines{"1|Postwarden.frmSimpleYesNoPrompt.Form_Load|Error "
                                       "occurred.  Reason: Object doesn't support this property"});
    windows->person = [](FakeWindow& window) { window.Press("cmdYes"); };
    EXPECT_EQ(Ask(), 6);

    platform.Heal("PrepareForm");
    platform.FailOn("Windows.CreateWindow", errors::CannotCreateObject());
    EXPECT_THROW(form.SetConfirmationMessage("Outside?"), RuntimeError);
    EXPECT_EQ(Ask(), 0);
    ASSERT_EQ(windows->messages.size(), 1u);
    EXPECT_EQ(windows->messages[0].text,
              "Error occurred.  Reason: Can't create object Error Number: {429}");
}

// What the forms show under their questions: the lines made of a send's
// evidence, and which form shows which.
SendEvidence Sample() {
    SendEvidence evidence;
    evidence.present = true;
    evidence.subject = "Plans";
    evidence.recipientCount = 8;
    for (int i = 1; i <= 7; ++i) {
        evidence.outside.Add("a" + std::to_string(i) + "@out.example", "out.example");
    }
    evidence.watched.Add("ceo@corp.example", "ceo@*");
    evidence.keyword = "projectx";
    evidence.keywordPlace = "the subject";
    evidence.count = 8;
    evidence.maximum = 5;
    return evidence;
}

const Lines kHead{"Subject: \"Plans\"", "Recipients: 8"};

TEST(DetailLines, EachRuleAddsWhatItFoundAndNothingWithoutASend) {
    const struct {
        const char* name;
        Globals rules;
        Lines added;
    } cases[] = {
        {"outside: five, then the rest counted",
         {.OutsideDomainsViolated = true},
         {"Outside the company's domains (7):", "  a1@out.example (out.example)",
          "  a2@out.example (out.example)", "  a3@out.example (out.example)",
          "  a4@out.example (out.example)", "  a5@out.example (out.example)", "  and 2 more"}},
        {"watch list",
         {.EmailAddressesDomainsViolated = true},
         {"On the watch list (1):", "  ceo@corp.example matches ceo@*"}},
        {"keyword",
         {.KeywordsViolated = true},
         {"Keyword \"projectx\",", "  found in the subject"}},
        {"count", {.NumberOfRecipientsViolated = true}, {"8 recipients; at most 5 allowed"}},
        {"blank subject: nothing more", {.BlankSubjectViolated = true}, {}},
        {"any send: nothing more", {.AnySendViolated = true}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lines expected = kHead;
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(DetailLines(Sample(), c.rules), expected);
        SendEvidence none = Sample();
        none.present = false;
        EXPECT_TRUE(DetailLines(none, c.rules).empty());
    }
    // The keyword rule fired for what could not be read.
    SendEvidence unread = Sample();
    unread.keywordPlace.clear();
    unread.unreadParts = "encrypted";
    EXPECT_EQ(DetailLines(unread, {.KeywordsViolated = true}).back(),
              "Part of the message could not be read (encrypted)");
}

TEST(DetailLines, LongTextsAreCutAndABlankSubjectIsSaid) {
    SendEvidence evidence = Sample();
    // A subject as long as the longest address is shown whole; a longer one
    // (a hostile message's) is cut.
    evidence.subject = std::string(254, 's');
    EXPECT_EQ(DetailLines(evidence, {})[0], "Subject: \"" + std::string(254, 's') + "\"");
    evidence.subject = std::string(10000, 's');
    EXPECT_EQ(DetailLines(evidence, {})[0], "Subject: \"" + std::string(254, 's') + "\u2026\"");
    // So is an address: the longest that can be delivered, whole.
    const std::string longest = std::string(64, 'a') + "@" + std::string(189, 'd');
    evidence.outside = {};
    evidence.outside.Add(longest, longest.substr(65));
    const Lines lines = DetailLines(evidence, {.OutsideDomainsViolated = true});
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line == "  " + longest + " (" + longest.substr(65) + ")";
    })) << lines.back();
    evidence.subject = "   ";
    EXPECT_EQ(DetailLines(evidence, {})[0], "Subject: (blank)");
    // Characters, not bytes: a cut never splits one.
    EXPECT_EQ(CutText("\xc3\xa4\xc3\xb6\xc3\xbc", 2), "\xc3\xa4\xc3\xb6\u2026");
    EXPECT_EQ(CutText("\xc3\xa4\xc3\xb6", 2), "\xc3\xa4\xc3\xb6");
}

struct FixedDetails final : SendDetails {
    SendEvidence evidence = Sample();
    SendEvidence Evidence() const override { return evidence; }
};

class DetailsFormTest : public FormTest {
  protected:
    FixedDetails details;
};

TEST_F(DetailsFormTest, TheSingleRuleFormShowsItsOwnRuleOnly) {
    frmSimpleYesNoPrompt form(platform, details);
    form.SetConfirmationMessage("Watched?", &kEmailAddressesDomainsRule);
    form.Ask(kPromptValues, kPromptFriendlyName, false);
    Lines expected = kHead;
    expected.insert(expected.end(), {"On the watch list (1):", "  ceo@corp.example matches ceo@*"});
    EXPECT_EQ(windows->shown.at(0).details, expected);

    // Asked without a rule, or outside a send, it looks as designed.
    form.SetConfirmationMessage("Sure?");
    form.Ask(kPromptValues, kPromptFriendlyName, false);
    details.evidence.present = false;
    form.SetConfirmationMessage("Sure?", &kKeywordsRule);
    form.Ask(kPromptValues, kPromptFriendlyName, false);
    EXPECT_TRUE(windows->shown.at(1).details.empty());
    EXPECT_TRUE(windows->shown.at(2).details.empty());
}

TEST_F(DetailsFormTest, DetailsThatCannotBeShownLeaveTheQuestionAsked) {
    platform.FailOn("Window.SetDetails");
    frmSimpleYesNoPrompt form(platform, details);
    form.SetConfirmationMessage("Watched?", &kEmailAddressesDomainsRule);
    EXPECT_EQ(form.Ask(kPromptValues, kPromptFriendlyName, false), 7);
    ASSERT_EQ(windows->shown.size(), 1u);
    EXPECT_EQ(windows->shown[0].Control("lblConfirmationMessage").caption, "Watched?");
    const std::string reported = "1|" + std::string(frmSimpleYesNoPrompt::kDetailsFailureSource);
    ASSERT_EQ(platform.Events().size(), 1u);
    EXPECT_TRUE(platform.Events()[0].starts_with(reported)) << platform.Events()[0];
}

}  // namespace
}  // namespace postwarden::testing
