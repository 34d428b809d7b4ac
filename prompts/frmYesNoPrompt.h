#pragma once

#include <string_view>

#include "prompts/ConfirmationForm.h"
#include "prompts/RuleFlags.h"
#include "prompts/SendDetails.h"

namespace postwarden {

// The multi-rule confirmation form: one check box per rule, each captioned with
// the rule's question; only the boxes of the rules that fired this send can be
// ticked, and Yes stays disabled until every one of them has been ticked. Under
// the boxes, what the rules that fired found. Closing the window without a
// button answers No, so an answer left over from an earlier prompt can never
// let a send through.
class frmYesNoPrompt final : public ConfirmationForm {
  public:
    // `flags` and `details` must outlive the form.
    frmYesNoPrompt(Platform& platform, const RuleFlags& flags,
                   const SendDetails& details = NoSendDetails());

    // The window's design, "frmYesNoPrompt".
    static const FormDesign& Design();
    // Where a failing load is logged.
    // Not "Postwarden.": this form's load failures have always been logged under
    // this name, and readers of the log look for it.
    static constexpr std::string_view kLoadFailureSource = "Brackenholt.frmYesNoPrompt.Form_Load";

    std::string_view FormName() const override { return "frmYesNoPrompt"; }

  private:
    void Form_Load() override;
    void CheckBoxClicked(std::string_view control) override;
    void LoadRuleMessages();
    bool AllRulesAcknowledged();

    const RuleFlags& flags_;
    const SendDetails& details_;
    // The flags as they stood when the window was loaded. Another send can run
    // while the window waits and sets the flags of its own message; the boxes
    // to tick stay those of the message this window asks about.
    Globals fired_;
};

}  // namespace postwarden
