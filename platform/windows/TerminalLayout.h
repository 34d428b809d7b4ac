#pragma once

#include <vector>

#include "platform/windows/ModelWindow.h"

namespace postwarden {

// The push buttons of `window` in the order they stand, left to right, which
// is the order the terminal forms draw them and move the focus through them.
std::vector<const ShownControl*> Buttons(const ModelWindow& window);

}  // namespace postwarden
