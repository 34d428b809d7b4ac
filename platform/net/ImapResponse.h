#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::net {

// The numbers of every "* SEARCH" response in `responses` (untagged lines as
// a server sends them), in the order given. Lines of other responses are
// passed over; a number that does not fit is left out.
std::vector<uint32_t> ParseSearchResponse(std::string_view responses);

// `text` as an IMAP quoted string, when it can be one: printable ASCII only
// (a quoted string carries no line ends and no 8-bit characters).
std::optional<std::string> QuotedString(std::string_view text);

// A mailbox name as the path of an IMAP URL writes it: percent-encoded but for
// letters, digits, "/" and the characters safe in a path.
std::string EncodedMailboxPath(std::string_view mailbox);

}  // namespace postwarden::net
