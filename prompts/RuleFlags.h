#pragma once

#include "module/Evidence.h"
#include "module/Rules.h"

namespace postwarden {

// Where the multi-rule form learns which rules fired for the message it asks
// about. The send-time checks supply the flags of the calling thread's send; a
// caller that only draws the form supplies a fixed set.
class RuleFlags {
  public:
    virtual ~RuleFlags() = default;
    // The flags as they stand now; read once each time the window loads.
    virtual Globals Fired() const = 0;
};

// The calling thread's flags, as the multi-rule form reads them.
class ThreadRuleFlags final : public RuleFlags {
  public:
    Globals Fired() const override { return ThreadGlobals(); }
};

}  // namespace postwarden
