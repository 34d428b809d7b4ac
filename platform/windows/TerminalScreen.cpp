#include "platform/windows/TerminalScreen.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/windows/TerminalReach.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
// Long enough for the rest of an escape sequence to arrive after its ESC.
constexpr int kEscapeSequenceMilliseconds = 30;

const char* Escape(TerminalScreen::Span::Style style) {
    using Style = TerminalScreen::Span::Style;
    switch (style) {
        case Style::kGreyed:
            return "\x1b[2m";
        case Style::kFocused:
            return "\x1b[7m";
        case Style::kPlain:
            break;
    }
    return "";
}

}  // namespace

TerminalScreen::TerminalScreen(const std::string& path, pid_t lender)
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

TerminalScreen::~TerminalScreen() {
    if (lender_ > 0) {
        Write("\x1b[0m\x1b[H\x1b[2J\x1b[?25h");
    } else {
        Write("\x1b[0m\x1b[?25h\x1b[?1049l");
    }
    ::tcsetattr(fd_.Get(), TCSAFLUSH, &saved_);
    // With its modes back, the lender redraws its whole screen on a resize.
    if (lender_ > 0) ::kill(-lender_, SIGWINCH);
}

std::pair<int, int> TerminalScreen::Size() const {
    winsize size{};
    if (::ioctl(fd_.Get(), TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        return {kDefaultColumns, kDefaultRows};
    }
    return {size.ws_col, size.ws_row};
}

void TerminalScreen::Show(const std::vector<ScreenLine>& screen) {
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

TerminalScreen::Key TerminalScreen::ReadKey(int milliseconds) {
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

int TerminalScreen::ReadByte(int milliseconds) {
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

TerminalScreen::Key TerminalScreen::ReadEscape() {
    int c = ReadByte(kEscapeSequenceMilliseconds);
    if (c == kTimeout) return {KeyKind::kEscape};
    if (c == kGone) return {KeyKind::kEscape};
    if (c != '[' && c != 'O') return {};
    // The parameter of a sequence such as "ESC [ 6 ~" (Page Down).
    int parameter = 0;
    do {
        c = ReadByte(kEscapeSequenceMilliseconds);
        if (c >= '0' && c <= '9') parameter = std::min(parameter * 10 + (c - '0'), 1000);
    } while (c >= 0 && !(c >= 0x40 && c <= 0x7e));
    switch (c) {
        case '~':
            return parameter == 5   ? Key{KeyKind::kPageUp}
                   : parameter == 6 ? Key{KeyKind::kPageDown}
                                    : Key{};
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

void TerminalScreen::Write(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd_.Get(), text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // the terminal is gone; reading will say so
        text.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace postwarden
