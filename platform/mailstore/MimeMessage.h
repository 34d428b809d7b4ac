#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::mailstore {

// The one place that knows the MIME library. Every text it gives is valid UTF-8;
// anything that cannot be converted is replaced by U+FFFD.

struct MessageRecipient {
    std::string name;     // the decoded display name; the address when there is none
    std::string address;  // the mailbox address as written, encoded words decoded
};

struct MessageContent {
    std::string subject;     // decoded; empty when the message has none
    int32_t bodyFormat = 1;  // 1 plain text, 2 HTML, 3 rich text
    // The message's text as one document: its plain-text parts, or for a
    // message without one a rendering of its HTML. A settings item is read so.
    std::string text;
    // Everything the recipient can read, for the rules to search, each led by
    // the texts of its own kind: the inline plain-text parts, the HTML parts as
    // the text they show, the rich-text parts, and the attachments' file names;
    // the HTML body also holds the HTML markup first. Empty when the message
    // has no part of that kind (HTML, rich text).
    std::string body;
    std::string htmlBody;
    std::string rtfBody;
    // The attachments' file names, as the bodies end with them.
    std::vector<std::string> attachmentNames;
    // To, Cc, Bcc, then Resent-To, -Cc, -Bcc; groups expanded; each address once
    // (compared without regard to case), where it first stands
    std::vector<MessageRecipient> recipients;
    // More recipients than limits::kMaxRecipients: `recipients` holds the first
    // ones, and the rest were not read.
    bool recipientsTruncated = false;
};

// Reads everything the session object offers of one message. A message whose
// header block cannot be parsed is taken as a plain-text body without headers;
// throws RuntimeError only when nothing at all can be read (no bytes, or binary
// data without a header block).
MessageContent ParseMessage(std::string_view bytes);

// The decoded subject of a raw message, read from its header block only; empty
// when there is none or the header block cannot be parsed. Never throws.
std::string ParseSubject(std::string_view bytes);

// The decoded value of the first header field `name` (any capitals), blanks
// around it trimmed; empty when there is none. Never throws.
std::string ParseHeaderValue(std::string_view bytes, const char* name);

// What makes a message the same message when a mail client sends it again: the
// sender (From), the recipients, the subject and the body, line ends in either
// form; not the date, the message identifier or the order of the header
// fields. A SHA-256 in hexadecimal. Throws RuntimeError as ParseMessage does.
std::string MessageFingerprint(std::string_view bytes);

}  // namespace postwarden::mailstore
