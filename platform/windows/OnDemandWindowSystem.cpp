#include "platform/windows/OnDemandWindowSystem.h"

#include <cassert>
#include <utility>

namespace postwarden {

OnDemandWindowSystem::OnDemandWindowSystem(Make make, Fallback fallback)
    : make_(std::move(make)), fallback_(std::move(fallback)) {}

WindowSystem& OnDemandWindowSystem::Ready() {
    if (windows_) return *windows_;
    std::string failure;
    windows_ = make_(failure);
    if (!windows_) {
        failure_ = failure.empty() ? "the windows could not be made" : std::move(failure);
        windows_ = fallback_(failure_);
        assert(windows_);
    }
    return *windows_;
}

std::unique_ptr<Window> OnDemandWindowSystem::CreateWindow(const FormDesign& design,
                                                           WindowEvents& events) {
    return Ready().CreateWindow(design, events);
}

void OnDemandWindowSystem::ProcessPendingEvents() {
    if (windows_) windows_->ProcessPendingEvents();
}

void OnDemandWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    Ready().MessageBox(text, title);
}

}  // namespace postwarden
