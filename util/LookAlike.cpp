#include "util/LookAlike.h"

#include <unicode/unistr.h>
#include <unicode/uspoof.h>

#include <algorithm>
#include <memory>

#include "util/AddressForm.h"
#include "util/Text.h"

namespace postwarden {

namespace {

// A label whose longer spelling is shorter than this may differ by one
// character from a real name of someone else's ("ab" and "ac").
constexpr size_t kMinEditedLabel = 6;

// What the keys of each kind begin with: no domain holds a space.
constexpr std::string_view kSkeletonKey = "s ";
constexpr std::string_view kEditKey = "e ";

struct SpoofClose {
    void operator()(USpoofChecker* checker) const { uspoof_close(checker); }
};

const USpoofChecker* Checker() {
    static const std::unique_ptr<USpoofChecker, SpoofClose> checker = [] {
        UErrorCode error = U_ZERO_ERROR;
        std::unique_ptr<USpoofChecker, SpoofClose> made(uspoof_open(&error));
        return U_SUCCESS(error) ? std::move(made) : nullptr;
    }();
    return checker.get();
}

// The confusable skeleton of a compared domain, in lower case; the domain
// itself when ICU cannot make one.
std::string Skeleton(const std::string& domain) {
    if (Checker() == nullptr) return domain;
    std::string out(domain.size() * 4 + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode error = U_ZERO_ERROR;
        const int32_t length =
            uspoof_getSkeletonUTF8(Checker(), 0, domain.data(), static_cast<int32_t>(domain.size()),
                                   out.data(), static_cast<int32_t>(out.size()), &error);
        if (error == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<size_t>(length) + 1);
            continue;
        }
        if (U_FAILURE(error)) return domain;
        out.resize(static_cast<size_t>(length));
        return LCase(out);
    }
    return domain;
}

// The labels of a compared domain, each as code points.
std::vector<std::u32string> Labels(const std::string& domain) {
    std::vector<std::u32string> labels;
    size_t start = 0;
    for (;;) {
        const size_t dot = domain.find('.', start);
        const std::string_view label = std::string_view(domain).substr(
            start, dot == std::string::npos ? std::string::npos : dot - start);
        const icu::UnicodeString text =
            icu::UnicodeString::fromUTF8(icu::StringPiece(label.data(), label.size()));
        std::u32string points;
        for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
            points += static_cast<char32_t>(text.char32At(i));
        }
        labels.push_back(std::move(points));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return labels;
}

std::string Utf8(const std::u32string& points) {
    icu::UnicodeString text;
    for (const char32_t c : points) text.append(static_cast<UChar32>(c));
    std::string out;
    text.toUTF8String(out);
    return out;
}

// Whether `a` becomes `b` by one insertion, deletion, substitution or swap of
// two neighbours; false when they are equal.
bool OneEditApart(const std::u32string& a, const std::u32string& b) {
    if (a.size() == b.size()) {
        size_t first = 0;
        while (first < a.size() && a[first] == b[first]) ++first;
        if (first == a.size()) return false;
        if (a.compare(first + 1, std::u32string::npos, b, first + 1, std::u32string::npos) == 0) {
            return true;  // substitution
        }
        return first + 1 < a.size() && a[first] == b[first + 1] && a[first + 1] == b[first] &&
               a.compare(first + 2, std::u32string::npos, b, first + 2, std::u32string::npos) == 0;
    }
    const std::u32string& longer = a.size() > b.size() ? a : b;
    const std::u32string& shorter = a.size() > b.size() ? b : a;
    if (longer.size() != shorter.size() + 1) return false;
    size_t first = 0;
    while (first < shorter.size() && longer[first] == shorter[first]) ++first;
    return longer.compare(first + 1, std::u32string::npos, shorter, first, std::u32string::npos) ==
           0;
}

bool OneSlipApart(const std::string& a, const std::string& b) {
    const std::vector<std::u32string> left = Labels(a);
    const std::vector<std::u32string> right = Labels(b);
    if (left.size() != right.size()) return false;
    size_t differing = left.size();
    for (size_t i = 0; i < left.size(); ++i) {
        if (left[i] == right[i]) continue;
        if (differing != left.size()) return false;  // a second label differs
        differing = i;
    }
    if (differing == left.size()) return false;
    const std::u32string& l = left[differing];
    const std::u32string& r = right[differing];
    return std::max(l.size(), r.size()) >= kMinEditedLabel && OneEditApart(l, r);
}

}  // namespace

std::string ComparedDomain(std::string_view domain) {
    return CanonicalDomain(LCase(domain));
}

bool LooksLike(std::string_view candidate, std::string_view known) {
    const std::string a = ComparedDomain(candidate);
    const std::string b = ComparedDomain(known);
    if (a == b || a.empty() || b.empty()) return false;
    return Skeleton(a) == Skeleton(b) || OneSlipApart(a, b);
}

std::vector<std::string> LookAlikeKeys(std::string_view domain) {
    const std::string compared = ComparedDomain(domain);
    std::vector<std::string> keys;
    if (compared.empty()) return keys;
    keys.push_back(std::string(kSkeletonKey) + Skeleton(compared));
    keys.push_back(std::string(kEditKey) + compared);
    // One character taken out of a long label: a domain one slip away has
    // either the same key (a replaced or swapped character), or this key is
    // that domain itself (a character inserted here), or the reverse.
    const std::vector<std::u32string> labels = Labels(compared);
    for (size_t i = 0; i < labels.size(); ++i) {
        if (labels[i].size() < kMinEditedLabel) continue;
        for (size_t drop = 0; drop < labels[i].size(); ++drop) {
            std::string key(kEditKey);
            for (size_t j = 0; j < labels.size(); ++j) {
                if (j > 0) key += '.';
                if (j != i) {
                    key += Utf8(labels[j]);
                } else {
                    std::u32string shorter = labels[j];
                    shorter.erase(drop, 1);
                    key += Utf8(shorter);
                }
            }
            keys.push_back(std::move(key));
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

}  // namespace postwarden
