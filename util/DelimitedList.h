#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden {

// A list text split into entries, numbered from 1: split at CR, LF and ";",
// blanks and tabs trimmed, empty ones dropped. A text over
// limits::kMaxListTextBytes, or one of more than limits::kMaxListEntries
// entries, is refused (RuntimeError) and leaves the list empty.
class DelimitedList {
  public:
    void SetText(std::string_view text);
    int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
    // Entry `index`, 1 to Count(); throws "Subscript out of range" outside that.
    std::string Item(int32_t index) const;

  private:
    std::vector<std::string> entries_;
};

}  // namespace postwarden
