#pragma once

#include <functional>
#include <memory>
#include <string>

#include "module/WindowSystem.h"

namespace postwarden {

// A window system made the first time a window or a message box is wanted, so
// that a run that shows none never pays for it (the Qt plugin). When it cannot
// be made, a fallback made from the reason stands in for it, so the forms still
// reach the person some other way or fail with a reason that says why.
class OnDemandWindowSystem final : public WindowSystem {
  public:
    // Makes the window system, or returns null with the reason in `failure`.
    using Make = std::function<std::unique_ptr<WindowSystem>(std::string& failure)>;
    // Makes the one to use instead; must not return null.
    using Fallback = std::function<std::unique_ptr<WindowSystem>(const std::string& failure)>;

    OnDemandWindowSystem(Make make, Fallback fallback);
    OnDemandWindowSystem(const OnDemandWindowSystem&) = delete;
    OnDemandWindowSystem& operator=(const OnDemandWindowSystem&) = delete;

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    // Nothing is waiting before the first window, so nothing is made for it.
    void ProcessPendingEvents() override;
    void MessageBox(std::string_view text, std::string_view title) override;

    // The window system in use, made now if it was not yet.
    WindowSystem& Ready();
    // Whether Ready() has run.
    bool Made() const { return windows_ != nullptr; }
    // Why the fallback is in use; empty while the window system itself is.
    const std::string& Failure() const { return failure_; }

  private:
    Make make_;
    Fallback fallback_;
    std::unique_ptr<WindowSystem> windows_;
    std::string failure_;
};

}  // namespace postwarden
