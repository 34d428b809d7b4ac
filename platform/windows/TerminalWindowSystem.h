#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows/ModelWindow.h"

namespace postwarden {

// The forms drawn on a terminal (by default /dev/tty, so it works while standard
// input and output carry a message), for when there is no display. A shown window
// takes the terminal's alternate screen and gives it back when it is unloaded.
//
// The person ticks a check box by its number (greyed boxes have none), presses
// Yes or No by its access key (y, n) or Enter on the focused button (No at
// first; Tab and the arrow keys move between the buttons), and closes the window
// without an answer with Escape, q, Ctrl-C or Ctrl-D, or by hanging up the
// terminal. Works in 80 x 24 and larger.
class TerminalWindowSystem final : public WindowSystem {
  public:
    explicit TerminalWindowSystem(std::string ttyPath = "/dev/tty");
    ~TerminalWindowSystem() override;

    // Whether `ttyPath` can be opened for reading and writing.
    static bool Available(const std::string& ttyPath = "/dev/tty");

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
    static std::vector<ScreenLine> Draw(const ModelWindow& window, std::string_view focused,
                                        std::string_view hint, int columns, int rows);
    static std::string PlainText(const ScreenLine& line);

  private:
    class TerminalWindow;
    class Terminal;
    struct State;
    std::shared_ptr<State> state_;  // shared with the windows, which may outlive this
};

}  // namespace postwarden
