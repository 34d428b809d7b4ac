// The only file that uses GMime: every failure of the library is turned into a
// RuntimeError or a best-effort result here.
#include "platform/mailstore/MimeMessage.h"

#include <gmime/gmime.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define PW_LSAN_IGNORE_GMIME_SETUP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define PW_LSAN_IGNORE_GMIME_SETUP 1
#endif
#endif

#include "platform/HugePages.h"
#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/CmsContent.h"
#include "platform/mailstore/HtmlText.h"
#include "platform/mailstore/StoreErrors.h"
#include "util/Limits.h"
#include "util/Text.h"

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

// g_utf8_validate, with the runs of ASCII that most mail is made of passed over
// eight bytes at a time (a NUL byte is left to it: it counts as invalid).
bool IsUtf8(const char* text, size_t length) {
    constexpr uint64_t kHigh = 0x8080808080808080u;
    constexpr uint64_t kOnes = 0x0101010101010101u;
    size_t at = 0;
    for (; length - at >= 8; at += 8) {
        uint64_t word = 0;
        std::memcpy(&word, text + at, 8);
        if (((word & kHigh) | ((word - kOnes) & ~word & kHigh)) != 0) break;
    }
    return g_utf8_validate(text + at, static_cast<gssize>(length - at), nullptr);
}

std::string ValidUtf8(const char* text, size_t length) {
    if (IsUtf8(text, length)) return {text, length};
    GCharPtr valid(g_utf8_make_valid(text, static_cast<gssize>(length)));
    return valid ? std::string(valid.get()) : std::string();
}

// Text of unknown or undeclared charset: UTF-8 when it is valid UTF-8, else the
// best of the fallback charsets.
// GMime's guess gives a C string, which would end the text at its first NUL
// byte and hide what follows from the rules: the stretches between NULs are
// decoded one by one, and a NUL reads as U+FFFD, as it does in UTF-8 text.
std::string Decode8Bit(const char* text, size_t length) {
    if (IsUtf8(text, length)) return {text, length};
    std::string out;
    const char* const end = text + length;
    for (const char* at = text;;) {
        const char* nul = static_cast<const char*>(std::memchr(at, '\0', end - at));
        const size_t size = (nul != nullptr ? nul : end) - at;
        if (size > 0) {
            GCharPtr decoded(g_mime_utils_decode_8bit(Options(), at, size));
            if (decoded) out += ValidUtf8(decoded.get(), std::strlen(decoded.get()));
        }
        if (nul == nullptr) return out;
        out += "\xEF\xBF\xBD";
        at = nul + 1;
    }
}

