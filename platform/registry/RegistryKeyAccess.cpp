// The engine library's RegistryAccess over the registry database.
#include <memory>
#include <optional>
#include <string>

#include "platform/registry/Registry.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

namespace {

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
