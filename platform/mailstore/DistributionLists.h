#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::mailstore {

// The distribution lists of a store, from its file `distribution-lists`: one
// list per line, `list@corp.example: member@corp.example, other@corp.example`;
// blank lines and lines starting with "#" are skipped, as are lines without a
// ":". A list named on several lines gets the members of all of them.
class DistributionLists {
  public:
    static DistributionLists Parse(std::string_view text);

    // The members of the list with this address (compared without regard to
    // ASCII case), each once, in the order first written; null when the address
    // is no list.
    const std::vector<std::string>* Members(std::string_view address) const;

  private:
    std::map<std::string, std::vector<std::string>> lists_;  // by lower-case address
};

inline constexpr const char* kDistributionListsFile = "distribution-lists";

}  // namespace postwarden::mailstore