// `text` in the converter's charset as UTF-8, whatever NUL characters it holds;
// a sequence the charset does not know reads as U+FFFD. False when the
// conversion fails otherwise.
bool Convert(iconv_t converter, const char* text, size_t length, std::string& out) {
    char* in = const_cast<char*>(text);  // iconv's signature; it only reads
    size_t inLeft = length;
    std::string converted(length + 16, '\0');
    size_t done = 0;
    bool ending = false;  // all read: the converter's shift state is put out
    ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    for (;;) {
        char* put = converted.data() + done;
        size_t room = converted.size() - done;
        const size_t result = ending ? ::iconv(converter, nullptr, nullptr, &put, &room)
                                     : ::iconv(converter, &in, &inLeft, &put, &room);
        done = converted.size() - room;
        if (result != static_cast<size_t>(-1)) {
            if (ending) break;
            ending = true;
        } else if (errno == E2BIG) {
            converted.resize(2 * converted.size());
        } else if (!ending && (errno == EILSEQ || errno == EINVAL)) {
            if (converted.size() - done < 3) converted.resize(2 * converted.size());
            converted.replace(done, 3, "\xEF\xBF\xBD");
            done += 3;
            ++in;
            --inLeft;
        } else {
            return false;
        }
    }
    converted.resize(done);
    out = ValidUtf8(converted.data(), converted.size());
    return true;
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
    std::string converted;
    const bool ok = Convert(converter, text, length, converted);
    g_mime_iconv_close(converter);
    return ok ? converted : Decode8Bit(text, length);
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

// The fields that name recipients, in the order they are read, with the kind
// of recipient each names.
constexpr std::pair<const char*, int32_t> kRecipientFields[] = {
    {"To", 1}, {"Cc", 2}, {"Bcc", 3}, {"Resent-To", 1}, {"Resent-Cc", 2}, {"Resent-Bcc", 3}};

// The recipients read so far, each address once: the same mailbox in To and
// Bcc, or in a header and again as a resent recipient, is one recipient.
struct RecipientSet {
    std::vector<MessageRecipient>& list;
    bool& truncated;
    std::unordered_set<std::string> seen;  // addresses in lower case
};

void AddRecipients(GMimeObject* message, const char* field, int32_t type,
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

// Reads `stream` from where it stands to its end onto `out`.
void ReadAll(GMimeStream* stream, std::string& out) {
    // A stream gives a few KiB a read: the string grows a chunk at a time and
    // only when its room is used up, so each byte is zero-filled once.
    constexpr size_t kChunk = 64 * 1024;
    const size_t start = out.size();
    size_t filled = start;
    for (;;) {
        if (out.size() - filled < kChunk / 4) out.resize(filled + kChunk);
        const ssize_t n = g_mime_stream_read(stream, out.data() + filled, out.size() - filled);
        if (n < 0) {
            out.resize(start);
            throw Unreadable("the body cannot be decoded");
        }
        filled += static_cast<size_t>(n);
        if (n == 0 && g_mime_stream_eos(stream)) break;
    }
    out.resize(filled);
}

// Undoes quoted-printable in place, from `start` to the end of `text`, as a
// reader's client does: "=XX" is the byte XX; the blanks that end a line were
// added on the way and go; a line that then ends in "=" goes on in the next
// (GMime's decoder keeps such blanks, and "= " at a line's end with them).
// Any other "=" stands as written.
void DecodeQuotedPrintable(std::string& text, size_t start) {
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    char* const data = text.data();
    const size_t end = text.size();
    size_t put = start;  // never past `at`: the text only gets shorter
    for (size_t at = start; at < end;) {
        const auto* newline = static_cast<const char*>(std::memchr(data + at, '\n', end - at));
        const size_t lineEnd = newline != nullptr ? static_cast<size_t>(newline - data) : end;
        size_t last = lineEnd;
        const bool crlf = last > at && data[last - 1] == '\r';
        if (crlf) --last;
        while (last > at && (data[last - 1] == ' ' || data[last - 1] == '\t')) --last;
        const bool soft = last > at && data[last - 1] == '=';
        if (soft) --last;
        while (at < last) {
            const auto* equals = static_cast<const char*>(std::memchr(data + at, '=', last - at));
            const size_t run = (equals != nullptr ? static_cast<size_t>(equals - data) : last) - at;
            std::memmove(data + put, data + at, run);
            put += run;
            at += run;
            if (at == last) break;
            const int high = at + 2 < last ? hex(data[at + 1]) : -1;
            const int low = high >= 0 ? hex(data[at + 2]) : -1;
            if (low >= 0) {
                data[put++] = static_cast<char>(high << 4 | low);
                at += 3;
            } else {
                data[put++] = '=';
                ++at;
            }
        }
        if (lineEnd == end) break;
        if (!soft) {
            if (crlf) data[put++] = '\r';
            data[put++] = '\n';
        }
        at = lineEnd + 1;
    }
    text.resize(put);
}

// Appends the part's content to `out` with its transfer encoding undone, read
// straight into place: base64 and uuencode through GMime's decoding filter,
// quoted-printable decoded where it was read.
void AppendDecoded(GMimePart* part, std::string& out) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (raw == nullptr) return;
    if (g_mime_stream_reset(raw) < 0) throw Unreadable("the body cannot be decoded");
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
        const size_t start = out.size();
        ReadAll(raw, out);
        DecodeQuotedPrintable(out, start);
        return;
    }
    if (encoding != GMIME_CONTENT_ENCODING_BASE64 && encoding != GMIME_CONTENT_ENCODING_UUENCODE) {
        ReadAll(raw, out);
        return;
    }
    GObjectPtr<GMimeStream> decoded(g_mime_stream_filter_new(raw));
    GObjectPtr<GMimeFilter> filter(g_mime_filter_basic_new(encoding, FALSE));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(decoded.get()), filter.get());
    ReadAll(decoded.get(), out);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64) {
        // A last group without its "=" padding stays in the decoder: two or
        // three characters of it are one or two bytes all the same.
        const GMimeEncoding& decoder = GMIME_FILTER_BASIC(filter.get())->encoder;
        if (decoder.state == 2) out += static_cast<char>(decoder.save >> 4);
        if (decoder.state == 3) {
            out += static_cast<char>(decoder.save >> 10);
            out += static_cast<char>(decoder.save >> 2);
        }
    }
}

