#include "host/thunderbird/ThunderbirdCompose.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace postwarden::host {

namespace {

using nlohmann::json;

// Boundaries no part can contain: every part's content is base64 (which has
// no "_") and its header lines begin with "Content-".
constexpr const char* kAlternativeBoundary = "=_postwarden_alternative";
constexpr const char* kMixedBoundary = "=_postwarden_mixed";

std::string Text(const json& request, const char* field) {
    const auto it = request.find(field);
    if (it == request.end() || it->is_null()) return "";
    if (!it->is_string()) {
        throw std::invalid_argument(std::string("\"") + field + "\" is not a text");
    }
    return it->get<std::string>();
}

std::vector<std::string> Texts(const json& request, const char* field) {
    const auto it = request.find(field);
    if (it == request.end() || it->is_null()) return {};
    const auto wrong =
        std::invalid_argument(std::string("\"") + field + "\" is not a list of texts");
    if (!it->is_array()) throw wrong;
    std::vector<std::string> texts;
    for (const json& item : *it) {
        if (!item.is_string()) throw wrong;
        texts.push_back(item.get<std::string>());
    }
    return texts;
}

// A header value cannot end its field early or start another.
std::string OneLine(std::string_view text) {
    std::string line;
    for (const char c : text) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    return line;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(group >> 18) & 63];
        out += kDigits[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
    }
    return out;
}

// Base64 in lines of 76 characters.
std::string Base64Body(std::string_view bytes) {
    const std::string encoded = Base64(bytes);
    std::string body;
    for (size_t i = 0; i < encoded.size(); i += 76) body += encoded.substr(i, 76) + "\n";
    return body;
}

// The subject as encoded words of at most 45 bytes each, cut between
// characters, so that any text (a literal "=?", non-ASCII, a long line) comes
// back exactly as typed.
std::string EncodedSubject(std::string_view subject) {
    std::string field;
    size_t start = 0;
    while (start < subject.size()) {
        size_t end = std::min(subject.size(), start + 45);
        while (end < subject.size() && end > start + 1 &&
               (static_cast<unsigned char>(subject[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!field.empty()) field += "\n ";
        field += "=?UTF-8?B?" + Base64(subject.substr(start, end - start)) + "?=";
        start = end;
    }
    return field;
}

std::string AddressField(const char* name, const std::vector<std::string>& addresses) {
    if (addresses.empty()) return "";
    std::string field = std::string(name) + ": ";
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0) field += ",\n ";
        field += OneLine(addresses[i]);
    }
    return field + "\n";
}

// RFC 2231: any file name, as UTF-8 with everything but the unreserved
// characters percent-encoded.
std::string FileNameParameter(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string value = "filename*=UTF-8''";
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            value += c;
        } else {
            value += '%';
            value += kHex[u >> 4];
            value += kHex[u & 15];
        }
    }
    return value;
}

std::string TextPart(const char* subtype, std::string_view text) {
    return std::string("Content-Type: text/") + subtype +
           "; charset=UTF-8\nContent-Transfer-Encoding: base64\n\n" + Base64Body(text);
}

std::string Multipart(const char* subtype, const char* boundary,
                      const std::vector<std::string>& parts) {
    std::string body =
        std::string("Content-Type: multipart/") + subtype + "; boundary=\"" + boundary + "\"\n\n";
    for (const std::string& part : parts) body += std::string("--") + boundary + "\n" + part;
    return body + "--" + boundary + "--\n";
}

}  // namespace

ComposeRequest ParseComposeRequest(std::string_view text) {
    json request;
    // The request itself is two deep (an object of lists); a document nested
    // far deeper only costs memory, some 80 bytes a level, before it is refused.
    const json::parser_callback_t notTooDeep = [](int depth, json::parse_event_t, json&) {
        if (depth > kMaxRequestDepth) {
            throw std::invalid_argument("nested more than " + std::to_string(kMaxRequestDepth) +
                                        " deep");
        }
        return true;
    };
    try {
        request = json::parse(text, notTooDeep);
    } catch (const json::parse_error& e) {
        throw std::invalid_argument(std::string("not JSON: ") + e.what());
    } catch (const json::exception& e) {
        // Well-formed, but beyond what a value here can hold: a number past
        // the range of a double (1e999, a thousand digits).
        throw std::invalid_argument(e.what());
    }
    if (!request.is_object()) throw std::invalid_argument("not a JSON object");
    ComposeRequest parsed;
    parsed.from = Text(request, "from");
    parsed.to = Texts(request, "to");
    parsed.cc = Texts(request, "cc");
    parsed.bcc = Texts(request, "bcc");
    parsed.subject = Text(request, "subject");
    if (const auto it = request.find("isPlainText"); it != request.end() && !it->is_null()) {
        if (!it->is_boolean()) throw std::invalid_argument("\"isPlainText\" is not true or false");
        parsed.isPlainText = it->get<bool>();
    }
    parsed.plainTextBody = Text(request, "plainTextBody");
    parsed.htmlBody = Text(request, "htmlBody");
    parsed.attachments = Texts(request, "attachments");
    return parsed;
}

std::string BuildMessage(const ComposeRequest& request) {
    std::string message;
    if (!request.from.empty()) message += "From: " + OneLine(request.from) + "\n";
    message += AddressField("To", request.to);
    message += AddressField("Cc", request.cc);
    message += AddressField("Bcc", request.bcc);
    if (!request.subject.empty()) message += "Subject: " + EncodedSubject(request.subject) + "\n";
    message += "MIME-Version: 1.0\n";

    // A plain-text message is only its text; HTML mail may go out as both, and
    // a keyword in either must count.
    std::vector<std::string> bodies;
    if (request.isPlainText || !request.plainTextBody.empty() || request.htmlBody.empty()) {
        bodies.push_back(TextPart("plain", request.plainTextBody));
    }
    if (!request.isPlainText && !request.htmlBody.empty()) {
        bodies.push_back(TextPart("html", request.htmlBody));
    }
    std::string body =
        bodies.size() == 1 ? bodies[0] : Multipart("alternative", kAlternativeBoundary, bodies);
    if (!request.attachments.empty()) {
        std::vector<std::string> parts{body};
        for (const std::string& name : request.attachments) {
            parts.push_back(
                "Content-Type: application/octet-stream\nContent-Disposition: "
                "attachment; " +
                FileNameParameter(name) + "\nContent-Transfer-Encoding: base64\n\n");
        }
        body = Multipart("mixed", kMixedBoundary, parts);
    }
    return message + body;
}

}  // namespace postwarden::host
