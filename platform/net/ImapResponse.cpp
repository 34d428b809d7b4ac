#include "platform/net/ImapResponse.h"

#include <algorithm>
#include <charconv>

#include "util/Text.h"

namespace postwarden::net {

namespace {

// Calls `each` with every line of `text`, its line end taken off.
template <typename Each>
void ForEachLine(std::string_view text, Each each) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        each(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

template <typename Number>
std::optional<Number> ParseNumber(std::string_view digits) {
    Number value{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::vector<uint32_t> ParseSearchResponse(std::string_view responses) {
    std::vector<uint32_t> numbers;
    ForEachLine(responses, [&](std::string_view line) {
        constexpr std::string_view kSearch = "* SEARCH";
        if (!StartsWithNoCase(line, kSearch)) return;
        line.remove_prefix(kSearch.size());
        if (!line.empty() && line.front() != ' ') return;  // "* SEARCHED", say
        while (!line.empty()) {
            const size_t start = line.find_first_not_of(' ');
            if (start == std::string_view::npos) break;
            line.remove_prefix(start);
            const size_t end = line.find(' ');
            if (auto number = ParseNumber<uint32_t>(line.substr(0, end))) {
                numbers.push_back(*number);
            }
            if (end == std::string_view::npos) break;
            line.remove_prefix(end);
        }
    });
    return numbers;
}

std::optional<std::string> QuotedString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c < 0x20 || c > 0x7e) return std::nullopt;
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::optional<uint32_t> NewestWithSubject(std::vector<uint32_t> uids, std::string_view subject,
                                          const std::function<std::string(uint32_t)>& subjectOf) {
    std::sort(uids.rbegin(), uids.rend());
    for (const uint32_t uid : uids) {
        if (subjectOf(uid) == subject) return uid;
    }
    return std::nullopt;
}

std::string EncodedMailboxPath(std::string_view mailbox) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string path;
    for (const char c : mailbox) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '-' || c == '.' || c == '_' ||
                           c == '~';
        if (plain) {
            path += c;
        } else {
            path += '%';
            path += kHex[u >> 4];
            path += kHex[u & 0xF];
        }
    }
    return path;
}

}  // namespace postwarden::net
