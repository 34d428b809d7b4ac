#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::host {

// What the recipient history takes from a message the person sent: read from
// its header block alone, so that a Sent folder of years goes in quickly.
struct SentMessage {
    // The addresses of its To, Cc and Bcc fields, every field of those names,
    // as written (groups give their members); nothing else: a Resent- field
    // is someone else's send.
    std::vector<std::string> addresses;
    std::optional<int64_t> date;  // its Date field, when it has one that reads
    std::string messageId;        // its Message-ID field, trimmed; empty without
};

// Reads `bytes`, a message as stored (From_ lines before its header are
// skipped, as a mail server does); a message without a header block gives
// nothing. Never throws.
SentMessage ReadSentMessage(std::string_view bytes);

// The date-time of a Date field ("Tue, 14 Nov 2023 22:13:20 +0100", seconds and
// the day of the week optional, the obsolete zone names and a trailing comment
// allowed) in seconds since the epoch; nothing when it does not read as one.
std::optional<int64_t> ParseMailDate(std::string_view text);

// How an import of Maildir folders, mbox files and message files went.
struct HistoryImportReport {
    size_t messages = 0;                // every message of the readable sources
    size_t recorded = 0;                // added to the history
    size_t already = 0;                 // their Message-ID was recorded before
    size_t noMailbox = 0;               // naming nobody in To, Cc or Bcc
    std::vector<std::string> problems;  // "SOURCE: why", for what could not be read
    size_t unreadableSources = 0;
};

// Records the recipients of every message of `sources` (read as the audit reads
// them) in the history file `historyPath`, in one transaction, a message
// without a Date field as of `now`. Throws RuntimeError when the history cannot
// be written; then nothing was recorded.
HistoryImportReport ImportHistory(const std::string& historyPath,
                                  const std::vector<std::string>& sources, int64_t now);

}  // namespace postwarden::host
