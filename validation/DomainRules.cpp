// The two rules on each recipient's address: recipients outside the company's
// own domains, and recipients on the watch list of addresses and domains.
#include <memory>

#include "module/CPostwarden.h"
#include "module/HostEngine.h"
#include "module/Platform.h"
#include "module/Text.h"
#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "settings/SettingKeys.h"
#include "validation/Globals.h"
#include "validation/RuleSupport.h"

namespace postwarden {

std::string CPostwarden::StripQuotes(const std::string& text) {
    if (!text.empty() && text.front() == '\'' && text.back() == '\'') {
        // A lone quote is both the first and the last character and leaves no
        // inner text to take: that is a failure for the calling rule to report.
        if (text.size() < 2) throw errors::InvalidCall();
        return text.substr(1, text.size() - 2);
    }
    return text;
}

std::string CPostwarden::GetSMTPDomain(const std::string& address) {
    const size_t at = address.find('@');
    if (at != std::string::npos) return address.substr(at + 1);
    Helper().LogEvent("Error occurred fetching domain for SMTP: '" + address + "'", 0, "");
    return {};
}

int32_t CPostwarden::AskSingleRule(const std::string& message, bool forceManualModal) {
    frmSimpleYesNoPrompt& form = ThreadObjects::For(platform_).SimpleYesNoPrompt();
    form.SetConfirmationMessage(message);
    return form.Ask(validation::kPromptValues, validation::kPromptFriendlyName, forceManualModal);
}

bool CPostwarden::CheckOutsideDomains(const bool& separatePromptsWanted, const std::string& address) {
    bool result = true;
    try {
        if (m_ListOfOutsideDomains.empty()) {
            m_ListOfOutsideDomains =
                GetSetting(keys::kListOfOutsideDomains, fallback::kListOfOutsideDomains);
        }
        if (m_ListOfOutsideDomains.empty()) {
            Helper().LogEvent("Error occurred: List of outside domains to check is empty.", 1,
                              "Postwarden.CheckOutsideDomains");
            return true;
        }
        // This rule has already asked during this send.
        if (m_OutsideDomainsPrompted) return true;

        const std::string domain = GetSMTPDomain(StripQuotes(LCase(address)));
        std::unique_ptr<DelimitedList> list = platform_.NewDelimitedList();
        list->SetText(m_ListOfOutsideDomains);
        Log("CheckOutsideDomains", "Looking at domain '" + domain + "'", 0);
        bool found = false;
        const int32_t count = list->Count();
        for (int32_t index = 1; index <= count; ++index) {
            const std::string entry = list->Item(index);
            Log("CheckOutsideDomains", "Comparing with '" + entry + "'", 0);
            if (Helper().MatchesEntry(domain, entry) == 1) {
                found = true;
                break;
            }
        }
        list.reset();
        Log("CheckOutsideDomains", std::string("Domain found: ") + std::string(BoolText(found)), 0);
        if (found) return true;

        if (separatePromptsWanted) {
            m_OutsideDomainsPrompted = true;
            const std::string message =
                GetSetting(keys::kMessageForOutsideDomains, fallback::kMessageForOutsideDomains);
            if (AskSingleRule(message, UsingWordAsEmailEditor) == validation::kAnswerNo) {
                result = false;
            }
        }
        ThreadGlobals().OutsideDomainsViolated = true;
        return result;
    } catch (const RuntimeError& e) {
        Helper().LogEvent("Error occurred at line 0.  Reason: " + e.Description(), 1,
                          "Postwarden.CheckOutsideDomain");
        return result;
    }
}

bool CPostwarden::CheckEmailAddressesDomains(const bool& separatePromptsWanted,
                                             const std::string& address) {
    bool result = true;
    try {
        if (m_ListOfEmailAddressesDomains.empty()) {
            m_ListOfEmailAddressesDomains = GetSetting(keys::kListOfEmailAddressesDomains,
                                                       fallback::kListOfEmailAddressesDomains);
        }
        if (m_ListOfEmailAddressesDomains.empty()) {
            Helper().LogEvent("Error occurred: List of email addresses/domains to check is empty.",
                              1, "Postwarden.CheckEmailAddressesDomains");
            return true;
        }
        if (m_EmailAddressesDomainsPrompted) return true;

        const std::string domain = GetSMTPDomain(StripQuotes(LCase(address)));
        std::unique_ptr<DelimitedList> list = platform_.NewDelimitedList();
        list->SetText(m_ListOfEmailAddressesDomains);
        Log("CheckEmailAddressesDomains", "Looking at email address '" + address + "'", 0);
        Log("CheckEmailAddressesDomains", "and domain '" + domain + "'", 0);
        // A watch-list entry may name a domain or one whole address, so both are
        // compared; any answer but 0 counts as a match here.
        bool found = false;
        const int32_t count = list->Count();
        for (int32_t index = 1; index <= count; ++index) {
            const std::string entry = list->Item(index);
            Log("CheckEmailAddressesDomains", "Comparing with '" + entry + "'", 0);
            if (Helper().MatchesEntry(domain, entry) != 0 ||
                Helper().MatchesEntry(address, entry) != 0) {
                found = true;
                break;
            }
        }
        list.reset();
        if (!found) return true;

        if (separatePromptsWanted) {
            m_EmailAddressesDomainsPrompted = true;
            const std::string message = GetSetting(keys::kMessageForEmailAddressesDomains,
                                                   fallback::kMessageForEmailAddressesDomains);
            if (AskSingleRule(message, UsingWordAsEmailEditor) == validation::kAnswerNo) {
                result = false;
            }
        }
        ThreadGlobals().EmailAddressesDomainsViolated = true;
        return result;
    } catch (const RuntimeError& e) {
        Helper().LogEvent("Error occurred at line 0.  Reason: " + e.Description(), 1,
                          "Postwarden.CheckEmailAddressesDomain");
        return result;
    }
}

}  // namespace postwarden
