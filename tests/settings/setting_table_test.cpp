// The settings table's own consistency, where a slip in a row would go unnoticed:
// two rows for one stored value, an element read into the wrong key, a traced
// group written in two pieces, a seeded switch that no reader can convert.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "module/RuntimeError.h"
#include "module/Text.h"
#include "settings/SettingKeys.h"

namespace postwarden {
namespace {

TEST(SettingTableTest, KeysAreUniqueWithoutRegardToCase) {
    // The store compares names without regard to case: two such rows are one value.
    std::set<std::string> seen;
    for (const Setting& setting : kSettings) {
        EXPECT_TRUE(seen.insert(LCase(setting.key)).second) << setting.key;
        EXPECT_EQ(FindSetting(setting.key), &setting) << setting.key;
    }
}

TEST(SettingTableTest, EveryDocumentElementMapsBackToOneSetting) {
    std::map<std::string, const Setting*> byElement;
    int lastStep = 0;
    for (const Setting& setting : kSettings) {
        if (setting.element == nullptr) {
            EXPECT_EQ(setting.step, 0) << setting.key;
            continue;
        }
        EXPECT_TRUE(byElement.emplace(setting.element, &setting).second) << setting.element;
        // An element spelled as a key is that key's own, or the document would
        // write one setting's value into another.
        const Setting* named = FindSetting(setting.element.text);
        EXPECT_TRUE(named == nullptr || named == &setting) << setting.element;
        // A failed import names the element by its step: distinct, in reading order.
        EXPECT_GT(setting.step, lastStep) << setting.key;
        lastStep = setting.step;
    }
    EXPECT_EQ(byElement.size(), kDocumentElementCount);
}

TEST(SettingTableTest, EachTracedGroupIsOneRunOfRows) {
    std::set<int> finished;
    int current = 0;
    for (const Setting& setting : kSettings) {
        if (setting.group == current) continue;
        if (current != 0) finished.insert(current);
        current = setting.group;
        EXPECT_FALSE(finished.contains(current)) << setting.key << " splits group " << current;
    }
}

TEST(SettingTableTest, WholeNumberSettingsSeedAndFallBackToWholeNumbers) {
    for (const Setting& setting : kSettings) {
        const char* fallback = FallbackOf(setting);
        ASSERT_NE(fallback, nullptr) << setting.key;
        if (!IsWholeNumber(setting.kind)) continue;
        for (const char* value : {setting.seeded.text, fallback}) {
            if (value == nullptr) continue;
            try {
                const int32_t number = ToLong(value);
                if (setting.kind == SettingKind::kSwitch) {
                    EXPECT_TRUE(number == 0 || number == 1) << setting.key << ": " << value;
                }
            } catch (const RuntimeError& e) {
                ADD_FAILURE() << setting.key << ": \"" << value << "\" " << e.Description();
            }
        }
    }
}

}  // namespace
}  // namespace postwarden
