// Finding a GlobPiece in a text, with the parts and mask rows GlobPiece.cpp
// builds.
#include <bit>
#include <cstring>
#include <type_traits>

#include "util/GlobPiece.h"
#include "util/GlobPieceInternal.h"

// GCC can build a function twice, for AVX2 and for any x86-64, and pick one
// when the program starts: the scans that keep their state in vector
// registers take half the steps with AVX2. Clang cannot do so for templates.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PW_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define PW_VECTOR_CLONES
#endif

// The vector helpers below are inlined and never seen outside this file, so
// that AVX2 changes how vectors are passed does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace postwarden {

namespace {

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

// kVectorWords words (GlobPieceInternal.h) as one vector; loads and stores of
// these need no alignment beyond a word's.
typedef uint64_t WordVector
    __attribute__((vector_size(kVectorWords * sizeof(uint64_t)), aligned(sizeof(uint64_t))));

// The same for a given number of words, as a type a template can name.
template <size_t Lanes>
struct VectorOf;
template <>
struct VectorOf<2> {
    typedef uint64_t Type
        __attribute__((vector_size(2 * sizeof(uint64_t)), aligned(sizeof(uint64_t))));
    static Type Load(const uint64_t* words) { return *reinterpret_cast<const Type*>(words); }
};
template <>
struct VectorOf<kVectorWords> {
    typedef WordVector Type;
    static Type Load(const uint64_t* words) { return *reinterpret_cast<const Type*>(words); }
};

// A vector of words may stand for the words themselves, and for nothing else.
WordVector LoadVector(const uint64_t* words) {
    return *reinterpret_cast<const WordVector*>(words);
}

void StoreVector(uint64_t* words, const WordVector& vector) {
    *reinterpret_cast<WordVector*>(words) = vector;
}

// Shift-and over a stretch of more than one word. Moving every position on by
// one moves each word to the next (see Part), so instead of moving them the
// words stay where they are and where word 0 is turns back by one: word k is
// state_[(k + rotation_) % words]. Each character is then one AND of the
// state with the mask rotated alike, which is a run of the mask row kept
// twice over, and a shift of the one word that wraps round. The state is read
// and written in whole vectors only, as a vector read just after one of its
// words was written alone waits for that write to reach memory.
class WordsState {
  public:
    // The state is a whole number of vectors; the words past `words` stay 0.
    WordsState(size_t words, size_t lastWord, uint64_t lastBit)
        : state_((words + kVectorWords - 1) / kVectorWords * kVectorWords, 0),
          words_(words),
          lastWord_(lastWord),
          lastBit_(lastBit) {}

    // One character, with its mask row for the stretch (words x 2, then
    // kVectorWords more); `start`: whether the stretch may start at it.
    // Whether the stretch ends with it.
    bool Step(const uint64_t* mask, bool start) {
        // Stores of words may be to any word, members too: what the loop
        // needs is read into locals first so that it stays in registers.
        uint64_t* const state = state_.data();
        const size_t size = state_.size();
        const size_t words = words_;
        if (!alive_) {
            // Nothing under way, wherever word 0 is: only the first position
            // can match, and a stretch of more than one word does not end there.
            if (!start) return false;
            state[rotation_] = mask[0] & 1;
            alive_ = state[rotation_] != 0;
            return false;
        }
        const size_t rotation = rotation_ == 0 ? words - 1 : rotation_ - 1;
        rotation_ = rotation;
        // What was the last word becomes word 0, shifted on by one position.
        const uint64_t wrapped = ((state[rotation] << 1) | static_cast<uint64_t>(start)) & mask[0];
        const uint64_t* const rotated = mask + (words - rotation);
        WordVector any{};
        for (size_t k = 0; k < size; k += kVectorWords) {
            const WordVector next = LoadVector(state + k) & LoadVector(rotated + k);
            StoreVector(state + k, next);
            any |= next;
        }
        // The vector that holds word 0 now, with word 0 put right.
        const size_t first = rotation / kVectorWords * kVectorWords;
        const WordVector isWrapped = WordVector{0, 1, 2, 3} == (rotation - first);
        const WordVector fixed = (LoadVector(state + first) & ~isWrapped) | (wrapped & isWrapped);
        StoreVector(state + first, fixed);
        // Whether the state is all 0 is worth knowing only now and then; in
        // between, `any` may count the word that `fixed` replaced, which only
        // keeps alive_ a step longer.
        if (++sinceAliveCheck_ == 64) {
            any |= fixed;
            alive_ = (any[0] | any[1] | any[2] | any[3]) != 0;
            sinceAliveCheck_ = 0;
        }
        const size_t last = lastWord_ + rotation;
        return (state[last < words ? last : last - words] & lastBit_) != 0;
    }

