#pragma once

// A window system for the forms' tests: windows keep their state in memory, every
// operation goes through FakePlatform::Check (so FailOn("Window.ShowModeless") or
// FailAtCall(n) makes it throw), and what the person does is a test's function
// run when a window is shown.

#include <functional>
#include <string>
#include <vector>

#include "platform/windows/ModelWindow.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden::fakes {

class FakeWindowSystem;

class FakeWindow final : public ModelWindow {
  public:
    FakeWindow(FakeWindowSystem& system, const FormDesign& design, WindowEvents& events);
    ~FakeWindow() override;

    void SetCaption(std::string_view text) override {
        Op("SetCaption").ModelWindow::SetCaption(text);
    }
    void SetControlCaption(std::string_view control, std::string_view text) override {
        Op("SetControlCaption").ModelWindow::SetControlCaption(control, text);
    }
    std::string ControlCaption(std::string_view control) override {
        return Op("ControlCaption").ModelWindow::ControlCaption(control);
    }
    void SetEnabled(std::string_view control, bool enabled) override {
        Op("SetEnabled").ModelWindow::SetEnabled(control, enabled);
    }
    bool Enabled(std::string_view control) override {
        return Op("Enabled").ModelWindow::Enabled(control);
    }
    int32_t CheckValue(std::string_view control) override {
        return Op("CheckValue").ModelWindow::CheckValue(control);
    }
    void SetCheckValue(std::string_view control, int32_t value) override {
        Op("SetCheckValue").ModelWindow::SetCheckValue(control, value);
    }
    void SetDefaultButton(std::string_view control) override {
        Op("SetDefaultButton").ModelWindow::SetDefaultButton(control);
    }
    void SetDetails(const std::vector<std::string>& lines) override {
        Op("SetDetails").ModelWindow::SetDetails(lines);
    }
    void ShowModal() override;
    void ShowModeless() override;
    void Activate() override {
        Op("Activate");
        ++activations;
    }
    void Unload() override { Op("Unload").ModelWindow::Unload(); }
    bool Loaded() override { return Op("Loaded").ModelWindow::Loaded(); }

    bool shownModeless = false;
    int activations = 0;

  private:
    // Counts one operation as "Window.<name>" (throws when it is switched to
    // fail) and gives the model to carry it out; callers qualify the call, as
    // the model's functions are virtual.
    ModelWindow& Op(const char* name);
    FakeWindowSystem& system_;
};

class FakeWindowSystem final : public WindowSystem {
  public:
    // `platform` must outlive this object.
    explicit FakeWindowSystem(FakePlatform& platform) : platform_(platform) {}

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