// Joins the lines of format=flowed text in place, from `start` to the end of
// `text`, as a reader's client shows them: a line that ends in a blank goes on
// in the next one of the same quote depth, its quote marks and stuffed blank
// dropped; with DelSp=yes the blank goes too, so that a word broken there is
// whole again.
void Unflow(std::string& text, size_t start, bool delSp) {
    char* const data = text.data();
    const size_t end = text.size();
    size_t put = start;  // never past `at`: a joined line loses its line end
    int openDepth = -1;  // the quote depth of the line left open, or -1
    for (size_t at = start; at < end;) {
        const auto* newline = static_cast<const char*>(std::memchr(data + at, '\n', end - at));
        const size_t lineEnd = newline != nullptr ? static_cast<size_t>(newline - data) : end;
        size_t last = lineEnd;
        const bool crlf = last > at && data[last - 1] == '\r';
        if (crlf) --last;
        size_t from = at;
        while (from < last && data[from] == '>') ++from;
        const int depth = static_cast<int>(from - at);
        if (from < last && data[from] == ' ') ++from;
        const bool signature = last - from == 3 && std::memcmp(data + from, "-- ", 3) == 0;
        const bool flowed = !signature && last > from && data[last - 1] == ' ';
        // A line of another depth ends the one left open.
        if (openDepth >= 0 && openDepth != depth) data[put++] = '\n';
        const size_t copyFrom = openDepth == depth ? from : at;
        const size_t copyTo = flowed && delSp ? last - 1 : last;
        std::memmove(data + put, data + copyFrom, copyTo - copyFrom);
        put += copyTo - copyFrom;
        openDepth = flowed ? depth : -1;
        if (!flowed && lineEnd < end) {
            if (crlf) data[put++] = '\r';
            data[put++] = '\n';
        }
        at = lineEnd + 1;
    }
    text.resize(put);
}

// Appends the part's text to `out`: its content decoded (AppendDecoded),
// converted from its charset where it needs converting, and flowed text
// joined.
void AppendPartText(GMimePart* part, std::string& out) {
    const size_t start = out.size();
    AppendDecoded(part, out);
    GMimeObject* object = GMIME_OBJECT(part);
    const char* charset = g_mime_object_get_content_type_parameter(object, "charset");
    const char* text = out.data() + start;
    const size_t length = out.size() - start;
    // Text that is valid UTF-8 and read as such (the common case) stays as it is.
    const bool readAsUtf8 = charset == nullptr || g_ascii_strcasecmp(charset, "us-ascii") == 0 ||
                            g_ascii_strcasecmp(charset, "utf-8") == 0 ||
                            g_ascii_strcasecmp(charset, "utf8") == 0;
    if (length > 0 && !(readAsUtf8 && IsUtf8(text, length))) {
        std::string converted = ToUtf8(text, length, charset);
        out.resize(start);
        out += converted;
    }
    const char* format = g_mime_object_get_content_type_parameter(object, "format");
    if (format != nullptr && g_ascii_strcasecmp(format, "flowed") == 0) {
        const char* delSp = g_mime_object_get_content_type_parameter(object, "delsp");
        Unflow(out, start, delSp != nullptr && g_ascii_strcasecmp(delSp, "yes") == 0);
    }
}

// Where the bytes of a memory stream, or of a range of one, lie; nothing when
// `stream` reads from elsewhere.
std::optional<std::string_view> InPlace(GMimeStream* stream) {
    if (!GMIME_IS_STREAM_MEM(stream)) return std::nullopt;
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    if (array == nullptr) return std::nullopt;
    const gint64 size = array->len;
    const gint64 start = std::clamp<gint64>(stream->bound_start, 0, size);
    const gint64 end =
        stream->bound_end < 0 ? size : std::clamp<gint64>(stream->bound_end, start, size);
    return std::string_view(reinterpret_cast<const char*>(array->data) + start,
                            static_cast<size_t>(end - start));
}

