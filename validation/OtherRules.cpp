// The checks of the rules after the six: one function each, and its line in
// the table below. The send driver runs them after the six, in rule order.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "module/Evidence.h"
#include "module/MapiSession.h"
#include "module/Rules.h"
#include "util/DelimitedList.h"
#include "util/KeywordSearch.h"
#include "util/RuntimeError.h"
#include "util/Text.h"
#include "validation/AttachmentWords.h"
#include "validation/Globals.h"
#include "validation/RecipientDomains.h"

namespace postwarden {

namespace {

std::vector<std::string> Entries(const std::string& listText) {
    DelimitedList list;
    list.SetText(listText);
    std::vector<std::string> entries;
    for (int32_t index = 1; index <= list.Count(); ++index) entries.push_back(list.Item(index));
    return entries;
}

// The domains outside the company that the recipients in To and Cc come from,
// each once (without regard to case), in the order they first stand. Compared
// with the company's domains as the outside-domains rule compares a recipient.
std::vector<std::string> VisibleOrganisations(RuleInput& input) {
    const std::vector<std::string> company = Entries(input.Setting(keys::kListOfOutsideDomains));
    const auto matches = [&input](std::string_view value, std::string_view entry) {
        return input.MatchesEntry(value, entry) == 1;
    };
    std::vector<std::string> organisations;
    std::unordered_set<std::string> seen;
    const std::shared_ptr<MapiRecipients> recipients = input.Message().Recipients();
    const int32_t count = errors::Require(recipients).Count();
    for (int32_t i = 1; i <= count; ++i) {
        const std::shared_ptr<MapiRecipient> recipient = recipients->Item(i);
        // Nobody sees a Bcc recipient, so it tells nobody about anyone.
        if (errors::Require(recipient).Type() == kRecipientBcc) continue;
        const std::shared_ptr<MapiAddressEntry> entry = recipient->AddressEntry();
        const std::string address = entry ? entry->Address() : recipient->Address();
        validation::RecipientDomains domains(validation::StripQuotes(LCase(address)));
        for (size_t e = 0; e < company.size() && !domains.Compare(company[e], matches); ++e) {
        }
        for (const std::string& domain : domains.Outside()) {
            if (seen.insert(FoldCase(domain)).second) organisations.push_back(domain);
        }
    }
    return organisations;
}

bool CheckManyOrganisations(RuleInput& input, RuleFinding& found) {
    // A limit below none is none.
    const int32_t maximum = std::max(0, ToLong(input.Setting(keys::kMaxNumberOfOrganisations)));
    const std::vector<std::string> organisations = VisibleOrganisations(input);
    if (organisations.size() <= static_cast<size_t>(maximum)) return false;

    const std::string number = std::to_string(organisations.size());
    const size_t listed = std::min(organisations.size(), kMaxListedRecipients);
    const size_t more = organisations.size() - listed;
    found.details.push_back("Organisations in To and Cc (" + number + ", at most " +
                            std::to_string(maximum) + "):");
    std::string names;
    for (size_t i = 0; i < listed; ++i) {
        found.details.push_back("  " + CutText(organisations[i], kMaxEvidenceText));
        names += (i > 0 ? ", " : "") + CutText(organisations[i], kMaxShortEvidenceText);
    }
    if (more > 0) {
        found.details.push_back("  and " + std::to_string(more) + " more");
        names += " and " + std::to_string(more) + " more";
    }
    found.details.push_back("Each of them sees every other's address; Bcc keeps them apart.");
    found.summary = number + " organisations in To and Cc, at most " + std::to_string(maximum) +
                    " (" + names + "); Bcc keeps them apart";
    return true;
}

// The line of `mention` cut to `maxCharacters` characters around its word,
// each end that was cut marked "…".
std::string AroundWord(const validation::AttachmentMention& mention, size_t maxCharacters) {
    const std::string& line = mention.line;
    if (CutText(line, maxCharacters) == line) return line;
    // Start a third of the way back, at a character's first byte.
    size_t start = mention.at;
    for (size_t back = 0; back < maxCharacters / 3 && start > 0; ++back) {
        do {
            --start;
        } while (start > 0 && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80);
    }
    std::string excerpt = CutText(std::string_view(line).substr(start), maxCharacters);
    return start > 0 ? "\u2026" + excerpt : excerpt;
}

bool CheckMissingAttachment(RuleInput& input, RuleFinding& found) {
    const validation::AttachmentWords words(Entries(input.Setting(keys::kListOfAttachmentWords)));
    if (words.Empty()) {
        throw RuntimeError(errors::kInvalidCall, "List of attachment words to look for is empty.");
    }
    MapiMessage& message = input.Message();
    if (message.AttachmentCount() > 0) return false;
    // What the person wrote: the body as the mail client gives it, the plain
    // text or the text its HTML shows, without the attachments' names that
    // the rules' search bodies end with.
    const std::optional<validation::AttachmentMention> mention =
        words.FindIn(message.Property("Body"));
    if (!mention) return false;

    found.details.push_back("Mentions an attachment (\"" +
                            CutText(mention->word, kMaxEvidenceText) + "\"), but has none:");
    found.details.push_back("  " + AroundWord(*mention, kMaxEvidenceText));
    found.summary = "\"" + CutText(mention->word, kMaxShortEvidenceText) + "\" in \"" +
                    AroundWord(*mention, kMaxShortEvidenceText) + "\", but no attachment";
    return true;
}

}  // namespace

RuleCheck CheckOf(const Rule& rule) {
    static const std::vector<std::pair<std::string_view, RuleCheck>> kChecks = {
        {kManyOrganisationsRule.name, CheckManyOrganisations},
        {kMissingAttachmentRule.name, CheckMissingAttachment},
    };
    for (const auto& [name, check] : kChecks) {
        if (name == rule.name) return check;
    }
    return nullptr;
}

}  // namespace postwarden
