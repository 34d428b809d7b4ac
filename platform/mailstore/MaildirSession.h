#pragma once

#include <memory>
#include <string>

#include "module/MapiSession.h"

namespace postwarden {

// A session object over the Maildir store rooted at `storeRoot`.
std::shared_ptr<MapiSession> CreateMaildirSession(const std::string& storeRoot);

}  // namespace postwarden
