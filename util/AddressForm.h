#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace postwarden {

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

// An address as the recipient history keys it: CanonicalAddress of the
// address in lower case, so that every spelling and capitalisation of one
// mailbox is one entry. Empty when it names no mailbox: no "@" outside quotes,
// or nothing before or after it.
std::string HistoryAddress(std::string_view address);

// The domain of a canonical address: what follows its "@"; empty when it has
// none.
std::string DomainOf(std::string_view canonicalAddress);

// Where a mail server may still pass a message on when it reads the local part
// of an address as a route, as old ones do: "user%host@relay" (the percent
// hack), "host!user" (a bang path, with or without "@relay"), and a quoted
// "user@host" or source route ("@host:user") inside it, nested any way
// ("a%b%c@x" may go on to c and then to b). The hosts so named are the ones
// after a "%" or "@" and before a "!"; the mailbox at the end of the route is
// the last other non-empty piece. An ordinary local part names no host,
// quoted or not ("Last, First"@x).
struct Route {
    std::string user;                  // canonical local part, quoted if it must be
    std::vector<std::string> domains;  // canonical, each once, in the order written
};
// The route in `text`, an address as CanonicalAddress takes it; a text without
// "@" is read here as a local part ("host!user" reaches host). Never throws.
Route RouteOf(std::string_view text);

}  // namespace postwarden