// The part's content with its transfer encoding undone: where it lies, when it
// has none; else decoded into `decoded`.
std::string_view ContentBytes(GMimePart* part, std::string& decoded) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (raw == nullptr) return {};
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding != GMIME_CONTENT_ENCODING_BASE64 &&
        encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE &&
        encoding != GMIME_CONTENT_ENCODING_UUENCODE) {
        if (const std::optional<std::string_view> bytes = InPlace(raw)) return *bytes;
    }
    AppendDecoded(part, decoded);
    return decoded;
}

bool IsRichText(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "text", "rtf") ||
           g_mime_content_type_is_type(type, "application", "rtf") ||
           g_mime_content_type_is_type(type, "text", "enriched") ||
           g_mime_content_type_is_type(type, "text", "richtext");
}

bool IsForwardedMessage(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "message", "rfc822") ||
           g_mime_content_type_is_type(type, "message", "news") ||
           g_mime_content_type_is_type(type, "message", "global");
}

bool IsSmime(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "application", "pkcs7-mime") ||
           g_mime_content_type_is_type(type, "application", "x-pkcs7-mime");
}

// Why part of a message was not read (MessageContent::unreadParts).
constexpr const char* kEncrypted = "encrypted";
constexpr const char* kNestedTooDeeply = "nested too deeply";
constexpr const char* kUnopenedSmime = "S/MIME that could not be opened";

// What the recipient can read of the message: every inline text part by kind,
// in document order, and the file names of its attachments.
struct BodyParts {
    // A plain text: a part to decode, or a text read already (a forwarded
    // message's subject, the text of a multipart without parts).
    struct Text {
        GMimePart* part = nullptr;
        std::string_view read;
    };
    std::vector<Text> plain;
    std::vector<GMimePart*> html;
    std::vector<GMimePart*> rich;
    std::vector<std::string> names;
    int32_t attachments = 0;  // as MessageContent::attachmentCount
    std::string unread;       // the first reason met, as MessageContent::unreadParts

    // What the texts and parts above lie in besides the message: the texts
    // read already and the content decoded or unwrapped for a parse (a deque,
    // which never moves them), and the forwarded messages and S/MIME content
    // parsed where the walk met them, which go first.
    std::deque<std::string> kept;
    std::vector<std::shared_ptr<const void>> held;
    std::vector<GObjectPtr<GMimeObject>> parsed;

    void AddText(std::string text) {
        if (!text.empty()) plain.push_back({nullptr, kept.emplace_back(std::move(text))});
    }
    void Unread(const char* why) {
        if (unread.empty()) unread = why;
    }
};

// Bounds the walk: a forwarded message is parsed where the walk meets it, which
// costs a pass over its bytes at each level. Past it the message is not read
// in full, and says so.
constexpr int kMaxDepth = 64;

void AddName(GMimeObject* object, BodyParts& parts) {
    const char* name = nullptr;
    if (GMIME_IS_PART(object)) name = g_mime_part_get_filename(GMIME_PART(object));
    if (name == nullptr) name = g_mime_object_get_content_type_parameter(object, "name");
    if (name != nullptr && *name) parts.names.push_back(ValidUtf8(name, std::strlen(name)));
}

// Whether a part below the top of a message is sent with it rather than read
// in it, as "see attached" means: a forwarded message, a part marked as an
// attachment, a named part, or one that is not text; but not an image that an
// HTML body shows in place (it has a Content-ID), nor a signature or the
// sender's key, which mail programs add by themselves.
bool IsAttachment(GMimeObject* object, GMimeContentType* type) {
    if (type == nullptr) return false;
    if (g_mime_content_type_is_type(type, "application", "pkcs7-signature") ||
        g_mime_content_type_is_type(type, "application", "x-pkcs7-signature") ||
        g_mime_content_type_is_type(type, "application", "pgp-signature") ||
        g_mime_content_type_is_type(type, "application", "pgp-encrypted") ||
        g_mime_content_type_is_type(type, "application", "pgp-keys")) {
        return false;
    }
    if (IsForwardedMessage(type)) return true;
    const char* disposition = g_mime_object_get_disposition(object);
    if (disposition != nullptr && g_ascii_strcasecmp(disposition, "attachment") == 0) return true;
    if (g_mime_object_get_content_id(object) != nullptr &&
        g_mime_content_type_is_type(type, "image", "*")) {
        return false;
    }
    const char* name =
        GMIME_IS_PART(object) ? g_mime_part_get_filename(GMIME_PART(object)) : nullptr;
    if (name == nullptr) name = g_mime_object_get_content_type_parameter(object, "name");
    if (name != nullptr && *name != '\0') return true;
    return !g_mime_content_type_is_type(type, "text", "*") && !GMIME_IS_TEXT_PART(object);
}

