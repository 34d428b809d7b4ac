#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/windows/TerminalWindowSystem.h"

namespace postwarden {

// The terminal while a window is up: raw keys, no cursor, and on a terminal of
// our own the alternate screen. Everything is put back as it was when this goes.
class TerminalScreen {
  public:
    using Span = TerminalWindowSystem::Span;
    using ScreenLine = TerminalWindowSystem::ScreenLine;

    // `lender`: the process group that lent the terminal, 0 when it is our own.
    // Throws RuntimeError when the terminal cannot be used, or when a process
    // of the lender's group has started reading it.
    TerminalScreen(const std::string& path, pid_t lender);
    ~TerminalScreen();
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;

    // Columns and rows (80 x 24 when the terminal does not say).
    std::pair<int, int> Size() const;
    void Show(const std::vector<ScreenLine>& screen);
    // Whether the size changed since the screen was last shown.
    bool Resized() const { return Size() != shownSize_; }

    enum class KeyKind {
        kNone,
        kChar,
        kEnter,
        kEscape,
        kNext,
        kPrevious,
        kPageUp,
        kPageDown,
        kInterrupt,
        kHangUp
    };
    struct Key {
        KeyKind kind = KeyKind::kNone;
        char c = 0;
    };
    // The next key, or kNone when none came within `milliseconds`.
    Key ReadKey(int milliseconds);

  private:
    static constexpr int kTimeout = -1;
    static constexpr int kGone = -2;

    int ReadByte(int milliseconds);
    // ESC alone is the Escape key; ESC [ ... or ESC O ... is a key's sequence.
    Key ReadEscape();
    void Write(std::string_view text);

    UniqueFd fd_;
    pid_t lender_;
    termios saved_{};
    std::pair<int, int> shownSize_{0, 0};
    bool hungUp_ = false;
};

}  // namespace postwarden
