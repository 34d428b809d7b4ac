#pragma once

// A forwarding window system for fault injection: every window operation first
// goes through FakePlatform::Check ("Window.<operation>"), so FailAtCall(n) can
// land inside the forms as well as anywhere else, and the answers come from a
// ScriptedWindowSystem underneath. It also notes whether any prompt was answered
// No, by its button or by being closed without one (which the forms take as No).

#include <memory>
#include <vector>

#include "module/WindowWrapper.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden::fakes {

class CountedWindowSystem final : public WindowWrapper {
  public:
    // `platform` must outlive this object and every window it made.
    CountedWindowSystem(FakePlatform& platform, std::vector<ScriptedWindowSystem::Answer> answers);

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    void ProcessPendingEvents() override;
    void MessageBox(std::string_view text, std::string_view title) override;

    // A No reached a form: its No button was pressed, or a window was closed.
    bool refused = false;
    const ScriptedWindowSystem& scripted() const { return scripted_; }

  private:
    class CountedWindow;
    FakePlatform& platform_;
    ScriptedWindowSystem& scripted_;
};

}  // namespace postwarden::fakes
