#pragma once

#include <string>
#include <vector>

#include "host/Command.h"

namespace postwarden::host {

// `postwarden thunderbird install [--profile DIR] [--system]` and `uninstall`:
// the native-messaging manifest that lets the add-on start the host program
// beside this one, and the add-on itself in a Thunderbird profile.
int RunThunderbird(const GlobalOptions& options, const std::vector<std::string>& args);

}  // namespace postwarden::host
