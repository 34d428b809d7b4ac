#pragma once

#include <cstdint>
#include <functional>
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

// Of the messages numbered `uids`, the newest whose subject, as `subjectOf`
// reads it, is exactly `subject`; nullopt when none is. A server numbers a
// folder's messages (their UIDs) in the order they were added, so the newest
// has the highest number, whatever order `uids` is in. Subjects are read
// newest first, and none after the first that matches.
std::optional<uint32_t> NewestWithSubject(std::vector<uint32_t> uids, std::string_view subject,
                                          const std::function<std::string(uint32_t)>& subjectOf);

// A mailbox name as the path of an IMAP URL writes it: percent-encoded but for
// letters, digits, "/" and the characters safe in a path.
std::string EncodedMailboxPath(std::string_view mailbox);

}  // namespace postwarden::net
