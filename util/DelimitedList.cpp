#include "util/DelimitedList.h"

#include <algorithm>

#include "util/Limits.h"
#include "util/RuntimeError.h"

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
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != ';') continue;
        size_t b = start, e = i;
        while (b < e && isBlank(text[b])) ++b;
        while (e > b && isBlank(text[e - 1])) --e;
        if (e > b) {
            if (entries_.size() == limits::kMaxListEntries) {
                entries_.clear();
                throw limits::TooMany("The list", limits::kMaxListEntries, "entries", "a list");
            }
            entries_.emplace_back(text.substr(b, e - b));
        }
        start = i + 1;
    }
}

std::string DelimitedList::Item(int32_t index) const {
    if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
    return entries_[static_cast<size_t>(index - 1)];
}

}  // namespace postwarden
