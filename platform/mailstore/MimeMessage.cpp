// The only file that uses GMime: every failure of the library is turned into a
// RuntimeError or a best-effort result here.
#include "platform/mailstore/MimeMessage.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define PW_LSAN_IGNORE_GMIME_SETUP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define PW_LSAN_IGNORE_GMIME_SETUP 1
#endif
#endif

#include "module/Limits.h"
#include "module/Text.h"
#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/HtmlText.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden::mailstore {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

// GMime keeps process-wide tables; it is set up once and never shut down, so
// that sessions on any thread may parse at any time.
GMimeParserOptions* Options() {
    static GMimeParserOptions* options = [] {
#ifdef PW_LSAN_IGNORE_GMIME_SETUP
        // GMime drops the table entries that a registration replaces: a few
        // bytes, once per process, and no leak worth reporting.
        __lsan::ScopedDisabler keptForTheProcess;
#endif
        g_mime_init();
        // Attached messages are never the body; they are kept as plain parts,
        // so that their headers are not parsed either (see Construct).
        for (const char* subtype : {"rfc822", "news", "global", "*"}) {
            g_mime_object_register_type("message", subtype, GMIME_TYPE_PART);
        }
        GMimeParserOptions* created = g_mime_parser_options_new();
        // 8-bit text that is not UTF-8 is most often Windows Latin-1.
        const char* fallbacks[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(created, fallbacks);
        g_mime_parser_options_set_rfc2047_compliance_mode(created, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(created, GMIME_RFC_COMPLIANCE_LOOSE);
        return created;
    }();
    return options;
}

std::string ValidUtf8(const char* text, size_t length) {
    if (g_utf8_validate(text, static_cast<gssize>(length), nullptr)) return {text, length};
    GCharPtr valid(g_utf8_make_valid(text, static_cast<gssize>(length)));
    return valid ? std::string(valid.get()) : std::string();
}

// Text of unknown or undeclared charset: UTF-8 when it is valid UTF-8, else the
// best of the fallback charsets.
std::string Decode8Bit(const char* text, size_t length) {
    if (g_utf8_validate(text, static_cast<gssize>(length), nullptr)) return {text, length};
    GCharPtr decoded(g_mime_utils_decode_8bit(Options(), text, length));
    return decoded ? ValidUtf8(decoded.get(), std::strlen(decoded.get())) : std::string();
}

// Text in the part's declared charset; undeclared, unknown or mislabelled as
// ASCII, it is taken as 8-bit text of unknown charset. Declared UTF-8 stays
// UTF-8, its broken sequences replaced, rather than being guessed anew.
std::string ToUtf8(const char* text, size_t length, const char* charset) {
    if (charset == nullptr || g_ascii_strcasecmp(charset, "us-ascii") == 0) {
        return Decode8Bit(text, length);
    }
    if (g_ascii_strcasecmp(charset, "utf-8") == 0 || g_ascii_strcasecmp(charset, "utf8") == 0) {
        return ValidUtf8(text, length);
    }
    iconv_t converter = g_mime_iconv_open("UTF-8", charset);
    if (converter == reinterpret_cast<iconv_t>(-1)) return Decode8Bit(text, length);
    GCharPtr converted(g_mime_iconv_strndup(converter, text, length));
    g_mime_iconv_close(converter);
    if (!converted) return Decode8Bit(text, length);
    return ValidUtf8(converted.get(), std::strlen(converted.get()));
}

// A header value: raw 8-bit bytes made UTF-8, then its encoded words decoded.
std::string DecodeHeaderText(std::string_view raw) {
    std::string text = Decode8Bit(raw.data(), raw.size());
    if (text.find("=?") == std::string::npos) return text;
    GCharPtr decoded(g_mime_utils_header_decode_text(Options(), text.c_str()));
    return decoded ? ValidUtf8(decoded.get(), std::strlen(decoded.get())) : text;
}

std::string Unfold(const char* raw) {
    std::string value;
    for (const char* c = raw; *c; ++c)
        if (*c != '\r' && *c != '\n') value += *c;
    return value;
}

// The recipients read so far, each address once: the same mailbox in To and
// Bcc, or in a header and again as a resent recipient, is one recipient.
struct RecipientSet {
    std::vector<MessageRecipient>& list;
    bool& truncated;
    std::unordered_set<std::string> seen;  // addresses in lower case
};

void AddRecipients(GMimeObject* message, const char* field, RecipientSet& recipients) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(message);
    const int count = headers ? g_mime_header_list_get_count(headers) : 0;
    for (int i = 0; i < count; ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
        const char* name = g_mime_header_get_name(header);
        const char* raw = g_mime_header_get_raw_value(header);
        if (name == nullptr || raw == nullptr || g_ascii_strcasecmp(name, field) != 0) continue;
        if (recipients.truncated) return;
        // A field is split no further than one mailbox past the limit, which
        // tells that it holds more than can be read, repeats or not.
        const std::vector<RawMailbox> mailboxes =
            SplitAddressList(Unfold(raw), limits::kMaxRecipients + 1);
        if (mailboxes.size() > limits::kMaxRecipients) recipients.truncated = true;
        for (const RawMailbox& mailbox : mailboxes) {
            MessageRecipient recipient;
            recipient.address = DecodeHeaderText(mailbox.address);
            if (!recipients.seen.insert(LCase(recipient.address)).second) continue;
            if (recipients.list.size() == limits::kMaxRecipients) {
                // The rest is not read; the count rule is told there are more.
                recipients.truncated = true;
                return;
            }
            recipient.name = DecodeHeaderText(UnquotePhrase(mailbox.phrase));
            if (recipient.name.empty()) recipient.name = recipient.address;
            recipients.list.push_back(std::move(recipient));
        }
    }
}

bool IsRichText(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "text", "rtf") ||
           g_mime_content_type_is_type(type, "application", "rtf") ||
           g_mime_content_type_is_type(type, "text", "enriched") ||
           g_mime_content_type_is_type(type, "text", "richtext");
}

