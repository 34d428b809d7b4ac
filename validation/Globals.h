#pragma once

#include "module/Rules.h"
#include "prompts/RuleFlags.h"

namespace postwarden {

// The calling thread's violation flags: the send driver clears them at the start
// of every send, each rule sets its own, the driver and the multi-rule form read
// them.
inline Globals& ThreadGlobals() {
    thread_local Globals globals;
    return globals;
}

// The calling thread's flags, as the multi-rule form reads them.
class ThreadRuleFlags final : public RuleFlags {
  public:
    Globals Fired() const override { return ThreadGlobals(); }
};

}  // namespace postwarden
