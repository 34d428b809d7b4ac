#pragma once

#include <cstdlib>
#include <string>

namespace postwarden {

// The value of the environment variable `name`; empty when it is not set.
inline std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace postwarden
