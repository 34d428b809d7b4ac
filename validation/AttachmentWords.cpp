#include "validation/AttachmentWords.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <utility>

#include "util/Text.h"

namespace postwarden::validation {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::vector<std::string> NonEmpty(const std::vector<std::string>& words) {
    std::vector<std::string> kept;
    for (const std::string& word : words) {
        if (!Trim(word, kBlanks).empty()) kept.emplace_back(Trim(word, kBlanks));
    }
    return kept;
}

// A letter, a digit or a mark that goes with one: what a word is made of.
bool InWord(UChar32 c) {
    if (c < 0) return false;
    const int8_t type = u_charType(c);
    return u_isalnum(c) || type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK ||
           c == '_';
}

bool InWordBefore(std::string_view text, size_t at) {
    if (at == 0) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    auto i = static_cast<int32_t>(at);
    UChar32 c;
    U8_PREV(bytes, 0, i, c);
    return InWord(c);
}

bool InWordAt(std::string_view text, size_t at) {
    if (at >= text.size()) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    auto i = static_cast<int32_t>(at);
    UChar32 c;
    U8_NEXT(bytes, i, static_cast<int32_t>(text.size()), c);
    return InWord(c);
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// How a reply's attribution line begins and what it says before its final
// colon: "On Mon, 1 Jan 2024, Ann wrote:", "Am ... schrieb Ann:".
struct Attribution {
    std::string_view begins;
    std::string_view says;
};
constexpr std::array<Attribution, 6> kAttributions = {{{"On ", "wrote"},
                                                       {"Am ", "schrieb"},
                                                       {"Le ", "a \u00e9crit"},
                                                       {"El ", "escribi\u00f3"},
                                                       {"Il ", "ha scritto"},
                                                       {"Op ", "schreef"}}};

bool IsAttribution(std::string_view line) {
    if (!EndsWith(line, ":")) return false;
    for (const Attribution& form : kAttributions) {
        if (line.starts_with(form.begins) && line.find(form.says) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

// An attribution a mail program wrapped before its last words: "On Mon, 1 Jan
// 2024 at 10:00, Ann Example <ann@example.com>" and then "wrote:".
bool IsSplitAttribution(std::string_view first, std::string_view second) {
    if (!EndsWith(second, ":")) return false;
    for (const Attribution& form : kAttributions) {
        if (first.starts_with(form.begins) && second.find(form.says) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

// "-----Original Message-----", "-------- Forwarded Message --------".
bool IsEnclosedMessageHeader(std::string_view line) {
    if (!line.starts_with("-----")) return false;
    const std::string lower = LCase(line);
    return lower.find("original message") != std::string::npos ||
           lower.find("forwarded message") != std::string::npos;
}

class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}
    bool Done() const { return at_ > text_.size(); }
    // The next line without its line end; advances past it.
    std::string_view Next() {
        const size_t end = std::min(text_.find('\n', at_), text_.size());
        std::string_view line = text_.substr(at_, end - at_);
        at_ = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        return line;
    }
    // The lines to come, as Next would give them, without advancing.
    Lines Ahead() const { return *this; }

  private:
    std::string_view text_;
    size_t at_ = 0;
};

// The first line of `ahead` with more than blanks; empty when there is none.
std::string_view NextWritten(Lines ahead) {
    while (!ahead.Done()) {
        const std::string_view line = Trim(ahead.Next(), kBlanks);
        if (!line.empty()) return line;
    }
    return {};
}

}  // namespace

AttachmentWords::AttachmentWords(const std::vector<std::string>& words)
    : words_(NonEmpty(words)), search_(words_) {
    for (const std::string& word : words_) folded_.push_back(FoldCase(word));
}

std::optional<AttachmentMention> AttachmentWords::FindIn(std::string_view body) const {
    if (words_.empty()) return std::nullopt;
    Lines lines(body);
    while (!lines.Done()) {
        const std::string_view raw = lines.Next();
        if (raw == "-- " || raw == "--") break;
        const std::string_view line = Trim(raw, kBlanks);
        if (line.starts_with('>')) continue;
        if (IsEnclosedMessageHeader(line)) break;
        if (line.starts_with("From:")) {
            const std::string_view next = NextWritten(lines.Ahead());
            if (next.starts_with("Sent:") || next.starts_with("Date:")) break;
        }
        // An attribution, on its own line or split before its last word.
        bool attribution = IsAttribution(line);
        Lines after = lines.Ahead();
        if (!attribution && !after.Done()) {
            const std::string_view next = Trim(after.Next(), kBlanks);
            if (IsSplitAttribution(line, next)) {
                attribution = true;
                lines = after;
            }
        }
        if (attribution) {
            if (NextWritten(lines.Ahead()).starts_with('>')) continue;
            break;
        }
        if (search_.FirstOccurring(line) == KeywordSearch::npos) continue;
        if (std::optional<AttachmentMention> found = FindInLine(line)) return found;
    }
    return std::nullopt;
}

std::optional<AttachmentMention> AttachmentWords::FindInLine(std::string_view line) const {
    // The line folded one code point at a time, so that a place in the folded
    // text leads back to the place in the line.
    std::string folded;
    std::vector<size_t> from;  // for each folded byte, where its code point begins in `line`
    const auto* bytes = reinterpret_cast<const uint8_t*>(line.data());
    const auto length = static_cast<int32_t>(line.size());
    for (int32_t at = 0; at < length;) {
        const int32_t start = at;
        U8_FWD_1(bytes, at, length);
        const std::string piece = FoldCase(line.substr(start, at - start));
        folded += piece;
        from.insert(from.end(), piece.size(), static_cast<size_t>(start));
    }
    for (size_t w = 0; w < words_.size(); ++w) {
        const std::string& word = folded_[w];
        if (word.empty()) continue;
        for (size_t at = folded.find(word); at != std::string::npos;
             at = folded.find(word, at + 1)) {
            const size_t begin = from[at];
            const size_t end =
                at + word.size() < folded.size() ? from[at + word.size()] : line.size();
            if (!InWordBefore(line, begin) && !InWordAt(line, end)) {
                return AttachmentMention{words_[w], std::string(line), begin};
            }
        }
    }
    return std::nullopt;
}

}  // namespace postwarden::validation