void CollectBody(GMimeObject* object, int depth, bool top, BodyParts& parts);

// Content that is read as the body of a message of its own (a forwarded
// message, the content of S/MIME signed data), parsed where the walk meets it;
// null for content without a header block, which is read as the text it is.
// `bytes` must live as long as `parts`.
GMimeObject* ParseEnclosed(std::string_view bytes, BodyParts& parts) {
    GObjectPtr<GMimeObject> enclosed = Construct(bytes);
    if (!enclosed) {
        parts.AddText(Decode8Bit(bytes.data(), bytes.size()));
        return nullptr;
    }
    return parts.parsed.emplace_back(std::move(enclosed)).get();
}

// A forwarded message, attached or inline, as its recipient opens it: its
// subject and its body.
void CollectForwarded(GMimePart* part, int depth, BodyParts& parts) {
    const std::string_view bytes = ContentBytes(part, parts.kept.emplace_back());
    if (GMimeObject* message = ParseEnclosed(bytes, parts)) {
        parts.AddText(SubjectOf(message));
        CollectBody(message, depth + 1, true, parts);
    }
}

// An S/MIME body: signed data is read as the content it encloses; encrypted
// data cannot be read.
void CollectSmime(GMimePart* part, int depth, BodyParts& parts) {
    const char* kind = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "smime-type");
    if (kind != nullptr && (g_ascii_strcasecmp(kind, "enveloped-data") == 0 ||
                            g_ascii_strcasecmp(kind, "authEnveloped-data") == 0)) {
        parts.Unread(kEncrypted);
        return;
    }
    // Certificates only: nothing a person reads.
    if (kind != nullptr && g_ascii_strcasecmp(kind, "certs-only") == 0) return;
    OpenedCms cms;
    {
        // The structure holds a copy of its content: the bytes it was read
        // from go at once.
        std::string decoded;
        cms = OpenCms(ContentBytes(part, decoded));
    }
    if (cms.kind == CmsKind::kEncrypted) {
        parts.Unread(kEncrypted);
    } else if (cms.kind != CmsKind::kContent) {
        parts.Unread(kUnopenedSmime);
    } else {
        parts.held.push_back(std::move(cms.holder));
        CollectBody(ParseEnclosed(cms.content, parts), depth + 1, true, parts);
    }
}

