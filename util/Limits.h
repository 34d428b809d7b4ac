#pragma once

// How much of an outside text the system takes in. Messages, settings
// documents and list texts come from other people's hands (a mail client, an
// administrator's share, a public folder), and one that is absurdly large must
// cost a bounded amount of memory and time, not the send. Each limit is checked
// where the text comes in; going over it is a RuntimeError whose description
// names the limit, so the procedure that asked reports it through its own
// handler and lets the send go ahead.
//
// Every limit lies far above real use: a 25 MB message to 1,000 recipients
// checked against 10,000 keywords is well inside all of them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/RuntimeError.h"

namespace postwarden::limits {

// A settings document, read from a file or from the settings item's body. Real
// ones hold a few kilobytes; one with 100,000 list entries holds about 3 MB.
// The parser needs up to about 16 times the text for a document made only of
// tiny elements, so this keeps the worst case near 70 MB.
inline constexpr size_t kMaxSettingsDocumentBytes = size_t{4} << 20;

// A message file that the mail store reads and parses. Far above what the
// large mail services accept (25 to 150 MB); parsing a text body costs about
// four times the file at most.
inline constexpr size_t kMaxMessageBytes = size_t{256} << 20;

// The mail store's distribution-list file.
inline constexpr size_t kMaxDistributionListsBytes = size_t{64} << 20;

// Recipients (To, Cc and Bcc, groups expanded) of a message the mail store
// parses. Each one is a line of the log and a pass of the address rules;
// large mail services accept a few thousand at most.
inline constexpr size_t kMaxRecipients = 100'000;

// A list text handed to DelimitedList, and the entries it may split into.
// Every entry costs a comparison (and for the address rules a log line) per
// recipient, so the count bounds the time of a send; the text bounds the
// splitting, which is done again for every recipient.
inline constexpr size_t kMaxListTextBytes = size_t{4} << 20;
inline constexpr size_t kMaxListEntries = 100'000;

// The error number of a text over one of these limits ("Out of memory").
inline constexpr int32_t kErrorTooLarge = 7;

// "<what> is larger than <limit> bytes, the limit for <purpose>".
inline RuntimeError TooLarge(std::string_view what, size_t limit, std::string_view purpose) {
    return RuntimeError(kErrorTooLarge, std::string(what) + " is larger than " +
                                            std::to_string(limit) + " bytes, the limit for " +
                                            std::string(purpose));
}

// "<what> has more than <limit> <things>, the limit for <purpose>".
inline RuntimeError TooMany(std::string_view what, size_t limit, std::string_view things,
                            std::string_view purpose) {
    return RuntimeError(kErrorTooLarge, std::string(what) + " has more than " +
                                            std::to_string(limit) + " " + std::string(things) +
                                            ", the limit for " + std::string(purpose));
}

}  // namespace postwarden::limits
