// Temporary bodies until the registry database lands.
#include "module/RuntimeError.h"
#include "platform/registry/Registry.h"

namespace postwarden {

namespace {
RuntimeError NotYet() { return RuntimeError(errors::kPathNotFound, "The registry is not available"); }
}  // namespace

std::string Registry::GetSetting(std::string_view, std::string_view, std::string_view,
                                 std::string_view) {
    throw NotYet();
}
void Registry::SaveSetting(std::string_view, std::string_view, std::string_view,
                           std::string_view) {
    throw NotYet();
}
std::unique_ptr<RegistryAccess> Registry::NewAccess() { throw NotYet(); }

}  // namespace postwarden
