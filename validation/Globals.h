#pragma once

// validation/ holds the send-time checks, procedures of CPostwarden:
//   ProcessItem.cpp        the send driver: reads the switches, finds the
//                          message, runs the enabled rules, asks the forms
//   DomainRules.cpp        outside domains and watched addresses/domains,
//                          comparing in AddressForm.h's canonical form
//   KeywordRule.cpp        watched keywords, found with KeywordSearch.h
//   MessageRules.cpp       recipient count, blank subject, every send
//   OtherRules.cpp         the checks of the rules after the six
//   EnvironmentProbes.cpp  UsingWordAsEditor and FindInDrafts
//   Globals.h              the thread's violation flags and evidence (this file)
// The rules' rows are module/Rules.h; their questions are asked through prompts/.

#include "module/Evidence.h"
#include "module/Rules.h"
#include "prompts/RuleFlags.h"
#include "prompts/SendDetails.h"

namespace postwarden {

// The check of a rule after the six; nullptr for the six, which the send
// driver checks in steps of its own.
RuleCheck CheckOf(const Rule& rule);

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

// The calling thread's evidence: cleared with the flags at the start of every
// send, the driver notes the message's subject and recipient count, each rule
// what it found just before it asks. Per thread, like the flags: a send on
// another thread never shows its details in this thread's form.
inline SendEvidence& ThreadEvidence() {
    thread_local SendEvidence evidence;
    return evidence;
}

// The calling thread's evidence, as the forms read it.
class ThreadSendDetails final : public SendDetails {
  public:
    SendEvidence Evidence() const override { return ThreadEvidence(); }
};

}  // namespace postwarden
