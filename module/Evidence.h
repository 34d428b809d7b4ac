#pragma once

// What made the rules fire for one send, in the words a person reads: the
// rules note it as they fire (validation/), the forms show it under their
// questions (prompts/), and the send driver writes it into its trace, one
// "Evidence of <rule> Rule: " line per rule that fired, for the host's refusal
// line and its record of the send. Texts from the message are kept as they are
// written, only cut in length; whoever shows them escapes them for the medium.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/Rules.h"

namespace postwarden {

// Recipients named by a rule's evidence before "and N more".
inline constexpr size_t kMaxListedRecipients = 5;
// Longest text from the message kept in the evidence that the windows show, in
// characters; longer ones end in an ellipsis. The windows wrap what they show,
// so this is long enough for any address mail can be delivered to (254, as
// SMTP's path limit allows) and only stops a hostile message's megabyte line.
inline constexpr size_t kMaxEvidenceText = 254;
// The same, for the one-line form of the refusal line and the log.
inline constexpr size_t kMaxShortEvidenceText = 60;

struct EvidenceRecipient {
    std::string address;  // as the message gives it
    std::string matched;  // the recipient's domain (outside rule) or the watch-list entry
};

// Recipients a rule named: the first kMaxListedRecipients, and how many in all.
struct RecipientEvidence {
    std::vector<EvidenceRecipient> listed;
    int32_t total = 0;

    // Counts `recipient`, keeping it while fewer than kMaxListedRecipients are listed.
    void Add(std::string_view address, std::string_view matched);
};

struct SendEvidence {
    // A send is being checked: the fields below describe its message. A form
    // drawn outside a send has none and shows no details.
    bool present = false;
    std::string subject;
    int32_t recipientCount = 0;  // the recipients read from the message

    RecipientEvidence outside;  // outside the company's domains (address, domain)
    RecipientEvidence watched;  // on the watch list (address, entry matched)
    std::string keyword;        // the first watch-listed keyword found
    std::string keywordPlace;   // "the subject", "the body", "the attachment name \"x\""
    std::string unreadParts;    // or why part of the message could not be searched
    int32_t count = 0;          // the count the recipient rule compared
    int32_t maximum = 0;        // and the maximum it compared with

    // What each rule after the six found, as its check put it; the rule by its
    // place in kRules, which means the same on both sides of the plugin's edge.
    struct Finding {
        size_t rule;
        RuleFinding found;
    };
    std::vector<Finding> findings;
    const RuleFinding* FindingOf(const Rule& rule) const {
        for (const Finding& finding : findings) {
            if (finding.rule == RuleIndex(rule)) return &finding.found;
        }
        return nullptr;
    }
};

// The calling thread's violation flags: the send driver clears them at the start
// of every send, each rule sets its own, the driver and the multi-rule form read
// them.
inline Globals& ThreadGlobals() {
    thread_local Globals globals;
    return globals;
}

// The calling thread's evidence: cleared with the flags at the start of every
// send, the driver notes the message's subject and recipient count, each rule
// what it found just before it asks. Per thread, like the flags: a send on
// another thread never shows its details in this thread's form.
inline SendEvidence& ThreadEvidence() {
    thread_local SendEvidence evidence;
    return evidence;
}

// `text` cut to `maxCharacters` characters (UTF-8 code points, a stray byte
// counting as one), ending in "…" when it was longer.
std::string CutText(std::string_view text, size_t maxCharacters);

// The details a form shows under its question(s): the message's subject and
// recipient count, then what each rule of `rules` that has evidence found, one
// line per item ("  bob@other.example (other.example)"). Empty when the evidence
// is not `present`.
std::vector<std::string> DetailLines(const SendEvidence& evidence, const Globals& rules);

// The evidence of one rule in a line ("keyword \"x\" in the subject"); empty
// when the rule noted none, and always for the rules that find nothing more
// than that they fired.
std::string ShortEvidence(const SendEvidence& evidence, const Rule& rule);

}  // namespace postwarden
