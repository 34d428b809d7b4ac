#include "util/DelimitedList.h"

#include <algorithm>

#include "util/Limits.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

void DelimitedList::SetText(std::string_view text) {
    entries_.clear();
    if (text.size() > limits::kMaxListTextBytes) {
        throw limits::TooLarge("The list text", limits::kMaxListTextBytes, "a list");
    }
    // Room for an entry per line or ";": a list of thousands of keywords is
    // not moved again and again as it grows.
    const auto ends = static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == ';'; }));
    entries_.reserve(std::min(ends + 1, limits::kMaxListEntries));
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != ';') continue;
        const std::string_view entry = Trim(text.substr(start, i - start), " \t");
        if (!entry.empty()) {
            if (entries_.size() == limits::kMaxListEntries) {
                entries_.clear();
                throw limits::TooMany("The list", limits::kMaxListEntries, "entries", "a list");
            }
            entries_.emplace_back(entry);
        }
        start = i + 1;
    }
}

std::string DelimitedList::Item(int32_t index) const {
    if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
    return entries_[static_cast<size_t>(index - 1)];
}

}  // namespace postwarden
