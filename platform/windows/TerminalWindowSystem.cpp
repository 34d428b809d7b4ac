#include "platform/windows/TerminalWindowSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/UniqueFd.h"
#include "platform/windows/TerminalLayout.h"
#include "platform/windows/TerminalLines.h"
#include "platform/windows/TerminalScreen.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

constexpr int kIdleWaitMilliseconds = 50;

}  // namespace

struct TerminalWindowSystem::State {
    std::string path;
    pid_t lender = 0;
    std::unique_ptr<TerminalScreen> terminal;
    // The windows up, the one on top getting the keys.
    std::vector<TerminalWindow*> stack;
    int modalDepth = 0;

    void Push(TerminalWindow& window) {
        if (!terminal) terminal = std::make_unique<TerminalScreen>(path, lender);
        std::erase(stack, &window);
        stack.push_back(&window);
    }
    void Remove(TerminalWindow& window);
};

class TerminalWindowSystem::TerminalWindow final : public ModelWindow {
  public:
    TerminalWindow(std::shared_ptr<State> state, const FormDesign& design, WindowEvents& events)
        : ModelWindow(design, events), state_(std::move(state)) {}
    ~TerminalWindow() override { state_->Remove(*this); }

    void ShowModal() override {
        if (!Loaded()) return;
        state_->Push(*this);
        ++state_->modalDepth;
        struct Leave {
            TerminalWindow& window;
            ~Leave() {
                --window.state_->modalDepth;
                window.state_->Remove(window);
            }
        } leave{*this};
        Focus(nullptr);
        Redraw();
        while (Loaded()) {
            const TerminalScreen::Key key = state_->terminal->ReadKey(250);
            if (key.kind == TerminalScreen::KeyKind::kNone) {
                if (state_->terminal->Resized()) Redraw();
                continue;
            }
            HandleKey(key);
            if (Loaded()) Redraw();
        }
    }

    void ShowModeless() override {
        if (state_->modalDepth > 0) throw errors::ModalFormDisplayed();
        state_->Push(*this);
        Focus(nullptr);
        Redraw();
    }

    void Activate() override {
        if (!state_->stack.empty() && state_->stack.back() == this) Redraw();
    }

    // A text changed while the window is on top (a countdown's seconds) is
    // drawn at once, not at the next key.
    void SetControlCaption(std::string_view control, std::string_view text) override {
        ModelWindow::SetControlCaption(control, text);
        if (Loaded() && !state_->stack.empty() && state_->stack.back() == this) Redraw();
    }

    void HandleKey(const TerminalScreen::Key& key) {
        status_.clear();
        using Kind = TerminalScreen::KeyKind;
        switch (key.kind) {
            case Kind::kNone:
                return;
            case Kind::kChar:
                return HandleChar(key.c);
            case Kind::kEnter: {
                const ShownControl* button = Focused();
                if (button) Press(button->name);
                return;
            }
            case Kind::kNext:
            case Kind::kPrevious:
                return MoveFocus(key.kind == Kind::kNext ? 1 : -1);
            case Kind::kPageDown:
            case Kind::kPageUp: {
                // A page less one row, so that a line is seen again after it.
                const int page = std::max(scroll_.shown - 1, 1);
                scroll_.top += key.kind == Kind::kPageDown ? page : -page;
                return;
            }
            case Kind::kEscape:
            case Kind::kInterrupt:
            case Kind::kHangUp:
                return RequestClose();
        }
    }

    void Redraw() {
        if (!state_->terminal) return;
        const auto [columns, rows] = state_->terminal->Size();
        state_->terminal->Show(Draw(*this, focused_, Hint(), columns, rows, &scroll_));
    }

