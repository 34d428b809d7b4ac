#include "platform/windows/NoWindowSystem.h"

#include <cstdio>
#include <string>

#include "module/RuntimeError.h"

namespace postwarden {

std::unique_ptr<Window> NoWindowSystem::CreateWindow(const FormDesign&, WindowEvents&) {
    throw RuntimeError(errors::kCannotCreateObject, "No display or terminal to show a window on");
}

void NoWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                 static_cast<int>(text.size()), text.data());
}

}  // namespace postwarden
