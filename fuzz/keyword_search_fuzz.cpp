// The keyword rule's searcher against the loop it stands for: for each keyword
// in turn, does its folded form occur in the folded text? The input is a few
// keywords, then the text. Both the table searcher and the bounded-memory
// fallback must agree with the loop.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "util/KeywordSearch.h"

namespace {

size_t NaiveFirstOccurring(const std::vector<std::string>& keywords, const std::string& text) {
    const std::string folded = postwarden::FoldCase(text);
    for (size_t i = 0; i < keywords.size(); ++i) {
        // A keyword that folds to nothing is found in every text but the empty one.
        const std::string keyword = postwarden::FoldCase(keywords[i]);
        if (keyword.empty()) {
            if (!text.empty()) return i;
            continue;
        }
        if (folded.find(keyword) != std::string::npos) return i;
    }
    return postwarden::KeywordSearch::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using postwarden::KeywordSearch;
    FuzzedDataProvider provider(data, size);
    std::vector<std::string> keywords(provider.ConsumeIntegralInRange<size_t>(0, 12));
    for (std::string& keyword : keywords) keyword = provider.ConsumeRandomLengthString(64);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    const size_t expected = NaiveFirstOccurring(keywords, text);
    const KeywordSearch tables(keywords);
    FUZZ_CHECK(tables.Size() == keywords.size());
    FUZZ_CHECK(tables.FirstOccurring(text) == expected);
    const KeywordSearch plain(keywords, 0);
    FUZZ_CHECK(plain.FirstOccurring(text) == expected);

    // Case never matters: the folded text gives the same answer (unless folding
    // leaves nothing of it, which an empty keyword tells apart).
    const std::string folded = postwarden::FoldCase(text);
    if (!folded.empty() || text.empty()) FUZZ_CHECK(tables.FirstOccurring(folded) == expected);
    return 0;
}
