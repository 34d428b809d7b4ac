#include "platform/windows/TerminalWindowSystem.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "module/RuntimeError.h"
#include "platform/UniqueFd.h"
#include "platform/windows/TerminalLines.h"
#include "platform/windows/TerminalReach.h"

namespace postwarden {

namespace {

constexpr int kMaxWidth = 80;
constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
constexpr int kIdleWaitMilliseconds = 50;
// Long enough for the rest of an escape sequence to arrive after its ESC.
constexpr int kEscapeSequenceMilliseconds = 30;
// Check box text may use this many lines where the terminal has room.
constexpr int kMaxLinesPerBox = 3;
constexpr int kMaxLabelLines = 10;

// One character as it takes room on the screen.
struct Glyph {
    std::string bytes;
    int width;
};

// The text as screen characters, escaped so that nothing in it can move the
// cursor, change the terminal or reorder what is shown; line feeds are kept as
// forced line breaks. The Unicode line and paragraph separators become spaces:
// terminals do not break lines at them.
std::vector<Glyph> Glyphs(std::string_view text) {
    std::vector<Glyph> glyphs;
    const std::string escaped = EscapeLinesForTerminal(text);
    const auto* bytes = reinterpret_cast<const uint8_t*>(escaped.data());
    const int32_t length = static_cast<int32_t>(escaped.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c == '\n') {
            glyphs.push_back({"\n", 0});
            continue;
        }
        if (c < 0) continue;  // escaping leaves none; a slip must not reach the terminal
        if (u_iscntrl(c)) {
            glyphs.push_back({" ", 1});
            continue;
        }
        if (c == 0x200B) continue;
        uint8_t encoded[U8_MAX_LENGTH];
        int32_t size = 0;
        U8_APPEND_UNSAFE(encoded, size, c);
        const auto eastAsian =
            static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
        const int8_t category = u_charType(c);
        int width = 1;
        if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
            category == U_FORMAT_CHAR) {
            width = 0;
        } else if (eastAsian == U_EA_WIDE || eastAsian == U_EA_FULLWIDTH) {
            width = 2;
        }
        glyphs.push_back(
            {std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(size)),
             width});
    }
    return glyphs;
}

int Width(const std::vector<Glyph>& glyphs) {
    int width = 0;
    for (const Glyph& glyph : glyphs) width += glyph.width;
    return width;
}

std::string Join(const std::vector<Glyph>& glyphs) {
    std::string text;
    for (const Glyph& glyph : glyphs) text += glyph.bytes;
    return text;
}

// Wraps at blanks within `width` columns, breaking words longer than a line.
// At most `maxLines` lines; when text is left over, the last line ends in "...".
std::vector<std::string> Wrap(std::string_view text, int width, int maxLines) {
    std::vector<std::vector<Glyph>> lines;
    std::vector<Glyph> line;
    std::vector<Glyph> word;
    int lineWidth = 0;
    const auto endLine = [&] {
        while (!line.empty() && line.back().bytes == " ") line.pop_back();
        lines.push_back(std::move(line));
        line.clear();
        lineWidth = 0;
    };
    const auto placeWord = [&] {
        const int wordWidth = Width(word);
        if (lineWidth > 0 && lineWidth + 1 + wordWidth > width) endLine();
        if (lineWidth > 0) {
            line.push_back({" ", 1});
            ++lineWidth;
        }
        for (Glyph& glyph : word) {
            if (lineWidth + glyph.width > width) endLine();
            lineWidth += glyph.width;
            line.push_back(std::move(glyph));
        }
        word.clear();
    };
    bool any = false;
    for (Glyph& glyph : Glyphs(text)) {
        any = true;
        if (glyph.bytes == "\n") {
            if (!word.empty()) placeWord();
            endLine();
        } else if (glyph.bytes == " ") {
            if (!word.empty()) placeWord();
        } else {
            word.push_back(std::move(glyph));
        }
    }
    if (!word.empty()) placeWord();
    if (!line.empty() || (any && lines.empty())) endLine();

    std::vector<std::string> out;
    for (size_t i = 0; i < lines.size() && static_cast<int>(i) < maxLines; ++i) {
        std::vector<Glyph>& shown = lines[i];
        if (static_cast<int>(i) == maxLines - 1 && lines.size() > i + 1) {
            while (!shown.empty() && Width(shown) + 3 > width) shown.pop_back();
            shown.push_back({"...", 3});
        }
        out.push_back(Join(shown));
    }
    return out;
}

