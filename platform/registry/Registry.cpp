// Key access: key paths and names as Windows compares them, keys created with
// their parents, one lock per object, and the settings of an application's
// section. The SQL is in RegistryQueries.cpp, the file in RegistryDatabase.cpp.
#include "platform/registry/Registry.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/registry/RegistryDatabase.h"
#include "platform/registry/RegistryQueries.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

namespace queries = registry_queries;

namespace {

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

Registry::Registry(std::string path) : path_(std::move(path)) {}
Registry::~Registry() = default;

SqliteConnection* Registry::Open(bool createIfMissing) {
    if (connection_) return connection_.get();
    if (!createIfMissing) {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0 && errno == ENOENT) return nullptr;
    }
    connection_ = OpenRegistryDatabase(path_, kBusyTimeoutMs);
    return connection_.get();
}

void Registry::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_.reset();
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
        SqliteConnection* db = Open(false);
        return db != nullptr && queries::FindKey(*db, hive, folded).has_value();
    });
}

std::optional<Registry::Value> Registry::ReadValue(uint32_t hive, std::string_view keyPath,
                                                   std::string_view name) {
    const std::string folded = LCase(NormalisePath(keyPath));
    const std::string foldedName = LCase(name);
    return Locked([&]() -> std::optional<Value> {
        SqliteConnection* db = Open(false);
        if (db == nullptr) return std::nullopt;
        return queries::SelectValue(*db, hive, folded, foldedName);
    });
}

void Registry::Write(uint32_t hive, std::string_view keyPath, std::string_view name,
                     const Value& value) {
    const std::string path = NormalisePath(keyPath);
    const std::string folded = LCase(path);
    const std::string foldedName = LCase(name);
    Locked([&] {
        SqliteConnection* db = Open(true);
        SqliteConnection::Transaction transaction(*db);
        // The key and every parent, so each level can be opened like a Windows key.
        size_t end = 0;
        do {
            end = path.find('\\', end + 1);
            const size_t length = end == std::string::npos ? path.size() : end;
            queries::InsertKey(*db, hive, std::string_view(path).substr(0, length),
                               std::string_view(folded).substr(0, length));
        } while (end != std::string::npos);

        queries::UpsertValue(*db, queries::ExistingKey(*db, hive, folded), name, foldedName, value);
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
        SqliteConnection* db = Open(false);
        return db != nullptr && queries::DeleteValue(*db, hive, folded, foldedName);
    });
}

std::vector<std::pair<std::string, Registry::Value>> Registry::ListValues(
    uint32_t hive, std::string_view keyPath) {
    const std::string folded = LCase(NormalisePath(keyPath));
    return Locked([&] {
        SqliteConnection* db = Open(false);
        if (db == nullptr) return std::vector<std::pair<std::string, Value>>();
        return queries::ListValues(*db, hive, folded);
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

}  // namespace postwarden