// Every part that is not an attachment and has text is read, in whatever
// multipart it stands: the alternatives of one text, and the several inline
// texts of a mixed message. Attachments give their names only, except
// forwarded messages, which are read as their recipient opens them. `top`: the
// body of a message, read whatever its disposition says.
void CollectBody(GMimeObject* object, int depth, bool top, BodyParts& parts) {
    if (object == nullptr) return;
    if (depth > kMaxDepth) {
        parts.Unread(kNestedTooDeeply);
        return;
    }
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (GMIME_IS_MULTIPART(object)) {
        if (GMIME_IS_MULTIPART_ENCRYPTED(object)) {
            parts.Unread(kEncrypted);
            return;
        }
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        if (count == 0) {
            // No boundary, or one that never comes: the parser keeps the text
            // as the prologue, and a reader's client shows it as plain text.
            if (const char* text = g_mime_multipart_get_prologue(multipart)) {
                parts.AddText(Decode8Bit(text, std::strlen(text)));
            }
            return;
        }
        for (int i = 0; i < count; ++i) {
            CollectBody(g_mime_multipart_get_part(multipart, i), depth + 1, false, parts);
        }
        return;
    }
    if (depth > 0) AddName(object, parts);
    if (!top && IsAttachment(object, type)) ++parts.attachments;
    if (!GMIME_IS_PART(object) || type == nullptr) return;
    GMimePart* part = GMIME_PART(object);
    if (IsForwardedMessage(type)) {
        CollectForwarded(part, depth, parts);
        return;
    }
    if (!top && g_mime_part_is_attachment(part)) return;
    if (g_mime_content_type_is_type(type, "text", "html")) {
        parts.html.push_back(part);
    } else if (IsRichText(type)) {
        parts.rich.push_back(part);
    } else if (IsSmime(type)) {
        CollectSmime(part, depth, parts);
    } else if (g_mime_content_type_is_type(type, "text", "*") || GMIME_IS_TEXT_PART(object)) {
        // Every other text is read as plain text, and so is a part whose type
        // cannot be read (empty, "text", ";;;"), which GMime makes a text part
        // though it gives its type as application/octet-stream.
        parts.plain.push_back({part, {}});
        if (g_mime_part_get_openpgp_data(part) == GMIME_OPENPGP_DATA_ENCRYPTED) {
            parts.Unread(kEncrypted);
        }
    }
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

std::string_view MessageContent::BodyOf(std::span<const Piece> order, int which) const {
    // The texts this body has, in its order; it is a range of texts_ when each
    // stands right after the one before it and its blank line.
    Range present[kPieceCount];
    size_t count = 0;
    for (const Piece piece : order) {
        if (pieces_[piece].size > 0) present[count++] = pieces_[piece];
    }
    if (count == 0) return {};
    bool inOneRange = true;
    for (size_t i = 1; i < count; ++i) {
        inOneRange = inOneRange && present[i].at == present[i - 1].at + present[i - 1].size + 2;
    }
    if (inOneRange) {
        return View(
            {present[0].at, present[count - 1].at + present[count - 1].size - present[0].at});
    }
    std::string& composed = composed_[which];
    if (!isComposed_[which]) {
        for (size_t i = 0; i < count; ++i) {
            if (i > 0) composed += "\n\n";
            composed += View(present[i]);
        }
        isComposed_[which] = true;
    }
    return composed;
}

MessageContent ParseMessage(std::string_view bytes, const std::function<void()>& release) {
    Options();
    bool released = false;
    const auto releaseOnce = [&] {
        if (release && !std::exchange(released, true)) release();
    };
    MessageContent content;
    using Piece = MessageContent::Piece;
    GObjectPtr<GMimeObject> message = Construct(bytes);
    if (!message) {
        // No header block: whatever text there is, is the body.
        if (bytes.empty()) throw Unreadable("the file is empty");
        if (bytes.find('\0') != std::string_view::npos) throw Unreadable("no header block");
        content.texts_ = Decode8Bit(bytes.data(), bytes.size());
        content.pieces_[Piece::kPlain] = {0, content.texts_.size()};
        content.text_ = content.pieces_[Piece::kPlain];
        releaseOnce();
        return content;
    }
    content.subject = SubjectOf(message.get());
    // Everyone the message goes to: a bounce names its new recipients in the
    // Resent- fields only.
    RecipientSet recipients{content.recipients, content.recipientsTruncated, {}};
    for (const auto& [field, type] : kRecipientFields) {
        AddRecipients(message.get(), field, type, recipients);
    }
    BodyParts parts;
    CollectBody(message.get(), 0, true, parts);
    content.attachmentNames = parts.names;
    content.attachmentCount = parts.attachments;
    content.unreadParts = parts.unread;
    content.hasHtml_ = !parts.html.empty();
    content.hasRich_ = !parts.rich.empty();
    content.bodyFormat = content.hasHtml_ ? 2 : content.hasRich_ ? 3 : 1;

    // Each body holds everything the recipient can read, so that a rule
    // searching the body of the message's format misses nothing: its own
    // texts first, then the other inline texts, then the attachments' names.
    // HTML is there as written and as the text it shows. The texts are laid
    // out once, in the order of the body of the message's own format, each
    // decoded straight to where it stays.
    std::string& texts = content.texts_;
    size_t bound = 0;  // what the texts take at most, before any conversion
    const auto length = [](GMimePart* part) -> size_t {
        GMimeDataWrapper* data = g_mime_part_get_content(part);
        GMimeStream* raw = data ? g_mime_data_wrapper_get_stream(data) : nullptr;
        const gint64 bytes = raw ? g_mime_stream_length(raw) : 0;
        return (bytes > 0 ? static_cast<size_t>(bytes) : 0) + 4;
    };
    for (const BodyParts::Text& text : parts.plain) {
        bound += text.part != nullptr ? length(text.part) : text.read.size() + 4;
    }
    // HTML is there twice: as written and as shown, which is no longer.
    for (GMimePart* part : parts.html) bound += 2 * length(part);
    for (GMimePart* part : parts.rich) bound += length(part);
    for (const std::string& name : parts.names) bound += name.size() + 2;
    texts.reserve(bound + 64 * 1024);
    AdviseHugePages(texts.data(), texts.capacity());

    // Appends one text after a blank line; returns its range.
    std::vector<MessageContent::Range> htmlMarkups;
    const auto appendPiece = [&](Piece piece, const auto& appendEach) {
        MessageContent::Range& range = content.pieces_[piece];
        range.at = texts.size();
        appendEach([&](const auto& append) {
            const size_t before = texts.size();
            if (!texts.empty()) texts += "\n\n";
            const size_t at = texts.size();
            append();
            if (texts.size() == at) {
                texts.resize(before);  // nothing to read: no blank line either
                return MessageContent::Range{before, 0};
            }
            if (range.size == 0) range.at = at;
            range.size = texts.size() - range.at;
            return MessageContent::Range{at, texts.size() - at};
        });
    };
    const auto plainPiece = [&] {
        appendPiece(Piece::kPlain, [&](const auto& text) {
            for (const BodyParts::Text& plain : parts.plain) {
                text([&] {
                    if (plain.part == nullptr) {
                        texts += plain.read;
                    } else {
                        AppendPartText(plain.part, texts);
                    }
                });
            }
        });
    };
    const auto richPiece = [&] {
        appendPiece(Piece::kRich, [&](const auto& text) {
            for (GMimePart* part : parts.rich) text([&] { AppendPartText(part, texts); });
        });
    };
    const auto namesPiece = [&] {
        appendPiece(Piece::kNames, [&](const auto& text) {
            for (const std::string& name : parts.names) text([&] { texts += name; });
        });
    };
    if (content.hasHtml_) {
        appendPiece(Piece::kMarkup, [&](const auto& text) {
            for (GMimePart* part : parts.html) {
                htmlMarkups.push_back(text([&] { AppendPartText(part, texts); }));
            }
        });
        // The markup is most of such a message; the text it shows comes from
        // the markup alone, and would otherwise stand beside two copies of it.
        releaseOnce();
        appendPiece(Piece::kShown, [&](const auto& text) {
            for (const MessageContent::Range& markup : htmlMarkups) {
                text([&] { HtmlToText(content.View(markup), texts); });
            }
        });
        plainPiece();
        richPiece();
    } else if (content.hasRich_) {
        richPiece();
        plainPiece();
    } else {
        plainPiece();
    }
    namesPiece();
    content.text_ = content.pieces_[!parts.plain.empty() ? Piece::kPlain : Piece::kShown];
    releaseOnce();
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
    return HeaderValue(message.get(), name);
}

namespace {

// A SHA-256 of pieces, each length-prefixed, so that no two different lists of
// pieces give the same text to hash.
class Fingerprint {
  public:
    Fingerprint() : checksum_(g_checksum_new(G_CHECKSUM_SHA256)) {}
    void Add(std::string_view piece) {
        const std::string length = std::to_string(piece.size()) + ":";
        g_checksum_update(checksum_.get(), reinterpret_cast<const guchar*>(length.data()),
                          static_cast<gssize>(length.size()));
        g_checksum_update(checksum_.get(), reinterpret_cast<const guchar*>(piece.data()),
                          static_cast<gssize>(piece.size()));
    }
    // `text` with its line ends in one form, changed in place: one client ends
    // lines in CR LF, another in LF.
    void AddLines(std::string& text) {
        size_t put = 0;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
            text[put++] = text[at];
        }
        text.resize(put);
        Add(text);
    }
    std::string Hex() const {
        const char* digest = g_checksum_get_string(checksum_.get());
        return digest ? std::string(digest) : std::string();
    }

  private:
    struct ChecksumFree {
        void operator()(GChecksum* checksum) const { g_checksum_free(checksum); }
    };
    std::unique_ptr<GChecksum, ChecksumFree> checksum_;
};

// A type with its parameters, sorted by name, but for the boundary, which a
// client may make anew each time it writes the message.
std::string TypeAndParameters(GMimeContentType* type) {
    if (type == nullptr) return {};
    GCharPtr mimeType(g_mime_content_type_get_mime_type(type));
    std::string text = mimeType ? LCase(mimeType.get()) : std::string();
    std::vector<std::string> parameters;
    GMimeParamList* list = g_mime_content_type_get_parameters(type);
    for (int i = 0; list != nullptr && i < g_mime_param_list_length(list); ++i) {
        GMimeParam* parameter = g_mime_param_list_get_parameter_at(list, i);
        const char* name = g_mime_param_get_name(parameter);
        const char* value = g_mime_param_get_value(parameter);
        if (name == nullptr || g_ascii_strcasecmp(name, "boundary") == 0) continue;
        parameters.push_back(LCase(name) + "=" + (value ? value : ""));
    }
    std::sort(parameters.begin(), parameters.end());
    for (const std::string& parameter : parameters) text += ";" + parameter;
    return text;
}

// GMime nests no deeper than it parses (1,024 multiparts); a bound all the same.
constexpr int kMaxFingerprintDepth = 4096;

// Every part in its place, as it reads: a multipart by its type and its parts;
// a leaf by its type and parameters, its disposition and file name, and its
// content with the transfer encoding undone (a forwarded message as it stands,
// with its own boundaries); not the boundaries, prologues and epilogues that no
// reader sees. `scratch` holds one part's content at a time.
void AddStructure(GMimeObject* object, int depth, Fingerprint& fingerprint, std::string& scratch) {
    if (object == nullptr || depth > kMaxFingerprintDepth) {
        fingerprint.Add("-");
        return;
    }
    fingerprint.Add(TypeAndParameters(g_mime_object_get_content_type(object)));
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        fingerprint.Add(std::to_string(count));
        // Without parts, the text is the prologue (see CollectBody).
        const char* prologue = count == 0 ? g_mime_multipart_get_prologue(multipart) : nullptr;
        scratch.assign(prologue != nullptr ? prologue : "");
        fingerprint.AddLines(scratch);
        for (int i = 0; i < count; ++i) {
            AddStructure(g_mime_multipart_get_part(multipart, i), depth + 1, fingerprint, scratch);
        }
        return;
    }
    const char* disposition = g_mime_object_get_disposition(object);
    fingerprint.Add(disposition != nullptr ? LCase(disposition) : std::string());
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    const char* name = g_mime_part_get_filename(part);
    fingerprint.Add(name != nullptr ? name : "");
    scratch.clear();
    AppendDecoded(part, scratch);
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    const GMimeContentEncoding encoding =
        content ? g_mime_data_wrapper_get_encoding(content) : GMIME_CONTENT_ENCODING_DEFAULT;
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        fingerprint.Add(scratch);  // bytes as they were encoded, line ends and all
    } else {
        fingerprint.AddLines(scratch);
    }
}

}  // namespace

