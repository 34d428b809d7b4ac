#include "platform/net/UrlFetch.h"

#include "platform/net/CurlSession.h"

namespace postwarden::net {

std::string FetchUrl(std::string_view url, const FetchPolicy& policy) {
    const UrlParts parts = ParseUrl(url);
    // A redirect never takes a fetch off TLS, nor from a server to a local file.
    const char* redirects = parts.scheme == "https" ? "https" : "http,https";
    CurlSession session(policy, "http,https,file", redirects);
    session.Hide(parts.password);
    return session.Get(std::string(url), {}, policy.maxBytes, "The fetched document");
}

}  // namespace postwarden::net
