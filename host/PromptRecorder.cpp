#include "host/PromptRecorder.h"

#include "module/RuntimeError.h"

namespace postwarden::host {

// Sits between a window and the form's logic: forwards every call and event,
// notes what was on show and which button ended it.
class RecordingWindow final : public Window, public WindowEvents {
  public:
    RecordingWindow(PromptRecorder& recorder, const FormDesign& design, WindowEvents& events)
        : recorder_(recorder), design_(design), events_(events) {}

    void Attach(std::unique_ptr<Window> inner) { inner_ = std::move(inner); }

    // WindowEvents: from the real window to the form.
    void Click(std::string_view control) override {
        if (control == "cmdYes" || control == "cmdNo") Answer(std::string(control));
        events_.Click(control);
    }
    void CloseRequested() override {
        Answer("close");
        events_.CloseRequested();
    }

    // Window: from the form to the real window.
    void SetCaption(std::string_view text) override { inner_->SetCaption(text); }
    void SetControlCaption(std::string_view c, std::string_view text) override {
        inner_->SetControlCaption(c, text);
    }
    std::string ControlCaption(std::string_view c) override { return inner_->ControlCaption(c); }
    void SetEnabled(std::string_view c, bool enabled) override { inner_->SetEnabled(c, enabled); }
    bool Enabled(std::string_view c) override { return inner_->Enabled(c); }
    int32_t CheckValue(std::string_view c) override { return inner_->CheckValue(c); }
    void SetCheckValue(std::string_view c, int32_t value) override {
        inner_->SetCheckValue(c, value);
    }
    void SetDefaultButton(std::string_view c) override { inner_->SetDefaultButton(c); }
    void ShowModal() override {
        Note();
        inner_->ShowModal();
    }
    void ShowModeless() override {
        inner_->ShowModeless();
        Note();
    }
    void Activate() override { inner_->Activate(); }
    void Unload() override { inner_->Unload(); }
    bool Loaded() override { return inner_->Loaded(); }

  private:
    void Note() {
        PromptRecord record;
        record.form = design_.name;
        for (const ControlDesign& control : design_.controls) {
            if (control.kind == ControlKind::kLabel) {
                record.questions.push_back(inner_->ControlCaption(control.name));
            } else if (control.kind == ControlKind::kCheckBox && inner_->Enabled(control.name)) {
                record.questions.push_back(inner_->ControlCaption(control.name));
            }
        }
        recorder_.prompts_.push_back(std::move(record));
        index_ = recorder_.prompts_.size() - 1;
    }
    void Answer(std::string answer) {
        if (index_ < recorder_.prompts_.size() && recorder_.prompts_[index_].answer.empty()) {
            recorder_.prompts_[index_].answer = std::move(answer);
        }
    }

    PromptRecorder& recorder_;
    FormDesign design_;
    WindowEvents& events_;
    std::unique_ptr<Window> inner_;
    size_t index_ = SIZE_MAX;
};

std::unique_ptr<Window> PromptRecorder::CreateWindow(const FormDesign& design,
                                                     WindowEvents& events) {
    auto window = std::make_unique<RecordingWindow>(*this, design, events);
    try {
        window->Attach(inner_->CreateWindow(design, *window));
    } catch (const RuntimeError& failure) {
        PromptRecord record;
        record.form = design.name;
        record.unshown = failure.Description();
        prompts_.push_back(std::move(record));
        throw;
    }
    return window;
}

void PromptRecorder::MessageBox(std::string_view text, std::string_view title) {
    if (!prompts_.empty() && !prompts_.back().unshown.empty()) return;
    inner_->MessageBox(text, title);
}

}  // namespace postwarden::host
