#pragma once

#include <string>
#include <string_view>

#include "prompts/ConfirmationForm.h"

namespace postwarden {

// The single-rule confirmation form: the caller's question and Yes/No. Every load
// sets the answer to No, so closing the window without a button answers No.
class frmSimpleYesNoPrompt final : public ConfirmationForm {
  public:
    explicit frmSimpleYesNoPrompt(Platform& platform);

    // The window's design, "frmSimpleYesNoPrompt".
    static const FormDesign& Design();
    // Where a failing load is logged.
    static constexpr std::string_view kLoadFailureSource =
        "Postwarden.frmSimpleYesNoPrompt.Form_Load";

    std::string_view FormName() const override { return "frmSimpleYesNoPrompt"; }

    // Sets the caption of lblConfirmationMessage, the question the next Ask
    // shows; loads the window first when it is not loaded. Does nothing while an
    // Ask waits for its answer. Throws RuntimeError when the window cannot be
    // loaded or the caption set.
    void SetConfirmationMessage(const std::string& text);

  private:
    void Form_Load() override;
};

}  // namespace postwarden
