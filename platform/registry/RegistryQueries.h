#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/registry/SqliteConnection.h"

// The statements over a registry database's tables, one function each. Key
// paths come normalised and, with value names, `folded` to lower case by the
// caller. Every failure throws RuntimeError.
namespace postwarden::registry_queries {

// The id of the key, or nothing when it does not exist.
std::optional<int64_t> FindKey(SqliteConnection& db, uint32_t hive, std::string_view folded);
// The id of a key that must exist (one written in the running transaction);
// throws RuntimeError as for a corrupt database when it does not.
int64_t ExistingKey(SqliteConnection& db, uint32_t hive, std::string_view folded);
// Creates the key unless it exists (its first spelling stays).
void InsertKey(SqliteConnection& db, uint32_t hive, std::string_view path, std::string_view folded);
// The value, or nothing when the key or the value does not exist.
std::optional<Registry::Value> SelectValue(SqliteConnection& db, uint32_t hive,
                                           std::string_view folded, std::string_view foldedName);
// Creates the value of the key `keyId` or overwrites its kind and data (its
// first spelling stays).
void UpsertValue(SqliteConnection& db, int64_t keyId, std::string_view name,
                 std::string_view foldedName, const Registry::Value& value);
// False when there was no such value.
bool DeleteValue(SqliteConnection& db, uint32_t hive, std::string_view folded,
                 std::string_view foldedName);
// The values of one key as spelled when first written, ordered by folded name.
std::vector<std::pair<std::string, Registry::Value>> ListValues(SqliteConnection& db, uint32_t hive,
                                                                std::string_view folded);

}  // namespace postwarden::registry_queries
