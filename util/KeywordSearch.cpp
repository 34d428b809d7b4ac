#include "util/KeywordSearch.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cassert>
#include <limits>

#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden {

namespace {

constexpr uint32_t kNoKeyword = std::numeric_limits<uint32_t>::max();

// The folded UTF-8 bytes of every two-byte code point (U+0080 to U+07FF): the
// Latin, Greek and Cyrillic letters that fill most non-ASCII text are folded by
// one look-up instead of a call into ICU. The soft hyphen folds to nothing.
struct FoldedTwoByte {
    uint8_t length = 0;
    uint8_t bytes[3] = {};
};
const FoldedTwoByte* TwoByteFolds() {
    static const std::vector<FoldedTwoByte> table = [] {
        std::vector<FoldedTwoByte> out(0x800);
        for (UChar32 c = 0x80; c < 0x800; ++c) {
            if (IsUnseenInWord(static_cast<char32_t>(c))) continue;
            int32_t length = 0;
            uint8_t bytes[U8_MAX_LENGTH];
            U8_APPEND_UNSAFE(bytes, length, u_foldCase(c, U_FOLD_CASE_DEFAULT));
            // Simple folding keeps a code point in its plane: at most three bytes.
            assert(length <= 3);
            out[static_cast<size_t>(c)].length = static_cast<uint8_t>(length);
            std::copy(bytes, bytes + length, out[static_cast<size_t>(c)].bytes);
        }
        return out;
    }();
    return table.data();
}

// Reads the code point at `s[i]` (advancing `i`) and writes its folded UTF-8
// bytes to `out`; returns how many, none for a code point unseen in a word. An
// invalid sequence is copied unchanged.
int32_t FoldNext(const uint8_t* s, size_t n, size_t& i, uint8_t out[U8_MAX_LENGTH]) {
    const uint8_t first = s[i];
    if (first < 0x80) {
        ++i;
        out[0] = first >= 'A' && first <= 'Z' ? static_cast<uint8_t>(first + 32) : first;
        return 1;
    }
    if (first >= 0xC2 && first <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
        static const FoldedTwoByte* const folds = TwoByteFolds();
        const FoldedTwoByte& f = folds[((first & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu)];
        i += 2;
        std::copy(f.bytes, f.bytes + f.length, out);
        return f.length;
    }
    // A sequence is at most four bytes, so decoding within a window of four
    // gives the same answer as over the whole text and keeps indices small.
    const int32_t window = static_cast<int32_t>(std::min<size_t>(n - i, U8_MAX_LENGTH));
    int32_t j = 0;
    UChar32 c;
    U8_NEXT(s + i, j, window, c);
    int32_t length = 0;
    if (c < 0) {
        std::copy(s + i, s + i + j, out);
        length = j;
    } else if (!IsUnseenInWord(static_cast<char32_t>(c))) {
        U8_APPEND_UNSAFE(out, length, u_foldCase(c, U_FOLD_CASE_DEFAULT));
    }
    i += static_cast<size_t>(j);
    return length;
}

// How many states the trie of `folded` has: one for every distinct prefix,
// the empty one included. In sorted order a keyword adds the bytes it does not
// share with the one before it.
size_t TrieStates(std::vector<std::string> folded) {
    std::sort(folded.begin(), folded.end());
    size_t states = 1;
    for (size_t k = 0; k < folded.size(); ++k) {
        const std::string_view before = k > 0 ? std::string_view(folded[k - 1]) : "";
        const auto shared =
            std::mismatch(folded[k].begin(), folded[k].end(), before.begin(), before.end());
        states += static_cast<size_t>(folded[k].end() - shared.first);
    }
    return states;
}

}  // namespace

std::string FoldCase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    uint8_t buffer[U8_MAX_LENGTH];
    for (size_t i = 0; i < text.size();) {
        const int32_t length = FoldNext(s, text.size(), i, buffer);
        out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
    }
    return out;
}

