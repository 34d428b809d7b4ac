#pragma once

#include "module/Evidence.h"

namespace postwarden {

// Where a form learns what made the rules fire for the message it asks about,
// to show it under the question. The send-time checks supply the evidence of
// the calling thread's send; a caller that only draws a form supplies a fixed
// one, or none.
class SendDetails {
  public:
    virtual ~SendDetails() = default;
    // The evidence as it stands now; read each time a question is put.
    virtual SendEvidence Evidence() const = 0;
};

// No send is being checked: the forms show no details and look as designed.
const SendDetails& NoSendDetails();

// The calling thread's evidence, as the forms read it.
class ThreadSendDetails final : public SendDetails {
  public:
    SendEvidence Evidence() const override { return ThreadEvidence(); }
};

}  // namespace postwarden
