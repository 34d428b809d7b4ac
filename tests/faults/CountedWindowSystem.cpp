#include "tests/faults/CountedWindowSystem.h"

namespace postwarden::fakes {

// Wraps a scripted window. The scripted person talks to the form through the
// watcher, which notes a No on its way; the form talks to the window through
// this wrapper, whose every call may be the one that fails.
class CountedWindowSystem::CountedWindow final : public Window, private WindowEvents {
  public:
    CountedWindow(CountedWindowSystem& system, const FormDesign& design, WindowEvents& form)
        : system_(system), form_(form), inner_(system.scripted_.CreateWindow(design, *this)) {}

    void SetCaption(std::string_view text) override {
        Check("SetCaption");
        inner_->SetCaption(text);
    }
    void SetControlCaption(std::string_view control, std::string_view text) override {
        Check("SetControlCaption");
        inner_->SetControlCaption(control, text);
    }
    std::string ControlCaption(std::string_view control) override {
        Check("ControlCaption");
        return inner_->ControlCaption(control);
    }
    void SetEnabled(std::string_view control, bool enabled) override {
        Check("SetEnabled");
        inner_->SetEnabled(control, enabled);
    }
    bool Enabled(std::string_view control) override {
        Check("Enabled");
        return inner_->Enabled(control);
    }
    int32_t CheckValue(std::string_view control) override {
        Check("CheckValue");
        return inner_->CheckValue(control);
    }
    void SetCheckValue(std::string_view control, int32_t value) override {
        Check("SetCheckValue");
        inner_->SetCheckValue(control, value);
    }
    void SetDefaultButton(std::string_view control) override {
        Check("SetDefaultButton");
        inner_->SetDefaultButton(control);
    }
    void ShowModal() override {
        Check("ShowModal");
        inner_->ShowModal();
    }
    void ShowModeless() override {
        Check("ShowModeless");
        inner_->ShowModeless();
    }
    void Activate() override {
        Check("Activate");
        inner_->Activate();
    }
    void Unload() override {
        Check("Unload");
        inner_->Unload();
    }
    bool Loaded() override {
        Check("Loaded");
        return inner_->Loaded();
    }

  private:
    void Check(const char* operation) {
        system_.platform_.Check(std::string("Window.") + operation);
    }

    // WindowEvents, from the scripted person to the form.
    void Click(std::string_view control) override {
        if (control == "cmdNo") system_.refused = true;
        form_.Click(control);
    }
    void CloseRequested() override {
        system_.refused = true;
        form_.CloseRequested();
    }

    CountedWindowSystem& system_;
    WindowEvents& form_;
    std::unique_ptr<Window> inner_;  // refers to this object as its events
};

CountedWindowSystem::CountedWindowSystem(FakePlatform& platform,
                                         std::vector<ScriptedWindowSystem::Answer> answers)
    : platform_(platform), scripted_(std::move(answers)) {}

std::unique_ptr<Window> CountedWindowSystem::CreateWindow(const FormDesign& design,
                                                          WindowEvents& events) {
    platform_.Check("Window.Create");
    return std::make_unique<CountedWindow>(*this, design, events);
}

void CountedWindowSystem::ProcessPendingEvents() {
    platform_.Check("Window.ProcessPendingEvents");
    scripted_.ProcessPendingEvents();
}

void CountedWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    platform_.Check("Window.MessageBox");
    scripted_.MessageBox(text, title);
}

}  // namespace postwarden::fakes
