// The only file that uses GMime: every failure of the library is turned into a
// RuntimeError or a best-effort result here.
#include "platform/mailstore/MimeMessage.h"

#include <gmime/gmime.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
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

#include "module/Limits.h"
#include "module/Text.h"
#include "platform/HugePages.h"
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

// Appends the part's content to `out`, transfer encoding undone, converted
// from its charset: read through GMime's decoding filter straight into `out`,
// so that a large text is never held twice. Text that needs converting is
// converted from where it was appended.
void AppendPartText(GMimePart* part, std::string& out) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (raw == nullptr) return;
    if (g_mime_stream_reset(raw) < 0) throw Unreadable("the body cannot be decoded");
    GObjectPtr<GMimeStream> decoded(g_mime_stream_filter_new(raw));
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 ||
        encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        GObjectPtr<GMimeFilter> filter(g_mime_filter_basic_new(encoding, FALSE));
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(decoded.get()), filter.get());
    }
    const size_t start = out.size();
    // The filter gives a few KiB a read: the string grows a chunk at a time
    // and only when its room is used up, so each byte is zero-filled once.
    constexpr size_t kChunk = 64 * 1024;
    size_t filled = start;
    for (;;) {
        if (out.size() - filled < kChunk / 4) out.resize(filled + kChunk);
        const ssize_t n =
            g_mime_stream_read(decoded.get(), out.data() + filled, out.size() - filled);
        if (n < 0) {
            out.resize(start);
            throw Unreadable("the body cannot be decoded");
        }
        filled += static_cast<size_t>(n);
        if (n == 0 && g_mime_stream_eos(decoded.get())) break;
    }
    out.resize(filled);
    const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
    const char* text = out.data() + start;
    const size_t length = out.size() - start;
    // Text that is valid UTF-8 and read as such (the common case) stays as it is.
    const bool readAsUtf8 = charset == nullptr || g_ascii_strcasecmp(charset, "us-ascii") == 0 ||
                            g_ascii_strcasecmp(charset, "utf-8") == 0 ||
                            g_ascii_strcasecmp(charset, "utf8") == 0;
    if (length == 0 || (readAsUtf8 && IsUtf8(text, length))) {
        return;
    }
    std::string converted = ToUtf8(text, length, charset);
    out.resize(start);
    out += converted;
}

// The message read as its top-level MIME part: its headers are kept as written
// and its address fields are left to AddRecipients. Read as a message, GMime
// would parse every address field itself, in time that grows with the square
// of the entries of some forms ("a b, c d, ...": 20,000 of them took 1.5 s),
// and nothing here uses what it makes of them.
//
// The stream reads `bytes` where they lie: a memory stream over an array that
// only points at them (which neither it nor we free), instead of the copy that
// g_mime_stream_mem_new_with_buffer makes. The parser keeps the parts' content
// as ranges of that stream, so the message is never copied whole; `bytes` must
// outlive the object returned.
GObjectPtr<GMimeObject> Construct(std::string_view bytes) {
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
    for (const char* field : {"To", "Cc", "Bcc", "Resent-To", "Resent-Cc", "Resent-Bcc"}) {
        AddRecipients(message.get(), field, recipients);
    }
    BodyParts parts;
    CollectBody(message.get(), 0, parts);
    content.attachmentNames = parts.names;
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
    for (const auto* kind : {&parts.plain, &parts.html, &parts.rich}) {
        for (GMimePart* part : *kind) {
            GMimeDataWrapper* data = g_mime_part_get_content(part);
            GMimeStream* raw = data ? g_mime_data_wrapper_get_stream(data) : nullptr;
            const gint64 length = raw ? g_mime_stream_length(raw) : 0;
            // HTML is there twice: as written and as shown, which is no longer.
            bound += (length > 0 ? static_cast<size_t>(length) : 0) * (kind == &parts.html ? 2 : 1);
            bound += 4;
        }
    }
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
            for (GMimePart* part : parts.plain) text([&] { AppendPartText(part, texts); });
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

std::string MessageFingerprint(std::string_view bytes, const std::function<void()>& release) {
    // Each part is length-prefixed, so that no two different messages give
    // the same text to hash; the parts are hashed as they come.
    struct ChecksumFree {
        void operator()(GChecksum* checksum) const { g_checksum_free(checksum); }
    };
    std::unique_ptr<GChecksum, ChecksumFree> checksum(g_checksum_new(G_CHECKSUM_SHA256));
    const auto add = [&checksum](std::string_view part) {
        const std::string length = std::to_string(part.size()) + ":";
        g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(length.data()),
                          static_cast<gssize>(length.size()));
        g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(part.data()),
                          static_cast<gssize>(part.size()));
    };
    std::vector<std::string> senders;
    for (const RawMailbox& mailbox : SplitAddressList(ParseHeaderValue(bytes, "From"))) {
        senders.push_back(LCase(mailbox.address));
    }
    std::sort(senders.begin(), senders.end());
    for (const std::string& sender : senders) add(sender);
    add("|");
    {
        // Parsed for its recipients and subject, and dropped before the body
        // is copied below.
        const MessageContent content = ParseMessage(bytes, release);
        std::vector<std::string> recipients;
        for (const MessageRecipient& recipient : content.recipients) {
            recipients.push_back(LCase(recipient.address));
        }
        std::sort(recipients.begin(), recipients.end());
        for (const std::string& recipient : recipients) add(recipient);
        add("|");
        add(content.subject);
    }
    // The body as sent, with line ends in one form: one client ends lines in
    // CR LF, another in LF.
    const std::string_view body = bytes.substr(HeaderBlock(bytes).size());
    std::string lines;
    lines.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
        lines += body[i];
    }
    // A client may make new MIME boundaries each time it writes the message.
    // Each is taken out in place, one after the other.
    for (const std::string& boundary : Boundaries(bytes)) {
        size_t kept = 0;
        for (size_t at = 0;;) {
            const size_t found = lines.find(boundary, at);
            const size_t end = found == std::string::npos ? lines.size() : found;
            std::char_traits<char>::move(lines.data() + kept, lines.data() + at, end - at);
            kept += end - at;
            if (found == std::string::npos) break;
            at = found + boundary.size();
        }
        lines.resize(kept);
    }
    add(lines);
    const char* digest = g_checksum_get_string(checksum.get());
    return digest ? std::string(digest) : std::string();
}

}  // namespace postwarden::mailstore
