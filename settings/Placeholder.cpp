// Temporary bodies until the settings routines land.
#include "module/CPostwarden.h"

namespace postwarden {

void CPostwarden::EnsureDefaultSettings() {}
bool CPostwarden::FetchSettingsFromExchange(const std::string&) { return false; }
bool CPostwarden::FetchSettingsFromNetworkLocation(const std::string&) { return false; }
bool CPostwarden::ReadSettingsFromXML(const std::string&) { return false; }

}  // namespace postwarden
