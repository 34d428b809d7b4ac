#include "settings/ServerUrl.h"

namespace postwarden {

namespace {

constexpr std::string_view kSchemeEnd = "://";

bool IsSchemeCharacter(char c, bool first) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return letter;
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

}  // namespace

bool IsServerUrl(std::string_view source) {
    const size_t end = source.find(kSchemeEnd);
    if (end == std::string_view::npos || end == 0) return false;
    for (size_t i = 0; i < end; ++i) {
        if (!IsSchemeCharacter(source[i], i == 0)) return false;
    }
    return true;
}

std::string WithoutPassword(std::string_view url) {
    if (!IsServerUrl(url)) return std::string(url);
    const size_t start = url.find(kSchemeEnd) + kSchemeEnd.size();
    // The last "@" anywhere, not only in the authority: a password whose "/",
    // "?" or "#" was not encoded would otherwise end the authority early and
    // be shown as a host and a path.
    const size_t at = url.rfind('@');
    if (at == std::string_view::npos || at < start) return std::string(url);
    const size_t colon = url.find(':', start);
    if (colon == std::string_view::npos || colon > at) return std::string(url);
    return std::string(url.substr(0, colon + 1)) + "****" + std::string(url.substr(at));
}

}  // namespace postwarden
