#pragma once

#include <string>

#include "host/Command.h"

namespace postwarden {
class Platform;
}

namespace postwarden::host {

class ModuleLibrary;

// Starts a module of `library` on `platform` as a mail client's start does,
// which refreshes the stored settings from their central source, and shuts it
// down again. What the refresh did is in the log. Returns false when the
// library makes no module; throws what the module's start or shut-down throws.
bool RefreshFromCentralSource(ModuleLibrary& library, Platform& platform,
                              const std::string& mailStore);

// Reads the settings document at `source` ("-" for standard input) into the
// settings of the home, by the module's own refresh from a central file: the
// module is started with `source` standing in for FetchSettingsNetworkLocation
// (and no public folder), so the document is decoded, checked and stored, and
// the log gets its lines, exactly as when a send refreshes from a shared file.
// Returns the exit status: 0 imported; kExitFailure when the document was
// refused or could not be read (the module's reasons on standard error, the
// store as the refresh left it); kExitNotInstalled without a module.
int ImportSettings(const GlobalOptions& options, const std::string& source);

}  // namespace postwarden::host
