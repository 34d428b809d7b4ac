#pragma once

// What the send driver and the rules share: the arguments every confirmation
// form is asked with, and the test for "no object".

#include <cstdint>
#include <memory>

#include "module/RuntimeError.h"

namespace postwarden::validation {

// Yes and No buttons (4) plus set-foreground (0x10000); the forms do not read it.
inline constexpr int32_t kPromptValues = 65540;
inline constexpr const char* kPromptFriendlyName = "Post Warden";
// The forms' answer for No; Yes is 6, a form that could not be shown answers 0.
inline constexpr int32_t kAnswerNo = 7;

// The object behind `p`, or "Object variable not set" when an outside call gave
// no object where the procedure needs one.
template <class T>
T& Use(const std::shared_ptr<T>& p) {
    if (!p) throw errors::ObjectNotSet();
    return *p;
}

}  // namespace postwarden::validation
