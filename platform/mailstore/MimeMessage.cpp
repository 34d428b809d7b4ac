// ParseMessage: the walk over a message's parts, and the texts of what its
// recipient reads laid out once.
#include "platform/mailstore/MimeMessage.h"

#include <gmime/gmime.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/HugePages.h"
#include "platform/mailstore/CmsContent.h"
#include "platform/mailstore/HtmlText.h"
#include "platform/mailstore/MimeMessageInternal.h"
#include "platform/mailstore/StoreErrors.h"

namespace postwarden::mailstore {

namespace {

bool IsRichText(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "text", "rtf") ||
           g_mime_content_type_is_type(type, "application", "rtf") ||
           g_mime_content_type_is_type(type, "text", "enriched") ||
           g_mime_content_type_is_type(type, "text", "richtext");
}

bool IsForwardedMessage(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "message", "rfc822") ||
           g_mime_content_type_is_type(type, "message", "news") ||
           g_mime_content_type_is_type(type, "message", "global");
}

bool IsSmime(GMimeContentType* type) {
    return g_mime_content_type_is_type(type, "application", "pkcs7-mime") ||
           g_mime_content_type_is_type(type, "application", "x-pkcs7-mime");
}

// Why part of a message was not read (MessageContent::unreadParts).
constexpr const char* kEncrypted = "encrypted";
constexpr const char* kNestedTooDeeply = "nested too deeply";
constexpr const char* kUnopenedSmime = "S/MIME that could not be opened";

// What the recipient can read of the message: every inline text part by kind,
// in document order, and the file names of its attachments.
struct BodyParts {
    // A plain text: a part to decode, or a text read already (a forwarded
    // message's subject, the text of a multipart without parts).
    struct Text {
        GMimePart* part = nullptr;
        std::string_view read;
    };
    std::vector<Text> plain;
    std::vector<GMimePart*> html;
    std::vector<GMimePart*> rich;
    std::vector<std::string> names;
    int32_t attachments = 0;  // as MessageContent::attachmentCount
    std::string unread;       // the first reason met, as MessageContent::unreadParts

    // What the texts and parts above lie in besides the message: the texts
    // read already and the content decoded or unwrapped for a parse (a deque,
    // which never moves them), and the forwarded messages and S/MIME content
    // parsed where the walk met them, which go first.
    std::deque<std::string> kept;
    std::vector<std::shared_ptr<const void>> held;
    std::vector<GObjectPtr<GMimeObject>> parsed;

    void AddText(std::string text) {
        if (!text.empty()) plain.push_back({nullptr, kept.emplace_back(std::move(text))});
    }
    void Unread(const char* why) {
        if (unread.empty()) unread = why;
    }
};

// Bounds the walk: a forwarded message is parsed where the walk meets it, which
// costs a pass over its bytes at each level. Past it the message is not read
// in full, and says so.
constexpr int kMaxDepth = 64;

void AddName(GMimeObject* object, BodyParts& parts) {
    const char* name = nullptr;
    if (GMIME_IS_PART(object)) name = g_mime_part_get_filename(GMIME_PART(object));
    if (name == nullptr) name = g_mime_object_get_content_type_parameter(object, "name");
    if (name != nullptr && *name) parts.names.push_back(ValidUtf8(name, std::strlen(name)));
}

