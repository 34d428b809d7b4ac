#include "validation/KeywordSearch.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <limits>

#include "module/RuntimeError.h"

namespace postwarden {

namespace {

constexpr uint32_t kNoKeyword = std::numeric_limits<uint32_t>::max();

// Reads the code point at `s[i]` (advancing `i`) and writes its folded UTF-8
// bytes to `out`; returns how many. An invalid sequence is copied unchanged.
int32_t FoldNext(const uint8_t* s, size_t n, size_t& i, uint8_t out[U8_MAX_LENGTH]) {
    const uint8_t first = s[i];
    if (first < 0x80) {
        ++i;
        out[0] = first >= 'A' && first <= 'Z' ? static_cast<uint8_t>(first + 32) : first;
        return 1;
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
    } else {
        U8_APPEND_UNSAFE(out, length, u_foldCase(c, U_FOLD_CASE_DEFAULT));
    }
    i += static_cast<size_t>(j);
    return length;
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

KeywordSearch::KeywordSearch(const std::vector<std::string>& keywords)
    : keywordCount_(keywords.size()) {
    std::vector<std::string> folded;
    folded.reserve(keywords.size());
    bool used[256] = {};
    for (const std::string& keyword : keywords) {
        folded.push_back(FoldCase(keyword));
        for (unsigned char b : folded.back()) used[b] = true;
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

    // The trie, one row per state.
    delta_.assign(classes_, kNone);
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
                if (delta_.size() + classes_ >= kHit) throw RuntimeError(7, "Out of memory");
                next = static_cast<uint32_t>(delta_.size());
                delta_.resize(delta_.size() + classes_, kNone);
                firstEnding_.push_back(kNoKeyword);
            }
            row = delta_[row + classOf_[b]];
        }
        uint32_t& ending = firstEnding_[row / classes_];
        ending = std::min(ending, static_cast<uint32_t>(k));
    }

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
    for (uint32_t& next : delta_) {
        if (firstEnding_[next / classes_] != kNoKeyword) next |= kHit;
    }
}

size_t KeywordSearch::FirstOccurring(std::string_view text) const {
    size_t best = text.empty() ? npos : firstEmpty_;
    if (best == 0) return best;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    uint32_t row = 0;
    auto noteHit = [&] {
        const uint32_t k = firstEnding_[(row & ~kHit) / classes_];
        if (k < best) best = k;
    };
    uint8_t buffer[U8_MAX_LENGTH];
    for (size_t i = 0; i < n;) {
        if (s[i] < 0x80) {
            row = Step(row, s[i]);
            ++i;
            if (row & kHit) noteHit();
        } else {
            const int32_t length = FoldNext(s, n, i, buffer);
            for (int32_t b = 0; b < length; ++b) {
                row = Step(row, buffer[b]);
                if (row & kHit) noteHit();
            }
        }
        if (best == 0) break;
    }
    return best;
}

size_t KeywordSearch::MemoryBytes() const {
    return delta_.capacity() * sizeof(uint32_t) + firstEnding_.capacity() * sizeof(uint32_t) +
           sizeof(*this);
}

}  // namespace postwarden
