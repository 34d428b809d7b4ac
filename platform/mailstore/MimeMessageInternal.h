#pragma once

// What the files that read messages with GMime share. They are the only files
// that use GMime, and every failure of the library is turned into a
// RuntimeError or a best-effort result in them:
//   MimeMessage.cpp      ParseMessage: the walk over a message's parts, and its
//                        texts laid out
//   MimeHeaders.cpp      GMime's set-up, a message parsed, its header fields;
//                        ParseSubject, ParseHeaderValue
//   MimeText.cpp         a part's content and text decoded
//   MimeFingerprint.cpp  MessageFingerprint
// Each function below is described where it is defined.

#include <gmime/gmime.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/mailstore/MimeMessage.h"

namespace postwarden::mailstore {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<char, GFree>;

// MimeHeaders.cpp

GMimeParserOptions* Options();

// The recipients read so far, each address once: the same mailbox in To and
// Bcc, or in a header and again as a resent recipient, is one recipient.
struct RecipientSet {
    std::vector<MessageRecipient>& list;
    bool& truncated;
    std::unordered_set<std::string> seen;  // addresses in lower case
};

// Everyone the message goes to, from To, Cc, Bcc and (a bounce names its new
// recipients there only) the Resent- fields, each with its kind.
void AddRecipients(GMimeObject* message, RecipientSet& recipients);
GObjectPtr<GMimeObject> Construct(std::string_view bytes);
std::string SubjectOf(GMimeObject* message);
std::string HeaderValue(GMimeObject* object, const char* name);

// MimeText.cpp

std::string ValidUtf8(const char* text, size_t length);
std::string Decode8Bit(const char* text, size_t length);
void AppendDecoded(GMimePart* part, std::string& out);
void AppendPartText(GMimePart* part, std::string& out);
std::string_view ContentBytes(GMimePart* part, std::string& decoded);

}  // namespace postwarden::mailstore
