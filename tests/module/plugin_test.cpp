// Loads the built module library the way the host does and drives it across the
// library boundary.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "module/IModuleAPI.h"
#include "module/ShowForm.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FakeWindowSystem.h"

namespace postwarden {
namespace {

constexpr const char* kLibrary = POSTWARDEN_BINARY_DIR "/libpostwarden-module.so";

// The names of the symbols a library defines in its dynamic symbol table,
// which are all another program can find in it.
std::set<std::string> DefinedDynamicSymbols(const char* path) {
    FILE* nm =
        ::popen(("nm -D --defined-only --format=just-symbols " + std::string(path)).c_str(), "r");
    std::set<std::string> names;
    for (char line[4096]; nm && std::fgets(line, sizeof line, nm);) {
        names.insert(std::string(line, std::strcspn(line, "\n")));
    }
    EXPECT_TRUE(nm && ::pclose(nm) == 0) << "nm failed on " << path;
    return names;
}

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }
    void* handle_ = nullptr;
};

TEST_F(PluginTest, ExportsOnlyTheEntryPoints) {
    EXPECT_NE(dlsym(handle_, kModuleEntryPoint), nullptr);
    EXPECT_NE(dlsym(handle_, kShowFormEntryPoint), nullptr);
    // The module class and the C++ internals stay inside the library.
    EXPECT_EQ(DefinedDynamicSymbols(kLibrary),
              (std::set<std::string>{kModuleEntryPoint, kShowFormEntryPoint}));
}

TEST_F(PluginTest, CreatesAModuleThatHandlesFailuresRaisedOutsideIt) {
    auto create = reinterpret_cast<IModuleAPI* (*)(Platform*)>(dlsym(handle_, kModuleEntryPoint));
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create(nullptr), nullptr);

    fakes::FakePlatform platform;
    {
        std::unique_ptr<IModuleAPI> module(create(&platform));
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(module->RegistryName(), "Postwarden");
        EXPECT_EQ(module->FriendlyName(), "Post Warden");

        // The error is thrown by this program's fake and must be caught by the
        // library's handler, so the error type has to match across the boundary.
        platform.FailOn("Item.Submitted", RuntimeError(438, "no Submitted"));
        std::shared_ptr<OutlookItem> item = std::make_shared<fakes::FakeItem>(platform);
        int32_t selector = kSelectorItemSend;
        bool cancel = true;
        std::string entry, store;
        EXPECT_EQ(module->YSItemEvent(selector, item, cancel, entry, store), 0);
        EXPECT_TRUE(cancel);
        ASSERT_EQ(platform.log.size(), 1u);
        EXPECT_EQ(platform.log[0].message, "Error occurred.  Reason: no Submitted");
    }
}

// The forms drawn through the library on this program's windows: the boxes of
// the fired rules only, the question asked, and a failure to load reported.
TEST_F(PluginTest, ShowsEitherFormOnTheWindowsItIsHanded) {
    auto show =
        reinterpret_cast<decltype(&PostwardenShowForm)>(dlsym(handle_, kShowFormEntryPoint));
    ASSERT_NE(show, nullptr);
    std::string failure;
    EXPECT_EQ(show(nullptr, nullptr, "", -1, nullptr, &failure), kShowFormFailed);

    fakes::FakePlatform platform;
    EXPECT_EQ(show(&platform, nullptr, "Really?", -1, nullptr, &failure), kShowFormFailed);
    EXPECT_EQ(failure, "No window system");

    auto owned = std::make_unique<fakes::FakeWindowSystem>(platform);
    fakes::FakeWindowSystem& windows = *owned;
    platform.windows = std::move(owned);
    platform.SetSetting("MessageForBlankSubject", "No subject. Send?");
    const Globals fired{.KeywordsViolated = true, .BlankSubjectViolated = true};
    EXPECT_EQ(show(&platform, &fired, nullptr, -1, nullptr, nullptr), 7);
    EXPECT_EQ(show(&platform, nullptr, "Really?", -1, nullptr, nullptr), 7);
    SendEvidence evidence;
    evidence.present = true;
    evidence.subject = "Plans";
    evidence.recipientCount = 2;
    evidence.keyword = "salary";
    evidence.keywordPlace = "the body";
    EXPECT_EQ(show(&platform, &fired, nullptr, -1, &evidence, nullptr), 7);
    EXPECT_EQ(show(&platform, nullptr, "Really?", 2, &evidence, nullptr), 7);

    ASSERT_EQ(windows.shown.size(), 4u);
    EXPECT_TRUE(windows.shown[0].details.empty());
    EXPECT_TRUE(windows.shown[1].details.empty());
    const std::vector<std::string> details{"Subject: \"Plans\"", "Recipients: 2",
                                           "Keyword \"salary\",", "  found in the body"};
    EXPECT_EQ(windows.shown[2].details, details);
    EXPECT_EQ(windows.shown[3].details, details);
    const ShownWindow& multi = windows.shown[0];
    EXPECT_EQ(multi.form, "frmYesNoPrompt");
    std::vector<std::string> enabled;
    for (const ShownControl& box : multi.controls) {
        if (box.kind == ControlKind::kCheckBox && box.enabled) enabled.push_back(box.caption);
    }
    EXPECT_EQ(enabled, (std::vector<std::string>{
                           "Are you sure you want to send this email with these keywords?",
                           "No subject. Send?"}));
    EXPECT_EQ(windows.shown[1].form, "frmSimpleYesNoPrompt");
    EXPECT_EQ(windows.shown[1].Control("lblConfirmationMessage").caption, "Really?");
}

}  // namespace
}  // namespace postwarden
