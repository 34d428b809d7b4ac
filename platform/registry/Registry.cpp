#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/RuntimeError.h"
#include "module/Text.h"

namespace postwarden {

namespace {

// Marks a database as ours, so that another program's database is refused
// rather than altered ("PWRG").
constexpr int32_t kApplicationId = 0x50575247;
constexpr int32_t kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
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
)sql";

constexpr const char* kFindKey = "SELECT id FROM registry_keys WHERE hive = ?1 AND folded = ?2";
constexpr const char* kInsertKey =
    "INSERT INTO registry_keys(hive, path, folded) VALUES(?1, ?2, ?3) "
    "ON CONFLICT(hive, folded) DO NOTHING";
constexpr const char* kSelectValue =
    "SELECT v.kind, v.data FROM registry_values v JOIN registry_keys k ON k.id = v.key_id "
    "WHERE k.hive = ?1 AND k.folded = ?2 AND v.folded = ?3";
constexpr const char* kUpsertValue =
    "INSERT INTO registry_values(key_id, name, folded, kind, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key_id, folded) DO UPDATE SET kind = excluded.kind, data = excluded.data";
constexpr const char* kDeleteValue =
    "DELETE FROM registry_values WHERE folded = ?3 AND key_id = "
    "(SELECT id FROM registry_keys WHERE hive = ?1 AND folded = ?2)";
constexpr const char* kListValues =
    "SELECT v.name, v.kind, v.data FROM registry_values v JOIN registry_keys k "
    "ON k.id = v.key_id WHERE k.hive = ?1 AND k.folded = ?2 ORDER BY v.folded";

// The description of a failed database call, naming the file.
[[noreturn]] void Fail(sqlite3* db, int rc, const std::string& path) {
    std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            throw RuntimeError(
                errors::kDeviceIO,
                "The file " + path + " is not a valid registry database (" + detail + ")");
        case SQLITE_CANTOPEN: {
            const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
            if (error != 0) detail += std::string(": ") + std::strerror(error);
            throw RuntimeError(errors::kPathNotFound,
                               "Cannot open the registry database " + path + " (" + detail + ")");
        }
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            throw RuntimeError(errors::kPermissionDenied,
                               "The registry database " + path +
                                   " stayed locked by another process (" + detail + ")");
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            throw RuntimeError(
                errors::kPermissionDenied,
                "The registry database " + path + " cannot be written (" + detail + ")");
        case SQLITE_FULL:
            throw RuntimeError(errors::kDeviceIO,
                               "No space left for the registry database " + path);
        default:
            throw RuntimeError(errors::kDeviceIO,
                               "The registry database " + path + " failed (" + detail + ")");
    }
}

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// A key path as stored: components separated by single backslashes, no empty
// component, so "\Software\\Foo\" and "Software\Foo" are the same key.
std::string NormalisePath(std::string_view path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) {
            if (!out.empty()) out += '\\';
            out.append(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

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

}  // namespace

std::string Registry::Value::AsText() const {
    return kind == ValueKind::kNumber ? std::to_string(number) : text;
}

std::string SettingsKeyPath(std::string_view app, std::string_view section) {
    std::string path = "Software\\Postwarden Settings\\";
    path.append(app);
    path += '\\';
    path.append(section);
    return path;
}

// One prepared statement in use: parameters bound, stepped, then reset so the
// statement can be used again.
class Query {
  public:
    Query(sqlite3* db, sqlite3_stmt* statement, const std::string& path)
        : db_(db), statement_(statement), path_(path) {}
    ~Query() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int index, std::string_view text) {
        Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Query& Bind(int index, int64_t number) {
        Check(sqlite3_bind_int64(statement_, index, number));
        return *this;
    }
    // True while there is a row to read.
    bool Step() {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(db_, rc, path_);
    }
    int64_t Integer(int column) { return sqlite3_column_int64(statement_, column); }
    std::string Text(int column) {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        const int size = sqlite3_column_bytes(statement_, column);
        return data != nullptr ? std::string(data, static_cast<size_t>(size)) : std::string();
    }
    Registry::Value ValueAt(int kindColumn) {
        Registry::Value value;
        if (Integer(kindColumn) == static_cast<int64_t>(Registry::ValueKind::kNumber)) {
            value.kind = Registry::ValueKind::kNumber;
            value.number = static_cast<int32_t>(Integer(kindColumn + 1));
        } else {
            value.text = Text(kindColumn + 1);
        }
        return value;
    }

  private:
    void Check(int rc) {
        if (rc != SQLITE_OK) Fail(db_, rc, path_);
    }

    sqlite3* db_;
    sqlite3_stmt* statement_;
    const std::string& path_;
};

struct Registry::Connection {
    Connection(sqlite3* raw, const std::string& file) : db(raw), path(file) {}

    void Exec(const char* sql) {
        const int rc = sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Fail(db.get(), rc, path);
    }
    int64_t Pragma(const char* sql) {
        Query query(db.get(), Prepare(sql), path);
        return query.Step() ? query.Integer(0) : 0;
    }
    // Statements are prepared once per connection and kept.
    sqlite3_stmt* Prepare(const char* sql) {
        for (auto& [text, statement] : statements) {
            if (std::strcmp(text, sql) == 0) return statement.get();
        }
        sqlite3_stmt* raw = nullptr;
        const int rc =
            sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        if (rc != SQLITE_OK) Fail(db.get(), rc, path);
        statements.emplace_back(sql, std::unique_ptr<sqlite3_stmt, FinalizeStatement>(raw));
        return raw;
    }
    Query Use(const char* sql) { return Query(db.get(), Prepare(sql), path); }

    // Refuses a database that is not a registry database, before anything is
    // changed in it.
    bool CheckOwnership() {
        if (Pragma("PRAGMA application_id") == kApplicationId) {
            if (Pragma("PRAGMA user_version") > kSchemaVersion) {
                throw RuntimeError(errors::kDeviceIO, "The registry database " + path +
                                                          " was written by a newer version");
            }
            return true;
        }
        if (Pragma("SELECT count(*) FROM sqlite_master") != 0) {
            throw RuntimeError(errors::kDeviceIO,
                               "The file " + path +
                                   " is not a valid registry database (it belongs to another "
                                   "program)");
        }
        return false;
    }

    // Makes an empty database a registry database. Another process may be doing
    // the same: the check is repeated under the write lock.
    void CreateSchema() {
        Transaction transaction(*this);
        if (!CheckOwnership()) {
            Exec(kSchema);
            Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
            Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        }
        transaction.Commit();
    }

    // Turning a file to WAL needs it to itself, and SQLite answers "locked"
    // at once, without its busy wait, while another process briefly holds it
    // (typically one that is opening the same new file): wait here instead.
    void SwitchToWal() {
        for (int waited = 0;; waited += 5) {
            const int rc =
                sqlite3_exec(db.get(), "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) return;
            const int primary = rc & 0xFF;
            if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) {
                Fail(db.get(), rc, path);
            }
            sqlite3_sleep(5);
        }
    }

    // BEGIN IMMEDIATE takes the write lock up front, so a writer waits for
    // another process's writer (busy timeout) instead of failing when it would
    // upgrade a read lock.
    class Transaction {
      public:
        explicit Transaction(Connection& connection) : connection_(connection) {
            connection_.Exec("BEGIN IMMEDIATE");
        }
        ~Transaction() {
            if (!done_) sqlite3_exec(connection_.db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        void Commit() {
            connection_.Exec("COMMIT");
            done_ = true;
        }

      private:
        Connection& connection_;
        bool done_ = false;
    };

    // Statements must be finalized before the database is closed: declared after it.
    std::unique_ptr<sqlite3, CloseDatabase> db;
    const std::string& path;
    std::vector<std::pair<const char*, std::unique_ptr<sqlite3_stmt, FinalizeStatement>>>
        statements;
};

Registry::Registry(std::string path) : path_(std::move(path)) {}
Registry::~Registry() = default;

Registry::Connection* Registry::Open(bool createIfMissing) {
    if (connection_) return connection_.get();
    if (!createIfMissing) {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0 && errno == ENOENT) return nullptr;
    }
    sqlite3* raw = nullptr;
    int rc = SQLITE_OK;
    {
        std::lock_guard<std::mutex> creating(CreationLock());
        CreateOwnerOnly(path_);
        rc = sqlite3_open_v2(path_.c_str(), &raw,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                                 SQLITE_OPEN_EXRESCODE,
                             nullptr);
    }
    auto connection = std::make_unique<Connection>(raw, path_);
    if (rc != SQLITE_OK) Fail(raw, rc, path_);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    // Only a positive answer can be trusted outside a transaction: another
    // process may be creating the schema between two reads. Anything else is
    // settled under the write lock, before the file is changed in any way.
    if (connection->Pragma("PRAGMA application_id") != kApplicationId) connection->CreateSchema();
    connection->SwitchToWal();
    // FULL: in WAL mode every commit is synced, so a write is durable when it returns.
    connection->Exec("PRAGMA synchronous = FULL");
    connection->Exec("PRAGMA foreign_keys = ON");
    connection_ = std::move(connection);
    return connection_.get();
}

// A failure drops the connection, so the next call opens the file afresh (it
// may have been repaired or replaced in the meantime).
template <typename Body>
auto Registry::Locked(Body&& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        return body();
    } catch (...) {
        connection_.reset();
        throw;
    }
}

bool Registry::KeyExists(uint32_t hive, std::string_view keyPath) {
    const std::string folded = LCase(NormalisePath(keyPath));
    if (folded.empty()) return true;  // the hive itself
    return Locked([&] {
        Connection* c = Open(false);
        if (c == nullptr) return false;
        Query query = c->Use(kFindKey);
        query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded);
        return query.Step();
    });
}

