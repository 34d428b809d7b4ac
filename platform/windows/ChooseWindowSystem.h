#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "module/WindowSystem.h"

namespace postwarden {

// The window system for the command, and in words what it is and why.
struct WindowSystemChoice {
    std::unique_ptr<WindowSystem> windows;  // never null
    // E.g. "Qt on display :0", "terminal /dev/pts/3 of mutt (pid 812), which
    // waits for this send", "nobody can be asked: no display; the terminal
    // /dev/pts/4 is being read by aerc (pid 1234)".
    std::string why;
};

// In this order:
// - `answers` not empty ("yes,no,close"): scripted answers, message boxes on
//   standard error; throws std::invalid_argument when the text is not valid;
// - else Qt windows where a display answers: an OnDemandWindowSystem that loads
//   the Qt plugin (WindowPlugin.h) only when the first window is shown, and
//   falls back as below, with the plugin's failure as the reason, when it
//   cannot be loaded or made;
// - else a terminal where ReachTerminal() finds one: this program's own, or the
//   screen of the program that waits for this one (mutt);
// - else NoWindowSystem, whose windows fail with the reason nobody can be asked.
WindowSystemChoice ChooseWindowSystemExplained(std::string_view answers);

// The same choice without its reason.
std::unique_ptr<WindowSystem> ChooseWindowSystem(std::string_view answers);

}  // namespace postwarden