// What the recipient can read of the message: every inline text part by kind,
// in document order, and the file names of its attachments.
struct BodyParts {
    std::vector<GMimePart*> plain;
    std::vector<GMimePart*> html;
    std::vector<GMimePart*> rich;
    std::vector<std::string> names;
};

// Bounds the walk of absurdly nested structures; GMime bounds its own parse too.
constexpr int kMaxDepth = 64;

void AddName(GMimeObject* object, BodyParts& parts) {
    const char* name = nullptr;
    if (GMIME_IS_PART(object)) name = g_mime_part_get_filename(GMIME_PART(object));
    if (name == nullptr) name = g_mime_object_get_content_type_parameter(object, "name");
    if (name != nullptr && *name) parts.names.push_back(ValidUtf8(name, std::strlen(name)));
}

// Every part that is not an attachment and has text is read, in whatever
// multipart it stands: the alternatives of one text, and the several inline
// texts of a mixed message. Attachments give their names only; attached
// messages and encrypted parts are not read.
void CollectBody(GMimeObject* object, int depth, BodyParts& parts) {
    if (object == nullptr || depth > kMaxDepth) return;
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (GMIME_IS_MULTIPART(object)) {
        if (GMIME_IS_MULTIPART_ENCRYPTED(object)) return;
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            CollectBody(g_mime_multipart_get_part(multipart, i), depth + 1, parts);
        }
        return;
    }
    if (depth > 0) AddName(object, parts);
    if (!GMIME_IS_PART(object) || type == nullptr) return;
    GMimePart* part = GMIME_PART(object);
    // The top-level part is the body whatever its disposition says.
    if (depth > 0 && g_mime_part_is_attachment(part)) return;
    if (g_mime_content_type_is_type(type, "text", "plain")) {
        parts.plain.push_back(part);
    } else if (g_mime_content_type_is_type(type, "text", "html")) {
        parts.html.push_back(part);
    } else if (IsRichText(type)) {
        parts.rich.push_back(part);
    }
}

// Texts one after the other, a blank line between them so that no word runs on
// from one into the next.
void AppendText(std::string& out, std::string_view text) {
    if (text.empty()) return;
    if (!out.empty()) out += "\n\n";
    out.append(text);
}