std::optional<Registry::Value> Registry::ReadValue(uint32_t hive, std::string_view keyPath,
                                                   std::string_view name) {
    const std::string folded = LCase(NormalisePath(keyPath));
    const std::string foldedName = LCase(name);
    return Locked([&]() -> std::optional<Value> {
        Connection* c = Open(false);
        if (c == nullptr) return std::nullopt;
        Query query = c->Use(kSelectValue);
        query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded).Bind(3, foldedName);
        if (!query.Step()) return std::nullopt;
        return query.ValueAt(0);
    });
}

void Registry::Write(uint32_t hive, std::string_view keyPath, std::string_view name,
                     const Value& value) {
    const std::string path = NormalisePath(keyPath);
    const std::string folded = LCase(path);
    const std::string foldedName = LCase(name);
    Locked([&] {
        Connection* c = Open(true);
        Connection::Transaction transaction(*c);
        // The key and every parent, so each level can be opened like a Windows key.
        size_t end = 0;
        do {
            end = path.find('\\', end + 1);
            const size_t length = end == std::string::npos ? path.size() : end;
            Query insert = c->Use(kInsertKey);
            insert.Bind(1, static_cast<int64_t>(hive))
                .Bind(2, std::string_view(path).substr(0, length))
                .Bind(3, std::string_view(folded).substr(0, length));
            insert.Step();
        } while (end != std::string::npos);

        int64_t keyId = 0;
        {
            Query find = c->Use(kFindKey);
            find.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded);
            if (!find.Step()) Fail(c->db.get(), SQLITE_CORRUPT, path_);
            keyId = find.Integer(0);
        }
        Query upsert = c->Use(kUpsertValue);
        upsert.Bind(1, keyId).Bind(2, name).Bind(3, foldedName);
        upsert.Bind(4, static_cast<int64_t>(value.kind));
        if (value.kind == ValueKind::kNumber) {
            upsert.Bind(5, static_cast<int64_t>(value.number));
        } else {
            upsert.Bind(5, value.text);
        }
        upsert.Step();
        transaction.Commit();
    });
}

