#include "module/Evidence.h"

#include <unicode/utf8.h>

namespace postwarden {

namespace {

std::string Quoted(std::string_view text, size_t maxCharacters) {
    return "\"" + CutText(text, maxCharacters) + "\"";
}

std::string MoreThan(const RecipientEvidence& recipients) {
    const auto more = recipients.total - static_cast<int32_t>(recipients.listed.size());
    return more > 0 ? "and " + std::to_string(more) + " more" : "";
}

// The details of a rule that names recipients: a heading with their number,
// then one indented line each.
template <class Line>
void AddRecipientLines(std::vector<std::string>& lines, const std::string& heading,
                       const RecipientEvidence& recipients, Line line) {
    if (recipients.total == 0) return;
    lines.push_back(heading + " (" + std::to_string(recipients.total) + "):");
    for (const EvidenceRecipient& recipient : recipients.listed) {
        lines.push_back("  " + line(CutText(recipient.address, kMaxEvidenceText),
                                    CutText(recipient.matched, kMaxEvidenceText)));
    }
    if (const std::string more = MoreThan(recipients); !more.empty()) {
        lines.push_back("  " + more);
    }
}

std::string ShortRecipients(const RecipientEvidence& recipients, bool withMatch) {
    std::string text;
    for (const EvidenceRecipient& recipient : recipients.listed) {
        if (!text.empty()) text += ", ";
        text += CutText(recipient.address, kMaxShortEvidenceText);
        if (withMatch) text += " (" + CutText(recipient.matched, kMaxShortEvidenceText) + ")";
    }
    if (const std::string more = MoreThan(recipients); !more.empty()) text += " " + more;
    return text;
}

}  // namespace

void RecipientEvidence::Add(std::string_view address, std::string_view matched) {
    ++total;
    if (listed.size() < kMaxListedRecipients) {
        // Kept short from the start: a list of thousands costs no more than five.
        listed.push_back({CutText(address, kMaxEvidenceText), CutText(matched, kMaxEvidenceText)});
    }
}

std::string CutText(std::string_view text, size_t maxCharacters) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t at = 0;
    for (size_t characters = 0; at < length; ++characters) {
        if (characters == maxCharacters) {
            return std::string(text.substr(0, static_cast<size_t>(at))) + "\u2026";
        }
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
    }
    return std::string(text);
}

std::vector<std::string> DetailLines(const SendEvidence& evidence, const Globals& rules) {
    std::vector<std::string> lines;
    if (!evidence.present) return lines;
    lines.push_back("Subject: " + (evidence.subject.find_first_not_of(' ') == std::string::npos
                                       ? std::string("(blank)")
                                       : Quoted(evidence.subject, kMaxEvidenceText)));
    lines.push_back("Recipients: " + std::to_string(evidence.recipientCount));
    if (rules.*kOutsideDomainsRule.flag) {
        AddRecipientLines(lines, "Outside the company's domains", evidence.outside,
                          [](const std::string& address, const std::string& domain) {
                              return address + " (" + domain + ")";
                          });
    }
    if (rules.*kEmailAddressesDomainsRule.flag) {
        AddRecipientLines(lines, "On the watch list", evidence.watched,
                          [](const std::string& address, const std::string& entry) {
                              return address + " matches " + entry;
                          });
    }
    if (rules.*kKeywordsRule.flag && !evidence.keywordPlace.empty()) {
        lines.push_back("Keyword " + Quoted(evidence.keyword, kMaxEvidenceText) + ",");
        lines.push_back("  found in " + evidence.keywordPlace);
    } else if (rules.*kKeywordsRule.flag && !evidence.unreadParts.empty()) {
        lines.push_back("Part of the message could not be read (" + evidence.unreadParts + ")");
    }
    if (rules.*kNumberOfRecipientsRule.flag && evidence.count > evidence.maximum) {
        lines.push_back(std::to_string(evidence.count) + " recipients; at most " +
                        std::to_string(evidence.maximum) + " allowed");
    }
    for (const SendEvidence::Finding& finding : evidence.findings) {
        if (finding.rule >= kRuleCount || !(rules.*kRules[finding.rule].flag)) continue;
        lines.insert(lines.end(), finding.found.details.begin(), finding.found.details.end());
    }
    return lines;
}

std::string ShortEvidence(const SendEvidence& evidence, const Rule& rule) {
    if (&rule == &kOutsideDomainsRule && evidence.outside.total > 0) {
        return "outside recipients: " + ShortRecipients(evidence.outside, false);
    }
    if (&rule == &kEmailAddressesDomainsRule && evidence.watched.total > 0) {
        return "watch-listed recipients: " + ShortRecipients(evidence.watched, true);
    }
    if (&rule == &kKeywordsRule && !evidence.keywordPlace.empty()) {
        return "keyword " + Quoted(evidence.keyword, kMaxShortEvidenceText) + " in " +
               evidence.keywordPlace;
    }
    if (&rule == &kKeywordsRule && !evidence.unreadParts.empty()) {
        return "part of the message could not be read (" +
               CutText(evidence.unreadParts, kMaxShortEvidenceText) + ")";
    }
    if (&rule == &kNumberOfRecipientsRule && evidence.count > evidence.maximum) {
        return std::to_string(evidence.count) + " recipients, at most " +
               std::to_string(evidence.maximum);
    }
    if (const RuleFinding* found = evidence.FindingOf(rule)) return found->summary;
    return {};
}

}  // namespace postwarden
