// Loads the built module library the way the host does and drives it across the
// library boundary.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "module/IModuleAPI.h"
#include "tests/fakes/FakePlatform.h"

namespace postwarden {
namespace {

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(POSTWARDEN_BINARY_DIR "/libpostwarden-module.so", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }
    void* handle_ = nullptr;
};

TEST_F(PluginTest, ExportsOnlyTheEntryPoint) {
    EXPECT_NE(dlsym(handle_, kModuleEntryPoint), nullptr);
    // The module class and the C++ internals stay inside the library.
    EXPECT_EQ(dlsym(handle_, "_ZN10postwarden11CPostwardenC1ERNS_8PlatformE"), nullptr);
    EXPECT_EQ(dlsym(handle_, "_ZN10postwarden6ToLongESt17basic_string_viewIcSt11char_traitsIcEE"),
              nullptr);
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

}  // namespace
}  // namespace postwarden
