#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows/ModelWindow.h"

namespace postwarden {

// The forms drawn on a terminal (by default /dev/tty, so it works while standard
// input and output carry a message), for when there is no display.
//
// On a terminal of its own a shown window takes the alternate screen and gives
// it back when it is unloaded. On a borrowed terminal (the screen of a program
// that waits for this one, such as mutt's, already on the alternate screen) it
// draws over that program's screen instead; when the last window goes it clears
// the screen, puts the terminal's modes back exactly as they were and sends
// SIGWINCH to the lender's process group, so that it redraws its screen.
// Either way the keys typed before a window is up and after it goes are
// dropped: they were not meant for it, nor is an answer meant for the lender.
//
// The person ticks a check box by its number (greyed boxes have none), presses
// Yes or No by its access key (y, n) or Enter on the focused button (No at
// first; Tab and the arrow keys move between the buttons), and closes the window
// without an answer with Escape, q, Ctrl-C or Ctrl-D, or by hanging up the
// terminal. Works in 80 x 24 and larger.
class TerminalWindowSystem final : public WindowSystem {
  public:
    // This program's own terminal.
    explicit TerminalWindowSystem(std::string ttyPath = "/dev/tty");
    // A terminal lent by process group `lender`, which waits for this program.
    // A window fails to load (RuntimeError 429) when, by the time it is shown,
    // a process of that group no longer waits but reads the terminal.
    TerminalWindowSystem(std::string ttyPath, pid_t lender);
    ~TerminalWindowSystem() override;

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    // Handles the keys typed at a modeless window; waits a twentieth of a second
    // for one when none is waiting.
    void ProcessPendingEvents() override;
    // Shown until a key is pressed; written to standard error when the terminal
    // cannot be used.
    void MessageBox(std::string_view text, std::string_view title) override;

    // One screen line: runs of text, each plain or greyed or highlighted.
    struct Span {
        enum class Style { kPlain, kGreyed, kFocused };
        std::string text;
        Style style = Style::kPlain;
    };
    using ScreenLine = std::vector<Span>;
    // What a window looks like on a terminal of `columns` x `rows`, with the push
    // button `focused` (a control name) highlighted and `hint` under the box.
    // Every text is escaped with EscapeForTerminal, except that line feeds of
    // captions break their lines.
    //
    // Details that do not fit scroll: `scroll`, when given, asks for the first
    // of their rows to show in `top` and gets back the top kept within bounds,
    // the rows shown and the rows there are.
    struct DetailScroll {
        int top = 0;
        int shown = 0;
        int total = 0;
    };
    static std::vector<ScreenLine> Draw(const ModelWindow& window, std::string_view focused,
                                        std::string_view hint, int columns, int rows,
                                        DetailScroll* scroll = nullptr);
    static std::string PlainText(const ScreenLine& line);

  private:
    class TerminalWindow;
    struct State;
    std::shared_ptr<State> state_;  // shared with the windows, which may outlive this
};

}  // namespace postwarden
