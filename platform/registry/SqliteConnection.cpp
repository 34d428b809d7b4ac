#include "platform/registry/SqliteConnection.h"

#include <cstring>

#include "util/RuntimeError.h"

namespace postwarden {

void FailDatabase(sqlite3* db, int rc, const std::string& path, std::string_view what) {
    std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const std::string file = std::string(what) + " " + path;
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            throw RuntimeError(errors::kDeviceIO, "The file " + path + " is not a valid " +
                                                      std::string(what) + " (" + detail + ")");
        case SQLITE_CANTOPEN: {
            const int error = db != nullptr ? sqlite3_system_errno(db) : 0;
            if (error != 0) detail += std::string(": ") + std::strerror(error);
            throw RuntimeError(errors::kPathNotFound,
                               "Cannot open the " + file + " (" + detail + ")");
        }
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            throw RuntimeError(
                errors::kPermissionDenied,
                "The " + file + " stayed locked by another process (" + detail + ")");
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            throw RuntimeError(errors::kPermissionDenied,
                               "The " + file + " cannot be written (" + detail + ")");
        case SQLITE_FULL:
            throw RuntimeError(errors::kDeviceIO, "No space left for the " + file);
        default:
            throw RuntimeError(errors::kDeviceIO, "The " + file + " failed (" + detail + ")");
    }
}

// --- Query ---

Query::~Query() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

void Query::Fail(int rc) const {
    connection_.Fail(rc);
}

Query& Query::Bind(int index, std::string_view text) {
    const int rc = sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                     SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) Fail(rc);
    return *this;
}

Query& Query::Bind(int index, int64_t number) {
    const int rc = sqlite3_bind_int64(statement_, index, number);
    if (rc != SQLITE_OK) Fail(rc);
    return *this;
}

bool Query::Step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(rc);
}

int64_t Query::Integer(int column) {
    return sqlite3_column_int64(statement_, column);
}

std::string Query::Text(int column) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
    const int size = sqlite3_column_bytes(statement_, column);
    return data != nullptr ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// --- SqliteConnection ---

SqliteConnection::SqliteConnection(sqlite3* db, std::string path, std::string what)
    : db_(db), path_(std::move(path)), what_(std::move(what)) {}

SqliteConnection::~SqliteConnection() = default;

void SqliteConnection::Fail(int rc) const {
    FailDatabase(db_.get(), rc, path_, what_);
}

void SqliteConnection::Exec(const char* sql) {
    const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
}

int64_t SqliteConnection::Pragma(const char* sql) {
    Query query = Use(sql);
    return query.Step() ? query.Integer(0) : 0;
}

Query SqliteConnection::Use(const char* sql) {
    return Query(*this, Prepare(sql));
}

int SqliteConnection::Changes() const {
    return sqlite3_changes(db_.get());
}

sqlite3_stmt* SqliteConnection::Prepare(const char* sql) {
    for (auto& [text, statement] : statements_) {
        if (std::strcmp(text, sql) == 0) return statement.get();
    }
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    if (rc != SQLITE_OK) Fail(rc);
    statements_.emplace_back(sql, std::unique_ptr<sqlite3_stmt, FinalizeStatement>(raw));
    return raw;
}

SqliteConnection::Transaction::Transaction(SqliteConnection& connection) : connection_(connection) {
    connection_.Exec("BEGIN IMMEDIATE");
}

SqliteConnection::Transaction::~Transaction() {
    if (!done_) sqlite3_exec(connection_.db(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteConnection::Transaction::Commit() {
    connection_.Exec("COMMIT");
    done_ = true;
}

}  // namespace postwarden
