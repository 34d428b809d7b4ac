#include "platform/registry/RegistryQueries.h"

namespace postwarden::registry_queries {

namespace {

// The tables are created in RegistryDatabase.cpp. Parameters are numbered so
// that each statement binds the same things at the same places.
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

// The value in the columns `kindColumn` and the one after it.
Registry::Value ValueAt(Query& query, int kindColumn) {
    Registry::Value value;
    if (query.Integer(kindColumn) == static_cast<int64_t>(Registry::ValueKind::kNumber)) {
        value.kind = Registry::ValueKind::kNumber;
        value.number = static_cast<int32_t>(query.Integer(kindColumn + 1));
    } else {
        value.text = query.Text(kindColumn + 1);
    }
    return value;
}

}  // namespace

std::optional<int64_t> FindKey(SqliteConnection& db, uint32_t hive, std::string_view folded) {
    Query query = db.Use(kFindKey);
    query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded);
    if (!query.Step()) return std::nullopt;
    return query.Integer(0);
}

int64_t ExistingKey(SqliteConnection& db, uint32_t hive, std::string_view folded) {
    const std::optional<int64_t> id = FindKey(db, hive, folded);
    if (!id) FailDatabase(db.db(), SQLITE_CORRUPT, db.path());
    return *id;
}

void InsertKey(SqliteConnection& db, uint32_t hive, std::string_view path,
               std::string_view folded) {
    Query query = db.Use(kInsertKey);
    query.Bind(1, static_cast<int64_t>(hive)).Bind(2, path).Bind(3, folded);
    query.Step();
}

std::optional<Registry::Value> SelectValue(SqliteConnection& db, uint32_t hive,
                                           std::string_view folded, std::string_view foldedName) {
    Query query = db.Use(kSelectValue);
    query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded).Bind(3, foldedName);
    if (!query.Step()) return std::nullopt;
    return ValueAt(query, 0);
}

void UpsertValue(SqliteConnection& db, int64_t keyId, std::string_view name,
                 std::string_view foldedName, const Registry::Value& value) {
    Query query = db.Use(kUpsertValue);
    query.Bind(1, keyId).Bind(2, name).Bind(3, foldedName);
    query.Bind(4, static_cast<int64_t>(value.kind));
    if (value.kind == Registry::ValueKind::kNumber) {
        query.Bind(5, static_cast<int64_t>(value.number));
    } else {
        query.Bind(5, value.text);
    }
    query.Step();
}

bool DeleteValue(SqliteConnection& db, uint32_t hive, std::string_view folded,
                 std::string_view foldedName) {
    Query query = db.Use(kDeleteValue);
    query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded).Bind(3, foldedName);
    query.Step();
    return db.Changes() > 0;
}

std::vector<std::pair<std::string, Registry::Value>> ListValues(SqliteConnection& db, uint32_t hive,
                                                                std::string_view folded) {
    std::vector<std::pair<std::string, Registry::Value>> values;
    Query query = db.Use(kListValues);
    query.Bind(1, static_cast<int64_t>(hive)).Bind(2, folded);
    while (query.Step()) values.emplace_back(query.Text(0), ValueAt(query, 1));
    return values;
}

}  // namespace postwarden::registry_queries