// Whether a part below the top of a message is sent with it rather than read
// in it, as "see attached" means: a forwarded message, a part marked as an
// attachment, a named part, or one that is not text; but not an image that an
// HTML body shows in place (it has a Content-ID), nor a signature or the
// sender's key, which mail programs add by themselves.
bool IsAttachment(GMimeObject* object, GMimeContentType* type) {
    if (type == nullptr) return false;
    if (g_mime_content_type_is_type(type, "application", "pkcs7-signature") ||
        g_mime_content_type_is_type(type, "application", "x-pkcs7-signature") ||
        g_mime_content_type_is_type(type, "application", "pgp-signature") ||
        g_mime_content_type_is_type(type, "application", "pgp-encrypted") ||
        g_mime_content_type_is_type(type, "application", "pgp-keys")) {
        return false;
    }
    if (IsForwardedMessage(type)) return true;
    const char* disposition = g_mime_object_get_disposition(object);
    if (disposition != nullptr && g_ascii_strcasecmp(disposition, "attachment") == 0) return true;
    if (g_mime_object_get_content_id(object) != nullptr &&
        g_mime_content_type_is_type(type, "image", "*")) {
        return false;
    }
    const char* name =
        GMIME_IS_PART(object) ? g_mime_part_get_filename(GMIME_PART(object)) : nullptr;
    if (name == nullptr) name = g_mime_object_get_content_type_parameter(object, "name");
    if (name != nullptr && *name != '\0') return true;
    return !g_mime_content_type_is_type(type, "text", "*") && !GMIME_IS_TEXT_PART(object);
}

void CollectBody(GMimeObject* object, int depth, bool top, BodyParts& parts);

// Content that is read as the body of a message of its own (a forwarded
// message, the content of S/MIME signed data), parsed where the walk meets it;
// null for content without a header block, which is read as the text it is.
// `bytes` must live as long as `parts`.
GMimeObject* ParseEnclosed(std::string_view bytes, BodyParts& parts) {
    GObjectPtr<GMimeObject> enclosed = Construct(bytes);
    if (!enclosed) {
        parts.AddText(Decode8Bit(bytes.data(), bytes.size()));
        return nullptr;
    }
    return parts.parsed.emplace_back(std::move(enclosed)).get();
}

// A forwarded message, attached or inline, as its recipient opens it: its
// subject and its body.
void CollectForwarded(GMimePart* part, int depth, BodyParts& parts) {
    const std::string_view bytes = ContentBytes(part, parts.kept.emplace_back());
    if (GMimeObject* message = ParseEnclosed(bytes, parts)) {
        parts.AddText(SubjectOf(message));
        CollectBody(message, depth + 1, true, parts);
    }
}

// An S/MIME body: signed data is read as the content it encloses; encrypted
// data cannot be read.
void CollectSmime(GMimePart* part, int depth, BodyParts& parts) {
    const char* kind = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "smime-type");
    if (kind != nullptr && (g_ascii_strcasecmp(kind, "enveloped-data") == 0 ||
                            g_ascii_strcasecmp(kind, "authEnveloped-data") == 0)) {
        parts.Unread(kEncrypted);
        return;
    }
    // Certificates only: nothing a person reads.
    if (kind != nullptr && g_ascii_strcasecmp(kind, "certs-only") == 0) return;
    OpenedCms cms;
    {
        // The structure holds a copy of its content: the bytes it was read
        // from go at once.
        std::string decoded;
        cms = OpenCms(ContentBytes(part, decoded));
    }
    if (cms.kind == CmsKind::kEncrypted) {
        parts.Unread(kEncrypted);
    } else if (cms.kind != CmsKind::kContent) {
        parts.Unread(kUnopenedSmime);
    } else {
        parts.held.push_back(std::move(cms.holder));
        CollectBody(ParseEnclosed(cms.content, parts), depth + 1, true, parts);
    }
}

