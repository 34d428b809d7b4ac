// Temporary bodies until the send-time checks land; they let every send go ahead.
#include "module/CPostwarden.h"
#include "module/MapiSession.h"

namespace postwarden {

bool CPostwarden::ProcessItem(std::shared_ptr<OutlookItem>&) { return true; }
bool CPostwarden::CheckOutsideDomains(const bool&, const std::string&) { return true; }
bool CPostwarden::CheckEmailAddressesDomains(const bool&, const std::string&) { return true; }
bool CPostwarden::CheckKeywords(const bool&, const std::string&) { return true; }
bool CPostwarden::CheckNumberOfRecipients(const bool&, const int32_t&) { return true; }
bool CPostwarden::CheckBlankSubject(const bool&, const std::string&) { return true; }
bool CPostwarden::CheckAnySend(const bool&) { return true; }
std::string CPostwarden::StripQuotes(const std::string& text) { return text; }
std::string CPostwarden::GetSMTPDomain(const std::string&) { return {}; }
std::shared_ptr<MapiMessage> CPostwarden::FindInDrafts(std::shared_ptr<MapiSession>&,
                                                       const std::string&) {
    return nullptr;
}
bool CPostwarden::UsingWordAsEditor(const std::string&) { return false; }

}  // namespace postwarden
