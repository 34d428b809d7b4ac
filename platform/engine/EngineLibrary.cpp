#include "platform/engine/EngineLibrary.h"

#include <algorithm>

#include "module/Limits.h"
#include "module/RuntimeError.h"
#include "platform/engine/Glob.h"
#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"

namespace postwarden {

void FileEngineLogger::WriteLog(std::string_view app, std::string_view source,
                                std::string_view message, int16_t level) {
    log_.Append(kKindTrace, level, app, source, message);
}

void FileEngineHelper::LogEvent(std::string_view message, int32_t level, std::string_view source) {
    log_.Append(kKindEvent, level, "", source, message);
}

int32_t FileEngineHelper::MatchesEntry(std::string_view value, std::string_view entry) {
    return GlobMatch(value, entry) ? 1 : 0;
}

void SplitDelimitedList::SetText(std::string_view text) {
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

std::string SplitDelimitedList::Item(int32_t index) {
    if (index < 1 || index > Count()) throw errors::SubscriptOutOfRange();
    return entries_[static_cast<size_t>(index - 1)];
}

}  // namespace postwarden
