#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "module/ThreadObjects.h"
#include "prompts/ConfirmationForm.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FakeWindowSystem.h"
#include "validation/Globals.h"

namespace postwarden::testing {

// The forms of this thread over a fake platform, with no rule fired before or
// after a test. The window system is the test's to choose.
class FormsTest : public ::testing::Test {
  protected:
    FormsTest() {
        ThreadGlobals() = Globals{};
        ThreadEvidence() = SendEvidence{};
    }
    ~FormsTest() override {
        ThreadObjects::ReleaseFor(platform);
        ThreadGlobals() = Globals{};
    }
    fakes::FakePlatform platform;
};

// The same with FakeWindowSystem's windows.
class FormTest : public FormsTest {
  protected:
    FormTest() {
        auto windows = std::make_unique<fakes::FakeWindowSystem>(platform);
        this->windows = windows.get();
        platform.windows = std::move(windows);
    }
    fakes::FakeWindowSystem* windows;
    const int32_t values = kPromptValues;
    const std::string friendlyName = kPromptFriendlyName;
};

}  // namespace postwarden::testing
