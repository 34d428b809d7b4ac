#include "platform/windows/ScriptedWindowSystem.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <stdexcept>

#include "platform/windows/TerminalLines.h"
#include "util/RuntimeError.h"

namespace postwarden {

struct ScriptedWindowSystem::Script {
    std::vector<Answer> answers;
    size_t nextAnswer = 0;
    std::vector<ShownWindow> shown;
    std::vector<Message> messages;
    std::FILE* messageEcho = nullptr;
    // Windows shown modeless and not yet answered, in the order shown.
    struct Pending {
        ScriptedWindow* window;
        Answer answer;
        uint64_t serial;
    };
    std::vector<Pending> pending;
    uint64_t nextShow = 0;
    int modalDepth = 0;

    Answer NextAnswer() {
        if (answers.empty()) return Answer::kClose;
        const Answer answer = answers[std::min(nextAnswer, answers.size() - 1)];
        ++nextAnswer;
        return answer;
    }
    void Shown(ScriptedWindow& window, bool modal);
    static void Respond(ModelWindow& window, Answer answer);
};

class ScriptedWindowSystem::ScriptedWindow final : public ModelWindow {
  public:
    ScriptedWindow(std::shared_ptr<Script> script, const FormDesign& design, WindowEvents& events)
        : ModelWindow(design, events), script_(std::move(script)) {}
    ~ScriptedWindow() override {
        std::erase_if(script_->pending, [this](const auto& entry) { return entry.window == this; });
    }

    void ShowModal() override { script_->Shown(*this, true); }
    void ShowModeless() override { script_->Shown(*this, false); }
    void Activate() override {}

  private:
    std::shared_ptr<Script> script_;
};

void ScriptedWindowSystem::Script::Shown(ScriptedWindow& window, bool modal) {
    if (!modal && modalDepth > 0) throw errors::ModalFormDisplayed();
    shown.push_back(window.Snapshot(modal));
    const Answer answer = NextAnswer();
    if (!modal) {
        pending.push_back({&window, answer, nextShow++});
        return;
    }
    ++modalDepth;
    struct Leave {
        int& depth;
        ~Leave() { --depth; }
    } leave{modalDepth};
    Respond(window, answer);
}

void ScriptedWindowSystem::Script::Respond(ModelWindow& window, Answer answer) {
    switch (answer) {
        case Answer::kYes:
            window.TickAllAndPressYes();
            break;
        case Answer::kNo:
            window.Press("cmdNo");
            break;
        case Answer::kClose:
            break;
    }
    // A window that is still up (close, or a Yes that could not be pressed) is
    // closed, so that every show ends.
    window.RequestClose();
}

ScriptedWindowSystem::ScriptedWindowSystem(std::vector<Answer> answers)
    : script_(std::make_shared<Script>()) {
    script_->answers = std::move(answers);
}

ScriptedWindowSystem::~ScriptedWindowSystem() = default;

std::vector<ScriptedWindowSystem::Answer> ScriptedWindowSystem::ParseAnswers(
    std::string_view text) {
    std::vector<Answer> answers;
    size_t start = 0;
    while (true) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string word(text.substr(start, comma - start));
        const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
        word.erase(word.begin(), std::find_if_not(word.begin(), word.end(), blank));
        word.erase(std::find_if_not(word.rbegin(), word.rend(), blank).base(), word.end());
        std::string lower = word;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "yes") {
            answers.push_back(Answer::kYes);
        } else if (lower == "no") {
            answers.push_back(Answer::kNo);
        } else if (lower == "close") {
            answers.push_back(Answer::kClose);
        } else {
            throw std::invalid_argument(
                (word.empty() ? std::string("an empty answer") : "\"" + word + "\"") +
                " in the answers: give yes, no or close, separated by commas");
        }
        if (comma == text.size()) break;
        start = comma + 1;
    }
    return answers;
}

std::unique_ptr<Window> ScriptedWindowSystem::CreateWindow(const FormDesign& design,
                                                           WindowEvents& events) {
    return std::make_unique<ScriptedWindow>(script_, design, events);
}

void ScriptedWindowSystem::ProcessPendingEvents() {
    // Only the windows shown before this pass: answering may show more. Each is
    // taken out before it is answered, and a window destroyed meanwhile has
    // taken itself out.
    const uint64_t last = script_->nextShow;
    while (!script_->pending.empty() && script_->pending.front().serial < last) {
        const Script::Pending due = script_->pending.front();
        script_->pending.erase(script_->pending.begin());
        Script::Respond(*due.window, due.answer);
    }
}

void ScriptedWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    script_->messages.push_back({std::string(text), std::string(title)});
    if (script_->messageEcho) {
        std::fprintf(script_->messageEcho, "%s: %s\n", EscapeLinesForTerminal(title).c_str(),
                     EscapeLinesForTerminal(text).c_str());
    }
}

const std::vector<ShownWindow>& ScriptedWindowSystem::shown() const {
    return script_->shown;
}

const std::vector<ScriptedWindowSystem::Message>& ScriptedWindowSystem::messages() const {
    return script_->messages;
}

void ScriptedWindowSystem::EchoMessagesTo(std::FILE* stream) {
    script_->messageEcho = stream;
}

}  // namespace postwarden
