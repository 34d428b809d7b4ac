#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace postwarden::host {

// What the Thunderbird add-on sends about a message at its Send: the compose
// window's details and the names of its attachments (their contents are not
// needed by any rule).
struct ComposeRequest {
    std::string from;
    std::vector<std::string> to, cc, bcc;  // each "Name <address>" or "address"
    std::string subject;
    bool isPlainText = false;
    std::string plainTextBody;  // the text, or for HTML mail its plain-text rendering
    std::string htmlBody;       // the HTML document; empty for plain-text mail
    std::vector<std::string> attachments;
};

// How deep the request's JSON may nest; an unknown field counts too.
inline constexpr int kMaxRequestDepth = 16;

// Reads a request from the add-on's JSON: an object whose fields "from",
// "subject", "plainTextBody" and "htmlBody" are texts, "to", "cc", "bcc" and
// "attachments" lists of texts, and "isPlainText" true or false; a field left
// out is empty, an unknown field is ignored. Throws std::invalid_argument with
// a one-line reason for anything else (not JSON, a field of the wrong type, a
// number no double can hold, nesting deeper than kMaxRequestDepth).
ComposeRequest ParseComposeRequest(std::string_view json);

// The request as the RFC 5322 message the mail store reads, so that the module
// sees a Thunderbird send just as it sees any other: To, Cc and Bcc in their
// own fields, the subject, the text and HTML bodies, and each attachment as an
// empty part carrying its file name. The same request always gives the same
// bytes, so a message held and sent again is recognised as the same.
std::string BuildMessage(const ComposeRequest& request);

}  // namespace postwarden::host
