#include "platform/mailstore/AddressList.h"

#include "util/Text.h"

namespace postwarden::mailstore {

namespace {

// A header field's value may still hold the line ends of its folding.
constexpr std::string_view kBlanks = " \t\r\n";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Tracks quoted strings, comments, angle brackets and domain literals, so that
// the separators inside them are not taken as separators of the list. With
// `lexical` false every character is plain text: the fallback for a header
// whose quote or comment never closes.
class Scanner {
  public:
    explicit Scanner(bool lexical) : lexical_(lexical) {}

    // Consumes `c` (and `next` when `c` escapes it); returns how many
    // characters were used. TopLevel() tells whether `c` stood outside every
    // nested construct.
    size_t Step(char c, bool hasNext) {
        topLevel_ = false;
        if (!lexical_) {
            topLevel_ = true;
            return 1;
        }
        if ((quoted_ || comment_ > 0) && c == '\\' && hasNext) return 2;
        if (quoted_) {
            if (c == '"') quoted_ = false;
            return 1;
        }
        if (comment_ > 0) {
            if (c == '(') ++comment_;
            if (c == ')') --comment_;
            return 1;
        }
        if (literal_) {
            if (c == ']') literal_ = false;
            return 1;
        }
        switch (c) {
            case '"':
                quoted_ = true;
                return 1;
            case '(':
                comment_ = 1;
                return 1;
            case '[':
                literal_ = true;
                return 1;
            case '<':
                angle_ = true;
                return 1;
            case '>':
                angle_ = false;
                return 1;
            default:
                break;
        }
        topLevel_ = !angle_;
        return 1;
    }

    bool TopLevel() const { return topLevel_; }
    // Outside quoted strings, comments and literals (angle brackets aside).
    bool Plain() const { return !lexical_ || (!quoted_ && comment_ == 0 && !literal_); }
    bool InComment() const { return comment_ > 0; }
    bool Unbalanced() const { return quoted_ || comment_ > 0 || literal_ || angle_; }

  private:
    bool lexical_;
    bool quoted_ = false;
    bool literal_ = false;
    bool angle_ = false;
    int comment_ = 0;
    bool topLevel_ = false;
};

// One piece between separators: `phrase <address>` or a bare address.
void AddMailbox(std::string_view piece, bool lexical, std::vector<RawMailbox>& out) {
    Scanner scanner(lexical);
    size_t angleOpen = std::string_view::npos;
    size_t angleClose = std::string_view::npos;
    std::string bare;  // the piece without its comments
    for (size_t i = 0; i < piece.size();) {
        const char c = piece[i];
        const bool plain = scanner.Plain();
        const bool wasComment = scanner.InComment();
        const size_t used = scanner.Step(c, i + 1 < piece.size());
        if (plain && c == '<' && angleOpen == std::string_view::npos) {
            angleOpen = i;
        } else if (plain && c == '>' && angleOpen != std::string_view::npos &&
                   angleClose == std::string_view::npos) {
            angleClose = i;
        }
        if (!wasComment && !scanner.InComment()) bare.append(piece.substr(i, used));
        i += used;
    }
    if (angleOpen != std::string_view::npos) {
        const size_t end = angleClose == std::string_view::npos ? piece.size() : angleClose;
        RawMailbox mailbox{
            std::string(Trim(piece.substr(0, angleOpen), kBlanks)),
            std::string(Trim(piece.substr(angleOpen + 1, end - angleOpen - 1), kBlanks))};
        if (!mailbox.address.empty() || !mailbox.phrase.empty()) out.push_back(std::move(mailbox));
        return;
    }
    const std::string_view address = Trim(bare, kBlanks);
    if (!address.empty()) out.push_back({std::string(), std::string(address)});
}

// Splits `value` into `out`; returns false (having added nothing) when a quote,
// comment, literal or angle bracket never closes. Stops after more than `max`.
bool Split(std::string_view value, bool lexical, size_t max, std::vector<RawMailbox>& out) {
    Scanner scanner(lexical);
    std::vector<RawMailbox> found;
    bool inGroup = false;
    size_t pieceStart = 0;
    for (size_t i = 0; i < value.size();) {
        const char c = value[i];
        const size_t used = scanner.Step(c, i + 1 < value.size());
        if (scanner.TopLevel()) {
            if (c == ',' || c == ';') {
                AddMailbox(value.substr(pieceStart, i - pieceStart), lexical, found);
                if (found.size() > max) break;
                pieceStart = i + 1;
                if (c == ';') inGroup = false;
            } else if (c == ':' && !inGroup) {
                // The group's display name is not a recipient; its members are.
                inGroup = true;
                pieceStart = i + 1;
            }
        }
        i += used;
    }
    if (found.size() <= max) {
        if (scanner.Unbalanced()) return false;
        AddMailbox(value.substr(pieceStart), lexical, found);
    }
    out.insert(out.end(), std::make_move_iterator(found.begin()),
               std::make_move_iterator(found.end()));
    return true;
}

}  // namespace

std::vector<RawMailbox> SplitAddressList(std::string_view value, size_t maxMailboxes) {
    std::vector<RawMailbox> mailboxes;
    if (!Split(value, true, maxMailboxes, mailboxes)) Split(value, false, maxMailboxes, mailboxes);
    return mailboxes;
}

std::string UnquotePhrase(std::string_view phrase) {
    std::string text;
    text.reserve(phrase.size());
    bool quoted = false;
    bool pendingBlank = false;
    for (size_t i = 0; i < phrase.size(); ++i) {
        char c = phrase[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted && c == '\\' && i + 1 < phrase.size())
            c = phrase[++i];
        else if (IsBlank(c)) {
            pendingBlank = !text.empty();
            continue;
        }
        if (pendingBlank) text.push_back(' ');
        pendingBlank = false;
        text.push_back(c);
    }
    return text;
}

}  // namespace postwarden::mailstore
