#include "platform/windows/NoWindowSystem.h"

#include <cstdio>
#include <string>

#include "platform/windows/TerminalLines.h"
#include "util/RuntimeError.h"

namespace postwarden {

NoWindowSystem::NoWindowSystem(std::string reason) : reason_(std::move(reason)) {}

std::unique_ptr<Window> NoWindowSystem::CreateWindow(const FormDesign&, WindowEvents&) {
    throw RuntimeError(errors::kCannotCreateObject, reason_);
}

void NoWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    // Standard error is often the person's terminal.
    std::fprintf(stderr, "%s: %s\n", EscapeLinesForTerminal(title).c_str(),
                 EscapeLinesForTerminal(text).c_str());
}

}  // namespace postwarden
