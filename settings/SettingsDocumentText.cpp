// The text of a settings document stored as bytes: the encoding it is in, and
// its bytes read in that encoding.
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "settings/SettingsDocument.h"
#include "settings/SettingsDocumentInternal.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

using namespace std::string_view_literals;

// "Invalid file format": bytes that are no text in their encoding.
constexpr int32_t kBadFileFormat = 321;

struct Signature {
    std::string_view bytes;
    const char* encoding;
};

// Longest first: the UTF-32 LE mark begins with the UTF-16 LE one.
constexpr Signature kByteOrderMarks[] = {
    {"\x00\x00\xFE\xFF"sv, "UTF-32BE"}, {"\xFF\xFE\x00\x00"sv, "UTF-32LE"},
    {"\xEF\xBB\xBF"sv, "UTF-8"},        {"\xFE\xFF"sv, "UTF-16BE"},
    {"\xFF\xFE"sv, "UTF-16LE"},
};
// The start of an XML declaration ("<?") in UTF-16 written without a mark.
constexpr Signature kUnmarkedUtf16[] = {{"\x00<\x00?"sv, "UTF-16BE"}, {"<\x00?\x00"sv, "UTF-16LE"}};

struct CloseConverter {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, CloseConverter>;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of the encoding declaration at the start of `bytes`, read as ASCII;
// nothing when there is none (no XML declaration, or one without an encoding).
std::optional<std::string_view> DeclaredEncoding(std::string_view bytes) {
    constexpr std::string_view kStart = "<?xml";
    // "<?xml-stylesheet" and the like are processing instructions, not the declaration.
    if (!bytes.starts_with(kStart) || bytes.size() == kStart.size() ||
        !IsBlank(bytes[kStart.size()])) {
        return std::nullopt;
    }
    size_t i = kStart.size();
    auto skipBlanks = [&] {
        while (i < bytes.size() && IsBlank(bytes[i])) ++i;
    };
    for (;;) {
        skipBlanks();
        const size_t name = i;
        while (i < bytes.size() && std::isalpha(static_cast<unsigned char>(bytes[i]))) ++i;
        if (i == name) return std::nullopt;  // "?>", or nothing a parser would take
        const std::string_view pseudoAttribute = bytes.substr(name, i - name);
        skipBlanks();
        if (i == bytes.size() || bytes[i] != '=') return std::nullopt;
        ++i;
        skipBlanks();
        if (i == bytes.size() || (bytes[i] != '"' && bytes[i] != '\'')) return std::nullopt;
        const size_t end = bytes.find(bytes[i], i + 1);
        if (end == std::string_view::npos) return std::nullopt;
        if (pseudoAttribute == "encoding") return bytes.substr(i + 1, end - i - 1);
        i = end + 1;
    }
}

// XML's EncName: [A-Za-z] ([A-Za-z0-9._] | '-')*. Anything else is not passed to
// the converter, which would read a comma as the start of its options.
bool IsEncodingName(std::string_view name) {
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

RuntimeError UnknownEncoding(std::string_view name) {
    // Read from bytes of no known encoding: only its ASCII is shown as it is.
    std::string ascii(name);
    std::replace_if(
        ascii.begin(), ascii.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; },
        '?');
    return RuntimeError(kBadFileFormat,
                        "The settings document's encoding \"" + Shown(ascii) + "\" is not known");
}

Converter Open(std::string_view name) {
    if (!IsEncodingName(name)) throw UnknownEncoding(name);
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(std::string(name).c_str(), &status));
    if (U_FAILURE(status) || !converter) throw UnknownEncoding(name);
    return converter;
}

// `bytes` in the encoding of `converter` (named `name`) as UTF-8; throws at the
// first bytes that are no character of it.
std::string Decode(std::string_view bytes, UConverter* converter, std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    // One code unit per byte is enough for all but a few exotic converters; the
    // loop grows the room for those.
    std::u16string units(bytes.size() + 16, u'\0');
    const char* source = bytes.data();
    UChar* target = units.data();
    for (;;) {
        status = U_ZERO_ERROR;
        ucnv_toUnicode(converter, &target, units.data() + units.size(), &source,
                       bytes.data() + bytes.size(), nullptr, true, &status);
        if (status != U_BUFFER_OVERFLOW_ERROR) break;
        const size_t written = static_cast<size_t>(target - units.data());
        units.resize(units.size() * 2);
        target = units.data() + written;
    }
    units.resize(static_cast<size_t>(target - units.data()));
    if (U_FAILURE(status)) {
        // Placed by the characters read before the fault, whatever their width in bytes.
        const size_t lineStart = units.rfind(u'\n');
        const size_t line = 1 + static_cast<size_t>(std::count(units.begin(), units.end(), u'\n'));
        const size_t column =
            lineStart == std::u16string::npos ? units.size() + 1 : units.size() - lineStart;
        throw RuntimeError(kBadFileFormat, "The settings document is not valid " + Shown(name) +
                                               " at line " + std::to_string(line) + ", column " +
                                               std::to_string(column));
    }
    status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strToUTF8(nullptr, 0, &length, units.data(), static_cast<int32_t>(units.size()), &status);
    std::string text(static_cast<size_t>(length), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(text.data(), length, nullptr, units.data(), static_cast<int32_t>(units.size()),
                &status);
    // The converters refuse unpaired surrogates, so this is only a safeguard.
    if (U_FAILURE(status)) {
        throw RuntimeError(kBadFileFormat, "The settings document is not valid " + Shown(name));
    }
    return text;
}

std::string Decode(std::string_view bytes, const char* encoding) {
    return Decode(bytes, Open(encoding).get(), encoding);
}

}  // namespace

std::string SettingsDocumentText(std::string_view bytes) {
    for (const Signature& mark : kByteOrderMarks) {
        if (bytes.starts_with(mark.bytes)) {
            return Decode(bytes.substr(mark.bytes.size()), mark.encoding);
        }
    }
    for (const Signature& start : kUnmarkedUtf16) {
        if (bytes.starts_with(start.bytes)) return Decode(bytes, start.encoding);
    }
    if (const std::optional<std::string_view> declared = DeclaredEncoding(bytes)) {
        Converter converter = Open(*declared);
        // A declaration readable as ASCII is not in UTF-16 or UTF-32, whatever it
        // says: a document written as a .NET string says "utf-16" and is saved as
        // UTF-8. It is read as undeclared.
        if (ucnv_getMinCharSize(converter.get()) == 1) {
            return Decode(bytes, converter.get(), *declared);
        }
    }
    if (FirstInvalidUtf8(bytes) == std::string_view::npos) return std::string(bytes);
    // Such files were mostly written on Windows in its Western code page, which
    // gives every byte a character.
    return Decode(bytes, "windows-1252");
}

}  // namespace postwarden
