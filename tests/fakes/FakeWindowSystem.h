#pragma once

// A window system for the forms' tests: windows keep their state in memory, every
// operation goes through FakePlatform::Check (so FailOn("Window.ShowModeless") or
// FailAtCall(n) makes it throw), and what the person does is a test's function
// run when a window is shown.

#include <functional>
#include <string>
#include <vector>

#include "module/WindowWrapper.h"
#include "platform/windows/ModelWindow.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden::fakes {

class FakeWindowSystem;

// A window as the person sees it. The forms get it inside a wrapper that counts
// each of their calls as "Window.<name>" (and throws when that is switched to
// fail); what the person does with it is not counted.
class FakeWindow final : public ModelWindow {
  public:
    FakeWindow(FakeWindowSystem& system, const FormDesign& design, WindowEvents& events);
    ~FakeWindow() override;

    void ShowModal() override;
    void ShowModeless() override;
    void Activate() override { ++activations; }

    bool shownModeless = false;
    int activations = 0;

  private:
    FakeWindowSystem& system_;
};

class FakeWindowSystem final : public WindowWrapper {
  public:
    // `platform` must outlive this object.
    explicit FakeWindowSystem(FakePlatform& platform);

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    void ProcessPendingEvents() override;
    void MessageBox(std::string_view text, std::string_view title) override;

    // What the person does with a shown window: run inside ShowModal(), or on
    // the first ProcessPendingEvents() after ShowModeless(). It must answer (or
    // close) a modal window; the default presses No.
    std::function<void(FakeWindow&)> person = [](FakeWindow& window) { window.Press("cmdNo"); };
    // Run on every ProcessPendingEvents() pass, after the person (may be empty).
    std::function<void()> onPendingEvents;

    // Every window as it was when shown, in order.
    std::vector<ShownWindow> shown;
    struct Message {
        std::string text, title;
    };
    std::vector<Message> messages;
    int windowsCreated = 0;
    // The window most recently created, while it exists.
    FakeWindow* current = nullptr;

  private:
    friend class FakeWindow;
    FakePlatform& platform_;
    FakeWindow* waiting_ = nullptr;  // shown modeless, the person not yet run
    int modalDepth_ = 0;
    int pendingEventPasses_ = 0;
};

}  // namespace postwarden::fakes
