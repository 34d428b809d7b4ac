#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "util/LookAlike.h"

namespace postwarden {
namespace {

struct Case {
    const char* candidate;
    const char* known;
    bool looksLike;
};

// Misses: what a person misreads or mistypes for a domain they know.
TEST(LooksLikeTest, TheSameToTheEyeOrOneSlipAway) {
    const Case cases[] = {
        // Confusable skeletons, compared without regard to case.
        {"c0rp.example", "corp.example", true},
        {"corp.examp1e", "corp.example", true},
        {"c\xD0\xBErp.example", "corp.example", true},  // Cyrillic о
        {"xn--crp-sed.example", "corp.example", true},  // the same, as written on the wire
        {"rnicrosoft.example", "microsoft.example", true},
        {"CORP.EXAMP1E", "corp.example", true},
        {"corp.example", "C0RP.EXAMPLE", true},
        // One edit in a label of 6 or more.
        {"corp.exmaple", "corp.example", true},         // neighbours swapped
        {"partnre.example", "partner.example", true},   // neighbours swapped
        {"partners.example", "partner.example", true},  // inserted
        {"parner.example", "partner.example", true},    // dropped
        {"partmer.example", "partner.example", true},   // replaced
        {"gogle.example", "google.example", true},      // 5 against 6 letters
        {"google.example", "gogle.example", true},      // and the other way round
        {"xpartner.example", "partner.example", true},  // at the front
        {"partner.exampl", "partner.example", true},    // the last label
        {"bücher.example", "bucher.example", true},     // a replaced letter, not byte
        {"xn--bcher-kva.example", "bucher.example", true},
        {"mail.partnre.example", "mail.partner.example", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LooksLike(c.candidate, c.known), c.looksLike) << c.candidate << " ~ " << c.known;
    }
}

// False alarms: different domains that a person tells apart, and the same one.
TEST(LooksLikeTest, NotForTheSameDomainNorForRealDifferences) {
    const Case cases[] = {
        {"corp.example", "corp.example", false},
        {"CORP.Example.", "corp.example", false},  // one domain, spelled two ways
        {"xn--bcher-kva.example", "bücher.example", false},
        {"ab.example", "ac.example", false},                // short labels
        {"abcde.example", "abcdf.example", false},          // 5 letters
        {"abcd.example", "abcde.example", false},           // 4 against 5
        {"partner.example", "rival.example", false},        // far apart
        {"partner.example", "partner.example.org", false},  // a label more
        {"corp.example", "corp.exam", false},               // two letters dropped
        {"partnre.exmaple", "partner.example", false},      // two labels differ
        {"prtnre.example", "partner.example", false},       // two edits in one label
        {"partner.example", "ptrnera.example", false},
        {"abcdef.example", "badcfe.example", false},  // three swaps
        {"eaxmple.example", "exampel.example", false},
        {"", "corp.example", false},
        {"corp.example", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LooksLike(c.candidate, c.known), c.looksLike) << c.candidate << " ~ " << c.known;
    }
}

bool ShareAKey(const char* a, const char* b) {
    const std::vector<std::string> left = LookAlikeKeys(a);
    const std::vector<std::string> right = LookAlikeKeys(b);
    return std::any_of(left.begin(), left.end(), [&](const std::string& key) {
        return std::find(right.begin(), right.end(), key) != right.end();
    });
}

// A store finds the look-alikes of a domain by its keys: every pair that looks
// alike must share one, whichever way round.
TEST(LookAlikeKeysTest, EveryLookAlikeSharesAKey) {
    const char* pairs[][2] = {
        {"c0rp.example", "corp.example"},        {"corp.exmaple", "corp.example"},
        {"partners.example", "partner.example"}, {"parner.example", "partner.example"},
        {"partmer.example", "partner.example"},  {"gogle.example", "google.example"},
        {"partner.exampl", "partner.example"},   {"xn--crp-sed.example", "corp.example"},
        {"bücher.example", "bucher.example"},    {"xpartner.example", "partner.example"},
    };
    for (const auto& pair : pairs) {
        ASSERT_TRUE(LooksLike(pair[0], pair[1])) << pair[0];
        EXPECT_TRUE(ShareAKey(pair[0], pair[1])) << pair[0] << " / " << pair[1];
        EXPECT_TRUE(ShareAKey(pair[1], pair[0])) << pair[1] << " / " << pair[0];
    }
}

TEST(LookAlikeKeysTest, FewKeysAndNoneSharedByUnlikeDomains) {
    // The domain, its skeleton, and one per character of each long label.
    EXPECT_EQ(LookAlikeKeys("ab.example").size(), 2u + 7u);
    EXPECT_EQ(LookAlikeKeys("Partner.Example").size(), 2u + 7u + 7u);
    EXPECT_TRUE(LookAlikeKeys("").empty());
    EXPECT_EQ(LookAlikeKeys("CORP.example"), LookAlikeKeys("corp.example."));
    EXPECT_FALSE(ShareAKey("partner.example", "rival.example"));
    EXPECT_FALSE(ShareAKey("ab.example", "ac.example"));
}

}  // namespace
}  // namespace postwarden
