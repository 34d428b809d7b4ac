#pragma once

// prompts/ holds the two confirmation forms, written against the abstract
// windows of module/WindowSystem.h:
//   ConfirmationForm.h      what both share: Ask, the answers, the window's
//                           life and the failure reports of its handlers
//   frmSimpleYesNoPrompt.h  one question and Yes/No (separate prompts)
//   frmYesNoPrompt.h        one box per rule to tick before Yes (one prompt)
//   RuleFlags.h             how the multi-rule form learns which rules fired;
//                           validation/ supplies it, so prompts/ needs nothing
//                           from validation/
//   SendDetails.h           how both forms learn what the rules found, to show
//                           under the question; supplied the same way

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "module/HostEngine.h"
#include "module/WindowSystem.h"

namespace postwarden {

class Platform;

// What every caller passes to Ask: the message-box style of Yes and No buttons
// (4) plus set-foreground (0x10000), which the forms do not read, and the
// window's caption.
inline constexpr int32_t kPromptValues = 65540;
inline constexpr const char* kPromptFriendlyName = "Post Warden";

// Answers of a confirmation form, the values a Windows message box gives.
inline constexpr int32_t kAnswerYes = 6;
inline constexpr int32_t kAnswerNo = 7;
// The manual-modal wait is in progress.
inline constexpr int32_t kAnswerWaiting = 5;
// The window could not be shown.
inline constexpr int32_t kAnswerFailed = 0;

// What the two confirmation forms share: the window that is loaded on first
// touch, `Ask` with its modal and manual-modal shows, `Response` and
// `LangStrings`. A form object lives as long as its thread's ThreadObjects; its
// window is loaded anew for every prompt. The `platform` must outlive the form.
class ConfirmationForm : public FormObject, private WindowEvents {
  public:
    ~ConfirmationForm() override;
    ConfirmationForm(const ConfirmationForm&) = delete;
    ConfirmationForm& operator=(const ConfirmationForm&) = delete;

    // Shows the window and waits for the answer: 6 Yes, 7 No, 0 when the window
    // could not be shown (after telling the person in a message box). `values`
    // is not read. `forceManualModal` shows the window modeless and waits while
    // dispatching events, which falls back to a modal show when a modal window
    // is already displayed; a failure of that modal show is thrown to the caller.
    // An Ask started while this form is already waiting answers No at once.
    int32_t Ask(const int32_t& values, const std::string& friendlyName,
                const bool& forceManualModal);

    int32_t Response() const { return response_; }
    // Kept for the host engine; the form never reads it.
    std::shared_ptr<void> LangStrings() const { return langStrings_; }
    void SetLangStrings(std::shared_ptr<void> newLangStrings) {
        langStrings_ = std::move(newLangStrings);
    }

    // Whether the window is loaded (between its first touch and the answer).
    bool WindowLoaded() const;

  protected:
    ConfirmationForm(Platform& platform, const FormDesign& design);

    // The loaded window; loads it (and runs Form_Load) when it is not loaded.
    // Throws RuntimeError when the window cannot be created.
    Window& Me();
    EngineHelper& Helper();
    Platform& platform() { return platform_; }
    // An Ask is waiting for the person's answer.
    bool Asking() const { return asking_; }

    // Runs once every time the window is loaded, before Me() returns.
    virtual void Form_Load() = 0;
    // A check box was ticked or cleared by the person.
    virtual void CheckBoxClicked(std::string_view /*control*/) {}

    void cmdYes_Click();
    void cmdNo_Click();

    int32_t response_ = 0;

  private:
    // WindowEvents.
    void Click(std::string_view control) override;
    void CloseRequested() override;

    void WaitWhileModeless();
    void DropUnloadedWindow() noexcept;
    // Logs the failure of an event handler, which has nobody to throw to.
    void ReportHandlerFailure(std::string_view handler, std::string_view description) noexcept;

    Platform& platform_;
    const FormDesign& design_;
    std::unique_ptr<Window> window_;
    std::shared_ptr<void> langStrings_;
    bool asking_ = false;
};

}  // namespace postwarden
