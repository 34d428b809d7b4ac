#pragma once

#include <cstdint>
#include <string>

namespace postwarden {

class Platform;

// Temporary shape of the single-rule confirmation form until it lands.
class frmSimpleYesNoPrompt {
public:
    explicit frmSimpleYesNoPrompt(Platform& platform) : platform_(platform) {}
    // The caption of lblConfirmationMessage; setting it loads the window.
    void SetConfirmationMessage(const std::string& text);
    int32_t Ask(const int32_t& values, const std::string& friendlyName,
                const bool& forceManualModal);

private:
    Platform& platform_;
};

}  // namespace postwarden
