#pragma once

#include <string>
#include <string_view>

#include "module/Rules.h"
#include "prompts/ConfirmationForm.h"
#include "prompts/SendDetails.h"

namespace postwarden {

// The single-rule confirmation form: the caller's question and Yes/No, with what
// the rule found under the question. Every load sets the answer to No, so
// closing the window without a button answers No.
class frmSimpleYesNoPrompt final : public ConfirmationForm {
  public:
    // `details` must outlive the form.
    explicit frmSimpleYesNoPrompt(Platform& platform, const SendDetails& details = NoSendDetails());

    // The window's design, "frmSimpleYesNoPrompt".
    static const FormDesign& Design();
    // Where a failing load is logged.
    static constexpr std::string_view kLoadFailureSource =
        "Postwarden.frmSimpleYesNoPrompt.Form_Load";

    std::string_view FormName() const override { return "frmSimpleYesNoPrompt"; }

    // Sets the caption of lblConfirmationMessage, the question the next Ask
    // shows; loads the window first when it is not loaded. With `rule`, the
    // window also shows the send's details and what that rule found. Does
    // nothing while an Ask waits for its answer. Throws RuntimeError when the
    // window cannot be loaded or the caption set; details that cannot be shown
    // are reported and left out, the question still stands.
    void SetConfirmationMessage(const std::string& text, const Rule* rule = nullptr);

    static constexpr std::string_view kDetailsFailureSource =
        "Postwarden.frmSimpleYesNoPrompt.SetConfirmationMessage";

  private:
    void Form_Load() override;

    const SendDetails& details_;
};

}  // namespace postwarden
