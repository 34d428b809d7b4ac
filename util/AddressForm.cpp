#include "util/AddressForm.h"

#include <unicode/uidna.h>

#include <memory>
#include <unordered_set>

#include "util/Text.h"

namespace postwarden {

namespace {

// Spaces and tabs: a list entry or an address comes split at line ends.
constexpr std::string_view kBlanks = " \t";

bool IsAtext(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) return true;  // internationalised local parts
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// A local part that can be written without quotes: atoms joined by single dots.
bool IsDotAtom(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.') {
            if (text[i + 1] == '.') return false;
        } else if (!IsAtext(text[i])) {
            return false;
        }
    }
    return true;
}

// The "@" between local part and domain: the last one outside a quoted string.
size_t SeparatingAt(std::string_view text) {
    size_t at = std::string_view::npos;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (quoted && text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && text[i] == '@') {
            at = i;
        }
    }
    return at;
}

// The local part as the server that reads it as a route sees it: without its
// quotes, each escaped character as itself.
std::string Unquoted(std::string_view local) {
    std::string out;
    out.reserve(local.size());
    bool quoted = false;
    for (size_t i = 0; i < local.size(); ++i) {
        if (local[i] == '"') {
            quoted = !quoted;
        } else if (quoted && local[i] == '\\' && i + 1 < local.size()) {
            out += local[++i];
        } else {
            out += local[i];
        }
    }
    return out;
}

// A local part as CanonicalAddress writes it: bare where it can be, else quoted.
std::string CanonicalLocal(std::string_view local) {
    if (local.empty() || IsDotAtom(local)) return std::string(local);
    std::string out = "\"";
    for (char c : local) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

struct IdnaClose {
    void operator()(UIDNA* idna) const { uidna_close(idna); }
};

const UIDNA* Idna() {
    static const std::unique_ptr<UIDNA, IdnaClose> idna = [] {
        UErrorCode error = U_ZERO_ERROR;
        std::unique_ptr<UIDNA, IdnaClose> made(
            uidna_openUTS46(UIDNA_NONTRANSITIONAL_TO_UNICODE, &error));
        return U_SUCCESS(error) ? std::move(made) : nullptr;
    }();
    return idna.get();
}

// An ASCII-compatible label in its Unicode form; the label as it is otherwise.
std::string LabelToUnicode(std::string_view label) {
    const bool ace = label.size() > 4 && (label[0] == 'x' || label[0] == 'X') &&
                     (label[1] == 'n' || label[1] == 'N') && label[2] == '-' && label[3] == '-';
    if (!ace || Idna() == nullptr) return std::string(label);
    char out[256];
    UErrorCode error = U_ZERO_ERROR;
    UIDNAInfo info = UIDNA_INFO_INITIALIZER;
    const int32_t length = uidna_labelToUnicodeUTF8(
        Idna(), label.data(), static_cast<int32_t>(label.size()), out, sizeof out, &info, &error);
    if (U_FAILURE(error) || info.errors != 0 || length <= 0) return std::string(label);
    return std::string(out, static_cast<size_t>(length));
}

}  // namespace

std::string CanonicalDomain(std::string_view domain) {
    domain = Trim(domain, kBlanks);
    if (domain.size() > 1 && domain.back() == '.') domain.remove_suffix(1);
    std::string out;
    out.reserve(domain.size());
    size_t start = 0;
    for (;;) {
        const size_t dot = domain.find('.', start);
        out +=
            LabelToUnicode(domain.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) break;
        out += '.';
        start = dot + 1;
    }
    return out;
}

std::string CanonicalAddress(std::string_view text) {
    text = Trim(text, kBlanks);
    const size_t at = SeparatingAt(text);
    if (at == std::string_view::npos) return CanonicalDomain(text);
    std::string_view local = Trim(text.substr(0, at), kBlanks);
    if (local.size() >= 2 && local.front() == '"' && local.back() == '"' &&
        IsDotAtom(local.substr(1, local.size() - 2))) {
        local = local.substr(1, local.size() - 2);
    }
    return std::string(local) + "@" + CanonicalDomain(text.substr(at + 1));
}

Route RouteOf(std::string_view text) {
    text = Trim(text, kBlanks);
    const size_t at = SeparatingAt(text);
    const std::string local = Unquoted(at == std::string_view::npos ? text : text.substr(0, at));
    Route route;
    std::unordered_set<std::string> seen;
    std::string_view user;
    // The pieces between separators; "," and ":" only end a piece, as in the
    // source route "@a,@b:user".
    char before = 0;
    size_t start = 0;
    for (size_t i = 0; i <= local.size(); ++i) {
        const char after = i < local.size() ? local[i] : 0;
        if (i < local.size() && std::string_view("%@!,:").find(after) == std::string_view::npos) {
            continue;
        }
        const std::string_view piece =
            Trim(std::string_view(local).substr(start, i - start), kBlanks);
        if (before == '%' || before == '@' || after == '!') {
            std::string domain = CanonicalDomain(piece);
            if (!piece.empty() && seen.insert(domain).second) {
                route.domains.push_back(std::move(domain));
            }
        } else if (!piece.empty()) {
            user = piece;
        }
        before = after;
        start = i + 1;
    }
    if (!route.domains.empty()) route.user = CanonicalLocal(user);
    return route;
}

std::string HistoryAddress(std::string_view address) {
    std::string canonical = CanonicalAddress(LCase(address));
    const size_t at = SeparatingAt(canonical);
    if (at == std::string::npos || at == 0 || at + 1 == canonical.size()) return {};
    return canonical;
}

std::string DomainOf(std::string_view canonicalAddress) {
    const size_t at = SeparatingAt(canonicalAddress);
    return at == std::string_view::npos ? std::string()
                                        : std::string(canonicalAddress.substr(at + 1));
}

}  // namespace postwarden
