#pragma once

#include <unicode/umachine.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace postwarden {

// What a byte that is not part of valid UTF-8 reads as, plus the byte: a value
// no code point has, so it only ever equals the same stray byte.
inline constexpr UChar32 kStrayByte = 0x110000;

// What the folding tables give for a code point the reader skips.
inline constexpr UChar32 kUnseen = -1;

namespace detail {
// The folded code points U+0080 to U+07FF, which take two bytes (Latin,
// Greek, Cyrillic, Hebrew, Arabic): most text beyond ASCII, read inline.
extern const std::array<UChar32, 0x800 - 0x80> kFoldedTwoByte;
}  // namespace detail

// Reads a UTF-8 text one case-folded code point at a time (Unicode simple
// folding, so one code point always folds to one), skipping the code points
// that show as nothing inside a word (IsUnseenInWord in util/Text.h). Each
// byte of an invalid sequence reads on its own, as kStrayByte plus the byte.
// The text must remain live while this reader is in use; one of 2 GiB or more
// reads as empty.
class FoldedReader {
  public:
    // Those skipped code points that end the text are left out at once, so
    // that AtEnd() says whether any character is left.
    explicit FoldedReader(std::string_view text)
        : text_(reinterpret_cast<const uint8_t*>(text.data())),
          length_(WithoutUnseenEnd(
              text_, text.size() <= INT32_MAX ? static_cast<int32_t>(text.size()) : 0)) {}

    bool AtEnd() const { return next_ == length_; }

    // How many bytes are left to read, which is at least how many characters
    // (and may be more than four times as many).
    size_t BytesLeft() const { return static_cast<size_t>(length_ - next_); }

    // The next folded code point; only when not AtEnd(). Always inlined, as
    // the loops that call it are what a match costs.
    [[gnu::always_inline]] UChar32 Next() {
        const uint8_t byte = text_[next_];
        if (byte < 0x80) {
            ++next_;
            return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
        }
        if (byte >= 0xC2 && byte <= 0xDF && next_ + 1 < length_ &&
            (text_[next_ + 1] & 0xC0) == 0x80) {
            const UChar32 c = ((byte & 0x1F) << 6) | (text_[next_ + 1] & 0x3F);
            next_ += 2;
            const UChar32 folded = detail::kFoldedTwoByte[c - 0x80];
            if (folded != kUnseen) [[likely]]
                return folded;
            return NextAfterUnseen();
        }
        return NextBeyondAscii();
    }

  private:
    // The length of `text` without the skipped code points at its end.
    static int32_t WithoutUnseenEnd(const uint8_t* text, int32_t length);
    UChar32 NextBeyondAscii();
    // The next code point read the slow way, folded; kUnseen for one skipped.
    UChar32 ReadFolded();
    // The next character after one skipped: there is one, as the text does
    // not end with those.
    [[gnu::cold, gnu::noinline]] UChar32 NextAfterUnseen();

    const uint8_t* text_;
    int32_t length_;
    int32_t next_ = 0;
};

}  // namespace postwarden