void Registry::WriteText(uint32_t hive, std::string_view keyPath, std::string_view name,
                         std::string_view text) {
    Value value;
    value.text = std::string(text);
    Write(hive, keyPath, name, value);
}

void Registry::WriteNumber(uint32_t hive, std::string_view keyPath, std::string_view name,
                           int32_t number) {
    Value value;
    value.kind = ValueKind::kNumber;
    value.number = number;
    Write(hive, keyPath, name, value);
}

bool Registry::DeleteValue(uint32_t hive, std::string_view keyPath, std::string_view name) {
    const std::string folded = LCase(NormalisePath(keyPath));
    const std::string foldedName = LCase(name);
    return Locked([&] {
        Connection* c = Open(false);
        if (c == nullptr) return false;
        Query query = c->Use(kDeleteValue);
        query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded).Bind(3, foldedName);
        query.Step();
        return sqlite3_changes(c->db.get()) > 0;
    });
}

std::vector<std::pair<std::string, Registry::Value>> Registry::ListValues(
    uint32_t hive, std::string_view keyPath) {
    const std::string folded = LCase(NormalisePath(keyPath));
    return Locked([&] {
        std::vector<std::pair<std::string, Value>> values;
        Connection* c = Open(false);
        if (c == nullptr) return values;
        Query query = c->Use(kListValues);
        query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded);
        while (query.Step()) values.emplace_back(query.Text(0), query.ValueAt(1));
        return values;
    });
}