// The part's content, transfer encoding undone, converted from its charset.
std::string PartText(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) return {};
    GObjectPtr<GMimeStream> out(g_mime_stream_mem_new());
    if (g_mime_data_wrapper_write_to_stream(content, out.get()) < 0) {
        throw Unreadable("the body cannot be decoded");
    }
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    if (bytes == nullptr || bytes->len == 0) return {};
    return ToUtf8(reinterpret_cast<const char*>(bytes->data), bytes->len, charset);
}

// The message read as its top-level MIME part: its headers are kept as written
// and its address fields are left to AddRecipients. Read as a message, GMime
// would parse every address field itself, in time that grows with the square
// of the entries of some forms ("a b, c d, ...": 20,000 of them took 1.5 s),
// and nothing here uses what it makes of them.
GObjectPtr<GMimeObject> Construct(std::string_view bytes) {
    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return GObjectPtr<GMimeObject>(g_mime_parser_construct_part(parser.get(), Options()));
}

std::string SubjectOf(GMimeObject* message) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(message);
    GMimeHeader* header = headers ? g_mime_header_list_get_header(headers, "Subject") : nullptr;
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    if (raw == nullptr) return {};
    std::string subject = DecodeHeaderText(Unfold(raw));
    // The raw value keeps the blank after the colon; every other character is
    // the subject's own (a subject of one tab is not blank).
    if (!subject.empty() && subject[0] == ' ') subject.erase(0, 1);
    return subject;
}

// The header block with the blank line that ends it; all of `bytes` when none.
std::string_view HeaderBlock(std::string_view bytes) {
    for (size_t at = bytes.find('\n'); at != std::string_view::npos;
         at = bytes.find('\n', at + 1)) {
        const size_t next = at + 1;
        if (next < bytes.size() && bytes[next] == '\n') return bytes.substr(0, next + 1);
        if (next + 1 < bytes.size() && bytes[next] == '\r' && bytes[next + 1] == '\n') {
            return bytes.substr(0, next + 2);
        }
    }
    return bytes;
}

}  // namespace

MessageContent ParseMessage(std::string_view bytes) {
    Options();
    MessageContent content;
    GObjectPtr<GMimeObject> message = Construct(bytes);
    if (!message) {
        // No header block: whatever text there is, is the body.
        if (bytes.empty()) throw Unreadable("the file is empty");
        if (bytes.find('\0') != std::string_view::npos) throw Unreadable("no header block");
        content.body = Decode8Bit(bytes.data(), bytes.size());
        content.text = content.body;
        return content;
    }
    content.subject = SubjectOf(message.get());
    // Everyone the message goes to: a bounce names its new recipients in the
    // Resent- fields only.
    RecipientSet recipients{content.recipients, content.recipientsTruncated, {}};
    for (const char* field : {"To", "Cc", "Bcc", "Resent-To", "Resent-Cc", "Resent-Bcc"}) {
        AddRecipients(message.get(), field, recipients);
    }
    BodyParts parts;
    CollectBody(message.get(), 0, parts);
    // Each body holds everything the recipient can read, so that a rule
    // searching the body of the message's format misses nothing: its own
    // texts first, then the other inline texts, then the attachments' names.
    // HTML is there as written and as the text it shows.
    std::string plainText, htmlMarkup, htmlShown, richText, names;
    for (GMimePart* part : parts.plain) AppendText(plainText, PartText(part));
    for (GMimePart* part : parts.html) {
        const std::string markup = PartText(part);
        AppendText(htmlShown, HtmlToText(markup));
        AppendText(htmlMarkup, markup);
    }
    for (GMimePart* part : parts.rich) AppendText(richText, PartText(part));
    for (const std::string& name : parts.names) AppendText(names, name);
    content.attachmentNames = parts.names;

    content.text = !parts.plain.empty() ? plainText : htmlShown;
    AppendText(content.body, plainText);
    AppendText(content.body, htmlShown);
    AppendText(content.body, richText);
    AppendText(content.body, names);
    if (!parts.html.empty()) {
        content.bodyFormat = 2;
        AppendText(content.htmlBody, htmlMarkup);
        AppendText(content.htmlBody, htmlShown);
        AppendText(content.htmlBody, plainText);
        AppendText(content.htmlBody, richText);
        AppendText(content.htmlBody, names);
    } else if (!parts.rich.empty()) {
        content.bodyFormat = 3;
    }
    if (!parts.rich.empty()) {
        AppendText(content.rtfBody, richText);
        AppendText(content.rtfBody, plainText);
        AppendText(content.rtfBody, htmlShown);
        AppendText(content.rtfBody, names);
    }
    return content;
}

