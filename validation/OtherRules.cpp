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
#include "util/AddressForm.h"
#include "util/DelimitedList.h"
#include "util/KeywordSearch.h"
#include "util/LookAlike.h"
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

// Whether the recipient `address` (as written) is the company's: every domain
// its mail reaches matches an entry of `company`, compared as the
// outside-domains rule compares a recipient.
bool InsideCompany(RuleInput& input, const std::string& address,
                   const std::vector<std::string>& company) {
    const auto matches = [&input](std::string_view value, std::string_view entry) {
        return input.MatchesEntry(value, entry) == 1;
    };
    validation::RecipientDomains domains(validation::StripQuotes(LCase(address)));
    for (const std::string& entry : company) {
        if (domains.Compare(entry, matches)) return true;
    }
    return false;
}

// The first kMaxListedRecipients of `items` as the lines of a finding, each cut
// to kMaxEvidenceText, and "and N more" for the rest; in `names`, the same in
// one line of short texts.
void ListItems(const std::vector<std::string>& items, RuleFinding& found, std::string& names) {
    const size_t listed = std::min(items.size(), kMaxListedRecipients);
    for (size_t i = 0; i < listed; ++i) {
        found.details.push_back("  " + CutText(items[i], kMaxEvidenceText));
        names += (i > 0 ? ", " : "") + CutText(items[i], kMaxShortEvidenceText);
    }
    if (items.size() > listed) {
        const std::string more = std::to_string(items.size() - listed) + " more";
        found.details.push_back("  and " + more);
        names += " and " + more;
    }
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

// How many sends the history must hold before a recipient can be new: a
// fresh history would find every recipient new.
constexpr int64_t kNewRecipientsFromSends = 20;

bool CheckNewRecipients(RuleInput& input, RuleFinding& found) {
    if (input.RecordedSends() < kNewRecipientsFromSends) return false;
    // With the company's domains set, only the recipients outside them.
    const std::vector<std::string> company = Entries(input.Setting(keys::kListOfOutsideDomains));
    std::vector<std::string> looked;
    std::unordered_set<std::string> seen;
    for (const std::string& address : input.Addresses()) {
        const std::string key = HistoryAddress(address);
        if (key.empty() || !seen.insert(key).second) continue;
        if (InsideCompany(input, address, company)) continue;
        looked.push_back(address);
    }
    if (looked.empty()) return false;
    const std::vector<bool> known = input.KnownRecipients(looked);
    std::vector<std::string> fresh;
    for (size_t i = 0; i < looked.size(); ++i) {
        if (i >= known.size() || !known[i]) fresh.push_back(looked[i]);
    }
    if (fresh.empty()) return false;

    found.details.push_back("Never written to before (" + std::to_string(fresh.size()) + "):");
    std::string names;
    ListItems(fresh, found, names);
    found.summary = "never written to before: " + names;
    return true;
}

// The company's domains a recipient domain may be taken for: the entries of
// the company's list that name one domain, without "*" or "?".
std::vector<std::string> CompanyDomains(const std::vector<std::string>& company) {
    std::vector<std::string> domains;
    for (const std::string& entry : company) {
        const std::string domain(Trim(entry, " \t"));
        if (!domain.empty() && domain.find_first_of("*?") == std::string::npos) {
            domains.push_back(domain);
        }
    }
    return domains;
}

bool CheckLookAlikeDomains(RuleInput& input, RuleFinding& found) {
    const std::vector<std::string> company = Entries(input.Setting(keys::kListOfOutsideDomains));
    const auto matches = [&input](std::string_view value, std::string_view entry) {
        return input.MatchesEntry(value, entry) == 1;
    };
    // Every domain outside the company that the mail reaches, each once.
    std::vector<std::string> outside;
    std::unordered_set<std::string> seen;
    for (const std::string& address : input.Addresses()) {
        validation::RecipientDomains domains(validation::StripQuotes(LCase(address)));
        for (size_t e = 0; e < company.size() && !domains.Compare(company[e], matches); ++e) {
        }
        for (const std::string& domain : domains.Outside()) {
            if (seen.insert(ComparedDomain(domain)).second) outside.push_back(domain);
        }
    }
    if (outside.empty()) return false;

    const std::vector<std::string> companyDomains = CompanyDomains(company);
    const std::vector<bool> known = input.KnownDomains(outside);
    std::vector<std::string> alikes;
    for (size_t i = 0; i < outside.size(); ++i) {
        // A domain written to before is one the person meant.
        if (i < known.size() && known[i]) continue;
        const std::string& domain = outside[i];
        std::string like;
        for (const std::string& own : companyDomains) {
            if (LooksLike(domain, own)) {
                like = own;
                break;
            }
        }
        if (like.empty()) {
            for (const std::string& familiar : input.FamiliarDomainsLike(domain)) {
                if (LooksLike(domain, familiar)) {
                    like = familiar;
                    break;
                }
            }
        }
        if (!like.empty()) alikes.push_back(domain + " looks like " + like);
    }
    if (alikes.empty()) return false;

    found.details.push_back("Domains that look like ones you know, but are not them:");
    std::string names;
    ListItems(alikes, found, names);
    found.summary = names;
    return true;
}

}  // namespace

RuleCheck CheckOf(const Rule& rule) {
    static const std::vector<std::pair<std::string_view, RuleCheck>> kChecks = {
        {kManyOrganisationsRule.name, CheckManyOrganisations},
        {kMissingAttachmentRule.name, CheckMissingAttachment},
        {kNewRecipientsRule.name, CheckNewRecipients},
        {kLookAlikeDomainsRule.name, CheckLookAlikeDomains},
    };
    for (const auto& [name, check] : kChecks) {
        if (name == rule.name) return check;
    }
    return nullptr;
}

}  // namespace postwarden
