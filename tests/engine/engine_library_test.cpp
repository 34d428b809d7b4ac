#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/RuntimeError.h"
#include "platform/engine/EngineLibrary.h"

namespace postwarden {
namespace {

std::vector<std::string> Entries(std::string_view text) {
    SplitDelimitedList list;
    list.SetText(text);
    std::vector<std::string> out;
    for (int32_t i = 1; i <= list.Count(); ++i) out.push_back(list.Item(i));
    return out;
}

TEST(DelimitedListTest, SplitsAtLineEndsAndSemicolonsAndTrims) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Entries("corp.example\r\nbranch.example"), (V{"corp.example", "branch.example"}));
    EXPECT_EQ(Entries("a;b\nc\rd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(Entries("  spaced.example \t;\tsecret word  "), (V{"spaced.example", "secret word"}));
    EXPECT_EQ(Entries("one"), (V{"one"}));
    EXPECT_EQ(Entries(";;\r\n\r\n ; \t\n"), V{});
    EXPECT_EQ(Entries(""), V{});
    EXPECT_EQ(Entries("a;;b"), (V{"a", "b"}));
}

TEST(DelimitedListTest, ItemOutsideTheListIsARuntimeError) {
    SplitDelimitedList list;
    list.SetText("a;b");
    EXPECT_THROW(list.Item(0), RuntimeError);
    EXPECT_THROW(list.Item(3), RuntimeError);
    list.SetText("c");
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(1), "c");
}

}  // namespace
}  // namespace postwarden
