#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/WindowWrapper.h"

namespace postwarden::host {

// What one prompt showed and how it was answered.
struct PromptRecord {
    std::string form;                    // the form's design name
    std::vector<std::string> questions;  // the label, or the captions of the enabled boxes
    std::string answer;                  // "cmdYes", "cmdNo", "close", or empty
    std::string unshown;                 // why the window could not be shown; else empty
};

// A window system that passes everything to another one and notes down every
// prompt shown, so the command can say afterwards what was asked and refused.
class PromptRecorder final : public WindowWrapper {
  public:
    // `inner` must be non-null.
    explicit PromptRecorder(std::unique_ptr<WindowSystem> inner)
        : WindowWrapper(std::move(inner)) {}

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    // A form's report that its window could not be shown is not passed on
    // when the host already knows it (the window system could not make it):
    // the host says it once, in its own words.
    void MessageBox(std::string_view text, std::string_view title) override;

    const std::vector<PromptRecord>& Prompts() const { return prompts_; }

    // Runs `beforeWait` whenever a prompt is about to be shown, which may
    // wait for the person as long as they take.
    void BeforeEachWait(std::function<void()> beforeWait) { beforeWait_ = std::move(beforeWait); }

  private:
    friend class RecordingWindow;
    std::vector<PromptRecord> prompts_;
    std::function<void()> beforeWait_;
};

}  // namespace postwarden::host
