// MessageFingerprint: what makes a message the same message when a mail client
// sends it again, hashed.
#include <gmime/gmime.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/mailstore/MimeMessageInternal.h"
#include "platform/mailstore/StoreErrors.h"
#include "util/Text.h"

namespace postwarden::mailstore {

namespace {

// A SHA-256 of pieces, each length-prefixed, so that no two different lists of
// pieces give the same text to hash.
class Fingerprint {
  public:
    Fingerprint() : checksum_(g_checksum_new(G_CHECKSUM_SHA256)) {}
    void Add(std::string_view piece) {
        const std::string length = std::to_string(piece.size()) + ":";
        g_checksum_update(checksum_.get(), reinterpret_cast<const guchar*>(length.data()),
                          static_cast<gssize>(length.size()));
        g_checksum_update(checksum_.get(), reinterpret_cast<const guchar*>(piece.data()),
                          static_cast<gssize>(piece.size()));
    }
    // `text` with its line ends in one form, changed in place: one client ends
    // lines in CR LF, another in LF.
    void AddLines(std::string& text) {
        size_t put = 0;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
            text[put++] = text[at];
        }
        text.resize(put);
        Add(text);
    }
    std::string Hex() const {
        const char* digest = g_checksum_get_string(checksum_.get());
        return digest ? std::string(digest) : std::string();
    }

  private:
    struct ChecksumFree {
        void operator()(GChecksum* checksum) const { g_checksum_free(checksum); }
    };
    std::unique_ptr<GChecksum, ChecksumFree> checksum_;
};

// A type with its parameters, sorted by name, but for the boundary, which a
// client may make anew each time it writes the message.
std::string TypeAndParameters(GMimeContentType* type) {
    if (type == nullptr) return {};
    GCharPtr mimeType(g_mime_content_type_get_mime_type(type));
    std::string text = mimeType ? LCase(mimeType.get()) : std::string();
    std::vector<std::string> parameters;
    GMimeParamList* list = g_mime_content_type_get_parameters(type);
    for (int i = 0; list != nullptr && i < g_mime_param_list_length(list); ++i) {
        GMimeParam* parameter = g_mime_param_list_get_parameter_at(list, i);
        const char* name = g_mime_param_get_name(parameter);
        const char* value = g_mime_param_get_value(parameter);
        if (name == nullptr || g_ascii_strcasecmp(name, "boundary") == 0) continue;
        parameters.push_back(LCase(name) + "=" + (value ? value : ""));
    }
    std::sort(parameters.begin(), parameters.end());
    for (const std::string& parameter : parameters) text += ";" + parameter;
    return text;
}

// GMime nests no deeper than it parses (1,024 multiparts); a bound all the same.
constexpr int kMaxFingerprintDepth = 4096;

// Every part in its place, as it reads: a multipart by its type and its parts;
// a leaf by its type and parameters, its disposition and file name, and its
// content with the transfer encoding undone (a forwarded message as it stands,
// with its own boundaries); not the boundaries, prologues and epilogues that no
// reader sees. `scratch` holds one part's content at a time.
void AddStructure(GMimeObject* object, int depth, Fingerprint& fingerprint, std::string& scratch) {
    if (object == nullptr || depth > kMaxFingerprintDepth) {
        fingerprint.Add("-");
        return;
    }
    fingerprint.Add(TypeAndParameters(g_mime_object_get_content_type(object)));
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        fingerprint.Add(std::to_string(count));
        // Without parts, the text is the prologue (see CollectBody).
        const char* prologue = count == 0 ? g_mime_multipart_get_prologue(multipart) : nullptr;
        scratch.assign(prologue != nullptr ? prologue : "");
        fingerprint.AddLines(scratch);
        for (int i = 0; i < count; ++i) {
            AddStructure(g_mime_multipart_get_part(multipart, i), depth + 1, fingerprint, scratch);
        }
        return;
    }
    const char* disposition = g_mime_object_get_disposition(object);
    fingerprint.Add(disposition != nullptr ? LCase(disposition) : std::string());
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    const char* name = g_mime_part_get_filename(part);
    fingerprint.Add(name != nullptr ? name : "");
    scratch.clear();
    AppendDecoded(part, scratch);
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    const GMimeContentEncoding encoding =
        content ? g_mime_data_wrapper_get_encoding(content) : GMIME_CONTENT_ENCODING_DEFAULT;
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        fingerprint.Add(scratch);  // bytes as they were encoded, line ends and all
    } else {
        fingerprint.AddLines(scratch);
    }
}

}  // namespace

std::string MessageFingerprint(std::string_view bytes, const std::function<void()>& release) {
    Options();
    Fingerprint fingerprint;
    GObjectPtr<GMimeObject> message = Construct(bytes);
    if (!message) {
        // As ParseMessage reads it: the text is the body.
        if (bytes.empty()) throw Unreadable("the file is empty");
        if (bytes.find('\0') != std::string_view::npos) throw Unreadable("no header block");
        std::string text(bytes);
        fingerprint.AddLines(text);
        if (release) release();
        return fingerprint.Hex();
    }
    std::vector<std::string> senders;
    for (const RawMailbox& mailbox : SplitAddressList(HeaderValue(message.get(), "From"))) {
        senders.push_back(LCase(mailbox.address));
    }
    std::sort(senders.begin(), senders.end());
    for (const std::string& sender : senders) fingerprint.Add(sender);
    fingerprint.Add("|");
    std::vector<MessageRecipient> list;
    bool truncated = false;
    RecipientSet recipients{list, truncated, {}};
    AddRecipients(message.get(), recipients);
    std::vector<std::string> addresses;
    for (const MessageRecipient& recipient : list) addresses.push_back(LCase(recipient.address));
    std::sort(addresses.begin(), addresses.end());
    for (const std::string& address : addresses) fingerprint.Add(address);
    fingerprint.Add(truncated ? "|+" : "|");
    fingerprint.Add(SubjectOf(message.get()));
    std::string scratch;
    AddStructure(message.get(), 0, fingerprint, scratch);
    if (release) release();
    return fingerprint.Hex();
}

}  // namespace postwarden::mailstore