  private:
    std::vector<uint64_t> state_;
    size_t words_;
    size_t lastWord_;
    uint64_t lastBit_;
    size_t rotation_ = 0;
    bool alive_ = false;  // whether any bit of the state may be set
    uint32_t sinceAliveCheck_ = 0;
};

}  // namespace

bool GlobPiece::FindIn(FoldedReader& text) const {
    if (!Skip(text, leadingGap_)) return false;
    if (!parts_.empty()) {
        // Stops at the first character the parts end with.
        struct {
            bool found = false;
            bool operator()(bool ended) { return found = ended; }
            void Quiet(size_t) {}
        } first;
        Scan(text, first);
        if (!first.found) return false;
    }
    // The piece ends where its parts first do, plus its trailing `?`.
    return Skip(text, trailingGap_);
}

bool GlobPiece::EndsText(FoldedReader& text) const {
    if (!Skip(text, leadingGap_)) return false;
    if (parts_.empty()) return true;  // only `?`, and there were enough characters
    // Whether the parts ended trailingGap_ characters before the text does.
    struct {
        BitDelay ends;
        bool operator()(bool ended) {
            ends.Write(ended);
            return false;
        }
        void Quiet(size_t characters) {
            for (; characters > 0; --characters) ends.Write(false);
        }
    } last{BitDelay(trailingGap_ + 1)};
    Scan(text, last);
    return last.ends.Oldest();
}

