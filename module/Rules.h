#pragma once

// Every send-time rule, one row each: the name the log gives it, its words for
// people, its settings (switch and question), whether an audit reports it by
// default, its violation flag and its box on the multi-rule form. Everything
// else that lists rules is a view of these rows: the send driver's switch reads
// and trace lines, the forms, the send's result, the host's words, `audit
// --rules`, the help. Their order is the rule order everywhere.
//
// The first six are checked by the send driver in steps of its own (each
// recipient, the subject and the body, the count, ...). A rule after them has
// a check of its own (validation/OtherRules.cpp), which the driver runs once
// per send after the six.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "module/SettingKeys.h"

namespace postwarden {

class MapiMessage;

// The rules' violation flags of one send, in rule order. The send driver clears
// them at the start of every send, each rule sets its own.
struct Globals {
    bool OutsideDomainsViolated = false;
    bool EmailAddressesDomainsViolated = false;
    bool KeywordsViolated = false;
    bool NumberOfRecipientsViolated = false;
    bool BlankSubjectViolated = false;
    bool AnySendViolated = false;
    bool ManyOrganisationsViolated = false;
    bool MissingAttachmentViolated = false;
    bool NewRecipientsViolated = false;
    bool LookAlikeDomainsViolated = false;
};

// What a rule's check found when it fired: the lines a form shows under its
// question ("  bob@other.example"), and the same in one short line for the
// refusal line and the log ("new recipients: bob@other.example").
struct RuleFinding {
    std::vector<std::string> details;
    std::string summary;
};

// What a rule's check may read of the send: the message, its recipients'
// addresses, the settings (a setting absent from the store reads as its row's
// fallback in SettingKeys.h) and the person's recipient history (the
// platform's, Platform.h). Every call may throw RuntimeError.
class RuleInput {
  public:
    virtual ~RuleInput() = default;
    virtual MapiMessage& Message() = 0;
    virtual std::string Setting(const char* key) = 0;
    // 1 when the whole `value` matches the list entry `entry`, else 0: the
    // comparison the rules on recipients make.
    virtual int32_t MatchesEntry(std::string_view value, std::string_view entry) = 0;
    // The address of each recipient, as written, in the order read.
    virtual const std::vector<std::string>& Addresses() = 0;
    // The recipient history, as Platform.h's calls of the same names.
    virtual int64_t RecordedSends() = 0;
    virtual std::vector<bool> KnownRecipients(const std::vector<std::string>& addresses) = 0;
    virtual std::vector<bool> KnownDomains(const std::vector<std::string>& domains) = 0;
    virtual std::vector<std::string> FamiliarDomainsLike(std::string_view domain) = 0;
};

// A rule's check, for the rules after the six: whether the message fires the
// rule, with what it found in `found`. A RuntimeError it throws is reported as
// the rule's failure, and the send goes on.
using RuleCheck = bool (*)(RuleInput& input, RuleFinding& found);

struct Rule {
    const char* name;         // as logged: "Violated <name> Rule: True"
    const char* words;        // for people: "recipients outside the company's domains"
    const char* switchKey;    // the setting that turns the rule on
    const char* questionKey;  // the setting that holds its question
    bool audited;             // `audit` reports it unless told which rules to report
    bool Globals::*flag;
    const char* checkBox;  // on frmYesNoPrompt, captioned with the question
    int32_t boxTop;        // where that box stands in the form's frame, in twips