int WidthOf(std::string_view text) {
    return Width(Glyphs(text));
}

std::string Spaces(int count) {
    return std::string(static_cast<size_t>(std::max(count, 0)), ' ');
}

using Span = TerminalWindowSystem::Span;
using ScreenLine = TerminalWindowSystem::ScreenLine;

// "| " + content padded to `inner` + " |".
ScreenLine Boxed(std::vector<Span> content, int inner) {
    ScreenLine line{{"| ", Span::Style::kPlain}};
    int used = 0;
    for (Span& span : content) {
        used += WidthOf(span.text);
        line.push_back(std::move(span));
    }
    line.push_back({Spaces(inner - used) + " |", Span::Style::kPlain});
    return line;
}

// The push buttons in the order they stand, left to right.
std::vector<const ShownControl*> Buttons(const ModelWindow& window) {
    std::vector<std::pair<int32_t, const ShownControl*>> buttons;
    for (size_t i = 0; i < window.controls().size(); ++i) {
        const ShownControl& control = window.controls()[i];
        if (control.kind == ControlKind::kPushButton) {
            buttons.emplace_back(window.design().controls[i].left, &control);
        }
    }
    std::stable_sort(buttons.begin(), buttons.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<const ShownControl*> out;
    for (const auto& button : buttons) out.push_back(button.second);
    return out;
}

const char* Escape(Span::Style style) {
    switch (style) {
        case Span::Style::kGreyed:
            return "\x1b[2m";
        case Span::Style::kFocused:
            return "\x1b[7m";
        case Span::Style::kPlain:
            break;
    }
    return "";
}

}  // namespace

std::vector<ScreenLine> TerminalWindowSystem::Draw(const ModelWindow& window,
                                                   std::string_view focused, std::string_view hint,
                                                   int columns, int rows) {
    const int width = std::clamp(columns, 20, kMaxWidth);
    const int inner = width - 4;
    const std::vector<std::string> hintLines = Wrap(hint, width, 3);

    int boxes = 0;
    for (const ShownControl& control : window.controls()) {
        if (control.kind == ControlKind::kCheckBox) ++boxes;
    }
    // Border, blank lines and the buttons take 6 rows; the rest is for text.
    const int room = std::max(rows - 6 - static_cast<int>(hintLines.size()), boxes);
    const int linesPerBox = boxes > 0 ? std::clamp(room / boxes, 1, kMaxLinesPerBox) : 0;
    const int labelLines = std::clamp(room - boxes * linesPerBox, 1, kMaxLabelLines);

    std::vector<ScreenLine> screen;
    std::vector<Glyph> title = Glyphs(window.caption());
    while (!title.empty() && Width(title) > width - 6) title.pop_back();
    const std::string titleText = Join(title);
    screen.push_back(
        {{"+- " + titleText + " " +
              std::string(static_cast<size_t>(std::max(width - 5 - Width(title), 0)), '-') + "+",
          Span::Style::kPlain}});
    screen.push_back(Boxed({}, inner));

    int number = 0;
    for (const ShownControl& control : window.controls()) {
        if (control.kind == ControlKind::kLabel) {
            for (const std::string& text : Wrap(control.caption, inner, labelLines)) {
                screen.push_back(Boxed({{text, Span::Style::kPlain}}, inner));
            }
        } else if (control.kind == ControlKind::kCheckBox) {
            ++number;
            const Span::Style style = control.enabled ? Span::Style::kPlain : Span::Style::kGreyed;
            const std::string tick = control.checkValue == kUnchecked ? "[ ] " : "[x] ";
            const std::string key = control.enabled ? std::to_string(number) + " " : "  ";
            std::vector<std::string> text = Wrap(control.caption, inner - 6, linesPerBox);
            if (text.empty()) text.emplace_back();
            for (size_t i = 0; i < text.size(); ++i) {
                const std::string prefix = i == 0 ? key + tick : Spaces(6);
                screen.push_back(Boxed({{prefix + text[i], style}}, inner));
            }
        }
    }
    screen.push_back(Boxed({}, inner));

    std::vector<Span> buttons;
    int buttonsWidth = 0;
    for (const ShownControl* button : Buttons(window)) {
        const std::string caption = WithoutAccessKeys(button->caption);
        const bool isFocused = button->name == focused;
        Span span{(isFocused ? "< " : "[ ") + caption + (isFocused ? " >" : " ]"),
                  !button->enabled ? Span::Style::kGreyed
                  : isFocused      ? Span::Style::kFocused
                                   : Span::Style::kPlain};
        if (!buttons.empty()) {
            buttons.push_back({"   ", Span::Style::kPlain});
            buttonsWidth += 3;
        }
        buttonsWidth += WidthOf(span.text);
        buttons.push_back(std::move(span));
    }
    if (!buttons.empty()) {
        buttons.insert(buttons.begin(), {Spaces((inner - buttonsWidth) / 2), Span::Style::kPlain});
        screen.push_back(Boxed(std::move(buttons), inner));
    }
    screen.push_back(
        {{"+" + std::string(static_cast<size_t>(width - 2), '-') + "+", Span::Style::kPlain}});
    for (const std::string& text : hintLines) screen.push_back({{text, Span::Style::kPlain}});
    return screen;
}

