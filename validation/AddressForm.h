#pragma once

#include <string>
#include <string_view>

namespace postwarden::validation {

// The one form in which the domain rules compare an address or a domain with a
// list entry, so that every spelling of the same mailbox gets the same verdict:
// blanks around the text and around its "@" dropped, quotes around a local part
// that needs none removed ("ceo"@x is ceo@x), one trailing dot of the domain
// dropped, and each label of the domain written in ASCII-compatible form
// ("xn--bcher-kva") turned into its Unicode form by IDNA (UTS #46). Case is
// left to the comparison. A text without "@" is taken as a domain. Never
// throws: what cannot be converted stays as written.
std::string CanonicalAddress(std::string_view text);
std::string CanonicalDomain(std::string_view domain);

// The domain of a canonical address: what follows its "@"; empty when it has
// none.
std::string DomainOf(std::string_view canonicalAddress);

}  // namespace postwarden::validation
