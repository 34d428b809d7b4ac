#pragma once

// platform/registry/: the per-user registry stand-in.
//   Registry.h/.cpp           key access, as the contract below says
//   RegistryKeyAccess.cpp     the engine library's RegistryAccess over a Registry
//   RegistryQueries.h/.cpp    the SQL statements over the registry's tables
//   RegistryDatabase.h/.cpp   a file opened as a registry database: its mode,
//                             ownership, tables and journal
//   SqliteConnection.h/.cpp   a SQLite connection, its kept statements and
//                             transactions, its failures as RuntimeError

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/HostEngine.h"

namespace postwarden {

class SqliteConnection;

// The per-user registry: one SQLite database file holding hives, keys and named
// values, each value either a text or a 32-bit number. Key paths are
// backslash-separated ("Software\Microsoft\Office"); key paths and value names
// compare without regard to case, as on Windows, and keep the spelling they were
// first written with.
//
// Nothing touches the disk until the first operation. Reads of a database file
// that does not exist answer as an empty registry and create nothing; the first
// write creates the file, owner-only (0600, as are SQLite's files beside it; an
// existing file keeps its mode). Every write is one transaction, durable when it
// returns; a database locked by another process is waited for (up to
// kBusyTimeoutMs). Every failure throws RuntimeError with a description that
// names the file; a file that is not a registry database says so.
//
// One connection per object, opened on first use and kept. The object may be
// used from several threads (calls are serialised); a child process made by fork
// must make its own object.
class Registry {
  public:
    static constexpr int kBusyTimeoutMs = 10000;

    // Kinds of value, numbered as the Windows registry numbers them.
    enum class ValueKind : int32_t { kText = 1, kNumber = 4 };
    struct Value {
        ValueKind kind = ValueKind::kText;
        std::string text;    // kText
        int32_t number = 0;  // kNumber
        // The value as a text: a number in decimal.
        std::string AsText() const;
    };

    explicit Registry(std::string path);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    const std::string& path() const { return path_; }

    // --- Keys and values of any hive ---
    bool KeyExists(uint32_t hive, std::string_view keyPath);
    // The value, or nothing when the key or the value does not exist.
    std::optional<Value> ReadValue(uint32_t hive, std::string_view keyPath, std::string_view name);
    // Create the key and its parents when missing, then create or overwrite the value.
    void WriteText(uint32_t hive, std::string_view keyPath, std::string_view name,
                   std::string_view text);
    void WriteNumber(uint32_t hive, std::string_view keyPath, std::string_view name,
                     int32_t number);
    // False when there was no such value. The key stays.
    bool DeleteValue(uint32_t hive, std::string_view keyPath, std::string_view name);
    // The values of one key, ordered by name; empty when the key does not exist.
    std::vector<std::pair<std::string, Value>> ListValues(uint32_t hive, std::string_view keyPath);

    // --- The settings of an application's section (current user's hive) ---
    // A setting that does not exist reads as `defaultValue`; one that exists
    // reads as stored, also when empty. A number reads as its decimal text.
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue);
    // Creates the setting (and its key) or overwrites it, as text.
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value);
    // Every setting of the section, ordered by name, numbers in decimal.
    std::vector<std::pair<std::string, std::string>> GetAllSettings(std::string_view app,
                                                                    std::string_view section);
    // False when there was no such setting.
    bool DeleteSetting(std::string_view app, std::string_view section, std::string_view key);

    // Closes the connection; the next operation opens a new one. For a wait of
    // unknown length: SQLite keeps the -shm file of a WAL database mapped into
    // memory, and a connection whose -shm file was truncated meanwhile dies of
    // SIGBUS at its next read, where a new connection sets the file up again
    // or fails with an error.
    void Close();

    // A key reader over this registry, for the engine library's RegistryAccess.
    // This object must remain live while the reader is in use.
    std::unique_ptr<RegistryAccess> NewAccess();

  private:
    // The open connection; nullptr when the file does not exist and
    // `createIfMissing` is false. Caller holds mutex_.
    SqliteConnection* Open(bool createIfMissing);
    // Runs `body` under the lock.
    template <typename Body>
    auto Locked(Body&& body);
    void Write(uint32_t hive, std::string_view keyPath, std::string_view name, const Value& value);

    std::string path_;
    std::mutex mutex_;
    std::unique_ptr<SqliteConnection> connection_;
};

// The key under which GetSetting and SaveSetting keep an application's section.
std::string SettingsKeyPath(std::string_view app, std::string_view section);

}  // namespace postwarden
