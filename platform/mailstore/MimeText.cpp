// A part's content and text decoded: its transfer encoding undone, its charset
// converted to UTF-8, and flowed text joined.
#include <gmime/gmime.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "platform/mailstore/MimeMessageInternal.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden::mailstore {

namespace {

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

}  // namespace

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

}  // namespace postwarden::mailstore
