#pragma once

#include <string>

#include "module/WindowSystem.h"

namespace postwarden {

// The window system where nobody can be asked: every window fails to load with
// `reason` as its error's description, so the forms take their failure path and
// the host can say why; message boxes go to standard error.
class NoWindowSystem final : public WindowSystem {
  public:
    explicit NoWindowSystem(std::string reason = "no display or terminal to show a window on");

    // Throws RuntimeError "Can't create object" (429) with the reason.
    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    void ProcessPendingEvents() override {}
    void MessageBox(std::string_view text, std::string_view title) override;

  private:
    std::string reason_;
};

}  // namespace postwarden