// Every part that is not an attachment and has text is read, in whatever
// multipart it stands: the alternatives of one text, and the several inline
// texts of a mixed message. Attachments give their names only, except
// forwarded messages, which are read as their recipient opens them. `top`: the
// body of a message, read whatever its disposition says.
void CollectBody(GMimeObject* object, int depth, bool top, BodyParts& parts) {
    if (object == nullptr) return;
    if (depth > kMaxDepth) {
        parts.Unread(kNestedTooDeeply);
        return;
    }
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (GMIME_IS_MULTIPART(object)) {
        if (GMIME_IS_MULTIPART_ENCRYPTED(object)) {
            parts.Unread(kEncrypted);
            return;
        }
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        if (count == 0) {
            // No boundary, or one that never comes: the parser keeps the text
            // as the prologue, and a reader's client shows it as plain text.
            if (const char* text = g_mime_multipart_get_prologue(multipart)) {
                parts.AddText(Decode8Bit(text, std::strlen(text)));
            }
            return;
        }
        for (int i = 0; i < count; ++i) {
            CollectBody(g_mime_multipart_get_part(multipart, i), depth + 1, false, parts);
        }
        return;
    }
    if (depth > 0) AddName(object, parts);
    if (!top && IsAttachment(object, type)) ++parts.attachments;
    if (!GMIME_IS_PART(object) || type == nullptr) return;
    GMimePart* part = GMIME_PART(object);
    if (IsForwardedMessage(type)) {
        CollectForwarded(part, depth, parts);
        return;
    }
    if (!top && g_mime_part_is_attachment(part)) return;
    if (g_mime_content_type_is_type(type, "text", "html")) {
        parts.html.push_back(part);
    } else if (IsRichText(type)) {
        parts.rich.push_back(part);
    } else if (IsSmime(type)) {
        CollectSmime(part, depth, parts);
    } else if (g_mime_content_type_is_type(type, "text", "*") || GMIME_IS_TEXT_PART(object)) {
        // Every other text is read as plain text, and so is a part whose type
        // cannot be read (empty, "text", ";;;"), which GMime makes a text part
        // though it gives its type as application/octet-stream.
        parts.plain.push_back({part, {}});
        if (g_mime_part_get_openpgp_data(part) == GMIME_OPENPGP_DATA_ENCRYPTED) {
            parts.Unread(kEncrypted);
        }
    }
}

}  // namespace

std::string_view MessageContent::BodyOf(std::span<const Piece> order, int which) const {
    // The texts this body has, in its order; it is a range of texts_ when each
    // stands right after the one before it and its blank line.
    Range present[kPieceCount];
    size_t count = 0;
    for (const Piece piece : order) {
        if (pieces_[piece].size > 0) present[count++] = pieces_[piece];
    }
    if (count == 0) return {};
    bool inOneRange = true;
    for (size_t i = 1; i < count; ++i) {
        inOneRange = inOneRange && present[i].at == present[i - 1].at + present[i - 1].size + 2;
    }
    if (inOneRange) {
        return View(
            {present[0].at, present[count - 1].at + present[count - 1].size - present[0].at});
    }
    std::string& composed = composed_[which];
    if (!isComposed_[which]) {
        for (size_t i = 0; i < count; ++i) {
            if (i > 0) composed += "\n\n";
            composed += View(present[i]);
        }
        isComposed_[which] = true;
    }
    return composed;
}

