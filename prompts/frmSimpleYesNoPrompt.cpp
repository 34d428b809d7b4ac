#include "prompts/frmSimpleYesNoPrompt.h"

#include "module/FailureReport.h"
#include "util/RuntimeError.h"

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

frmSimpleYesNoPrompt::frmSimpleYesNoPrompt(Platform& platform, const SendDetails& details)
    : ConfirmationForm(platform, Design()), details_(details) {}

void frmSimpleYesNoPrompt::SetConfirmationMessage(const std::string& text, const Rule* rule) {
    // Another send's rule while the person is still reading this question: its
    // Ask is refused, and the question on screen must stay the one being answered.
    if (Asking()) return;
    Me().SetControlCaption("lblConfirmationMessage", text);
    if (rule == nullptr) return;
    Globals only;
    only.*rule->flag = true;
    const std::vector<std::string> lines = DetailLines(details_.Evidence(), only);
    if (lines.empty()) return;
    try {
        Me().SetDetails(lines);
    } catch (const RuntimeError& failure) {
        // The question matters more than its details: it is asked without them.
        ReportFailure(Helper(), kDetailsFailureSource, 1, FailureText(failure.Description()));
    }
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
