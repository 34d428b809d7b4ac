#pragma once

// validation/ holds the send-time checks, procedures of CPostwarden:
//   ProcessItem.cpp        the send driver: reads the switches, finds the
//                          message, runs the enabled rules, asks the forms
//   DomainRules.cpp        outside domains and watched addresses/domains,
//                          comparing in util/AddressForm.h's canonical form
//   KeywordRule.cpp        watched keywords, found with KeywordSearch.h
//   MessageRules.cpp       recipient count, blank subject, every send
//   OtherRules.cpp         the checks of the rules after the six: many
//                          organisations, a missing attachment, new
//                          recipients and look-alike domains (these two
//                          compare with the recipient history)
//   RecipientDomains.h     the domains a recipient's mail reaches, compared with
//                          the company's (outside domains and the rules after
//                          the six that look at recipients)
//   AttachmentWords.h      attachment words in what the sender wrote
//   EnvironmentProbes.cpp  UsingWordAsEditor and FindInDrafts
//   Globals.h              the checks of the rules after the six (this file); the
//                          thread's flags and evidence are module/Evidence.h's
// The rules' rows are module/Rules.h; their questions are asked through prompts/.

#include "module/Evidence.h"
#include "module/Rules.h"

namespace postwarden {

// The check of a rule after the six; nullptr for the six, which the send
// driver checks in steps of its own.
RuleCheck CheckOf(const Rule& rule);

}  // namespace postwarden
