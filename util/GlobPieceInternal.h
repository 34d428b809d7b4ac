#pragma once

// What building a GlobPiece (GlobPiece.cpp) and reading a text with it
// (GlobPieceScan.cpp) agree on: how a literal part's fallbacks are read, and
// the width of the vectors a part of more than one word is read in.

#include <unicode/umachine.h>

#include <cstddef>
#include <cstdint>

namespace postwarden {

// Where Knuth-Morris-Pratt has got to in a literal stretch.
class LiteralState {
  public:
    LiteralState(const UChar32* literal, const uint32_t* fallback, size_t length)
        : literal_(literal), fallback_(fallback), length_(length) {}

    // Whether the stretch ends with `c`.
    bool Step(UChar32 c) {
        while (matched_ > 0 && literal_[matched_] != c) matched_ = fallback_[matched_];
        if (literal_[matched_] == c) ++matched_;
        if (matched_ < length_) return false;
        matched_ = fallback_[matched_];
        return true;
    }

  private:
    const UChar32* literal_;
    const uint32_t* fallback_;
    size_t length_;
    size_t matched_ = 0;
};

// How many words a scan reads and writes as one vector: four at a time where
// the target has the instructions for it, else two, else one. The mask row of
// a part of more than one word ends with this many words more (see WordsState).
inline constexpr size_t kVectorWords = 4;

}  // namespace postwarden
