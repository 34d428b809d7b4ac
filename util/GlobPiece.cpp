// Building a GlobPiece: its parts and the mask rows of its shift-and parts.
// Reading a text with them is GlobPieceScan.cpp.
#include "util/GlobPiece.h"

#include <algorithm>
#include <cassert>
#include <tuple>

#include "util/GlobPieceInternal.h"

namespace postwarden {

namespace {

// From this length on, a stretch of `?`, or of code points without `?`, costs
// less as a part of its own than as bits of shift-and (a word per 64).
constexpr size_t kLongStretch = 64;

// A core of `?` and letters that fits this many words (some 2,000 positions)
// is one shift-and part of 2, 4, 8, 16 or 32 words kept in vector registers:
// a few vector steps per character, less than splitting it would cost.
constexpr size_t kMaxRegisterWords = 32;

// How many words of whole mask rows a piece may keep; rows past it are kept
// as the few words that differ from row 0. A piece of 1,000 code points keeps
// all the rows it can need whole.
constexpr size_t kDenseMaskWords = size_t{1} << 16;

bool IsWildcard(UChar32 c) {
    return c == '?';
}

}  // namespace

GlobPiece::GlobPiece(std::span<const UChar32> piece) {
    assert(!piece.empty());
    const auto begin = std::find_if_not(piece.begin(), piece.end(), IsWildcard);
    leadingGap_ = static_cast<size_t>(begin - piece.begin());
    if (begin == piece.end()) return;
    const auto end = std::find_if_not(piece.rbegin(), piece.rend(), IsWildcard).base();
    trailingGap_ = static_cast<size_t>(piece.end() - end);

    const auto coreLength = static_cast<size_t>(end - begin);
    if (coreLength > kLongStretch && std::find(begin, end, UChar32{'?'}) != end) {
        // The fewest words that hold the core and the Words - 1 positions
        // after it that ScanRegisters lets an end carry on to.
        for (size_t words = 2; words <= kMaxRegisterWords; words *= 2) {
            if (coreLength + words - 1 > 64 * words) continue;
            AddShiftAnd(static_cast<size_t>(begin - piece.begin()), coreLength, 0, words);
            parts_.back().carriesOn = true;
            BuildMasks(piece);
            return;
        }
    }
    // Otherwise the core alternates literal stretches and runs of `?`,
    // starting and ending with a literal one. Long ones are parts of their own; the rest
    // gather into shift-and parts, which start and end with a literal stretch.
    auto gathered = end;  // where the shift-and part being gathered starts
    auto gatheredEnd = end;
    size_t gap = 0;  // the `?` before the next part
    auto flush = [&] {
        if (gathered == end) return;
        AddShiftAnd(static_cast<size_t>(gathered - piece.begin()),
                    static_cast<size_t>(gatheredEnd - gathered), gap);
        gap = 0;
        gathered = end;
    };
    for (auto i = begin; i != end;) {
        const auto literalEnd = std::find_if(i, end, IsWildcard);
        const bool longLiteral = static_cast<size_t>(literalEnd - i) >= kLongStretch;
        if (longLiteral) {
            flush();
            AddLiteral({i, literalEnd}, gap);
            gap = 0;
        } else if (gathered == end) {
            gathered = i;
        }
        if (!longLiteral) gatheredEnd = literalEnd;
        const auto runEnd = std::find_if_not(literalEnd, end, IsWildcard);
        const size_t run = static_cast<size_t>(runEnd - literalEnd);
        const auto nextEnd = std::find_if(runEnd, end, IsWildcard);
        if (run >= kLongStretch || longLiteral ||
            static_cast<size_t>(nextEnd - runEnd) >= kLongStretch) {
            flush();
            gap += run;
        }
        i = runEnd;
    }
    flush();
    if (totalWords_ > 0) BuildMasks(piece);
}

void GlobPiece::AddLiteral(std::span<const UChar32> stretch, size_t gapBefore) {
    Part part;
    part.literal = true;
    part.delay = gapBefore + stretch.size();
    part.literalBegin = literals_.size();
    part.literalLength = stretch.size();
    part.fallbackBegin = fallbacks_.size();
    parts_.push_back(part);
    literals_.insert(literals_.end(), stretch.begin(), stretch.end());
    // fallback[i]: the longest proper prefix of the first i code points that
    // also ends them.
    std::vector<uint32_t> fallback(stretch.size() + 1, 0);
    for (size_t i = 2, k = 0; i <= stretch.size(); ++i) {
        while (k > 0 && stretch[i - 1] != stretch[k]) k = fallback[k];
        if (stretch[i - 1] == stretch[k]) ++k;
        fallback[i] = static_cast<uint32_t>(k);
    }
    fallbacks_.insert(fallbacks_.end(), fallback.begin(), fallback.end());
}

void GlobPiece::AddShiftAnd(size_t begin, size_t length, size_t gapBefore, size_t words) {
    Part part;
    part.delay = gapBefore + 1;
    part.stretchBegin = begin;
    part.stretchLength = length;
    part.firstWord = totalWords_;
    part.words = std::max(words, (length + 63) / 64);
    part.lastWord = (length - 1) % part.words;
    part.lastBit = uint64_t{1} << ((length - 1) / part.words);
    parts_.push_back(part);
    totalWords_ += part.words > 1 ? 2 * part.words + kVectorWords : 1;  // see WordsState
}

void GlobPiece::BuildMasks(std::span<const UChar32> piece) {
    auto forEachPosition = [&](auto&& visit) {
        for (const Part& part : parts_) {
            if (part.literal) continue;
            const size_t copies = part.words > 1 ? 2 : 1;
            for (size_t i = 0; i < part.stretchLength; ++i) {
                for (size_t copy = 0; copy < copies; ++copy) {
                    visit(piece[part.stretchBegin + i],
                          part.firstWord + copy * part.words + i % part.words,
                          uint64_t{1} << (i / part.words));
                }
            }
        }
    };
    uint32_t rows = 1;
    forEachPosition([&](UChar32 c, size_t, uint64_t) {
        if (c == '?') return;
        if (static_cast<uint32_t>(c) < 0x80) {
            if (asciiRows_[c] == 0) asciiRows_[c] = rows++;
        } else {
            otherRows_.emplace_back(c, 0);
        }
    });
    std::sort(otherRows_.begin(), otherRows_.end());
    otherRows_.erase(std::unique(otherRows_.begin(), otherRows_.end()), otherRows_.end());
    for (auto& other : otherRows_) other.second = rows++;
    denseRows_ = static_cast<uint32_t>(
        std::clamp<size_t>(kDenseMaskWords / totalWords_, 1, static_cast<size_t>(rows)));

    // Row 0 first, as every other row starts from it.
    masks_.assign(denseRows_ * totalWords_, 0);
    forEachPosition([&](UChar32 c, size_t word, uint64_t bit) {
        if (c == '?') masks_[word] |= bit;
    });
    for (const Part& part : parts_) {
        if (!part.carriesOn) continue;
        for (size_t i = part.stretchLength; i < 64 * part.words; ++i) {
            for (size_t copy = 0; copy < 2; ++copy) {
                masks_[part.firstWord + copy * part.words + i % part.words] |= uint64_t{1}
                                                                               << (i / part.words);
            }
        }
    }
    for (uint32_t row = 1; row < denseRows_; ++row) {
        std::copy_n(masks_.begin(), totalWords_, masks_.begin() + row * totalWords_);
    }
    std::vector<std::tuple<uint32_t, uint32_t, uint64_t>> sparse;  // row, word, bit
    forEachPosition([&](UChar32 c, size_t word, uint64_t bit) {
        if (c == '?') return;
        if (const uint32_t row = RowOf(c); row < denseRows_) {
            masks_[row * totalWords_ + word] |= bit;
        } else {
            sparse.emplace_back(row, static_cast<uint32_t>(word), bit);
        }
    });
    if (sparse.empty()) return;
    std::sort(sparse.begin(), sparse.end());
    sparseStarts_.assign(rows - denseRows_ + 1, 0);
    uint32_t previousRow = 0;  // no sparse row is row 0
    uint32_t previousWord = 0;
    for (const auto& [row, word, bit] : sparse) {
        if (row != previousRow || word != previousWord) sparse_.emplace_back(word, 0);
        sparse_.back().second |= bit;
        sparseStarts_[row - denseRows_ + 1] = static_cast<uint32_t>(sparse_.size());
        previousRow = row;
        previousWord = word;
    }
}

uint32_t GlobPiece::RowBeyondAscii(UChar32 c) const {
    auto it = std::lower_bound(otherRows_.begin(), otherRows_.end(), std::pair{c, uint32_t{0}});
    return it != otherRows_.end() && it->first == c ? it->second : 0;
}

const uint64_t* GlobPiece::MaskOf(uint32_t row, std::vector<uint64_t>& scratch) const {
    if (row < denseRows_) return masks_.data() + row * totalWords_;
    scratch.assign(masks_.begin(), masks_.begin() + static_cast<ptrdiff_t>(totalWords_));
    const uint32_t sparseRow = row - denseRows_;
    for (uint32_t i = sparseStarts_[sparseRow]; i < sparseStarts_[sparseRow + 1]; ++i) {
        scratch[sparse_[i].first] |= sparse_[i].second;
    }
    return scratch.data();
}

}  // namespace postwarden
