#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "module/ThreadObjects.h"
#include "prompts/ConfirmationForm.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FakeWindowSystem.h"
#include "validation/Globals.h"

namespace postwarden::testing {

// A fake platform whose windows are FakeWindowSystem, with clean violation flags.
class FormTest : public ::testing::Test {
  protected:
    FormTest() {
        auto windows = std::make_unique<fakes::FakeWindowSystem>(platform);
        this->windows = windows.get();
        platform.windows = std::move(windows);
        ThreadGlobals() = Globals{};
        ThreadEvidence() = SendEvidence{};
    }
    ~FormTest() override {
        ThreadObjects::ReleaseFor(platform);
        ThreadGlobals() = Globals{};
    }

    fakes::FakePlatform platform;
    fakes::FakeWindowSystem* windows;
    const int32_t values = kPromptValues;
    const std::string friendlyName = kPromptFriendlyName;
};

}  // namespace postwarden::testing