KeywordSearch::KeywordSearch(const std::vector<std::string>& keywords, size_t maxTableEntries)
    : keywordCount_(keywords.size()) {
    std::vector<std::string> folded;
    folded.reserve(keywords.size());
    bool used[256] = {};
    size_t foldedBytes = 0;
    for (const std::string& keyword : keywords) {
        folded.push_back(FoldCase(keyword));
        longestFolded_ = std::max(longestFolded_, folded.back().size());
        foldedBytes += folded.back().size();
        for (unsigned char b : folded.back()) used[b] = true;
    }
    size_t usedBytes = 0;
    for (bool u : used) usedBytes += u;
    // A list far larger than anyone writes by hand would need tables out of
    // proportion: such a list is searched keyword by keyword instead.
    if ((foldedBytes + 1) * (usedBytes + 1) > maxTableEntries) {
        plain_ = true;
        plainKeywords_ = std::move(folded);
        return;
    }
    // Only bytes that occur in some keyword get a column of their own; every
    // other byte leads back to the start. The scan reads ASCII without folding
    // it, so ASCII capitals share the column of their small letters (folded
    // keywords hold no capitals).
    classes_ = 1;
    for (int b = 0; b < 256; ++b) {
        if (used[b]) classOf_[b] = static_cast<uint8_t>(classes_++);
    }
    for (int b = 'A'; b <= 'Z'; ++b) classOf_[b] = classOf_[b + 32];

    // The trie, one row per state. Its states are counted first, so that the
    // table is allocated once at its size: grown by doubling, the last copy
    // alone would hold two or three times the table at once.
    const size_t states = TrieStates(folded);
    delta_.reserve(states * classes_);
    delta_.assign(classes_, kNone);
    firstEnding_.reserve(states);
    firstEnding_.assign(1, kNoKeyword);
    for (size_t k = 0; k < folded.size(); ++k) {
        if (folded[k].empty()) {
            firstEmpty_ = std::min(firstEmpty_, k);
            continue;
        }
        uint32_t row = 0;
        for (unsigned char b : folded[k]) {
            uint32_t& next = delta_[row + classOf_[b]];
            if (next == kNone) {
                if (delta_.size() + classes_ >= kNone) throw RuntimeError(7, "Out of memory");
                next = static_cast<uint32_t>(delta_.size());
                delta_.resize(delta_.size() + classes_, kNone);
                firstEnding_.push_back(kNoKeyword);
            }
            row = delta_[row + classOf_[b]];
        }
        uint32_t& ending = firstEnding_[row / classes_];
        ending = std::min(ending, static_cast<uint32_t>(k));
    }
    assert(firstEnding_.size() == states);

    // Breadth first, turn the trie into the automaton: a missing transition
    // takes the one of the longest proper suffix, and a state also ends every
    // keyword that ends at that suffix.
    std::vector<uint32_t> suffix(firstEnding_.size(), 0);
    std::vector<uint32_t> queue;
    queue.reserve(firstEnding_.size());
    for (uint32_t c = 0; c < classes_; ++c) {
        if (delta_[c] == kNone) {
            delta_[c] = 0;
        } else {
            queue.push_back(delta_[c]);
        }
    }
    for (size_t head = 0; head < queue.size(); ++head) {
        const uint32_t row = queue[head];
        const uint32_t fallback = suffix[row / classes_];
        uint32_t& ending = firstEnding_[row / classes_];
        ending = std::min(ending, firstEnding_[fallback / classes_]);
        for (uint32_t c = 0; c < classes_; ++c) {
            uint32_t& next = delta_[row + c];
            if (next == kNone) {
                next = delta_[fallback + c];
            } else {
                suffix[next / classes_] = delta_[fallback + c];
                queue.push_back(next);
            }
        }
    }

    // The rows laid out again in breadth-first order, the states that end a
    // keyword last. A walk over text spends nearly all its steps in the few
    // states near the root; in the order the keywords built them, those rows
    // lay scattered over the whole table (tens of megabytes for a long list)
    // and most steps missed the cache. Together they stay in it. With the
    // ending states last, one comparison of a row tells a hit.
    std::vector<uint32_t> order;  // the states, in their new order
    order.reserve(firstEnding_.size());
    order.push_back(0);
    for (const bool ending : {false, true}) {
        for (const uint32_t row : queue) {
            if ((firstEnding_[row / classes_] != kNoKeyword) == ending)
                order.push_back(row / classes_);
        }
    }
    std::vector<uint32_t> moved(order.size());  // a state's new row offset
    for (size_t k = 0; k < order.size(); ++k) {
        moved[order[k]] = static_cast<uint32_t>(k * classes_);
        if (firstEnding_[order[k]] == kNoKeyword)
            hitFrom_ = static_cast<uint32_t>((k + 1) * classes_);
    }
    // Moved in place, one cycle of the permutation at a time, as the table
    // is the largest thing a search holds beside the text.
    for (uint32_t& next : delta_) next = moved[next / classes_];
    std::vector<uint32_t> firstEnding(firstEnding_.size());
    for (size_t state = 0; state < order.size(); ++state)
        firstEnding[moved[state] / classes_] = firstEnding_[state];
    firstEnding_ = std::move(firstEnding);
    const auto rowOf = [&](size_t state) { return delta_.begin() + state * classes_; };
    std::vector<bool> placed(order.size());
    std::vector<uint32_t> carried(classes_), displaced(classes_);
    for (size_t start = 0; start < order.size(); ++start) {
        if (placed[start]) continue;
        // Each state of the cycle takes the place of the one it moves to.
        std::copy(rowOf(start), rowOf(start) + classes_, carried.begin());
        for (size_t state = start; !placed[state];) {
            placed[state] = true;
            const size_t target = moved[state] / classes_;
            std::copy(rowOf(target), rowOf(target) + classes_, displaced.begin());
            std::copy(carried.begin(), carried.end(), rowOf(target));
            carried.swap(displaced);
            state = target;
        }
    }

    foldedColumns_.resize(0x800);
    for (uint32_t c = 0x80; c < 0x800; ++c) {
        const FoldedTwoByte& f = TwoByteFolds()[c];
        uint32_t packed = static_cast<uint32_t>(f.length) << 24;
        for (int32_t b = 0; b < f.length; ++b) packed |= uint32_t{classOf_[f.bytes[b]]} << (8 * b);
        foldedColumns_[c] = packed;
    }
}

