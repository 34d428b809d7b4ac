#pragma once

// settings/: the module's settings and where they come from.
//
//   (module/SettingKeys.h)     every setting, one row each, which everything here walks
//   EnsureDefaultSettings.cpp  at start-up: refreshes from a central source, seeds a
//                              store never initialised, traces the effective settings
//   CentralSources.cpp         the two central sources: an item in a public folder
//                              (or an IMAP folder), a file on a network path (or a URL)
//   ServerUrl.h/.cpp           telling a URL from a path; a URL fit to be written down
//   ReadSettingsFromXML.cpp    copies a settings document's values into the store
//   SettingsDocument.h/.cpp    the document itself: parsing it, lookups
//   SettingsDocumentText.cpp   its encoding: the text of a document stored as bytes
//
// Spellings kept on purpose: the document names the recipient limit
// "NumberOfRecipients" (its key is MaxNumberOfRecipients), the settings item's
// subject is "Post Warden Settings", and EnsureDefaultSettings writes "Reason:"
// with no space before the description, unlike the other routines.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace postwarden {

// A parsed settings document: one well-formed XML document whose elements are
// looked up by tag name anywhere in it. Nothing outside the text is ever read: a
// DOCTYPE is skipped, and only the five predefined entities and character
// references are expanded (a reference to an entity the DOCTYPE declares stays
// as written).
class SettingsDocument {
  public:
    SettingsDocument();
    ~SettingsDocument();
    SettingsDocument(const SettingsDocument&) = delete;
    SettingsDocument& operator=(const SettingsDocument&) = delete;

    // Parses `text`, which is UTF-8 whatever its encoding declaration says (a
    // leading byte-order mark is skipped). False when it is not exactly one
    // well-formed document (empty, truncated, not UTF-8, two top-level elements,
    // text outside the top-level element, an & that starts no reference, a
    // reference to an undeclared entity or to a character XML does not allow);
    // ErrorReason() then says why and where.
    bool Load(std::string_view text);
    const std::string& ErrorReason() const { return reason_; }

    // The text content of the first element named `name` in document order
    // (exact, case-sensitive tag name): all its text, that of descendants
    // included. Nothing when there is no such element.
    std::optional<std::string> Scalar(std::string_view name) const;
    // The child nodes of the first element named `name`, each child's text
    // content joined with CR LF; the empty text for an element without children.
    // White space between child elements is no child. Nothing when there is no
    // such element.
    std::optional<std::string> List(std::string_view name) const;

  private:
    struct Parsed;
    std::unique_ptr<Parsed> parsed_;
    std::string reason_;
};

// The text, in UTF-8, of a settings document stored as `bytes` (a file), read as
// an XML parser reads it: in the encoding its byte-order mark (UTF-8, UTF-16,
// UTF-32) or else its encoding declaration names; without either, as UTF-8
// when the bytes are valid UTF-8, else as Windows-1252. The byte-order mark is
// not part of the text. Throws RuntimeError when the declared encoding is not
// known, or the bytes are not valid in the encoding that applies.
std::string SettingsDocumentText(std::string_view bytes);

}  // namespace postwarden
