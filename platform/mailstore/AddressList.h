#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::mailstore {

// One mailbox of an address header, both parts still as written: `phrase` is the
// display name with its quotes and encoded words, `address` the text between the
// angle brackets, or the bare address with comments and surrounding blanks removed.
struct RawMailbox {
    std::string phrase;
    std::string address;
};

// Splits the unfolded value of an address header (To, Cc, Bcc) into its
// mailboxes in order, with each group's members in place of the group. Never
// fails: text that is not a well-formed address list still yields one mailbox
// per comma-separated piece, so that no recipient is lost to a syntax error.
// Empty pieces (",,", an empty group) yield nothing. Linear in the input. Stops
// once it has found more than `maxMailboxes`, so that a caller can refuse an
// absurd header without holding all of it.
std::vector<RawMailbox> SplitAddressList(std::string_view value, size_t maxMailboxes = SIZE_MAX);

// The display name without its quoting: quoted strings lose their quotes and
// backslash escapes, runs of blanks become one space, and the ends are trimmed.
// Comments are kept as written.
std::string UnquotePhrase(std::string_view phrase);

}  // namespace postwarden::mailstore