    // The question when its setting is absent, and the switch's value then.
    const char* DefaultQuestion() const { return FallbackFor(questionKey); }
    const char* SwitchFallback() const { return FallbackFor(switchKey); }
    // The send driver's trace lines about the rule, each followed by its value.
    std::string ViolatedLabel() const { return std::string("Violated ") + name + " Rule: "; }
    std::string EvidenceLabel() const { return std::string("Evidence of ") + name + " Rule: "; }
    // Where the failures of a rule's own check are reported: "Postwarden.Check"
    // and the name without its blanks and dashes.
    std::string FailureSource() const {
        std::string source = "Postwarden.Check";
        for (const char* c = name; *c != '\0'; ++c) {
            if (*c != ' ' && *c != '-') source += *c;
        }
        return source;
    }
};

inline constexpr Rule kRules[] = {
    {"Outside Domains", "recipients outside the company's domains",
     keys::kPromptForOutsideDomainsWanted, keys::kMessageForOutsideDomains, true,
     &Globals::OutsideDomainsViolated, "chkValidateOutsideDomains", 165},
    {"Email Addresses Domains", "watch-listed addresses or domains",
     keys::kPromptForEmailAddressesDomainsWanted, keys::kMessageForEmailAddressesDomains, true,
     &Globals::EmailAddressesDomainsViolated, "chkValidateEmailAddressesDomains", 645},
    {"Keywords", "watch-listed keywords", keys::kPromptForKeywordsWanted, keys::kMessageForKeywords,
     true, &Globals::KeywordsViolated, "chkValidateKeywords", 1125},
    {"Max Number Of Recipients", "too many recipients", keys::kPromptForNumberOfRecipientsWanted,
     keys::kMessageForNumberOfRecipients, true, &Globals::NumberOfRecipientsViolated,
     "chkValidateNumberOfRecipients", 1620},
    {"Blank Subject", "a blank subject", keys::kPromptForBlankSubjectWanted,
     keys::kMessageForBlankSubject, true, &Globals::BlankSubjectViolated, "chkValidateBlankSubject",
     2100},
    // Not audited by default: it asks before every send, so it would stop every message.
    {"Any Send", "the question before every send", keys::kPromptForAnySendWanted,
     keys::kMessageForAnySend, false, &Globals::AnySendViolated, "chkValidateAnySend", 2580},
    {"Many Organisations", "recipients of many organisations who see each other",
     keys::kPromptForManyOrganisationsWanted, keys::kMessageForManyOrganisations, true,
     &Globals::ManyOrganisationsViolated, "chkValidateManyOrganisations", 3060},
    {"Missing Attachment", "an attachment mentioned but missing",
     keys::kPromptForMissingAttachmentWanted, keys::kMessageForMissingAttachment, true,
     &Globals::MissingAttachmentViolated, "chkValidateMissingAttachment", 3540},
    {"New Recipients", "recipients never written to before", keys::kPromptForNewRecipientsWanted,
     keys::kMessageForNewRecipients, true, &Globals::NewRecipientsViolated,
     "chkValidateNewRecipients", 4020},
    {"Look-Alike Domains", "recipient domains that look like known ones",
     keys::kPromptForLookAlikeDomainsWanted, keys::kMessageForLookAlikeDomains, true,
     &Globals::LookAlikeDomainsViolated, "chkValidateLookAlikeDomains", 4500},
};

inline constexpr size_t kRuleCount = std::size(kRules);
// The rules the send driver checks in its own steps.
inline constexpr size_t kDriverRuleCount = 6;

// The rows by name, for the code of one rule.
inline constexpr const Rule& kOutsideDomainsRule = kRules[0];
inline constexpr const Rule& kEmailAddressesDomainsRule = kRules[1];
inline constexpr const Rule& kKeywordsRule = kRules[2];
inline constexpr const Rule& kNumberOfRecipientsRule = kRules[3];
inline constexpr const Rule& kBlankSubjectRule = kRules[4];
inline constexpr const Rule& kAnySendRule = kRules[5];
inline constexpr const Rule& kManyOrganisationsRule = kRules[6];
inline constexpr const Rule& kMissingAttachmentRule = kRules[7];
inline constexpr const Rule& kNewRecipientsRule = kRules[8];
inline constexpr const Rule& kLookAlikeDomainsRule = kRules[9];

// The row named `name` as the log names it; nullptr when there is none.
inline const Rule* FindRule(std::string_view name) {
    for (const Rule& rule : kRules) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

// The place of `rule` in kRules.
inline size_t RuleIndex(const Rule& rule) {
    return static_cast<size_t>(&rule - kRules);
}

// Whether any rule fired.
inline bool AnyFired(const Globals& flags) {
    for (const Rule& rule : kRules) {
        if (flags.*rule.flag) return true;
    }
    return false;
}

}  // namespace postwarden
