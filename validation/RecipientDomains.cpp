#include "validation/RecipientDomains.h"

#include <utility>

#include "util/AddressForm.h"
#include "util/RuntimeError.h"

namespace postwarden::validation {

std::string StripQuotes(const std::string& text) {
    if (!text.empty() && text.front() == '\'' && text.back() == '\'') {
        // A lone quote is both the first and the last character and leaves no
        // inner text to take: that is a failure for the calling rule to report.
        if (text.size() < 2) throw errors::InvalidCall();
        return text.substr(1, text.size() - 2);
    }
    return text;
}

RecipientDomains::RecipientDomains(std::string_view written)
    : domains_{DomainOf(CanonicalAddress(written))} {
    for (std::string& routed : RouteOf(written).domains) domains_.push_back(std::move(routed));
    inside_.assign(domains_.size(), false);
}

bool RecipientDomains::Compare(std::string_view entry, const Matches& matches) {
    const std::string compared = CanonicalAddress(entry);
    for (size_t d = 0; d < domains_.size(); ++d) {
        if (!inside_[d] && matches(domains_[d], compared)) {
            inside_[d] = true;
            ++insideCount_;
        }
    }
    return AllInside();
}

std::string RecipientDomains::NamedOutside(const std::string& written) const {
    if (!inside_[0] && !written.empty()) return written;
    for (size_t d = 1; d < domains_.size(); ++d) {
        if (!inside_[d]) return domains_[d];
    }
    return written;
}

std::vector<std::string> RecipientDomains::Outside() const {
    std::vector<std::string> outside;
    for (size_t d = 0; d < domains_.size(); ++d) {
        if (!inside_[d] && !domains_[d].empty()) outside.push_back(domains_[d]);
    }
    return outside;
}

}  // namespace postwarden::validation
