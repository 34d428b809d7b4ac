#pragma once

#include <memory>
#include <string_view>

#include "module/WindowSystem.h"

namespace postwarden {

// The window system for the command:
// - `answers` not empty ("yes,no,close"): scripted answers, message boxes on
//   standard error; throws std::invalid_argument when the text is not valid;
// - else Qt windows, when QtWindowSystem::Available();
// - else the terminal, when /dev/tty can be opened;
// - else none: every window fails to show and the forms' failure path applies.
std::unique_ptr<WindowSystem> ChooseWindowSystem(std::string_view answers);

}  // namespace postwarden