MessageContent ParseMessage(std::string_view bytes, const std::function<void()>& release) {
    Options();
    bool released = false;
    const auto releaseOnce = [&] {
        if (release && !std::exchange(released, true)) release();
    };
    MessageContent content;
    using Piece = MessageContent::Piece;
    GObjectPtr<GMimeObject> message = Construct(bytes);
    if (!message) {
        // No header block: whatever text there is, is the body.
        if (bytes.empty()) throw Unreadable("the file is empty");
        if (bytes.find('\0') != std::string_view::npos) throw Unreadable("no header block");
        content.texts_ = Decode8Bit(bytes.data(), bytes.size());
        content.pieces_[Piece::kPlain] = {0, content.texts_.size()};
        content.text_ = content.pieces_[Piece::kPlain];
        releaseOnce();
        return content;
    }
    content.subject = SubjectOf(message.get());
    // Everyone the message goes to: a bounce names its new recipients in the
    // Resent- fields only.
    RecipientSet recipients{content.recipients, content.recipientsTruncated, {}};
    AddRecipients(message.get(), recipients);
    BodyParts parts;
    CollectBody(message.get(), 0, true, parts);
    content.attachmentNames = parts.names;
    content.attachmentCount = parts.attachments;
    content.unreadParts = parts.unread;
    content.hasHtml_ = !parts.html.empty();
    content.hasRich_ = !parts.rich.empty();
    content.bodyFormat = content.hasHtml_ ? 2 : content.hasRich_ ? 3 : 1;

    // Each body holds everything the recipient can read, so that a rule
    // searching the body of the message's format misses nothing: its own
    // texts first, then the other inline texts, then the attachments' names.
    // HTML is there as written and as the text it shows. The texts are laid
    // out once, in the order of the body of the message's own format, each
    // decoded straight to where it stays.
    std::string& texts = content.texts_;
    size_t bound = 0;  // what the texts take at most, before any conversion
    const auto length = [](GMimePart* part) -> size_t {
        GMimeDataWrapper* data = g_mime_part_get_content(part);
        GMimeStream* raw = data ? g_mime_data_wrapper_get_stream(data) : nullptr;
        const gint64 bytes = raw ? g_mime_stream_length(raw) : 0;
        return (bytes > 0 ? static_cast<size_t>(bytes) : 0) + 4;
    };
    for (const BodyParts::Text& text : parts.plain) {
        bound += text.part != nullptr ? length(text.part) : text.read.size() + 4;
    }
    // HTML is there twice: as written and as shown, which is no longer.
    for (GMimePart* part : parts.html) bound += 2 * length(part);
    for (GMimePart* part : parts.rich) bound += length(part);
    for (const std::string& name : parts.names) bound += name.size() + 2;
    texts.reserve(bound + 64 * 1024);
    AdviseHugePages(texts.data(), texts.capacity());

    // Appends one text after a blank line; returns its range.
    std::vector<MessageContent::Range> htmlMarkups;
    const auto appendPiece = [&](Piece piece, const auto& appendEach) {
        MessageContent::Range& range = content.pieces_[piece];
        range.at = texts.size();
        appendEach([&](const auto& append) {
            const size_t before = texts.size();
            if (!texts.empty()) texts += "\n\n";
            const size_t at = texts.size();
            append();
            if (texts.size() == at) {
                texts.resize(before);  // nothing to read: no blank line either
                return MessageContent::Range{before, 0};
            }
            if (range.size == 0) range.at = at;
            range.size = texts.size() - range.at;
            return MessageContent::Range{at, texts.size() - at};
        });
    };
    const auto plainPiece = [&] {
        appendPiece(Piece::kPlain, [&](const auto& text) {
            for (const BodyParts::Text& plain : parts.plain) {
                text([&] {
                    if (plain.part == nullptr) {
                        texts += plain.read;
                    } else {
                        AppendPartText(plain.part, texts);
                    }
                });
            }
        });
    };
    const auto richPiece = [&] {
        appendPiece(Piece::kRich, [&](const auto& text) {
            for (GMimePart* part : parts.rich) text([&] { AppendPartText(part, texts); });
        });
    };
    const auto namesPiece = [&] {
        appendPiece(Piece::kNames, [&](const auto& text) {
            for (const std::string& name : parts.names) text([&] { texts += name; });
        });
    };
    if (content.hasHtml_) {
        appendPiece(Piece::kMarkup, [&](const auto& text) {
            for (GMimePart* part : parts.html) {
                htmlMarkups.push_back(text([&] { AppendPartText(part, texts); }));
            }
        });
        // The markup is most of such a message; the text it shows comes from
        // the markup alone, and would otherwise stand beside two copies of it.
        releaseOnce();
        appendPiece(Piece::kShown, [&](const auto& text) {
            for (const MessageContent::Range& markup : htmlMarkups) {
                text([&] { HtmlToText(content.View(markup), texts); });
            }
        });
        plainPiece();
        richPiece();
    } else if (content.hasRich_) {
        richPiece();
        plainPiece();
    } else {
        plainPiece();
    }
    namesPiece();
    content.text_ = content.pieces_[!parts.plain.empty() ? Piece::kPlain : Piece::kShown];
    releaseOnce();
    return content;
}

}  // namespace postwarden::mailstore
