#pragma once

#include "module/WindowSystem.h"

namespace postwarden {

// The window system where nothing can be shown: every window fails to load, so
// the forms take their failure path; message boxes go to standard error.
class NoWindowSystem final : public WindowSystem {
public:
    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    void ProcessPendingEvents() override {}
    void MessageBox(std::string_view text, std::string_view title) override;
};

}  // namespace postwarden
