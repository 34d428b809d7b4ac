#pragma once

#include <memory>
#include <string>

#include "module/CPostwarden.h"

namespace postwarden {

// Reaches the module's send-time procedures from tests and benchmarks.
struct ValidationAccess {
    explicit ValidationAccess(CPostwarden& module) : m(module) {}

    bool ProcessItem(std::shared_ptr<OutlookItem> item) { return m.ProcessItem(item); }
    bool CheckOutsideDomains(bool separate, const std::string& address) {
        return m.CheckOutsideDomains(separate, address);
    }
    bool CheckEmailAddressesDomains(bool separate, const std::string& address) {
        return m.CheckEmailAddressesDomains(separate, address);
    }
    bool CheckKeywords(bool separate, const std::string& text) {
        return m.CheckKeywords(separate, text);
    }
    bool CheckNumberOfRecipients(bool separate, int32_t count) {
        return m.CheckNumberOfRecipients(separate, count);
    }
    bool CheckBlankSubject(bool separate, const std::string& subject) {
        return m.CheckBlankSubject(separate, subject);
    }
    bool CheckAnySend(bool separate) { return m.CheckAnySend(separate); }
    std::string StripQuotes(const std::string& text) { return m.StripQuotes(text); }
    std::string GetSMTPDomain(const std::string& address) { return m.GetSMTPDomain(address); }
    std::shared_ptr<MapiMessage> FindInDrafts(std::shared_ptr<MapiSession> session,
                                              const std::string& subject) {
        return m.FindInDrafts(session, subject);
    }
    bool UsingWordAsEditor(const std::string& version) { return m.UsingWordAsEditor(version); }

    void SetUsingWordAsEmailEditor(bool value) { m.UsingWordAsEmailEditor = value; }
    // Starts a new send as far as the rules' per-send state goes.
    void ClearPrompted() {
        m.m_OutsideDomainsPrompted = m.m_EmailAddressesDomainsPrompted = m.m_KeywordsPrompted =
            false;
    }

    CPostwarden& m;
};

}  // namespace postwarden
