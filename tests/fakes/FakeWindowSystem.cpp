#include "tests/fakes/FakeWindowSystem.h"

#include <gtest/gtest.h>

namespace postwarden::fakes {

namespace {

// A modeless window nobody answers would keep a form waiting for ever.
constexpr int kMaxIdlePasses = 1000;

// What the wrapper wraps: the person's windows. Events and message boxes are
// FakeWindowSystem's own.
class PersonsWindows final : public WindowSystem {
  public:
    explicit PersonsWindows(FakeWindowSystem& system) : system_(system) {}
    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        return std::make_unique<FakeWindow>(system_, design, events);
    }
    void ProcessPendingEvents() override {}
    void MessageBox(std::string_view, std::string_view) override {}

  private:
    FakeWindowSystem& system_;
};

class CountedWindow final : public WindowWrapper::WrappedWindow {
  public:
    CountedWindow(WindowEvents& form, FakePlatform& platform)
        : WrappedWindow(form), platform_(platform) {}

  private:
    void Passing(std::string_view operation) override {
        platform_.Check("Window." + std::string(operation));
    }
    FakePlatform& platform_;
};

}  // namespace

FakeWindow::FakeWindow(FakeWindowSystem& system, const FormDesign& design, WindowEvents& events)
    : ModelWindow(design, events), system_(system) {
    system_.current = this;
}

FakeWindow::~FakeWindow() {
    if (system_.current == this) system_.current = nullptr;
    if (system_.waiting_ == this) system_.waiting_ = nullptr;
}

void FakeWindow::ShowModal() {
    system_.shown.push_back(Snapshot(true));
    ++system_.modalDepth_;
    system_.person(*this);
    --system_.modalDepth_;
    if (Loaded()) ADD_FAILURE() << "the person left a modal window open";
}

void FakeWindow::ShowModeless() {
    if (system_.modalDepth_ > 0) throw errors::ModalFormDisplayed();
    system_.shown.push_back(Snapshot(false));
    shownModeless = true;
    system_.waiting_ = this;
}

FakeWindowSystem::FakeWindowSystem(FakePlatform& platform)
    : WindowWrapper(std::make_unique<PersonsWindows>(*this)), platform_(platform) {}

std::unique_ptr<Window> FakeWindowSystem::CreateWindow(const FormDesign& design,
                                                       WindowEvents& events) {
    platform_.Check("Windows.CreateWindow");
    ++windowsCreated;
    return Wrap<CountedWindow>(design, events, platform_);
}

void FakeWindowSystem::ProcessPendingEvents() {
    platform_.Check("Windows.ProcessPendingEvents");
    if (FakeWindow* window = waiting_) {
        waiting_ = nullptr;
        person(*window);
    }
    if (onPendingEvents) onPendingEvents();
    if (++pendingEventPasses_ > kMaxIdlePasses) {
        ADD_FAILURE() << "a form still waits after " << kMaxIdlePasses << " passes";
        throw RuntimeError(errors::kInvalidCall, "Nobody answers");
    }
}

void FakeWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    platform_.Check("Windows.MessageBox");
    messages.push_back({std::string(text), std::string(title)});
}

}  // namespace postwarden::fakes
