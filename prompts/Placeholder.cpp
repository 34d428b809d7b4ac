// Temporary bodies until the confirmation forms land.
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"

namespace postwarden {

int32_t frmYesNoPrompt::Ask(const int32_t&, const std::string&, const bool&) { return 0; }
void frmSimpleYesNoPrompt::SetConfirmationMessage(const std::string&) {}
int32_t frmSimpleYesNoPrompt::Ask(const int32_t&, const std::string&, const bool&) { return 0; }

}  // namespace postwarden
