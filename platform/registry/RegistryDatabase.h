#pragma once

#include <memory>
#include <string>

#include "platform/registry/SqliteConnection.h"

namespace postwarden {

// Opens the registry database file `path` for reading and writing: created
// owner-only when missing, given the registry's tables when empty, switched to
// WAL with every commit synced, and waiting up to `busyTimeoutMs` for a lock
// another process holds. Throws RuntimeError, before anything in the file is
// changed, when it is no SQLite database, belongs to another program or was
// written by a newer version; and when it cannot be opened.
std::unique_ptr<SqliteConnection> OpenRegistryDatabase(const std::string& path, int busyTimeoutMs);

}  // namespace postwarden