  private:
    void HandleChar(char c) {
        if (c >= '0' && c <= '9') {
            // 1 to 9 tick the first nine boxes, 0 the tenth.
            int number = c == '0' ? 10 : c - '0';
            for (const ShownControl& control : controls()) {
                if (control.kind != ControlKind::kCheckBox || --number > 0) continue;
                if (!Press(control.name)) status_ = "That question cannot be ticked.";
                return;
            }
            return;
        }
        const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const ShownControl* button : Buttons(*this)) {
            if (AccessKey(button->caption) != lower) continue;
            if (!Press(button->name)) {
                status_ = WithoutAccessKeys(button->caption) + " cannot be pressed yet.";
            }
            return;
        }
        if (lower == 'q') RequestClose();
    }

    // The focused push button; when there is none, or it was disabled meanwhile,
    // the enabled one first in tab order takes the focus.
    const ShownControl* Focused() {
        for (const ShownControl& control : controls()) {
            if (control.name == focused_ && control.enabled) return &control;
        }
        Focus(nullptr);
        for (const ShownControl& control : controls()) {
            if (control.name == focused_) return &control;
        }
        return nullptr;
    }

    void Focus(const ShownControl* button) {
        if (button) {
            focused_ = button->name;
            return;
        }
        focused_.clear();
        int32_t best = 0;
        for (size_t i = 0; i < controls().size(); ++i) {
            const ShownControl& control = controls()[i];
            const int32_t tabIndex = design().controls[i].tabIndex;
            if (control.kind != ControlKind::kPushButton || !control.enabled) continue;
            if (focused_.empty() || tabIndex < best) {
                focused_ = control.name;
                best = tabIndex;
            }
        }
    }

    void MoveFocus(int step) {
        std::vector<const ShownControl*> buttons;
        for (const ShownControl* button : Buttons(*this)) {
            if (button->enabled) buttons.push_back(button);
        }
        if (buttons.empty()) return;
        auto at = std::find_if(buttons.begin(), buttons.end(),
                               [this](const ShownControl* b) { return b->name == focused_; });
        const int count = static_cast<int>(buttons.size());
        const int index = at == buttons.end() ? 0 : static_cast<int>(at - buttons.begin());
        Focus(buttons[static_cast<size_t>(((index + step) % count + count) % count)]);
    }

    std::string Hint() const {
        std::string hint;
        if (!status_.empty()) {
            hint = status_ + "\n";
        } else {
            for (const ShownControl& control : controls()) {
                if (control.kind == ControlKind::kCheckBox && control.enabled) {
                    hint =
                        "Press a question's number to tick it; Yes needs every numbered "
                        "question ticked.\n";
                    break;
                }
            }
        }
        std::string keys;
        for (const ShownControl* button : Buttons(*this)) {
            const char key = AccessKey(button->caption);
            if (key == 0) continue;
            keys += std::string(1, key) + " = " + WithoutAccessKeys(button->caption) + ", ";
        }
        return hint + keys + "Enter = the marked button, Esc = close";
    }

    std::shared_ptr<State> state_;
    std::string focused_;
    std::string status_;
    DetailScroll scroll_;  // how far the details are scrolled, as last drawn
};

void TerminalWindowSystem::State::Remove(TerminalWindow& window) {
    const bool wasTop = !stack.empty() && stack.back() == &window;
    std::erase(stack, &window);
    if (stack.empty()) {
        terminal.reset();
    } else if (wasTop) {
        stack.back()->Redraw();
    }
}

TerminalWindowSystem::TerminalWindowSystem(std::string ttyPath)
    : TerminalWindowSystem(std::move(ttyPath), 0) {}

TerminalWindowSystem::TerminalWindowSystem(std::string ttyPath, pid_t lender)
    : state_(std::make_shared<State>()) {
    state_->path = std::move(ttyPath);
    state_->lender = lender;
}

TerminalWindowSystem::~TerminalWindowSystem() = default;

std::unique_ptr<Window> TerminalWindowSystem::CreateWindow(const FormDesign& design,
                                                           WindowEvents& events) {
    return std::make_unique<TerminalWindow>(state_, design, events);
}

void TerminalWindowSystem::ProcessPendingEvents() {
    if (state_->stack.empty() || !state_->terminal) {
        ::usleep(kIdleWaitMilliseconds * 1000);
        return;
    }
    TerminalWindow* top = state_->stack.back();
    bool handled = false;
    for (TerminalScreen::Key key = state_->terminal->ReadKey(kIdleWaitMilliseconds);
         key.kind != TerminalScreen::KeyKind::kNone && top->Loaded() && state_->terminal;
         key = state_->terminal ? state_->terminal->ReadKey(0) : TerminalScreen::Key{}) {
        top->HandleKey(key);
        handled = true;
    }
    // Unloaded windows leave the screen (the last one gives the terminal back).
    const std::vector<TerminalWindow*> windows = state_->stack;
    for (TerminalWindow* window : windows) {
        if (!window->Loaded()) state_->Remove(*window);
    }
    if (!state_->stack.empty() && state_->terminal && (handled || state_->terminal->Resized())) {
        state_->stack.back()->Redraw();
    }
}

void TerminalWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    const FormDesign design{"MessageBox",
                            std::string(title),
                            0,
                            0,
                            "",
                            0,
                            {{"lblText", ControlKind::kLabel, std::string(text), "", 0, 0, 0, 0, 1},
                             {"cmdOK", ControlKind::kPushButton, "&OK", "", 0, 0, 0, 0, 0}}};
    struct Dismiss final : WindowEvents {
        Window* window = nullptr;
        void Click(std::string_view) override { window->Unload(); }
        void CloseRequested() override {}
    } dismiss;
    try {
        TerminalWindow box(state_, design, dismiss);
        dismiss.window = &box;
        box.ShowModal();
    } catch (const RuntimeError&) {
        std::fprintf(stderr, "%s: %s\n", EscapeLinesForTerminal(title).c_str(),
                     EscapeLinesForTerminal(text).c_str());
    }
}

}  // namespace postwarden
