#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/registry/SqliteConnection.h"

namespace postwarden {

// What makes a SQLite file one of ours, and what it holds when it is made.
struct DatabaseFormat {
    int32_t applicationId;  // PRAGMA application_id: tells our files from others'
    int32_t schemaVersion;  // PRAGMA user_version: a newer one is refused
    const char* schema;     // the tables of an empty file
    const char* what;       // how failures name the file: "registry database"
    // Whether a commit is on disk when it returns (synchronous FULL), or may be
    // lost with the last few before a power cut, never corrupting the file
    // (NORMAL, which spares a sync per commit).
    bool syncEveryCommit = true;
};

// Opens the database file `path` of `format` for reading and writing: created
// owner-only when missing, given the format's tables when empty, switched to
// WAL (every commit synced when the format says so), and waiting up to `busyTimeoutMs` for a lock
// another process holds. Throws RuntimeError, before anything in the file is
// changed, when it is no SQLite database, belongs to another program or was
// written by a newer version; and when it cannot be opened.
std::unique_ptr<SqliteConnection> OpenDatabase(const std::string& path,
                                               const DatabaseFormat& format, int busyTimeoutMs);

// OpenDatabase of the registry database.
std::unique_ptr<SqliteConnection> OpenRegistryDatabase(const std::string& path, int busyTimeoutMs);

}  // namespace postwarden
