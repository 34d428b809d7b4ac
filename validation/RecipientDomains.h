#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::validation {

// `text` without the single quotes around it ('x' is x); as it is otherwise.
// Throws "Invalid procedure call or argument" for a lone quote, which leaves
// no text between the quotes.
std::string StripQuotes(const std::string& text);

// The domains one recipient's mail reaches, in the form the domain rules
// compare (AddressForm.h): the address's own domain, then each domain its
// local part routes it on to. Compared entry by entry with the company's list,
// each is the company's once an entry matches it; the recipient is outside the
// company while any of them is not.
class RecipientDomains {
  public:
    // Whether the whole of a domain (first) matches a list entry (second).
    using Matches = std::function<bool(std::string_view, std::string_view)>;

    // `written`: the address as written, in lower case, quotes stripped.
    explicit RecipientDomains(std::string_view written);

    // Compares each domain not yet matched with the list entry `entry` as
    // written; true once every domain has matched some entry.
    bool Compare(std::string_view entry, const Matches& matches);
    bool AllInside() const { return insideCount_ == domains_.size(); }

    // The domain that names the recipient as outside the company: `written`
    // (the domain after the "@" as written), unless only a domain it is routed
    // on to is outside, or nothing is written after an "@".
    std::string NamedOutside(const std::string& written) const;
    // Every domain no entry matched, in order; empty ones left out.
    std::vector<std::string> Outside() const;

  private:
    std::vector<std::string> domains_;
    std::vector<bool> inside_;
    size_t insideCount_ = 0;
};

}  // namespace postwarden::validation
