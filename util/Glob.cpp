#include "util/Glob.h"

#include <algorithm>
#include <span>
#include <vector>

#include "util/FoldedReader.h"
#include "util/GlobPiece.h"

namespace postwarden {

namespace {

std::vector<UChar32> Folded(std::string_view text) {
    std::vector<UChar32> out;
    out.reserve(text.size());
    FoldedReader reader(text);
    while (!reader.AtEnd()) out.push_back(reader.Next());
    return out;
}

// Reads as many characters of `text` as `piece` has; whether they match it.
bool StartsWith(FoldedReader& text, std::span<const UChar32> piece) {
    for (UChar32 p : piece) {
        if (text.AtEnd()) return false;
        const UChar32 c = text.Next();
        if (p != '?' && p != c) return false;
    }
    return true;
}

}  // namespace

bool GlobMatch(std::string_view value, std::string_view pattern) {
    const std::vector<UChar32> p = Folded(pattern);
    // Folding keeps one code point for one, and a code point takes at least one
    // byte, so a value with fewer bytes than the pattern has characters cannot
    // match. There is no bound the other way: skipped code points may fill any
    // number of bytes, and a pattern without stars is read only as far as the
    // first character that differs anyway.
    const auto stars = static_cast<size_t>(std::count(p.begin(), p.end(), UChar32{'*'}));
    const size_t literals = p.size() - stars;
    if (value.size() < literals) return false;

    FoldedReader text(value);
    const auto star = std::find(p.begin(), p.end(), UChar32{'*'});
    if (!StartsWith(text, {p.begin(), star})) return false;
    if (star == p.end()) return text.AtEnd();

    // Between the first star and the last, every piece is found where it first
    // occurs: each piece has a fixed length, so ending as early as possible
    // leaves the most of the text to the pieces after it, and a match that
    // places it later could as well place it there. The text is read once.
    auto start = star + 1;
    for (auto end = std::find(start, p.end(), UChar32{'*'}); end != p.end();
         start = end + 1, end = std::find(start, p.end(), UChar32{'*'})) {
        if (start != end && !GlobPiece({start, end}).FindIn(text)) return false;
    }
    // The piece after the last star must end the text, wherever it starts.
    return start == p.end() || GlobPiece({start, p.end()}).EndsText(text);
}

}  // namespace postwarden
