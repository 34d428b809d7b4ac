#include "prompts/ConfirmationForm.h"

#include <exception>
#include <string>

#include "module/FailureReport.h"
#include "module/Platform.h"
#include "module/ThreadObjects.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {
constexpr char kAskFailureTitle[] = "Postwarden.Ask";
}  // namespace

ConfirmationForm::ConfirmationForm(Platform& platform, const FormDesign& design)
    : platform_(platform), design_(design) {}

ConfirmationForm::~ConfirmationForm() = default;

EngineHelper& ConfirmationForm::Helper() {
    return ThreadObjects::For(platform_).Helper();
}

bool ConfirmationForm::WindowLoaded() const {
    return window_ && window_->Loaded();
}

Window& ConfirmationForm::Me() {
    if (!WindowLoaded()) {
        window_.reset();
        window_ = platform_.Windows().CreateWindow(design_, *this);
        Form_Load();
    }
    return *window_;
}

void ConfirmationForm::DropUnloadedWindow() noexcept {
    try {
        if (window_ && !window_->Loaded()) window_.reset();
    } catch (const std::exception&) {
        // The next touch tries again.
    }
}

int32_t ConfirmationForm::Ask(const int32_t& /*values*/, const std::string& friendlyName,
                              const bool& forceManualModal) {
    // Another send may reach this form while it waits for an answer (the wait
    // dispatches events). Sharing one window between two prompts would answer
    // both with one click, so the second is refused: the send stays open.
    if (asking_) return kAnswerNo;
    asking_ = true;
    struct Finish {
        ConfirmationForm& form;
        ~Finish() {
            form.asking_ = false;
            form.DropUnloadedWindow();
        }
    } finish{*this};

    bool modalFallback = false;
    try {
        Me().SetCaption(friendlyName);
        Me().SetDefaultButton("cmdNo");
        if (forceManualModal) {
            try {
                Me().ShowModeless();
            } catch (const RuntimeError& failure) {
                if (failure.Number() != errors::kModalFormDisplayed) throw;
                modalFallback = true;
            }
            if (!modalFallback) {
                response_ = kAnswerWaiting;
                Me().Activate();
                WaitWhileModeless();
            }
        } else {
            Me().ShowModal();
        }
    } catch (const RuntimeError& failure) {
        platform_.Windows().MessageBox(FailureText(failure.Description()) + " Error Number: {" +
                                           std::to_string(failure.Number()) + "}",
                                       kAskFailureTitle);
        return kAnswerFailed;
    }
    // Outside the handler on purpose: a failing fall-back goes to the caller.
    if (modalFallback) Me().ShowModal();
    return response_;
}

void ConfirmationForm::WaitWhileModeless() {
    while (response_ == kAnswerWaiting) {
        platform_.Windows().ProcessPendingEvents();
        // The window went away without telling us (it was destroyed under us):
        // nobody can answer any more, and waiting would hang the thread.
        if (response_ == kAnswerWaiting && !WindowLoaded()) response_ = kAnswerNo;
    }
}

void ConfirmationForm::cmdYes_Click() {
    response_ = kAnswerYes;
    Me().Unload();
}

void ConfirmationForm::cmdNo_Click() {
    response_ = kAnswerNo;
    Me().Unload();
}

void ConfirmationForm::Click(std::string_view control) {
    try {
        if (control == "cmdYes") {
            cmdYes_Click();
        } else if (control == "cmdNo") {
            cmdNo_Click();
        } else {
            CheckBoxClicked(control);
        }
    } catch (const std::exception& failure) {
        ReportHandlerFailure(std::string(control) + "_Click", failure.what());
    }
}

void ConfirmationForm::CloseRequested() {
    // No button was pressed: whatever Response held (a wait marker, or the
    // answer of an earlier prompt) must not stand, and No is the safe answer.
    response_ = kAnswerNo;
}

void ConfirmationForm::ReportHandlerFailure(std::string_view handler,
                                            std::string_view description) noexcept {
    try {
        ReportFailure(Helper(),
                      "Postwarden." + std::string(FormName()) + "." + std::string(handler), 1,
                      FailureText(description));
    } catch (const std::exception&) {
        // Nowhere left to report to; the window stays as it is.
    }
}

}  // namespace postwarden