std::string ParseSubject(std::string_view bytes) {
    Options();
    GObjectPtr<GMimeObject> message = Construct(HeaderBlock(bytes));
    return message ? SubjectOf(message.get()) : std::string();
}

std::string ParseHeaderValue(std::string_view bytes, const char* name) {
    Options();
    GObjectPtr<GMimeObject> message = Construct(HeaderBlock(bytes));
    GMimeHeaderList* headers = message ? g_mime_object_get_header_list(message.get()) : nullptr;
    GMimeHeader* header = headers ? g_mime_header_list_get_header(headers, name) : nullptr;
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    if (raw == nullptr) return {};
    std::string value = DecodeHeaderText(Unfold(raw));
    const size_t start = value.find_first_not_of(" \t");
    const size_t end = value.find_last_not_of(" \t");
    return start == std::string::npos ? std::string() : value.substr(start, end - start + 1);
}

namespace {

// The values of every "boundary=" parameter in the message, quoted or not.
std::vector<std::string> Boundaries(std::string_view bytes) {
    std::vector<std::string> boundaries;
    constexpr std::string_view kName = "boundary=";
    for (size_t at = 0; at + kName.size() <= bytes.size(); ++at) {
        if (g_ascii_strncasecmp(bytes.data() + at, kName.data(), kName.size()) != 0) continue;
        size_t start = at + kName.size();
        size_t end = start;
        if (start < bytes.size() && bytes[start] == '"') {
            end = bytes.find('"', ++start);
            if (end == std::string_view::npos) break;
        } else {
            while (end < bytes.size() && !g_ascii_isspace(bytes[end]) && bytes[end] != ';') ++end;
        }
        if (end > start) boundaries.emplace_back(bytes.substr(start, end - start));
        at = end;
    }
    return boundaries;
}

}  // namespace

std::string MessageFingerprint(std::string_view bytes) {
    const MessageContent content = ParseMessage(bytes);
    // Each part is length-prefixed, so that no two different messages give
    // the same text to hash.
    std::string canonical;
    const auto add = [&canonical](std::string_view part) {
        canonical += std::to_string(part.size());
        canonical += ':';
        canonical.append(part);
    };
    std::vector<std::string> senders;
    for (const RawMailbox& mailbox : SplitAddressList(ParseHeaderValue(bytes, "From"))) {
        senders.push_back(LCase(mailbox.address));
    }
    std::sort(senders.begin(), senders.end());
    for (const std::string& sender : senders) add(sender);
    add("|");
    std::vector<std::string> recipients;
    for (const MessageRecipient& recipient : content.recipients) {
        recipients.push_back(LCase(recipient.address));
    }
    std::sort(recipients.begin(), recipients.end());
    for (const std::string& recipient : recipients) add(recipient);
    add("|");
    add(content.subject);
    // The body as sent, with line ends in one form: one client ends lines in
    // CR LF, another in LF.
    std::string body(bytes.substr(HeaderBlock(bytes).size()));
    std::string lines;
    lines.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
        lines += body[i];
    }
    // A client may make new MIME boundaries each time it writes the message.
    for (const std::string& boundary : Boundaries(bytes)) {
        std::string without;
        for (size_t at = 0;;) {
            const size_t found = lines.find(boundary, at);
            without.append(lines, at, found == std::string::npos ? std::string::npos : found - at);
            if (found == std::string::npos) break;
            at = found + boundary.size();
        }
        lines = std::move(without);
    }
    add(lines);
    GCharPtr digest(g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(canonical.data()), canonical.size()));
    return digest ? std::string(digest.get()) : std::string();
}

}  // namespace postwarden::mailstore
