#pragma once

#include <cstdint>
#include <string>

#include "module/Evidence.h"
#include "module/Rules.h"

namespace postwarden {
class Platform;
}  // namespace postwarden

// The module library's second exported symbol, for a host that wants to see the
// confirmation forms without sending anything (`postwarden forms`). Shows one
// form through `platform`'s window system the way a send shows it (modal, the
// questions read from the settings) and returns its answer: 6 Yes, 7 No, 0 when
// the window could not be shown (the form has then said so in a message box).
// A non-null `fired` shows the multi-rule form, frmYesNoPrompt, with the boxes
// of those rules enabled; a null `fired` shows the single-rule form,
// frmSimpleYesNoPrompt, asking `question` about rule `rule` (its place in
// kRules; any other number for none). A non-null `evidence` is shown under the
// question(s) as a send shows what its rules found; with a null one the form
// looks as designed. Returns kShowFormFailed, with the reason in `failure` when
// that is non-null, when the form could not even be loaded or `platform` is
// null. Nothing of `platform` is kept after the call.
extern "C" int32_t PostwardenShowForm(postwarden::Platform* platform,
                                      const postwarden::Globals* fired, const char* question,
                                      int32_t rule, const postwarden::SendEvidence* evidence,
                                      std::string* failure);

inline constexpr const char* kShowFormEntryPoint = "PostwardenShowForm";
inline constexpr int32_t kShowFormFailed = -1;
