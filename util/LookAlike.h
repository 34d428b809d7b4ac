#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace postwarden {

// Whether the domain `candidate` may be taken for `known` by someone reading
// or typing it: the two are different domains, and either
//   - they show the same: their confusable skeletons (Unicode's UTS #39,
//     which reads "0" as "O", "1" as "l", "rn" as "m" and a Cyrillic "о" as
//     "o") agree without regard to case, so "c0rp.example", "corp.examp1e"
//     and "cоrp.example" look like "corp.example"; or
//   - they are one slip of the keyboard apart: one label has one character
//     inserted, dropped, replaced, or two neighbours swapped, where the longer
//     of its two spellings has at least 6 characters, and every other label is
//     the same ("corp.exmaple", "partnre.example"; not "ac.example" for
//     "ab.example", whose short labels differ as real names do).
// Both are compared in the canonical form (CanonicalDomain: an "xn--" label is
// read as the Unicode it encodes, one that does not decode stays as written)
// and in lower case; characters are counted as code points. Never throws.
bool LooksLike(std::string_view candidate, std::string_view known);

// The domain as LooksLike compares it: canonical and in lower case.
std::string ComparedDomain(std::string_view domain);

// The keys a domain is filed under for a search of look-alikes: any two
// domains that LooksLike holds for (either way round) share at least one key,
// so a store of known domains need only compare a candidate with the domains
// filed under the candidate's keys. A key is the compared domain itself, the
// domain with one character of a label of 6 or more taken out, or its
// skeleton; the kinds never collide. Each key once.
std::vector<std::string> LookAlikeKeys(std::string_view domain);

}  // namespace postwarden
