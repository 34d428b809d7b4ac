#pragma once

#include <string>

namespace postwarden::host {

// The home folder: `explicitHome` when given, else $POSTWARDEN_HOME, else
// ${XDG_STATE_HOME:-~/.local/state}/postwarden. Empty when none can be worked out.
std::string ResolveHome(const std::string& explicitHome);

// Creates `path` and its parents when missing, each owner-only (0700).
// Returns an error text, empty on success.
std::string MakeFolders(const std::string& path);

inline constexpr const char* kLogFileName = "postwarden.log";
inline constexpr const char* kRegistryFileName = "registry.db";
// Whom the person has sent mail to (platform/history/RecipientHistory.h).
inline constexpr const char* kHistoryFileName = "history.db";
inline constexpr const char* kMailFolderName = "mail";

}  // namespace postwarden::host
