#include "prompts/frmSimpleYesNoPrompt.h"

#include "module/FailureReport.h"
#include "module/RuntimeError.h"

namespace postwarden {

namespace {

FormDesign MakeDesign() {
    return FormDesign{
        "frmSimpleYesNoPrompt",
        "Post Warden",
        4095,
        2190,
        "Microsoft Sans Serif",
        8.25,
        {
            {"Frame1", ControlKind::kFrame, "", "", 195, 150, 3525, 1110, 2},
            {"lblConfirmationMessage", ControlKind::kLabel,
             "Are you sure you want to send this email?", "Frame1", 255, 345, 3120, 705, 3},
            {"cmdYes", ControlKind::kPushButton, "&Yes", "", 555, 1515, 1320, 375, 1},
            {"cmdNo", ControlKind::kPushButton, "&No", "", 2160, 1515, 1320, 375, 0},
        }};
}

}  // namespace

const FormDesign& frmSimpleYesNoPrompt::Design() {
    static const FormDesign design = MakeDesign();
    return design;
}

frmSimpleYesNoPrompt::frmSimpleYesNoPrompt(Platform& platform)
    : ConfirmationForm(platform, Design()) {}

void frmSimpleYesNoPrompt::SetConfirmationMessage(const std::string& text) {
    // Another send's rule while the person is still reading this question: its
    // Ask is refused, and the question on screen must stay the one being answered.
    if (Asking()) return;
    Me().SetControlCaption("lblConfirmationMessage", text);
}

void frmSimpleYesNoPrompt::Form_Load() {
    response_ = kAnswerNo;
    try {
        Helper().PrepareForm(*this);
    } catch (const RuntimeError& failure) {
        ReportFailure(Helper(), kLoadFailureSource, 1, FailureText(failure.Description()));
    }
}

}  // namespace postwarden
