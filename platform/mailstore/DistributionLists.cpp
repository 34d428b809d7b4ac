#include "platform/mailstore/DistributionLists.h"

#include <algorithm>
#include <set>

#include "util/Text.h"

namespace postwarden::mailstore {

namespace {

// The file's lines end in LF, or in CR LF.
constexpr std::string_view kBlanks = " \t\r";

}  // namespace

DistributionLists DistributionLists::Parse(std::string_view text) {
    DistributionLists result;
    std::map<std::string, std::set<std::string>> seen;  // lower-case members per list
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = Trim(text.substr(0, end), kBlanks);
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t colon = line.find(':');
        if (line.empty() || line.front() == '#' || colon == line.npos) continue;
        const std::string_view name = Trim(line.substr(0, colon), kBlanks);
        if (name.empty()) continue;
        const std::string key = AsciiLower(name);
        std::vector<std::string>& members = result.lists_[key];
        std::set<std::string>& known = seen[key];
        std::string_view rest = line.substr(colon + 1);
        while (!rest.empty()) {
            const size_t comma = std::min(rest.find(','), rest.size());
            const std::string_view member = Trim(rest.substr(0, comma), kBlanks);
            rest.remove_prefix(std::min(comma + 1, rest.size()));
            if (member.empty()) continue;
            if (known.insert(AsciiLower(member)).second) members.emplace_back(member);
        }
    }
    return result;
}

const std::vector<std::string>* DistributionLists::Members(std::string_view address) const {
    const auto it = lists_.find(AsciiLower(Trim(address, kBlanks)));
    return it == lists_.end() ? nullptr : &it->second;
}

}  // namespace postwarden::mailstore
