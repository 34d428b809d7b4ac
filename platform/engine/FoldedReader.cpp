#include "platform/engine/FoldedReader.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace postwarden {

UChar32 FoldedReader::NextBeyondAscii() {
    const int32_t start = next_;
    UChar32 c;
    U8_NEXT(text_, next_, length_, c);
    if (c < 0) {
        // U8_NEXT skips a whole ill-formed sequence; each of its bytes stays a
        // character of its own, so that `?` takes one byte of it at a time.
        next_ = start + 1;
        return kStrayByte + text_[start];
    }
    return u_foldCase(c, U_FOLD_CASE_DEFAULT);
}

}  // namespace postwarden
