#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace postwarden {

// Throws the RuntimeError for a failed SQLite call on the database `path`,
// which is a `what` ("registry database"): a file that is no database, one
// that cannot be opened, written or locked, a full disk, or any other failure,
// each with a description that names the file. `db` may be nullptr (the open
// failed before it existed).
[[noreturn]] void FailDatabase(sqlite3* db, int rc, const std::string& path,
                               std::string_view what = "registry database");

class SqliteConnection;

// One prepared statement in use: parameters bound, stepped, then reset when it
// goes, so the statement can be used again. The statement and the connection
// must remain live while this Query is in use.
class Query {
  public:
    Query(const SqliteConnection& connection, sqlite3_stmt* statement)
        : connection_(connection), statement_(statement) {}
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // Bind parameter `index` (from 1); throws RuntimeError when SQLite refuses.
    Query& Bind(int index, std::string_view text);
    Query& Bind(int index, int64_t number);
    // True while there is a row to read; throws RuntimeError on a failure.
    bool Step();
    // A column of the current row: a number, or the bytes as they are stored
    // (the empty text for NULL).
    int64_t Integer(int column);
    std::string Text(int column);

  private:
    [[noreturn]] void Fail(int rc) const;

    const SqliteConnection& connection_;
    sqlite3_stmt* statement_;
};

// An open connection to one SQLite file, which it closes when it goes. Its
// statements are prepared once and kept. Every failure throws RuntimeError
// (FailDatabase). Not for use from two threads at once.
class SqliteConnection {
  public:
    // Takes `db` as it comes from sqlite3_open_v2, which may be a connection
    // that failed to open: it is closed all the same. Failures name the file
    // as a `what` (FailDatabase).
    SqliteConnection(sqlite3* db, std::string path, std::string what = "registry database");
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    sqlite3* db() const { return db_.get(); }
    const std::string& path() const { return path_; }
    const std::string& what() const { return what_; }
    // Throws the RuntimeError for `rc` (FailDatabase) on this connection.
    [[noreturn]] void Fail(int rc) const;

    // Runs SQL that returns no rows.
    void Exec(const char* sql);
    // The first column of the first row of `sql`; 0 when there is no row.
    int64_t Pragma(const char* sql);
    // The statement `sql`, prepared on first use and found again by its text.
    // `sql` must outlive this connection: it is kept, not copied.
    Query Use(const char* sql);
    // The rows the last statement inserted, changed or deleted.
    int Changes() const;

    // BEGIN IMMEDIATE takes the write lock up front, so a writer waits for
    // another process's writer (busy timeout) instead of failing when it would
    // upgrade a read lock. Rolled back when it goes uncommitted.
    class Transaction {
      public:
        explicit Transaction(SqliteConnection& connection);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

      private:
        SqliteConnection& connection_;
        bool done_ = false;
    };

  private:
    struct CloseDatabase {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    struct FinalizeStatement {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };

    sqlite3_stmt* Prepare(const char* sql);

    // Statements must be finalized before the database is closed: declared after it.
    std::unique_ptr<sqlite3, CloseDatabase> db_;
    std::string path_;
    std::string what_;
    std::vector<std::pair<const char*, std::unique_ptr<sqlite3_stmt, FinalizeStatement>>>
        statements_;
};

}  // namespace postwarden
