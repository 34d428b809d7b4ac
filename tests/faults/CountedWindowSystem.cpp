#include "tests/faults/CountedWindowSystem.h"

namespace postwarden::fakes {

// The form talks to the scripted window through this one, whose every call may
// be the one that fails; the scripted person's answers pass by it on their way
// back, and a No is noted.
class CountedWindowSystem::CountedWindow final : public WrappedWindow {
  public:
    CountedWindow(WindowEvents& form, CountedWindowSystem& system)
        : WrappedWindow(form), system_(system) {}

  private:
    void Passing(std::string_view operation) override {
        system_.platform_.Check("Window." + std::string(operation));
    }
    void Click(std::string_view control) override {
        if (control == "cmdNo") system_.refused = true;
        WrappedWindow::Click(control);
    }
    void CloseRequested() override {
        system_.refused = true;
        WrappedWindow::CloseRequested();
    }

    CountedWindowSystem& system_;
};

CountedWindowSystem::CountedWindowSystem(FakePlatform& platform,
                                         std::vector<ScriptedWindowSystem::Answer> answers)
    : WindowWrapper(std::make_unique<ScriptedWindowSystem>(std::move(answers))),
      platform_(platform),
      scripted_(static_cast<ScriptedWindowSystem&>(target())) {}

std::unique_ptr<Window> CountedWindowSystem::CreateWindow(const FormDesign& design,
                                                          WindowEvents& events) {
    platform_.Check("Window.Create");
    return Wrap<CountedWindow>(design, events, *this);
}

void CountedWindowSystem::ProcessPendingEvents() {
    platform_.Check("Window.ProcessPendingEvents");
    WindowWrapper::ProcessPendingEvents();
}

void CountedWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    platform_.Check("Window.MessageBox");
    WindowWrapper::MessageBox(text, title);
}

}  // namespace postwarden::fakes
