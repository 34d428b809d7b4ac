#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/KeywordSearch.h"

namespace postwarden::validation {

// Where the text a person wrote mentions an attachment.
struct AttachmentMention {
    std::string word;  // the list's word, as the list writes it
    std::string line;  // the line it stands in, blanks around it trimmed
    size_t at = 0;     // where the word begins in `line`, in bytes
};

// Looks for the words of an attachment list in the part of a message body that
// its sender wrote, as whole words, without regard to case as the keyword rule
// compares (FoldCase). Not the sender's: quoted lines ("> ..."), and everything
// from a signature separator ("-- "), a forwarded or original message's header
// line ("-----Original Message-----", "---------- Forwarded message ---------"),
// Outlook's reply header ("From:" then "Sent:" or "Date:") or a reply's
// attribution line ("On ... wrote:", also split over two lines and in a few
// other languages) on. An attribution followed by quoted lines, as mail programs
// write a reply in plain text, ends nothing: the lines after the quote are the
// sender's answers to it.
class AttachmentWords {
  public:
    // Empty words are dropped.
    explicit AttachmentWords(const std::vector<std::string>& words);
    AttachmentWords(const AttachmentWords&) = delete;
    AttachmentWords& operator=(const AttachmentWords&) = delete;

    bool Empty() const { return words_.empty(); }
    // The first line of `body` that mentions one of the words, with the first
    // word of the list it holds; nothing when no line of the sender's does.
    std::optional<AttachmentMention> FindIn(std::string_view body) const;

  private:
    std::optional<AttachmentMention> FindInLine(std::string_view line) const;

    std::vector<std::string> words_;
    std::vector<std::string> folded_;
    KeywordSearch search_;  // picks out the lines that hold a word at all
};

}  // namespace postwarden::validation