std::string MessageFingerprint(std::string_view bytes, const std::function<void()>& release) {
    Options();
    Fingerprint fingerprint;
    GObjectPtr<GMimeObject> message = Construct(bytes);
    if (!message) {
        // As ParseMessage reads it: the text is the body.
        if (bytes.empty()) throw Unreadable("the file is empty");
        if (bytes.find('\0') != std::string_view::npos) throw Unreadable("no header block");
        std::string text(bytes);
        fingerprint.AddLines(text);
        if (release) release();
        return fingerprint.Hex();
    }
    std::vector<std::string> senders;
    for (const RawMailbox& mailbox : SplitAddressList(HeaderValue(message.get(), "From"))) {
        senders.push_back(LCase(mailbox.address));
    }
    std::sort(senders.begin(), senders.end());
    for (const std::string& sender : senders) fingerprint.Add(sender);
    fingerprint.Add("|");
    std::vector<MessageRecipient> list;
    bool truncated = false;
    RecipientSet recipients{list, truncated, {}};
    for (const auto& [field, type] : kRecipientFields) {
        AddRecipients(message.get(), field, type, recipients);
    }
    std::vector<std::string> addresses;
    for (const MessageRecipient& recipient : list) addresses.push_back(LCase(recipient.address));
    std::sort(addresses.begin(), addresses.end());
    for (const std::string& address : addresses) fingerprint.Add(address);
    fingerprint.Add(truncated ? "|+" : "|");
    fingerprint.Add(SubjectOf(message.get()));
    std::string scratch;
    AddStructure(message.get(), 0, fingerprint, scratch);
    if (release) release();
    return fingerprint.Hex();
}

}  // namespace postwarden::mailstore
