#pragma once

// The six send-time rules, once: each rule's violation flag, its box on the
// multi-rule form, the setting that holds its question and the question used
// when that setting is absent, and the driver's trace lines about it. The rules,
// the send driver, the multi-rule form and the host's `forms` command all read
// this table; its order is the rule order everywhere.

#include <cstddef>

#include "settings/SettingKeys.h"

namespace postwarden {

// The rules' violation flags of one send, in rule order. The send driver clears
// them at the start of every send, each rule sets its own.
struct Globals {
    bool OutsideDomainsViolated = false;
    bool EmailAddressesDomainsViolated = false;
    bool KeywordsViolated = false;
    bool NumberOfRecipientsViolated = false;
    bool BlankSubjectViolated = false;
    bool AnySendViolated = false;
};

struct Rule {
    bool Globals::*flag;
    const char* checkBox;  // on frmYesNoPrompt, captioned with the question
    const char* questionKey;
    const char* defaultQuestion;
    const char* violatedLabel;  // the driver's trace line, followed by "True" or "False"
    // The driver's trace line of what the rule found (module/Evidence.h),
    // followed by it; written only when the rule fired and found something.
    const char* evidenceLabel;
};

inline constexpr Rule kRules[] = {
    {&Globals::OutsideDomainsViolated, "chkValidateOutsideDomains", keys::kMessageForOutsideDomains,
     fallback::kMessageForOutsideDomains,
     "Violated Outside Domains Rule: ", "Evidence of Outside Domains Rule: "},
    {&Globals::EmailAddressesDomainsViolated, "chkValidateEmailAddressesDomains",
     keys::kMessageForEmailAddressesDomains, fallback::kMessageForEmailAddressesDomains,
     "Violated Email Addresses Domains Rule: ", "Evidence of Email Addresses Domains Rule: "},
    {&Globals::KeywordsViolated, "chkValidateKeywords", keys::kMessageForKeywords,
     fallback::kMessageForKeywords, "Violated Keywords Rule: ", "Evidence of Keywords Rule: "},
    {&Globals::NumberOfRecipientsViolated, "chkValidateNumberOfRecipients",
     keys::kMessageForNumberOfRecipients, fallback::kMessageForNumberOfRecipients,
     "Violated Max Number Of Recipients Rule: ", "Evidence of Max Number Of Recipients Rule: "},
    {&Globals::BlankSubjectViolated, "chkValidateBlankSubject", keys::kMessageForBlankSubject,
     fallback::kMessageForBlankSubject,
     "Violated Blank Subject Rule: ", "Evidence of Blank Subject Rule: "},
    {&Globals::AnySendViolated, "chkValidateAnySend", keys::kMessageForAnySend,
     fallback::kMessageForAnySend, "Violated Any Send Rule: ", "Evidence of Any Send Rule: "},
};

// The rows by name, for the code of one rule.
inline constexpr const Rule& kOutsideDomainsRule = kRules[0];
inline constexpr const Rule& kEmailAddressesDomainsRule = kRules[1];
inline constexpr const Rule& kKeywordsRule = kRules[2];
inline constexpr const Rule& kNumberOfRecipientsRule = kRules[3];
inline constexpr const Rule& kBlankSubjectRule = kRules[4];
inline constexpr const Rule& kAnySendRule = kRules[5];

// Whether any rule fired.
inline bool AnyFired(const Globals& flags) {
    for (const Rule& rule : kRules) {
        if (flags.*rule.flag) return true;
    }
    return false;
}

}  // namespace postwarden
