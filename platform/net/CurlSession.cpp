#include "platform/net/CurlSession.h"

#include <algorithm>
#include <cstdlib>

#include "platform/LinuxPlatform.h"
#include "platform/net/CurlLibrary.h"
#include "util/Limits.h"
#include "util/RuntimeError.h"

namespace postwarden::net {

namespace {

constexpr long kMaxRedirects = 5;
// A bundle of authorities is a few hundred kilobytes; a file far beyond is no bundle.
constexpr size_t kMaxCaFileBytes = size_t{16} << 20;
constexpr const char* kHiddenText = "****";

struct Sink {
    std::string* body;
    size_t maxBytes;
    bool tooLarge = false;
};

size_t Write(char* data, size_t size, size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const size_t n = size * count;
    if (n > sink.maxBytes - sink.body->size()) {
        sink.tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    sink.body->append(data, n);
    return n;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { Curl().url_cleanup(url); }
};
struct TextDeleter {
    void operator()(char* text) const { Curl().free(text); }
};

// One part of a parsed URL; empty when the URL has none.
std::string Part(CURLU* url, CURLUPart part, unsigned flags) {
    char* raw = nullptr;
    if (Curl().url_get(url, part, &raw, flags) != CURLUE_OK) return {};
    const std::unique_ptr<char, TextDeleter> text(raw);
    return text ? std::string(text.get()) : std::string();
}

std::string Seconds(std::chrono::milliseconds time) {
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(time).count();
    if (std::chrono::milliseconds(std::chrono::seconds(whole)) == time) {
        return std::to_string(whole) + (whole == 1 ? " second" : " seconds");
    }
    return std::to_string(time.count()) + " milliseconds";
}

}  // namespace

void CurlSession::HandleDeleter::operator()(CURL* handle) const {
    Curl().easy_cleanup(handle);
}

CurlSession::CurlSession(const FetchPolicy& policy, const char* protocols,
                         const char* redirectProtocols)
    : policy_(policy), deadline_(std::chrono::steady_clock::now() + policy.timeLimit) {
    if (policy.deadline != std::chrono::steady_clock::time_point{}) {
        deadline_ = std::min(deadline_, policy.deadline);
    }
    const CurlLibrary& curl = Curl();
    handle_.reset(curl.easy_init());
    if (!handle_) throw RuntimeError(errors::kCannotCreateObject, "Can't create object");
    CURL* h = handle_.get();
    curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl.easy_setopt(h, CURLOPT_ERRORBUFFER, errorText_);
    curl.easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols);
    curl.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, redirectProtocols);
    curl.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl.easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    // An HTTP error page is no settings document.
    curl.easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl.easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl.easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl.easy_setopt(h, CURLOPT_USERAGENT, "postwarden");
    curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, &Write);
    if (!policy.extraCaFile.empty()) {
        // The extra authorities are added to the system's, not put in their
        // place: a company CA must not make the public servers untrusted.
        std::string extra;
        try {
            extra = ReadWholeFile(policy.extraCaFile, kMaxCaFileBytes, "a certificate file");
        } catch (const RuntimeError& error) {
            throw RuntimeError(error.Number(), "The extra certificate authority file " +
                                                   policy.extraCaFile +
                                                   " cannot be read: " + error.Description());
        }
        std::string bundle;
        char* systemFile = nullptr;
        if (curl.easy_getinfo(h, CURLINFO_CAINFO, &systemFile) == CURLE_OK && systemFile) {
            try {
                bundle = ReadWholeFile(systemFile, kMaxCaFileBytes, "a certificate file");
            } catch (const RuntimeError&) {
                // No system bundle: the hashed folder (CAPATH) still holds the system's.
            }
        }
        bundle += "\n" + extra;
        curl_blob blob{bundle.data(), bundle.size(), CURL_BLOB_COPY};
        curl.easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
    }
}

CurlSession::~CurlSession() = default;

void CurlSession::Hide(std::string secret) {
    if (secret.empty()) return;
    // Also as it stands in a URL.
    if (char* encoded = Curl().easy_escape(handle_.get(), secret.data(), int(secret.size()))) {
        const std::unique_ptr<char, TextDeleter> owner(encoded);
        if (secret != encoded) hidden_.emplace_back(encoded);
    }
    hidden_.push_back(std::move(secret));
}

