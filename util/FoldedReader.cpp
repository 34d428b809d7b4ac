#include "util/FoldedReader.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <atomic>
#include <memory>

#include "util/Text.h"

namespace postwarden {

namespace {

// ICU's case folding costs a lookup through its tries for each character, and
// a long non-Latin text is read once per entry matched against it: folded code
// points are kept in pages of 256, made on first use and shared by every
// thread. A page a racing thread made as well is dropped. Pages live as long
// as the process, and only those of the scripts actually read are made.
constexpr int kPageBits = 8;
constexpr UChar32 kPageSize = UChar32{1} << kPageBits;
std::atomic<const UChar32*> foldedPages[(UCHAR_MAX_VALUE + 1) >> kPageBits];

const UChar32* MakePage(std::atomic<const UChar32*>& slot, UChar32 first) {
    auto page = std::make_unique<UChar32[]>(kPageSize);
    for (UChar32 i = 0; i < kPageSize; ++i) {
        page[i] = IsUnseenInWord(static_cast<char32_t>(first + i))
                      ? kUnseen
                      : u_foldCase(first + i, U_FOLD_CASE_DEFAULT);
    }
    const UChar32* expected = nullptr;
    if (slot.compare_exchange_strong(expected, page.get(), std::memory_order_acq_rel)) {
        return page.release();
    }
    return expected;
}

[[gnu::always_inline]] inline UChar32 Folded(UChar32 c) {
    std::atomic<const UChar32*>& slot = foldedPages[c >> kPageBits];
    const UChar32* page = slot.load(std::memory_order_acquire);
    if (page == nullptr) page = MakePage(slot, c & ~(kPageSize - 1));
    return page[c & (kPageSize - 1)];
}

}  // namespace

namespace detail {
// Made when the program starts, before anything reads a text.
const std::array<UChar32, 0x800 - 0x80> kFoldedTwoByte = [] {
    std::array<UChar32, 0x800 - 0x80> folded{};
    for (UChar32 c = 0x80; c < 0x800; ++c) {
        folded[c - 0x80] =
            IsUnseenInWord(static_cast<char32_t>(c)) ? kUnseen : u_foldCase(c, U_FOLD_CASE_DEFAULT);
    }
    return folded;
}();
}  // namespace detail

int32_t FoldedReader::WithoutUnseenEnd(const uint8_t* text, int32_t length) {
    // Each is read as itself wherever it stands: none of its bytes but the
    // first can start a sequence, and its first byte cannot continue one.
    while (length > 0) {
        int32_t start = length;
        UChar32 c = 0;
        U8_PREV(text, 0, start, c);
        if (c < 0 || !IsUnseenInWord(static_cast<char32_t>(c))) return length;
        length = start;
    }
    return 0;
}

UChar32 FoldedReader::ReadFolded() {
    const int32_t start = next_;
    UChar32 c;
    U8_NEXT(text_, next_, length_, c);
    if (c < 0) {
        // U8_NEXT skips a whole ill-formed sequence; each of its bytes stays a
        // character of its own, so that `?` takes one byte of it at a time.
        next_ = start + 1;
        return kStrayByte + text_[start];
    }
    return Folded(c);
}

UChar32 FoldedReader::NextBeyondAscii() {
    const UChar32 folded = ReadFolded();
    return folded != kUnseen ? folded : NextAfterUnseen();
}

UChar32 FoldedReader::NextAfterUnseen() {
    // Rare enough to read every character the slow way, and in a loop: a run
    // of them may be long.
    for (;;) {
        if (const UChar32 folded = ReadFolded(); folded != kUnseen) return folded;
    }
}

}  // namespace postwarden