std::string TerminalWindowSystem::PlainText(const ScreenLine& line) {
    std::string text;
    for (const Span& span : line) text += span.text;
    return text;
}

// The terminal while a window is up: raw keys, no cursor, and on a terminal of
// our own the alternate screen. Everything is put back as it was when this goes.
class TerminalWindowSystem::Terminal {
  public:
    // `lender`: the process group that lent the terminal, 0 when it is our own.
    Terminal(const std::string& path, pid_t lender)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)), lender_(lender) {
        if (!fd_.Valid() || ::tcgetattr(fd_.Get(), &saved_) != 0) {
            throw RuntimeError(errors::kDeviceIO,
                               "Cannot use the terminal " + path + ": " + std::strerror(errno));
        }
        // The lender was found waiting when the window system was chosen; a
        // program that has started reading since would take the person's keys.
        if (lender_ > 0) {
            const dev_t device = TerminalDevice(fd_.Get());
            const std::string reader = device != 0 ? ReaderInGroup(lender_, device)
                                                   : std::string("a program that cannot be told");
            if (!reader.empty()) {
                throw RuntimeError(errors::kCannotCreateObject,
                                   "the terminal " + path + " is being read by " + reader);
            }
        }
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR);
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // lines end in "\r\n" as written
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        // Flushing drops keys typed before the window was up: they were not
        // meant as its answer.
        ::tcsetattr(fd_.Get(), TCSAFLUSH, &raw);
        // A lender such as mutt is on the alternate screen already: switching
        // to it would do nothing, and switching back would blank its screen.
        Write(lender_ > 0 ? "\x1b[?25l" : "\x1b[?1049h\x1b[?25l");
    }
    ~Terminal() {
        if (lender_ > 0) {
            Write("\x1b[0m\x1b[H\x1b[2J\x1b[?25h");
        } else {
            Write("\x1b[0m\x1b[?25h\x1b[?1049l");
        }
        ::tcsetattr(fd_.Get(), TCSAFLUSH, &saved_);
        // With its modes back, the lender redraws its whole screen on a resize.
        if (lender_ > 0) ::kill(-lender_, SIGWINCH);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    std::pair<int, int> Size() const {
        winsize size{};
        if (::ioctl(fd_.Get(), TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
            return {kDefaultColumns, kDefaultRows};
        }
        return {size.ws_col, size.ws_row};
    }

    void Show(const std::vector<ScreenLine>& screen) {
        std::string out = "\x1b[H\x1b[2J";
        for (size_t i = 0; i < screen.size(); ++i) {
            if (i > 0) out += "\r\n";
            for (const Span& span : screen[i]) {
                const char* escape = Escape(span.style);
                out += escape;
                out += span.text;
                if (*escape) out += "\x1b[0m";
            }
        }
        Write(out);
        shownSize_ = Size();
    }
    bool Resized() const { return Size() != shownSize_; }

    enum class KeyKind { kNone, kChar, kEnter, kEscape, kNext, kPrevious, kInterrupt, kHangUp };
    struct Key {
        KeyKind kind = KeyKind::kNone;
        char c = 0;
    };

    // The next key, or kNone when none came within `milliseconds`.
    Key ReadKey(int milliseconds) {
        if (hungUp_) return {KeyKind::kHangUp};
        int c = ReadByte(milliseconds);
        if (c == kTimeout) return {};
        if (c == kGone) {
            hungUp_ = true;
            return {KeyKind::kHangUp};
        }
        switch (c) {
            case '\r':
            case '\n':
                return {KeyKind::kEnter};
            case '\t':
                return {KeyKind::kNext};
            case 3:  // Ctrl-C
            case 4:  // Ctrl-D
                return {KeyKind::kInterrupt};
            case 0x1b:
                return ReadEscape();
            default:
                return {KeyKind::kChar, static_cast<char>(c)};
        }
    }

  private:
    static constexpr int kTimeout = -1;
    static constexpr int kGone = -2;

    int ReadByte(int milliseconds) {
        pollfd poll{fd_.Get(), POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&poll, 1, milliseconds);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) return kTimeout;
        if (ready < 0) return kGone;
        unsigned char byte;
        ssize_t got;
        do {
            got = ::read(fd_.Get(), &byte, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1) return kGone;
        return byte;
    }

    // ESC alone is the Escape key; ESC [ ... or ESC O ... is a key's sequence.
    Key ReadEscape() {
        int c = ReadByte(kEscapeSequenceMilliseconds);
        if (c == kTimeout) return {KeyKind::kEscape};
        if (c == kGone) return {KeyKind::kEscape};
        if (c != '[' && c != 'O') return {};
        do {
            c = ReadByte(kEscapeSequenceMilliseconds);
        } while (c >= 0 && !(c >= 0x40 && c <= 0x7e));
        switch (c) {
            case 'C':  // right
            case 'B':  // down
                return {KeyKind::kNext};
            case 'D':  // left
            case 'A':  // up
            case 'Z':  // Shift-Tab
                return {KeyKind::kPrevious};
            default:
                return {};
        }
    }

    void Write(std::string_view text) {
        while (!text.empty()) {
            const ssize_t written = ::write(fd_.Get(), text.data(), text.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;  // the terminal is gone; reading will say so
            text.remove_prefix(static_cast<size_t>(written));
        }
    }

    UniqueFd fd_;
    pid_t lender_;
    termios saved_{};
    std::pair<int, int> shownSize_{0, 0};
    bool hungUp_ = false;
};

struct TerminalWindowSystem::State {
    std::string path;
    pid_t lender = 0;
    std::unique_ptr<Terminal> terminal;
    // The windows up, the one on top getting the keys.
    std::vector<TerminalWindow*> stack;
    int modalDepth = 0;

    void Push(TerminalWindow& window) {
        if (!terminal) terminal = std::make_unique<Terminal>(path, lender);
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
            const Terminal::Key key = state_->terminal->ReadKey(250);
            if (key.kind == Terminal::KeyKind::kNone) {
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

    void HandleKey(const Terminal::Key& key) {
        status_.clear();
        using Kind = Terminal::KeyKind;
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
            case Kind::kEscape:
            case Kind::kInterrupt:
            case Kind::kHangUp:
                return RequestClose();
        }
    }

    void Redraw() {
        if (!state_->terminal) return;
        const auto [columns, rows] = state_->terminal->Size();
        state_->terminal->Show(Draw(*this, focused_, Hint(), columns, rows));
    }

  private:
    void HandleChar(char c) {
        if (c >= '1' && c <= '9') {
            int number = c - '0';
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

bool TerminalWindowSystem::Available(const std::string& ttyPath) {
    const UniqueFd fd(::open(ttyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    return fd.Valid() && ::isatty(fd.Get()) != 0;
}

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
    for (Terminal::Key key = state_->terminal->ReadKey(kIdleWaitMilliseconds);
         key.kind != Terminal::KeyKind::kNone && top->Loaded() && state_->terminal;
         key = state_->terminal ? state_->terminal->ReadKey(0) : Terminal::Key{}) {
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
