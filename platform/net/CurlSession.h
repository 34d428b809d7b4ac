#pragma once

// platform/net/: central settings from servers, over libcurl (the only folder
// that knows it).
//
//   CurlLibrary.h/.cpp   libcurl, loaded when the first fetch needs it
//   CurlSession.h/.cpp   one easy handle: the policy every transfer keeps (time
//                        limit, size limit, trusted authorities), errors as text
//   UrlFetch.h/.cpp      a document at an https, http or file URL
//   ImapSession.h/.cpp   a session object on an IMAP server: its folders and items
//   ImapResponse.h/.cpp  the few untagged IMAP responses read here, and the
//                        choice of the newest settings message

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/Platform.h"

using CURL = void;

namespace postwarden::net {

// How a transfer ended: CURLE_OK (0) or libcurl's code, with its reason.
struct TransferResult {
    int code = 0;
    std::string reason;  // empty when code is 0; never holds a hidden text
    std::string body;
    bool tooLarge = false;  // stopped for passing the size limit
    bool timedOut = false;  // stopped at the fetch's deadline
    bool ok() const { return code == 0 && !tooLarge; }
};

// One libcurl easy handle and the connection it keeps between transfers. Every
// transfer ends by the deadline set when the session was made (the policy's
// time limit from then, or its deadline when sooner), verifies TLS
// against the system's authorities and the policy's extra file, and follows at
// most a few redirects, to the protocols allowed. Not copyable; one thread.
class CurlSession {
  public:
    // `protocols` and `redirectProtocols` as libcurl spells them ("imap,imaps").
    // Throws RuntimeError when the extra authority file cannot be read.
    CurlSession(const FetchPolicy& policy, const char* protocols, const char* redirectProtocols);
    ~CurlSession();
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    // A text (a password) replaced by "****" wherever it would stand in a reason.
    void Hide(std::string secret);
    // Credentials from netrc ($NETRC, else ~/.netrc) for a host whose URL names none.
    void UseNetrc();
    // TLS required on a plain connection too (STARTTLS), so credentials never go in clear.
    void RequireTls();

    // Transfers `url`: a download, or with a non-empty `imapCommand` that IMAP
    // command, its untagged responses as the body. At most `maxBytes` are kept.
    TransferResult Perform(const std::string& url, std::string_view imapCommand, size_t maxBytes);

    // The body of a transfer that succeeded; otherwise throws RuntimeError:
    // limits::TooLarge naming `what` beyond `maxBytes`, the time limit when the
    // deadline passed, else libcurl's reason.
    std::string Get(const std::string& url, std::string_view imapCommand, size_t maxBytes,
                    std::string_view what);

    // The error a failed transfer raises (see Get).
    RuntimeError Failure(const TransferResult& result, size_t maxBytes,
                         std::string_view what) const;

    const FetchPolicy& policy() const { return policy_; }

  private:
    std::string Scrubbed(std::string text) const;

    struct HandleDeleter {
        void operator()(CURL* handle) const;
    };
    FetchPolicy policy_;
    std::chrono::steady_clock::time_point deadline_;
    std::unique_ptr<CURL, HandleDeleter> handle_;
    std::vector<std::string> hidden_;
    char errorText_[256] = {};
};

// The parts of a URL libcurl reads, percent-decoded; throws RuntimeError for
// one it cannot parse (the reason never holds the URL).
struct UrlParts {
    std::string scheme;    // lower case
    std::string host;      // lower case
    std::string port;      // empty when the URL gives none
    std::string user;      // decoded
    std::string password;  // decoded
    std::string path;      // as written (still encoded), "/" at least
    std::string root;      // the URL up to the host and port, credentials kept, path "/"
};
UrlParts ParseUrl(std::string_view url);

}  // namespace postwarden::net
