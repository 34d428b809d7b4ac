#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden::mailstore {

struct MimeFunctions;

// The one place that knows the MIME library (the files MimeMessageInternal.h
// lists). Every text it gives is valid UTF-8; anything that cannot be converted
// is replaced by U+FFFD.

struct MessageRecipient {
    std::string name;     // the decoded display name; the address when there is none
    std::string address;  // the mailbox address as written, encoded words decoded
    // 1 To, 2 Cc, 3 Bcc (MapiRecipient::Type); a Resent- field as its kind.
    int32_t type = 1;
};

class MessageContent {
  public:
    std::string subject;     // decoded; empty when the message has none
    int32_t bodyFormat = 1;  // 1 plain text, 2 HTML, 3 rich text
    // The attachments' file names, as the bodies end with them.
    std::vector<std::string> attachmentNames;
    // The attachments it carries (MapiMessage::AttachmentCount): every part
    // marked as one, or with a file name, and every forwarded message; not an
    // image the HTML shows in place (it has a Content-ID), nor a signature.
    int32_t attachmentCount = 0;
    // To, Cc, Bcc, then Resent-To, -Cc, -Bcc; groups expanded; each address once
    // (compared without regard to case), where it first stands
    std::vector<MessageRecipient> recipients;
    // More recipients than limits::kMaxRecipients: `recipients` holds the first
    // ones, and the rest were not read.
    bool recipientsTruncated = false;
    // Why part of what the recipient reads could not be read here, in a few
    // words ("encrypted", "nested too deeply"): the first reason met; empty
    // when everything was read.
    std::string unreadParts;

    // The message's text as one document: its plain-text parts, or for a
    // message without one a rendering of its HTML. A settings item is read so.
    std::string_view Text() const { return View(text_); }
    // Everything the recipient can read, for the rules to search, each led by
    // the texts of its own kind: the inline plain-text parts, the HTML parts as
    // the text they show, the rich-text parts, and the attachments' file names;
    // the HTML body also holds the HTML markup first. Empty when the message
    // has no part of that kind (HTML, rich text).
    //
    // Each text is decoded once and held once: the body of the message's own
    // format is read where it lies, and another body that does not lie in one
    // piece is put together on first use and kept. The views stay valid while
    // this object lives; like the session objects that hold it, it is for one
    // thread at a time.
    std::string_view Body() const { return BodyOf(kBodyPieces, 0); }
    std::string_view HtmlBody() const { return hasHtml_ ? BodyOf(kHtmlPieces, 1) : ""; }
    std::string_view RtfBody() const { return hasRich_ ? BodyOf(kRtfPieces, 2) : ""; }

  private:
    friend MessageContent ParseMessage(std::string_view bytes,
                                       const std::function<void()>& release);
    friend struct MimeFunctions;  // MimeLibrary.h: BodyOf across the library's edge

    // The texts a body is made of, in its order.
    enum Piece : uint8_t { kMarkup, kShown, kPlain, kRich, kNames, kPieceCount };
    struct Range {
        size_t at = 0;
        size_t size = 0;
    };
    static constexpr Piece kBodyPieces[] = {kPlain, kShown, kRich, kNames};
    static constexpr Piece kHtmlPieces[] = {kMarkup, kShown, kPlain, kRich, kNames};
    static constexpr Piece kRtfPieces[] = {kRich, kPlain, kShown, kNames};

    std::string_view View(Range range) const {
        return std::string_view(texts_).substr(range.at, range.size);
    }
    // The body `which` (0 plain, 1 HTML, 2 rich text) made of `order`.
    std::string_view BodyOf(std::span<const Piece> order, int which) const;

    // Every text once, in the order of the body of the message's format, a
    // blank line between two texts: a body that takes the same texts in that
    // order is a range of it.
    std::string texts_;
    Range pieces_[kPieceCount];
    Range text_;
    // The HTML and the rich-text body are empty without parts of their kind.
    bool hasHtml_ = false;
    bool hasRich_ = false;
    mutable std::string composed_[3];
    mutable bool isComposed_[3] = {};
};

// Reads everything the session object offers of one message. A message whose
// header block cannot be parsed is taken as a plain-text body without headers;
// throws RuntimeError only when nothing at all can be read (no bytes, or binary
// data without a header block).
//
// `release`, when given, is called once, as soon as the texts that need most of
// the bytes are decoded from them (before HTML is rendered as text), so that a
// caller whose bytes can be read in again (a mapped file) may give their pages
// back while the texts grow; what the parse reads after it is read in again.
MessageContent ParseMessage(std::string_view bytes, const std::function<void()>& release = {});

// The decoded subject of a raw message, read from its header block only; empty
// when there is none or the header block cannot be parsed. Never throws.
std::string ParseSubject(std::string_view bytes);

// The decoded value of the first header field `name` (any capitals), blanks
// around it trimmed; empty when there is none. Never throws.
std::string ParseHeaderValue(std::string_view bytes, const char* name);

// What makes a message the same message when a mail client sends it again:
// what its recipient reads, as parsed: the sender (From), the recipients, the
// subject, and every part in its place, with the fields that say how it reads
// (type and parameters, disposition, file name) and its content with the
// transfer encoding undone. Not the date, the message identifier, the order
// of the header fields, the MIME boundaries or the form of the line ends
// (outside base64). A SHA-256 in hexadecimal. Throws RuntimeError as
// ParseMessage does; `release` is called once the content has been read.
std::string MessageFingerprint(std::string_view bytes, const std::function<void()>& release = {});

// Where the header of `bytes` begins: past the lines that begin with "From "
// or ">From " (an mbox From_ line, as git format-patch writes first), which a
// mail server drops before it reads the header. "From :" is a header field.
inline size_t HeaderStart(std::string_view bytes) {
    size_t at = 0;
    for (;;) {
        const std::string_view line = bytes.substr(at);
        const size_t name = line.find_first_not_of('>');
        if (name == std::string_view::npos || name > 1 || !line.substr(name).starts_with("From "))
            return at;
        const size_t after = line.find_first_not_of(" \t", name + 4);
        if (after != std::string_view::npos && line[after] == ':') return at;
        const size_t end = line.find('\n');
        if (end == std::string_view::npos) return bytes.size();
        at += end + 1;
    }
}

}  // namespace postwarden::mailstore
