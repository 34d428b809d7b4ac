#include "prompts/frmYesNoPrompt.h"

#include <string>

#include "module/FailureReport.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

// Each rule after the six adds a row of this height below them.
constexpr int32_t kRowHeight = 480;

FormDesign MakeDesign() {
    const int32_t grown = kRowHeight * static_cast<int32_t>(kRuleCount - kDriverRuleCount);
    FormDesign design{"frmYesNoPrompt",       "Post Warden", 5505, 4140 + grown,
                      "Microsoft Sans Serif", 8.25,          {}};
    design.controls.push_back(
        {"Frame1", ControlKind::kFrame, "", "", 195, 150, 5085, 3240 + grown, 2});
    for (size_t i = 0; i < kRuleCount; ++i) {
        design.controls.push_back({kRules[i].checkBox, ControlKind::kCheckBox,
                                   kRules[i].DefaultQuestion(), "Frame1", 120, kRules[i].boxTop,
                                   4890, 495, 3 + static_cast<int32_t>(i)});
    }
    design.controls.push_back(
        {"cmdYes", ControlKind::kPushButton, "&Yes", "", 1350, 3570 + grown, 1320, 375, 1});
    design.controls.push_back(
        {"cmdNo", ControlKind::kPushButton, "&No", "", 2955, 3570 + grown, 1320, 375, 0});
    return design;
}

}  // namespace

const FormDesign& frmYesNoPrompt::Design() {
    static const FormDesign design = MakeDesign();
    return design;
}

frmYesNoPrompt::frmYesNoPrompt(Platform& platform, const RuleFlags& flags,
                               const SendDetails& details)
    : ConfirmationForm(platform, Design()), flags_(flags), details_(details) {}

void frmYesNoPrompt::Form_Load() {
    fired_ = flags_.Fired();
    // A failing step leaves the later controls in their design state: boxes
    // enabled and unticked, Yes enabled.
    try {
        Helper().PrepareForm(*this);
        LoadRuleMessages();
        for (const Rule& rule : kRules) Me().SetEnabled(rule.checkBox, false);
        for (const Rule& rule : kRules) Me().SetCheckValue(rule.checkBox, kUnchecked);
        for (const Rule& rule : kRules) {
            if (fired_.*rule.flag) Me().SetEnabled(rule.checkBox, true);
        }
        Me().SetEnabled("cmdYes", false);
        // Read with the flags: the details are those of the message asked about.
        const std::vector<std::string> lines = DetailLines(details_.Evidence(), fired_);
        if (!lines.empty()) Me().SetDetails(lines);
    } catch (const RuntimeError& failure) {
        ReportFailure(Helper(), kLoadFailureSource, 1, FailureText(failure.Description()));
    }
}

void frmYesNoPrompt::LoadRuleMessages() {
    for (const Rule& rule : kRules) {
        // Read afresh at every load, so a changed question shows at the next prompt.
        const std::string question = platform().GetSetting(
            Helper().SettingsAppName(), kSettingsSection, rule.questionKey, rule.DefaultQuestion());
        Me().SetControlCaption(rule.checkBox, question);
    }
}

void frmYesNoPrompt::CheckBoxClicked(std::string_view /*control*/) {
    AllRulesAcknowledged();
}

bool frmYesNoPrompt::AllRulesAcknowledged() {
    bool acknowledged = true;
    for (const Rule& rule : kRules) {
        if (fired_.*rule.flag && Me().CheckValue(rule.checkBox) == kUnchecked) acknowledged = false;
    }
    // Never disables Yes again: only the next load does.
    if (acknowledged) Me().SetEnabled("cmdYes", true);
    return acknowledged;
}

}  // namespace postwarden
