#include "tests/fakes/FakeWindowSystem.h"

#include <gtest/gtest.h>

namespace postwarden::fakes {

namespace {
// A modeless window nobody answers would keep a form waiting for ever.
constexpr int kMaxIdlePasses = 1000;
}  // namespace

FakeWindow::FakeWindow(FakeWindowSystem& system, const FormDesign& design, WindowEvents& events)
    : ModelWindow(design, events), system_(system) {}

FakeWindow::~FakeWindow() {
    if (system_.current == this) system_.current = nullptr;
    if (system_.waiting_ == this) system_.waiting_ = nullptr;
}

ModelWindow& FakeWindow::Op(const char* name) {
    system_.platform_.Check(std::string("Window.") + name);
    return *this;
}

void FakeWindow::ShowModal() {
    Op("ShowModal");
    system_.shown.push_back(Snapshot(true));
    ++system_.modalDepth_;
    system_.person(*this);
    --system_.modalDepth_;
    if (ModelWindow::Loaded()) ADD_FAILURE() << "the person left a modal window open";
}

void FakeWindow::ShowModeless() {
    Op("ShowModeless");
    if (system_.modalDepth_ > 0) throw errors::ModalFormDisplayed();
    system_.shown.push_back(Snapshot(false));
    shownModeless = true;
    system_.waiting_ = this;
}

std::unique_ptr<Window> FakeWindowSystem::CreateWindow(const FormDesign& design,
                                                       WindowEvents& events) {
    platform_.Check("Windows.CreateWindow");
    auto window = std::make_unique<FakeWindow>(*this, design, events);
    ++windowsCreated;
    current = window.get();
    return window;
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
