#include "host/send/PromptRecorder.h"

#include "util/RuntimeError.h"

namespace postwarden::host {

// Notes what was on show and which button ended it.
class RecordingWindow final : public WindowWrapper::WrappedWindow {
  public:
    RecordingWindow(WindowEvents& form, PromptRecorder& recorder, const FormDesign& design)
        : WrappedWindow(form), recorder_(recorder), design_(design) {}

    void Click(std::string_view control) override {
        if (control == "cmdYes" || control == "cmdNo") Answer(std::string(control));
        WrappedWindow::Click(control);
    }
    void CloseRequested() override {
        Answer("close");
        WrappedWindow::CloseRequested();
    }
    void ShowModal() override {
        Note();
        BeforeWait();
        WrappedWindow::ShowModal();
    }
    void ShowModeless() override {
        BeforeWait();
        WrappedWindow::ShowModeless();
        Note();
    }

  private:
    void Note() {
        PromptRecord record;
        record.form = design_.name;
        for (const ControlDesign& control : design_.controls) {
            if (control.kind == ControlKind::kLabel) {
                record.questions.push_back(inner().ControlCaption(control.name));
            } else if (control.kind == ControlKind::kCheckBox && inner().Enabled(control.name)) {
                record.questions.push_back(inner().ControlCaption(control.name));
            }
        }
        recorder_.prompts_.push_back(std::move(record));
        index_ = recorder_.prompts_.size() - 1;
    }
    void BeforeWait() {
        if (recorder_.beforeWait_) recorder_.beforeWait_();
    }
    void Answer(std::string answer) {
        if (index_ < recorder_.prompts_.size() && recorder_.prompts_[index_].answer.empty()) {
            recorder_.prompts_[index_].answer = std::move(answer);
        }
    }

    PromptRecorder& recorder_;
    FormDesign design_;
    size_t index_ = SIZE_MAX;
};

std::unique_ptr<Window> PromptRecorder::CreateWindow(const FormDesign& design,
                                                     WindowEvents& events) {
    try {
        return Wrap<RecordingWindow>(design, events, *this, design);
    } catch (const RuntimeError& failure) {
        PromptRecord record;
        record.form = design.name;
        record.unshown = failure.Description();
        prompts_.push_back(std::move(record));
        throw;
    }
}

void PromptRecorder::MessageBox(std::string_view text, std::string_view title) {
    if (!prompts_.empty() && !prompts_.back().unshown.empty()) return;
    WindowWrapper::MessageBox(text, title);
}

}  // namespace postwarden::host
