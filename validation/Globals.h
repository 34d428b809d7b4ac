#pragma once

namespace postwarden {

// The rules' violation flags, one set per thread. The send driver clears them at
// the start of every send, each rule sets its own, the driver and the multi-rule
// form read them. Their order is the rule order used everywhere.
struct Globals {
    bool OutsideDomainsViolated = false;
    bool EmailAddressesDomainsViolated = false;
    bool KeywordsViolated = false;
    bool NumberOfRecipientsViolated = false;
    bool BlankSubjectViolated = false;
    bool AnySendViolated = false;
};

// The calling thread's flags.
inline Globals& ThreadGlobals() {
    thread_local Globals globals;
    return globals;
}

}  // namespace postwarden
