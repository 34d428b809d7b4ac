#include "platform/engine/GlobPiece.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <tuple>

namespace postwarden {

namespace {

// From this length on, a stretch of `?`, or of code points without `?`, costs
// less as a part of its own than as bits of shift-and (a word per 64).
constexpr size_t kLongStretch = 64;

// How many words of whole mask rows a piece may keep; rows past it are kept
// as the few words that differ from row 0. A piece of 1,000 code points keeps
// all the rows it can need whole.
constexpr size_t kDenseMaskWords = size_t{1} << 16;

bool IsWildcard(UChar32 c) {
    return c == '?';
}

// Reads at most `count` characters; whether there were that many.
bool Skip(FoldedReader& text, size_t count) {
    for (; count > 0; --count) {
        if (text.AtEnd()) return false;
        text.Next();
    }
    return true;
}

// The bits written, read back `length` writes later.
class BitDelay {
  public:
    explicit BitDelay(size_t length) : bits_(length, 0) {}

    // The bit written `length` writes ago (false before there were that many).
    bool Oldest() const { return bits_[next_] != 0; }

    void Write(bool bit) {
        bits_[next_] = bit;
        next_ = next_ + 1 == bits_.size() ? 0 : next_ + 1;
    }

  private:
    std::vector<uint8_t> bits_;
    size_t next_ = 0;
};

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

// Shift-and over a stretch of more than one word: the words before and after
// a character, in turn.
class WordsState {
  public:
    WordsState(size_t words, size_t lastWord, uint64_t lastBit)
        : words_(2 * words, 0), lastWord_(lastWord), lastBit_(lastBit) {}

    // One character, with its mask for the stretch; `start`: whether the
    // stretch may start at it. Whether the stretch ends with it.
    bool Step(const uint64_t* mask, bool start) {
        const size_t words = words_.size() / 2;
        uint64_t* state = words_.data() + (current_ ? words : 0);
        if (!alive_) {
            // Nothing under way: only the first position can match, and a
            // stretch of more than one word does not end there.
            if (!start) return false;
            state[0] = mask[0] & 1;
            alive_ = state[0] != 0;
            return false;
        }
        uint64_t* next = words_.data() + (current_ ? 0 : words);
        next[0] = ((state[words - 1] << 1) | static_cast<uint64_t>(start)) & mask[0];
        uint64_t any = next[0];
        for (size_t k = 1; k < words; ++k) {
            next[k] = state[k - 1] & mask[k];
            any |= next[k];
        }
        current_ = !current_;
        alive_ = any != 0;
        return (next[lastWord_] & lastBit_) != 0;
    }