void CurlSession::UseNetrc() {
    const CurlLibrary& curl = Curl();
    curl.easy_setopt(handle_.get(), CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
    const char* file = std::getenv("NETRC");
    if (file != nullptr && *file != '\0') {
        curl.easy_setopt(handle_.get(), CURLOPT_NETRC_FILE, file);
    }
}

void CurlSession::RequireTls() {
    Curl().easy_setopt(handle_.get(), CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
}

TransferResult CurlSession::Perform(const std::string& url, std::string_view imapCommand,
                                    size_t maxBytes) {
    TransferResult result;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        result.code = CURLE_OPERATION_TIMEDOUT;
        result.timedOut = true;
        result.reason = "no time left for another request";
        return result;
    }
    const CurlLibrary& curl = Curl();
    CURL* h = handle_.get();
    Sink sink{&result.body, maxBytes};
    const std::string command(imapCommand);
    curl.easy_setopt(h, CURLOPT_URL, url.c_str());
    curl.easy_setopt(h, CURLOPT_CUSTOMREQUEST, command.empty() ? nullptr : command.c_str());
    curl.easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl.easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    curl.easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(left.count()));
    errorText_[0] = '\0';
    const CURLcode code = curl.easy_perform(h);
    // The handle keeps the command's text only until the next transfer sets another.
    curl.easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
    result.code = code;
    result.tooLarge = sink.tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    result.timedOut = code == CURLE_OPERATION_TIMEDOUT;
    if (code != CURLE_OK) {
        result.reason = Scrubbed(errorText_[0] != '\0' ? errorText_ : curl.easy_strerror(code));
    }
    return result;
}

std::string CurlSession::Get(const std::string& url, std::string_view imapCommand, size_t maxBytes,
                             std::string_view what) {
    TransferResult result = Perform(url, imapCommand, maxBytes);
    if (!result.ok()) throw Failure(result, maxBytes, what);
    return std::move(result.body);
}

RuntimeError CurlSession::Failure(const TransferResult& result, size_t maxBytes,
                                  std::string_view what) const {
    if (result.tooLarge) return limits::TooLarge(what, maxBytes, "a settings document");
    if (result.timedOut) {
        return RuntimeError(errors::kDeviceIO, "The fetch did not finish within " +
                                                   Seconds(policy_.timeLimit) + " (" +
                                                   result.reason + ")");
    }
    return RuntimeError(errors::kDeviceIO, "The fetch failed: " + result.reason);
}

std::string CurlSession::Scrubbed(std::string text) const {
    for (const std::string& secret : hidden_) {
        for (size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + std::string_view(kHiddenText).size())) {
            text.replace(at, secret.size(), kHiddenText);
        }
    }
    return text;
}

UrlParts ParseUrl(std::string_view url) {
    const CurlLibrary& curl = Curl();
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl.url());
    if (!parsed) throw RuntimeError(errors::kCannotCreateObject, "Can't create object");
    const std::string text(url);
    const CURLUcode code =
        curl.url_set(parsed.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME);
    if (code != CURLUE_OK) {
        throw RuntimeError(errors::kInvalidCall,
                           std::string("The URL cannot be read: ") + curl.url_strerror(code));
    }
    UrlParts parts;
    parts.scheme = Part(parsed.get(), CURLUPART_SCHEME, 0);
    parts.host = Part(parsed.get(), CURLUPART_HOST, 0);
    // Compared with other URLs' hosts, which may be written in other capitals.
    for (char& c : parts.host) c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    parts.port = Part(parsed.get(), CURLUPART_PORT, 0);
    parts.user = Part(parsed.get(), CURLUPART_USER, CURLU_URLDECODE);
    parts.password = Part(parsed.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
    parts.path = Part(parsed.get(), CURLUPART_PATH, 0);
    if (parts.path.empty()) parts.path = "/";
    curl.url_set(parsed.get(), CURLUPART_QUERY, nullptr, 0);
    curl.url_set(parsed.get(), CURLUPART_FRAGMENT, nullptr, 0);
    curl.url_set(parsed.get(), CURLUPART_PATH, "/", 0);
    parts.root = Part(parsed.get(), CURLUPART_URL, 0);
    return parts;
}

}  // namespace postwarden::net
