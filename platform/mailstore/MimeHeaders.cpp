// GMime set up for the process, a message parsed as its top-level part, and
// the fields of its header read.
#include <gmime/gmime.h>

#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define PW_LSAN_IGNORE_GMIME_SETUP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define PW_LSAN_IGNORE_GMIME_SETUP 1
#endif
#endif

#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/mailstore/MimeMessageInternal.h"
#include "util/Limits.h"
#include "util/Text.h"

namespace postwarden::mailstore {

namespace {

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
        // Attached messages are kept as plain parts, so that their headers
        // are not parsed with the message's (see Construct): each is parsed
        // only where the body's walk meets it (CollectForwarded).
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

namespace {

// The fields that name recipients, in the order they are read, with the kind
// of recipient each names.
constexpr std::pair<const char*, int32_t> kRecipientFields[] = {
    {"To", 1}, {"Cc", 2}, {"Bcc", 3}, {"Resent-To", 1}, {"Resent-Cc", 2}, {"Resent-Bcc", 3}};

void AddFieldRecipients(GMimeObject* message, const char* field, int32_t type,
                        RecipientSet& recipients) {
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
            recipient.type = type;
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

}  // namespace

void AddRecipients(GMimeObject* message, RecipientSet& recipients) {
    for (const auto& [field, type] : kRecipientFields) {
        AddFieldRecipients(message, field, type, recipients);
    }
}

// The message read as its top-level MIME part: its headers are kept as written
// and its address fields are left to AddRecipients. Read as a message, GMime
// would parse every address field itself, in time that grows with the square
// of the entries of some forms ("a b, c d, ...": 20,000 of them took 1.5 s),
// and nothing here uses what it makes of them. A mail server drops the From_
// lines before the header (HeaderStart); so does every reader here.
//
// The stream reads `bytes` where they lie: a memory stream over an array that
// only points at them (which neither it nor we free), instead of the copy that
// g_mime_stream_mem_new_with_buffer makes. The parser keeps the parts' content
// as ranges of that stream, so the message is never copied whole; `bytes` must
// outlive the object returned.
GObjectPtr<GMimeObject> Construct(std::string_view bytes) {
    bytes.remove_prefix(HeaderStart(bytes));
    if (bytes.size() > G_MAXUINT) return nullptr;
    // Nothing writes to the stream, so the array never touches the bytes.
    GByteArray* view = g_byte_array_new_take(
        reinterpret_cast<guint8*>(const_cast<char*>(bytes.data())), bytes.size());
    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(view));
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream.get()), FALSE);
    // The parts hold on to the stream; the array goes with its last reference.
    g_object_set_data_full(G_OBJECT(stream.get()), "postwarden-view", view, [](gpointer array) {
        g_byte_array_free(static_cast<GByteArray*>(array), FALSE);
    });
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(parser.get(), TRUE);
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

// The decoded value of the first field `name` of `object` (which may be null),
// blanks around it trimmed.
std::string HeaderValue(GMimeObject* object, const char* name) {
    GMimeHeaderList* headers = object ? g_mime_object_get_header_list(object) : nullptr;
    GMimeHeader* header = headers ? g_mime_header_list_get_header(headers, name) : nullptr;
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    if (raw == nullptr) return {};
    const std::string value = DecodeHeaderText(Unfold(raw));
    return std::string(Trim(value, " \t"));
}

std::string ParseSubject(std::string_view bytes) {
    Options();
    GObjectPtr<GMimeObject> message = Construct(HeaderBlock(bytes));
    return message ? SubjectOf(message.get()) : std::string();
}

std::string ParseHeaderValue(std::string_view bytes, const char* name) {
    Options();
    GObjectPtr<GMimeObject> message = Construct(HeaderBlock(bytes));
    return HeaderValue(message.get(), name);
}

}  // namespace postwarden::mailstore
