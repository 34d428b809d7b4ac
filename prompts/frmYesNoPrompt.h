#pragma once

#include <cstdint>
#include <string>

namespace postwarden {

class Platform;

// Temporary shape of the multi-rule confirmation form until it lands.
class frmYesNoPrompt {
public:
    explicit frmYesNoPrompt(Platform& platform) : platform_(platform) {}
    int32_t Ask(const int32_t& values, const std::string& friendlyName,
                const bool& forceManualModal);

private:
    Platform& platform_;
};

}  // namespace postwarden
