#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace postwarden {

// A text in Unicode simple case folding, one code point for one, without the
// code points that show as nothing inside a word (IsUnseenInWord: the soft
// hyphen, the zero-width ones); bytes that are not valid UTF-8 are kept as they
// are. Two texts that differ only in case, or in those, fold to the same bytes.
std::string FoldCase(std::string_view text);

// Which of a list of keywords occur in a text, without regard to case. All
// keywords are looked for at once (Aho-Corasick over the folded bytes), in one
// pass over the text that folds it as it reads, so the text is never copied and
// the time does not grow with the number of keywords.
//
// The answer is the one a loop over the keywords would give that asks, for each
// in turn, whether FoldCase(keyword) occurs in FoldCase(text); an empty keyword,
// or one of nothing but code points unseen in a word, occurs in every text but
// the empty one.
class KeywordSearch {
  public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    // Tables of more than this many entries (four bytes each) are not built.
    static constexpr size_t kMaxTableEntries = size_t{1} << 25;

    // A list whose tables would exceed `maxTableEntries` is kept as it is and
    // searched keyword by keyword over a folded copy of the text: the same
    // answers, in bounded memory.
    explicit KeywordSearch(const std::vector<std::string>& keywords,
                           size_t maxTableEntries = kMaxTableEntries);
    KeywordSearch(const KeywordSearch&) = delete;
    KeywordSearch& operator=(const KeywordSearch&) = delete;

    size_t Size() const { return keywordCount_; }
    // The 0-based position in the list of the first keyword that occurs in
    // `text`, or npos when none does.
    size_t FirstOccurring(std::string_view text) const;
    // Bytes held by the searcher's tables.
    size_t MemoryBytes() const;

  private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    size_t keywordCount_ = 0;
    size_t firstEmpty_ = npos;  // first empty keyword, if any
    size_t longestFolded_ = 0;  // bytes of the longest folded keyword
    uint32_t classes_ = 1;      // byte classes; class 0 is "in no keyword"
    uint8_t classOf_[256] = {};
    // One row of `classes_` transitions per state; an entry is the row offset of
    // the next state. The states that end some keyword come last, from the row
    // offset `hitFrom_` on.
    std::vector<uint32_t> delta_;
    uint32_t hitFrom_ = 0;
    // Per state (row offset / classes_): the lowest keyword position ending there
    // or at any of its suffixes.
    std::vector<uint32_t> firstEnding_;
    // The columns of the folded bytes of every two-byte code point (U+0080 to
    // U+07FF), packed: up to three in the low bytes, their count in the top one.
    std::vector<uint32_t> foldedColumns_;
    // Set for a list too large for the tables, with its folded keywords.
    bool plain_ = false;
    std::vector<std::string> plainKeywords_;
};

}  // namespace postwarden
