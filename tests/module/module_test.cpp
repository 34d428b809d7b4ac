#include <gtest/gtest.h>

#include "module/CPostwarden.h"
#include "module/ModuleVersion.h"
#include "tests/fakes/FakePlatform.h"
#include "util/Text.h"

namespace postwarden {
namespace {

using fakes::FakeItem;
using fakes::FakePlatform;

class ModuleTest : public ::testing::Test {
  protected:
    FakePlatform platform;
    CPostwarden module{platform};

    int32_t Send(std::shared_ptr<OutlookItem> item, bool& cancel, int32_t selector = 4) {
        std::string entry, store;
        return module.YSItemEvent(selector, item, cancel, entry, store);
    }
};

// A failing registration reaching the host is met by the whole-send fault runs.
TEST_F(ModuleTest, ExplorerOpenFailsToTheHostWithoutAnEngineAndStartupKeepsTheFirst) {
    EXPECT_THROW(module.YSExplorerOpen(nullptr), RuntimeError);
    std::shared_ptr<Engine> first = platform.NewEngine();
    std::shared_ptr<Engine> second = platform.NewEngine();
    EXPECT_EQ(module.YSStartup(first), 0);
    EXPECT_EQ(module.YSStartup(second), 0);
    module.YSExplorerOpen(nullptr);
    EXPECT_EQ(static_cast<fakes::FakeEngine&>(*first).registeredSelectors, std::vector<int32_t>{4});
    EXPECT_TRUE(static_cast<fakes::FakeEngine&>(*second).registeredSelectors.empty());
}

TEST_F(ModuleTest, ShutdownLogsOnceAndDropsTheEngineEvenWhenTheLogFails) {
    std::shared_ptr<Engine> engine = platform.NewEngine();
    module.YSStartup(engine);
    EXPECT_EQ(module.YSShutdown(), 0);
    EXPECT_FALSE(module.HasEngine());
    EXPECT_EQ(module.YSShutdown(), 0);
    ASSERT_EQ(platform.log.size(), 1u);
    EXPECT_EQ(platform.Messages("trace"),
              std::vector<std::string>{"Shutdown|Postwarden is stopping"});
    EXPECT_EQ(platform.log[0].app, "Postwarden");
    EXPECT_EQ(platform.log[0].level, 0);

    module.YSStartup(engine);
    platform.FailOn("WriteLog");
    EXPECT_EQ(module.YSShutdown(), 0);
}

TEST_F(ModuleTest, OtherSelectorsSubmittedItemsAndOtherClassesAreLetThrough) {
    auto item = std::make_shared<FakeItem>(platform);
    for (int32_t selector : {0, 1, 3, 5, -4}) {
        bool cancel = true;
        EXPECT_EQ(Send(item, cancel, selector), 0);
        EXPECT_TRUE(cancel) << selector;
    }
    EXPECT_EQ(platform.CallsOf("Item.Submitted"), 0);

    item->submitted = true;
    bool cancel = true;
    Send(item, cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(platform.CallsOf("Item.TypeName"), 0);

    item->submitted = false;
    for (const char* type : {"AppointmentItem", "mailitem", "MailItem ", ""}) {
        item->typeName = type;
        Send(item, cancel);
        EXPECT_FALSE(cancel) << type;
    }
    EXPECT_EQ(platform.CallsOf("Item.Save"), 0) << "the driver never ran";
}

TEST_F(ModuleTest, AFailingItemIsReportedAndCancelLeftAsPassed) {
    auto item = std::make_shared<FakeItem>(platform);
    platform.FailOn("Item.Submitted", errors::NoSuchMember());
    for (bool passed : {true, false}) {
        bool cancel = passed;
        EXPECT_EQ(Send(item, cancel), 0);
        EXPECT_EQ(cancel, passed);
    }
    EXPECT_EQ(platform.Events(),
              std::vector<std::string>(2,
                                       "0|Postwarden.YSItemEvent|Error occurred.  Reason: "
                                       "Object doesn't support this property or method"));
}

TEST_F(ModuleTest, NoFailureReachesTheHost) {
    // An item that runs out of memory when asked anything.
    struct ExhaustedItem final : OutlookItem {
        bool Submitted() override { throw std::bad_alloc(); }
        std::string TypeName() override { return "MailItem"; }
        void Save() override {}
        std::string EntryID() override { return ""; }
        std::string Subject() override { return ""; }
    };
    for (std::shared_ptr<OutlookItem> item :
         {std::shared_ptr<OutlookItem>(),
          std::shared_ptr<OutlookItem>(std::make_shared<ExhaustedItem>())}) {
        platform.log.clear();
        bool cancel = false;
        EXPECT_EQ(Send(item, cancel), 0);
        EXPECT_FALSE(cancel);
        ASSERT_EQ(platform.log.size(), 1u);
        EXPECT_EQ(platform.log[0].source, "Postwarden.YSItemEvent");
        EXPECT_EQ(platform.log[0].message.rfind("Error occurred.  Reason: ", 0), 0u);
    }
    // Not even when the error report fails too.
    platform.FailOn("Item.Submitted");
    platform.FailOn("LogEvent");
    bool cancel = true;
    EXPECT_EQ(Send(std::make_shared<FakeItem>(platform), cancel), 0);
    EXPECT_TRUE(cancel);
}

TEST(TextTest, ToLongReadsWholeDecimalNumbersOnly) {
    const std::pair<const char*, int32_t> good[] = {{"0", 0},
                                                    {"01", 1},
                                                    {" 5 ", 5},
                                                    {"-2", -2},
                                                    {"+7", 7},
                                                    {"2147483647", 2147483647},
                                                    {"-2147483648", -2147483647 - 1}};
    for (const auto& [text, value] : good) EXPECT_EQ(ToLong(text), value) << text;
    const std::pair<std::string, std::vector<const char*>> refused[] = {
        {"Type mismatch", {"", " ", "abc", "1.5", "5x", "-", "0x10", "1 2"}},
        {"Overflow", {"2147483648", "-2147483649", "99999999999999999999"}},
    };
    for (const auto& [description, texts] : refused) {
        for (const char* text : texts) {
            try {
                ToLong(text);
                ADD_FAILURE() << "accepted " << text;
            } catch (const RuntimeError& e) {
                EXPECT_EQ(e.Description(), description) << text;
            }
        }
    }
}

// Unicode folding is met through the registry's case-insensitive keys.
TEST(TextTest, LCaseKeepsBytesThatAreNoUtf8AndVersionsHaveThreeNumbers) {
    EXPECT_EQ(LCase("BAD\xff!BYTE"), "bad\xff!byte");
    EXPECT_EQ(FormatVersion(2, 10, 5), "2.10.5");
}

}  // namespace
}  // namespace postwarden
