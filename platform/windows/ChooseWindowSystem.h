#pragma once

#include <memory>
#include <string_view>

#include "module/WindowSystem.h"

namespace postwarden {

// The window system for the command:
// - `answers` not empty ("yes,no,close"): scripted answers, message boxes on
//   standard error; throws std::invalid_argument when the text is not valid;
// - else Qt windows, when QT_QPA_PLATFORM is set, or when $WAYLAND_DISPLAY or
//   $DISPLAY names a display that accepts a connection (a display that is set but
//   gone would otherwise end the process when Qt starts);
// - else the terminal, when /dev/tty can be opened;
// - else none: every window fails to show and the forms' failure path applies.
std::unique_ptr<WindowSystem> ChooseWindowSystem(std::string_view answers);

// Whether the display named by the environment accepts a connection: a Wayland
// socket ($WAYLAND_DISPLAY, relative to $XDG_RUNTIME_DIR) or an X display
// ($DISPLAY: ":N" on the local socket, "host:N" on TCP port 6000+N).
bool DisplayReachable();

}  // namespace postwarden