template <class Stop>
void GlobPiece::Scan(FoldedReader& text, Stop& stop) const {
    if (parts_.size() > 1) {
        ScanParts(text, stop);
    } else if (parts_[0].words == 2) {
        ScanRegisters<2>(text, stop);
    } else if (parts_[0].words == 4) {
        ScanRegisters<4>(text, stop);
    } else if (parts_[0].words == 8) {
        ScanRegisters<8>(text, stop);
    } else if (parts_[0].words == 16) {
        ScanRegisters<16>(text, stop);
    } else if (parts_[0].words == 32) {
        ScanRegisters<32>(text, stop);
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

template <size_t Words, class Stop>
PW_VECTOR_CLONES void GlobPiece::ScanRegisters(FoldedReader& text, Stop& stop) const {
    // As WordsState, with the state in vector registers, and without asking
    // after each character whether the stretch ended there: the positions
    // past its end match anything (see AddShiftAnd), so an end carries on as
    // a bit past it, and a look at those after each Words characters, when
    // word 0 is back in place, says whether the stretch ended among them.
    // Only then are they read again, one at a time, to say where.
    //
    // A group of Words characters is read first, into the mask rows of its
    // characters, then stepped through as one stretch of code in which where
    // word 0 is is known as the code is built, with no call and no branch, so
    // that the state stays in registers. (Loops over the vectors are
    // unrolled for the same reason: indexing them by a variable would keep
    // them in memory.)
    constexpr size_t kLanes = Words == 2 ? 2 : kVectorWords;
    constexpr size_t kVectors = Words / kLanes;
    using Vector = typename VectorOf<kLanes>::Type;
    struct State {
        Vector words[kVectors] = {};
    };
    const Part& part = parts_[0];
    const uint64_t* const masks = masks_.data() + part.firstWord;
    std::array<std::vector<uint64_t>, Words> scratch;  // for rows not kept whole
    auto maskOf = [&](UChar32 c, size_t slot) {
        const uint32_t row = RowOf(c);
        return row < denseRows_ ? masks + row * totalWords_
                                : MaskOf(row, scratch[slot]) + part.firstWord;
    };
    // The positions an end carries on to in Words characters.
    State ends;
    for (size_t i = part.stretchLength - 1; i < part.stretchLength - 1 + Words; ++i) {
        ends.words[i % Words / kLanes][i % Words % kLanes] |= uint64_t{1} << (i / Words);
    }

    State state;
    auto step = [&]<size_t Rotation>(std::integral_constant<size_t, Rotation>, const uint64_t* mask)
        __attribute__((always_inline)) {
        const uint64_t* const rotated = mask + (Words - Rotation);
        // Word 0 is lane Rotation % kLanes of this vector: a blend, as
        // writing one lane would go through memory.
        Vector& wrapping = state.words[Rotation / kLanes];
        const Vector lane = [&]<size_t... Lane>(std::index_sequence<Lane...>) {
            return Vector{(Lane == Rotation % kLanes ? ~uint64_t{0} : uint64_t{0})...};
        }
        (std::make_index_sequence<kLanes>{});
        wrapping = (((wrapping << 1) | 1) & lane) | (wrapping & ~lane);
#pragma GCC unroll 32
        for (size_t i = 0; i < kVectors; ++i) {
            state.words[i] &= VectorOf<kLanes>::Load(rotated + i * kLanes);
        }
    };
    // One character at a time, as WordsState does, asking `stop` after each,
    // for up to `count` characters: what an end in a group, rare as one is,
    // and the last characters cost. Whether `stop` said to stop.
    auto exactly = [&](size_t count) {
        uint64_t words[Words];
#pragma GCC unroll 32
        for (size_t i = 0; i < Words; ++i) words[i] = state.words[i / kLanes][i % kLanes];
        for (size_t rotation = Words - 1; count > 0 && !text.AtEnd(); --count) {
            const uint64_t* const rotated = maskOf(text.Next(), 0) + (Words - rotation);
            words[rotation] = (words[rotation] << 1) | 1;
            for (size_t i = 0; i < Words; ++i) words[i] &= rotated[i];
            const size_t last = (part.lastWord + rotation) % Words;
            if (stop((words[last] & part.lastBit) != 0)) return true;
            rotation = rotation == 0 ? Words - 1 : rotation - 1;
        }
#pragma GCC unroll 32
        for (size_t i = 0; i < kVectors; ++i) {
            state.words[i] = VectorOf<kLanes>::Load(words + i * kLanes);
        }
        return false;
    };

    // A character takes at most 4 bytes, so this many bytes hold a group,
    // unless skipped code points fill some: then the text may end within it,
    // and the rest is read one character at a time.
    while (text.BytesLeft() >= 4 * Words) {
        const FoldedReader groupStart = text;
        const uint64_t* rows[Words];
        FoldedReader reader = text;  // a copy the compiler may keep in registers
        size_t read = 0;
        for (; read < Words && !reader.AtEnd(); ++read) rows[read] = maskOf(reader.Next(), read);
        if (read < Words) break;
        text = reader;
        const State saved = state;
        [&]<size_t... Step>(std::index_sequence<Step...>) __attribute__((always_inline)) {
            (step(std::integral_constant<size_t, Words - 1 - Step>{}, rows[Step]), ...);
        }
        (std::make_index_sequence<Words>{});
        Vector ended{};
#pragma GCC unroll 32
        for (size_t i = 0; i < kVectors; ++i) ended |= state.words[i] & ends.words[i];
        uint64_t any = 0;
#pragma GCC unroll 4
        for (size_t lane = 0; lane < kLanes; ++lane) any |= ended[lane];
        if (any == 0) {
            stop.Quiet(Words);
            continue;
        }
        text = groupStart;
        state = saved;
        if (exactly(Words)) return;
    }
    exactly(SIZE_MAX);
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
