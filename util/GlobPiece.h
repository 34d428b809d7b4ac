#pragma once

#include <unicode/umachine.h>

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "util/FoldedReader.h"

namespace postwarden {

// One piece of a glob pattern between two stars: folded code points, where `?`
// stands for any one. Finds the piece in a folded text reading each character
// once, with work per character that depends on the piece only:
// - `?` at its ends are characters to skip;
// - a core of letters and `?` of up to some 2,000 code points is one
//   shift-and (one bit per position saying whether the piece matches up to
//   there ending at the current character) of up to 32 words kept in vector
//   registers, a few vector steps per character;
// - in a longer core, a stretch of 64 or more `?` is a delay line, a few
//   steps per character; a stretch of 64 or more code points without `?` is
//   found by Knuth-Morris-Pratt (as is a core without `?`), a few steps per
//   character; everything else by shift-and over ceil(length / 64) words.
// Memory grows with the piece's length only.
class GlobPiece {
  public:
    // `piece` must not be empty.
    explicit GlobPiece(std::span<const UChar32> piece);
    GlobPiece(const GlobPiece&) = delete;
    GlobPiece& operator=(const GlobPiece&) = delete;

    // Reads `text` up to the end of the piece's first occurrence in what is
    // left of it and answers true, or answers false having read all of it.
    bool FindIn(FoldedReader& text) const;

    // Whether what is left of `text` ends with the piece; reads what it needs.
    bool EndsText(FoldedReader& text) const;

  private:
    // A stretch of the piece between its leading and trailing `?`, which the
    // stretch before it must have ended `delay` characters earlier:
    // - a literal stretch (no `?`) at literals_[literalBegin, + literalLength),
    //   which ends where Knuth-Morris-Pratt finds it ending, if the stretch
    //   before it ended `delay` = its length + the `?` between them ago;
    // - else a shift-and stretch of `words` words of state, whose mask starts
    //   at word firstWord of each mask row (and is kept there twice over when
    //   it is more than one word), which may start at a character if the stretch
    //   before it ended `delay` = 1 + the `?` between them ago. Position i is
    //   bit i / words of word i % words, so that moving every position on by
    //   one moves each word to the next, and only the last word's bits shift.
    struct Part {
        bool literal = false;
        size_t delay = 0;
        size_t literalBegin = 0;
        size_t literalLength = 0;
        size_t fallbackBegin = 0;  // its literalLength + 1 entries in fallbacks_
        size_t stretchBegin = 0;   // where a shift-and stretch is in the piece
        size_t stretchLength = 0;
        size_t firstWord = 0;
        // Whether the positions past the stretch, up to its words' end, match
        // any character, for ScanRegisters.
        bool carriesOn = false;
        size_t words = 0;
        size_t lastWord = 0;
        uint64_t lastBit = 0;
    };

    void AddLiteral(std::span<const UChar32> stretch, size_t gapBefore);
    void AddShiftAnd(size_t begin, size_t length, size_t gapBefore, size_t words = 1);
    void BuildMasks(std::span<const UChar32> piece);

    // Reads `text`, telling `stop` after each character whether the parts all
    // ended with it, until `stop` answers true or the text ends.
    // `stop` may also be told at once that a number of characters passed
    // without the parts ending (Quiet).
    template <class Stop>
    void Scan(FoldedReader& text, Stop& stop) const;
    template <class Stop>
    void ScanParts(FoldedReader& text, Stop& stop) const;
    template <size_t Words, class Stop>
    void ScanRegisters(FoldedReader& text, Stop& stop) const;

    uint32_t RowOf(UChar32 c) const {
        return static_cast<uint32_t>(c) < 0x80 ? asciiRows_[c] : RowBeyondAscii(c);
    }
    uint32_t RowBeyondAscii(UChar32 c) const;
    const uint64_t* MaskOf(uint32_t row, std::vector<uint64_t>& scratch) const;

    size_t leadingGap_ = 0;
    size_t trailingGap_ = 0;
    std::vector<Part> parts_;  // none if the piece is only `?`
    // The literal stretches, and for each length of one matched, the longest
    // proper prefix that is also a suffix of what was matched.
    std::vector<UChar32> literals_;
    std::vector<uint32_t> fallbacks_;
    // Mask row r says at which positions of the shift-and stretches the code
    // point of row r matches; row 0 is for code points the piece does not
    // name, so it holds the `?`. The first denseRows_ rows are kept whole; the
    // others, for pieces with too many different code points to keep so, as
    // the (word, bits) they add to row 0.
    size_t totalWords_ = 0;  // of a mask row
    uint32_t denseRows_ = 1;
    std::vector<uint64_t> masks_;
    std::vector<std::pair<uint32_t, uint64_t>> sparse_;
    std::vector<uint32_t> sparseStarts_;
    std::array<uint32_t, 128> asciiRows_{};
    std::vector<std::pair<UChar32, uint32_t>> otherRows_;  // sorted by code point
};

}  // namespace postwarden