namespace {

// One walk of the automaton over a stretch of the text.
struct Walk {
    size_t i, end;
    uint32_t row;
};

}  // namespace

size_t KeywordSearch::FirstOccurring(std::string_view text) const {
    if (plain_) {
        const std::string folded = FoldCase(text);
        for (size_t k = 0; k < plainKeywords_.size(); ++k) {
            const std::string& keyword = plainKeywords_[k];
            if (keyword.empty() ? !text.empty() : folded.find(keyword) != std::string::npos)
                return k;
        }
        return npos;
    }
    size_t best = text.empty() ? npos : firstEmpty_;
    if (best == 0 || longestFolded_ == 0) return best;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();

    // Each step of a walk waits for the table entry the step before it read,
    // so one walk leaves the processor idle most of the time. The text is cut
    // into stretches that are walked side by side. A stretch starts at an ASCII
    // byte, which is never inside a code point, so each walk folds exactly the
    // bytes a walk from the start would; and it runs on past the start of the
    // next by more than the longest keyword can span (a folded byte comes from
    // at most four bytes of text, and the code points unseen in a word that a
    // walk meets move its end on), so no occurrence falls between two walks.
    constexpr size_t kWalks = 4;
    const size_t overlap = 4 * longestFolded_;
    Walk walks[kWalks];
    size_t count = 0;
    size_t start = 0;
    for (size_t w = 1; w <= kWalks; ++w) {
        size_t next = n;
        if (w < kWalks && n >= 4096 * kWalks) {
            next = w * (n / kWalks);
            while (next > start && s[next] >= 0x80) --next;
            if (next <= start) next = n;  // no ASCII to cut at: one walk goes on
        }
        walks[count++] = {start, std::min(n, next == n ? n : next + overlap), 0};
        start = next;
        if (start == n) break;
    }

    const uint32_t* const delta = delta_.data();
    const uint32_t hitFrom = hitFrom_;
    const uint32_t* const twoByte = foldedColumns_.data();
    // Inlined by force: five calls of a big body, and without it a call for
    // every byte costs more than all the rest of the scan.
    const auto step = [&](uint32_t & row, uint32_t column) __attribute__((always_inline)) {
        row = delta[row + column];
        if (row >= hitFrom) [[unlikely]]
            best = std::min<size_t>(best, firstEnding_[row / classes_]);
    };
    // One code point. ASCII needs no folding (capitals share the columns of
    // their small letters); a two-byte letter, most of what is not ASCII in
    // Latin, Greek or Cyrillic text, has its columns in one look-up; the rest
    // is folded in full. A code point unseen in a word takes no step, and
    // moves the end of the walk on by its bytes: it makes an occurrence span
    // that much more of the text.
    const auto advance = [&](size_t & i, uint32_t & row, size_t & end)
        __attribute__((always_inline)) {
        const uint32_t first = s[i];
        if (first < 0x80) {
            step(row, classOf_[first]);
            ++i;
            return;
        }
        const uint32_t second = i + 1 < n ? s[i + 1] : 0;
        if (first - 0xC2u <= 0xDFu - 0xC2u && (second & 0xC0u) == 0x80u) {
            const uint32_t packed = twoByte[((first & 0x1Fu) << 6) | (second & 0x3Fu)];
            i += 2;
            if (packed == 0) [[unlikely]] {
                end = std::min(n, end + 2);
                return;
            }
            step(row, packed & 0xFFu);
            if (packed >> 24 == 1) [[unlikely]]
                return;
            step(row, (packed >> 8) & 0xFFu);
            if (packed >> 24 == 3) [[unlikely]]
                step(row, (packed >> 16) & 0xFFu);
            return;
        }
        uint8_t buffer[U8_MAX_LENGTH];
        const size_t before = i;
        const int32_t length = FoldNext(s, n, i, buffer);
        for (int32_t b = 0; b < length; ++b) step(row, classOf_[buffer[b]]);
        if (length == 0) [[unlikely]]
            end = std::min(n, end + (i - before));
    };

    if (count == kWalks) {
        // Held in locals, not in the array, so that they stay in registers.
        size_t i0 = walks[0].i, i1 = walks[1].i, i2 = walks[2].i, i3 = walks[3].i;
        uint32_t r0 = 0, r1 = 0, r2 = 0, r3 = 0;
        for (;;) {
            // A step reads at most four bytes, so this many rounds stay in bounds.
            size_t rounds = std::min(std::min((walks[0].end - std::min(i0, walks[0].end)) / 4,
                                              (walks[1].end - std::min(i1, walks[1].end)) / 4),
                                     std::min((walks[2].end - std::min(i2, walks[2].end)) / 4,
                                              (walks[3].end - std::min(i3, walks[3].end)) / 4));
            if (rounds == 0) break;
            for (; rounds > 0; --rounds) {
                advance(i0, r0, walks[0].end);
                advance(i1, r1, walks[1].end);
                advance(i2, r2, walks[2].end);
                advance(i3, r3, walks[3].end);
            }
            if (best == 0) return best;
        }
        walks[0].i = i0;
        walks[1].i = i1;
        walks[2].i = i2;
        walks[3].i = i3;
        walks[0].row = r0;
        walks[1].row = r1;
        walks[2].row = r2;
        walks[3].row = r3;
    }
    for (size_t w = 0; w < count; ++w) {
        size_t i = walks[w].i;
        uint32_t row = walks[w].row;
        while (i < walks[w].end) {
            advance(i, row, walks[w].end);
            if (best == 0) return best;
        }
    }
    return best;
}

size_t KeywordSearch::MemoryBytes() const {
    size_t plain = 0;
    for (const std::string& keyword : plainKeywords_) plain += keyword.capacity() + sizeof keyword;
    return delta_.capacity() * sizeof(uint32_t) + firstEnding_.capacity() * sizeof(uint32_t) +
           plain + sizeof(*this);
}

}  // namespace postwarden