  private:
    std::vector<uint64_t> words_;
    size_t lastWord_;
    uint64_t lastBit_;
    bool current_ = false;  // which half is the state now
    bool alive_ = false;    // whether any bit of it is set
};

}  // namespace

GlobPiece::GlobPiece(std::span<const UChar32> piece) {
    assert(!piece.empty());
    const auto begin = std::find_if_not(piece.begin(), piece.end(), IsWildcard);
    leadingGap_ = static_cast<size_t>(begin - piece.begin());
    if (begin == piece.end()) return;
    const auto end = std::find_if_not(piece.rbegin(), piece.rend(), IsWildcard).base();
    trailingGap_ = static_cast<size_t>(piece.end() - end);

    // The core alternates literal stretches and runs of `?`, starting and
    // ending with a literal one. Long ones are parts of their own; the rest
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

void GlobPiece::AddShiftAnd(size_t begin, size_t length, size_t gapBefore) {
    Part part;
    part.delay = gapBefore + 1;
    part.stretchBegin = begin;
    part.stretchLength = length;
    part.firstWord = totalWords_;
    part.words = (length + 63) / 64;
    part.lastWord = (length - 1) % part.words;
    part.lastBit = uint64_t{1} << ((length - 1) / part.words);
    parts_.push_back(part);
    totalWords_ += part.words;
}

void GlobPiece::BuildMasks(std::span<const UChar32> piece) {
    auto forEachPosition = [&](auto&& visit) {
        for (const Part& part : parts_) {
            if (part.literal) continue;
            for (size_t i = 0; i < part.stretchLength; ++i) {
                visit(piece[part.stretchBegin + i], part.firstWord + i % part.words,
                      uint64_t{1} << (i / part.words));
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

bool GlobPiece::FindIn(FoldedReader& text) const {
    if (!Skip(text, leadingGap_)) return false;
    if (!parts_.empty()) {
        bool found = false;
        Scan(text, [&](bool ended) { return found = ended; });
        if (!found) return false;
    }
    // The piece ends where its parts first do, plus its trailing `?`.
    return Skip(text, trailingGap_);
}

bool GlobPiece::EndsText(FoldedReader& text) const {
    if (!Skip(text, leadingGap_)) return false;
    if (parts_.empty()) return true;  // only `?`, and there were enough characters
    if (trailingGap_ == 0) {
        bool ended = false;
        Scan(text, [&](bool endedHere) {
            ended = endedHere;
            return false;
        });
        return ended;
    }
    // Whether the parts ended trailingGap_ characters before the text does.
    BitDelay ends(trailingGap_ + 1);
    Scan(text, [&](bool ended) {
        ends.Write(ended);
        return false;
    });
    return ends.Oldest();
}

template <class Stop>
void GlobPiece::Scan(FoldedReader& text, Stop&& stop) const {
    if (parts_.size() > 1) {
        ScanParts(text, stop);
    } else if (parts_[0].words > 1) {
        WordsState words(parts_[0].words, parts_[0].lastWord, parts_[0].lastBit);
        std::vector<uint64_t> scratch;
        while (!text.AtEnd()) {
            const uint32_t row = RowOf(text.Next());
            const uint64_t* mask =
                row < denseRows_ ? masks_.data() + row * totalWords_ : MaskOf(row, scratch);
            if (stop(words.Step(mask, true))) return;
        }
    } else if (parts_[0].literal) {
        LiteralState literal(literals_.data(), fallbacks_.data(), parts_[0].literalLength);
        while (!text.AtEnd()) {
            if (stop(literal.Step(text.Next()))) return;
        }
    } else {
        // One word of shift-and, by far the most common.
        const uint64_t lastBit = parts_[0].lastBit;
        uint64_t state = 0;
        while (!text.AtEnd()) {
            state = ((state << 1) | 1) & masks_[RowOf(text.Next())];
            if (stop((state & lastBit) != 0)) return;
        }
    }
}

template <class Stop>
void GlobPiece::ScanParts(FoldedReader& text, Stop& stop) const {
    const size_t count = parts_.size();
    // The state of each part of more than one word, or literal.
    std::vector<WordsState> words;
    std::vector<LiteralState> literals;
    words.reserve(count);
    literals.reserve(count);
    // Where each part but the last ended, into a ring for the part after it:
    // a power of two at least that part's delay long, indexed by the number
    // of the character.
    std::vector<uint32_t> endings;
    std::vector<size_t> ringStarts(count, 0);
    for (size_t p = 1; p < count; ++p) {
        ringStarts[p] = endings.size();
        endings.resize(endings.size() + std::bit_ceil(parts_[p].delay), 0);
    }
    // What one character does to each part, with every address worked out.
    struct Link {
        enum Kind : uint8_t { kOneWord, kWords, kLiteral } kind;
        const uint32_t* before;  // null for the first part
        size_t beforeMask;
        size_t delay;
        uint32_t* after;  // null for the last part
        size_t afterMask;
        uint64_t state;  // of a part of one word
        size_t firstWord;
        uint64_t lastBit;
        WordsState* words;
        LiteralState* literal;
    };
    std::vector<Link> links(count);
    for (size_t p = 0; p < count; ++p) {
        const Part& part = parts_[p];
        Link& link = links[p];
        link.kind = part.literal ? Link::kLiteral : part.words == 1 ? Link::kOneWord : Link::kWords;
        if (p > 0) {
            link.before = endings.data() + ringStarts[p];
            link.beforeMask = std::bit_ceil(part.delay) - 1;
            link.delay = part.delay;
        }
        if (p + 1 < count) {
            link.after = endings.data() + ringStarts[p + 1];
            link.afterMask = std::bit_ceil(parts_[p + 1].delay) - 1;
        }
        link.firstWord = part.firstWord;
        link.lastBit = part.lastBit;
        if (link.kind == Link::kLiteral) {
            literals.emplace_back(literals_.data() + part.literalBegin,
                                  fallbacks_.data() + part.fallbackBegin, part.literalLength);
            link.literal = &literals.back();
        } else if (link.kind == Link::kWords) {
            words.emplace_back(part.words, part.lastWord, part.lastBit);
            link.words = &words.back();
        }
    }
    std::vector<uint64_t> scratch;

    const uint64_t* const masks = masks_.data();
    const size_t totalWords = totalWords_;
    for (size_t t = 0; !text.AtEnd(); ++t) {
        const UChar32 c = text.Next();
        const uint64_t* mask = nullptr;
        if (totalWords > 0) {
            const uint32_t row = RowOf(c);
            mask = row < denseRows_ ? masks + row * totalWords : MaskOf(row, scratch);
        }
        // From the last part to the first, so that each reads where the part
        // before it ended before that part writes it for this character.
        bool last = false;
        for (Link* link = links.data() + count; link-- != links.data();) {
            bool ended = false;
            const bool start =
                link->before == nullptr || link->before[(t - link->delay) & link->beforeMask];
            switch (link->kind) {
                case Link::kOneWord:
                    link->state =
                        ((link->state << 1) | static_cast<uint64_t>(start)) & mask[link->firstWord];
                    ended = (link->state & link->lastBit) != 0;
                    break;
                case Link::kWords:
                    ended = link->words->Step(mask + link->firstWord, start);
                    break;
                case Link::kLiteral:
                    ended = link->literal->Step(c) && start;
                    break;
            }
            if (link->after != nullptr) {
                link->after[t & link->afterMask] = ended;
            } else {
                last = ended;
            }
        }
        if (stop(last)) return;
    }
}

}  // namespace postwarden
