// The two rules on each recipient's address: recipients outside the company's
// own domains, and recipients on the watch list of addresses and domains.
#include <memory>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "util/AddressForm.h"
#include "util/DelimitedList.h"
#include "util/Text.h"
#include "validation/Globals.h"
#include "validation/RecipientDomains.h"

namespace postwarden {

std::string CPostwarden::StripQuotes(const std::string& text) {
    return validation::StripQuotes(text);
}

std::string CPostwarden::GetSMTPDomain(const std::string& address) {
    const size_t at = address.find('@');
    if (at != std::string::npos) return address.substr(at + 1);
    Helper().LogEvent("Error occurred fetching domain for SMTP: '" + address + "'", 0, "");
    return {};
}

bool CPostwarden::ConfirmFiredRule(const bool& separatePromptsWanted, const Rule& rule) {
    if (!separatePromptsWanted) return true;
    const std::string message = GetSetting(rule.questionKey, rule.DefaultQuestion());
    frmSimpleYesNoPrompt& form = ThreadObjects::For(platform_).SimpleYesNoPrompt();
    form.SetConfirmationMessage(message, &rule);
    const int32_t answer = form.Ask(kPromptValues, kPromptFriendlyName, UsingWordAsEmailEditor);
    m_SendResult.answers.push_back(answer);
    return answer != kAnswerNo;
}

bool CPostwarden::LoadRuleList(const Rule& rule, std::string& list, const char* key,
                               const char* fallbackText, const char* emptyMessage,
                               const char* source) {
    if (list.empty()) list = GetSetting(key, fallbackText);
    // An unconfigured rule never stops a send; it says so on every call, and
    // the send counts as not fully checked.
    if (list.empty()) {
        NoteRuleFailure(&rule, source, emptyMessage);
        Helper().LogEvent(emptyMessage, 1, source);
    }
    return !list.empty();
}

bool CPostwarden::CheckOutsideDomains(const bool& separatePromptsWanted,
                                      const std::string& address) {
    bool result = true;
    try {
        if (!LoadRuleList(kOutsideDomainsRule, m_ListOfOutsideDomains, keys::kListOfOutsideDomains,
                          fallback::kListOfOutsideDomains,
                          "Error occurred: List of outside domains to check is empty.",
                          "Postwarden.CheckOutsideDomains")) {
            return true;
        }
        // This rule has already asked during this send.
        if (m_OutsideDomainsPrompted) return true;

        const std::string written = StripQuotes(LCase(address));
        const std::string domain = GetSMTPDomain(written);
        // Compared in one form whatever the spelling; traced as written. A
        // domain the address routes the message on to must be the company's too.
        validation::RecipientDomains domains(written);
        const auto matches = [this](std::string_view value, std::string_view entry) {
            return Helper().MatchesEntry(value, entry) == 1;
        };
        DelimitedList list;
        list.SetText(m_ListOfOutsideDomains);
        Log("CheckOutsideDomains", "Looking at domain '" + domain + "'", 0);
        bool found = false;
        const int32_t count = list.Count();
        for (int32_t index = 1; index <= count && !found; ++index) {
            const std::string entry = list.Item(index);
            Log("CheckOutsideDomains", "Comparing with '" + entry + "'", 0);
            found = domains.Compare(entry, matches);
        }
        Log("CheckOutsideDomains", std::string("Domain found: ") + std::string(BoolText(found)), 0);
        if (found) return true;

        // Marked before the form shows: this send asks about it only once.
        if (separatePromptsWanted) m_OutsideDomainsPrompted = true;
        const std::string outsideDomain = domains.NamedOutside(domain);
        ThreadEvidence().outside.Add(address, outsideDomain);
        result = ConfirmFiredRule(separatePromptsWanted, kOutsideDomainsRule);
        ThreadGlobals().*kOutsideDomainsRule.flag = true;
        return result;
    } catch (const RuntimeError& e) {
        // "CheckOutsideDomain" without the final "s": the name its failures
        // have always been logged under.
        ReportRuleFailure(kOutsideDomainsRule, "Postwarden.CheckOutsideDomain", 1,
                          FailureText(0, e.Description()));
        return result;
    }
}

bool CPostwarden::CheckEmailAddressesDomains(const bool& separatePromptsWanted,
                                             const std::string& address) {
    bool result = true;
    try {
        if (!LoadRuleList(kEmailAddressesDomainsRule, m_ListOfEmailAddressesDomains,
                          keys::kListOfEmailAddressesDomains,
                          fallback::kListOfEmailAddressesDomains,
                          "Error occurred: List of email addresses/domains to check is empty.",
                          "Postwarden.CheckEmailAddressesDomains")) {
            return true;
        }
        if (m_EmailAddressesDomainsPrompted) return true;

        const std::string written = StripQuotes(LCase(address));
        const std::string domain = GetSMTPDomain(written);
        // Compared in one form whatever the spelling; traced as written.
        const std::string comparedAddress = CanonicalAddress(StripQuotes(address));
        const std::string comparedDomain = DomainOf(CanonicalAddress(written));
        // Where the address routes the message on to is watched as well: each
        // domain so named, and the mailbox at the end of the route there.
        const Route route = RouteOf(StripQuotes(address));
        std::string routedAddress;
        DelimitedList list;
        list.SetText(m_ListOfEmailAddressesDomains);
        Log("CheckEmailAddressesDomains", "Looking at email address '" + address + "'", 0);
        Log("CheckEmailAddressesDomains", "and domain '" + domain + "'", 0);
        // A watch-list entry may name a domain or one whole address, so both are
        // compared; any answer but 0 counts as a match here.
        bool found = false;
        std::string matched;
        const int32_t count = list.Count();
        for (int32_t index = 1; index <= count && !found; ++index) {
            const std::string entry = list.Item(index);
            Log("CheckEmailAddressesDomains", "Comparing with '" + entry + "'", 0);
            const std::string comparedEntry = CanonicalAddress(entry);
            found = Helper().MatchesEntry(comparedDomain, comparedEntry) != 0 ||
                    Helper().MatchesEntry(comparedAddress, comparedEntry) != 0;
            for (size_t d = 0; d < route.domains.size() && !found; ++d) {
                routedAddress = route.user + "@" + route.domains[d];
                found = Helper().MatchesEntry(route.domains[d], comparedEntry) != 0 ||
                        Helper().MatchesEntry(routedAddress, comparedEntry) != 0;
            }
            if (found) matched = entry;
        }
        if (!found) return true;

        if (separatePromptsWanted) m_EmailAddressesDomainsPrompted = true;
        ThreadEvidence().watched.Add(address, matched);
        result = ConfirmFiredRule(separatePromptsWanted, kEmailAddressesDomainsRule);
        ThreadGlobals().*kEmailAddressesDomainsRule.flag = true;
        return result;
    } catch (const RuntimeError& e) {
        // Without the final "s" too, as in CheckOutsideDomains.
        ReportRuleFailure(kEmailAddressesDomainsRule, "Postwarden.CheckEmailAddressesDomain", 1,
                          FailureText(0, e.Description()));
        return result;
    }
}

}  // namespace postwarden
