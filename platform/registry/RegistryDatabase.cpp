#include "platform/registry/RegistryDatabase.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "util/RuntimeError.h"

namespace postwarden {

namespace {

// The statements over these tables are in RegistryQueries.cpp.
constexpr DatabaseFormat kRegistryFormat = {
    // Marks a database as ours, so that another program's database is refused
    // rather than altered ("PWRG").
    0x50575247,
    1,
    R"sql(
CREATE TABLE registry_keys(
  id INTEGER PRIMARY KEY,
  hive INTEGER NOT NULL,
  path TEXT NOT NULL,    -- as first written
  folded TEXT NOT NULL,  -- lower case, for lookups
  UNIQUE(hive, folded));
CREATE TABLE registry_values(
  key_id INTEGER NOT NULL REFERENCES registry_keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  kind INTEGER NOT NULL,  -- 1 text, 4 number
  data NOT NULL,
  PRIMARY KEY(key_id, folded)) WITHOUT ROWID;
)sql",
    "registry database",
};

// An open file descriptor, closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

  private:
    int fd_;
};

// The database holds a person's rules, yet SQLite creates it readable by
// everyone (0644 as far as the umask lets it). Created here first, empty and
// owner-only, it keeps that mode, and SQLite gives its -wal, -shm and journal
// files the mode of the database. A file that exists is left as it is, so a
// mode an administrator chose stays. A failure is left to SQLite's open to
// report.
//
// Closing any descriptor of a file drops every lock this process holds on it,
// SQLite's included. So a descriptor is opened only on a file it creates
// (O_EXCL), and callers hold CreationLock() from here until SQLite has opened
// the file, so that no connection of this process can lock it in between.
void CreateOwnerOnly(const std::string& path) {
    Descriptor created(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

std::mutex& CreationLock() {
    static std::mutex lock;
    return lock;
}

// Refuses a database that is not of `format`, before anything is changed in
// it. False for an empty database.
bool CheckOwnership(SqliteConnection& connection, const DatabaseFormat& format) {
    if (connection.Pragma("PRAGMA application_id") == format.applicationId) {
        if (connection.Pragma("PRAGMA user_version") > format.schemaVersion) {
            throw RuntimeError(errors::kDeviceIO, "The " + connection.what() + " " +
                                                      connection.path() +
                                                      " was written by a newer version");
        }
        return true;
    }
    if (connection.Pragma("SELECT count(*) FROM sqlite_master") != 0) {
        throw RuntimeError(errors::kDeviceIO, "The file " + connection.path() + " is not a valid " +
                                                  connection.what() +
                                                  " (it belongs to another program)");
    }
    return false;
}

// Makes an empty database one of `format`. Another process may be doing the
// same: the check is repeated under the write lock.
void CreateSchema(SqliteConnection& connection, const DatabaseFormat& format) {
    SqliteConnection::Transaction transaction(connection);
    if (!CheckOwnership(connection, format)) {
        connection.Exec(format.schema);
        connection.Exec(
            ("PRAGMA application_id = " + std::to_string(format.applicationId)).c_str());
        connection.Exec(("PRAGMA user_version = " + std::to_string(format.schemaVersion)).c_str());
    }
    transaction.Commit();
}

// Turning a file to WAL needs it to itself, and SQLite answers "locked" at once,
// without its busy wait, while another process briefly holds it (typically one
// that is opening the same new file): wait here instead.
void SwitchToWal(SqliteConnection& connection, int busyTimeoutMs) {
    for (int waited = 0;; waited += 5) {
        const int rc =
            sqlite3_exec(connection.db(), "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return;
        const int primary = rc & 0xFF;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || waited >= busyTimeoutMs) {
            connection.Fail(rc);
        }
        sqlite3_sleep(5);
    }
}

}  // namespace

std::unique_ptr<SqliteConnection> OpenDatabase(const std::string& path,
                                               const DatabaseFormat& format, int busyTimeoutMs) {
    sqlite3* raw = nullptr;
    int rc = SQLITE_OK;
    {
        std::lock_guard<std::mutex> creating(CreationLock());
        CreateOwnerOnly(path);
        rc = sqlite3_open_v2(path.c_str(), &raw,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                                 SQLITE_OPEN_EXRESCODE,
                             nullptr);
    }
    auto connection = std::make_unique<SqliteConnection>(raw, path, format.what);
    if (rc != SQLITE_OK) connection->Fail(rc);
    sqlite3_busy_timeout(raw, busyTimeoutMs);
    // Only a positive answer can be trusted outside a transaction: another
    // process may be creating the schema between two reads. Anything else is
    // settled under the write lock, before the file is changed in any way.
    if (connection->Pragma("PRAGMA application_id") != format.applicationId) {
        CreateSchema(*connection, format);
    }
    SwitchToWal(*connection, busyTimeoutMs);
    // FULL: in WAL mode every commit is synced, so a write is durable when it returns.
    connection->Exec(format.syncEveryCommit ? "PRAGMA synchronous = FULL"
                                            : "PRAGMA synchronous = NORMAL");
    connection->Exec("PRAGMA foreign_keys = ON");
    return connection;
}

std::unique_ptr<SqliteConnection> OpenRegistryDatabase(const std::string& path, int busyTimeoutMs) {
    return OpenDatabase(path, kRegistryFormat, busyTimeoutMs);
}

}  // namespace postwarden