std::string Registry::GetSetting(std::string_view app, std::string_view section,
                                 std::string_view key, std::string_view defaultValue) {
    std::optional<Value> value = ReadValue(kHiveCurrentUser, SettingsKeyPath(app, section), key);
    return value ? value->AsText() : std::string(defaultValue);
}

void Registry::SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view value) {
    WriteText(kHiveCurrentUser, SettingsKeyPath(app, section), key, value);
}

std::vector<std::pair<std::string, std::string>> Registry::GetAllSettings(
    std::string_view app, std::string_view section) {
    std::vector<std::pair<std::string, std::string>> settings;
    for (auto& [name, value] : ListValues(kHiveCurrentUser, SettingsKeyPath(app, section))) {
        settings.emplace_back(name, value.AsText());
    }
    return settings;
}

bool Registry::DeleteSetting(std::string_view app, std::string_view section, std::string_view key) {
    return DeleteValue(kHiveCurrentUser, SettingsKeyPath(app, section), key);
}

namespace {

// RegistryAccess of the engine library over the registry database.
class RegistryKeyAccess final : public RegistryAccess {
  public:
    explicit RegistryKeyAccess(Registry& registry) : registry_(registry) {}

    // The access rights mean nothing to a per-user file: every key can be read.
    int32_t OpenKey(std::string_view path, uint32_t hive, int32_t /*access*/) override {
        open_ = false;
        if (!registry_.KeyExists(hive, path)) return 2;
        hive_ = hive;
        path_ = std::string(path);
        open_ = true;
        return 0;
    }

    int32_t QueryValue(std::string_view name, int32_t /*reserved*/) override {
        if (!open_) throw RuntimeError(errors::kInvalidCall, "No registry key is open");
        std::optional<Registry::Value> value = registry_.ReadValue(hive_, path_, name);
        if (!value) {
            throw RuntimeError(errors::kInvalidCall,
                               "The registry value " + std::string(name) + " does not exist");
        }
        if (value->kind == Registry::ValueKind::kNumber) return value->number;
        return ToLong(value->text);  // a text holding a number reads as that number
    }

    void CloseKey() override { open_ = false; }

  private:
    Registry& registry_;
    bool open_ = false;
    uint32_t hive_ = 0;
    std::string path_;
};

}  // namespace

std::unique_ptr<RegistryAccess> Registry::NewAccess() {
    return std::make_unique<RegistryKeyAccess>(*this);
}

}  // namespace postwarden
