#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "module/HostEngine.h"

namespace postwarden {

// Temporary shape of the registry database until it lands.
class Registry {
public:
    explicit Registry(std::string path) : path_(std::move(path)) {}
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue);
    void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                     std::string_view value);
    std::unique_ptr<RegistryAccess> NewAccess();

private:
    std::string path_;
};

}  // namespace postwarden
