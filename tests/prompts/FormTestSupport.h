#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "module/ThreadObjects.h"
#include "prompts/ConfirmationForm.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FakeWindowSystem.h"
#include "util/RuntimeError.h"
#include "validation/Globals.h"

namespace postwarden::testing {

using Lines = std::vector<std::string>;

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

// Events for a window whose answers nobody looks at.
struct NoEvents final : WindowEvents {
    void Click(std::string_view) override {}
    void CloseRequested() override {}
};

// The description of the "Can't create object" CreateWindow throws on `windows`.
inline std::string RefusalOf(WindowSystem& windows) {
    NoEvents none;
    try {
        windows.CreateWindow(frmSimpleYesNoPrompt::Design(), none);
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), errors::kCannotCreateObject);
        return e.Description();
    }
    return "(a window was made)";
}

// What the rules found about a send, as the forms show it under their questions:
// a subject with control characters, recipients and the rest counted, and a line
// too long for any window.
inline const Lines kDetailLines{"Subject: \"Hi\x1b[2J\x1b]0;owned\x07 there\"",
                                "Recipients: 8",
                                "Outside the company's domains (7):",
                                "  a1@out.example (out.example)",
                                "  a2@out.example (out.example)",
                                "  a3@out.example (out.example)",
                                "  a4@out.example (out.example)",
                                "  " + std::string(120, 'l') + "@x.example",
                                "  and 2 more"};

// The two forms asked the way the rules ask them, on the calling thread.
inline int32_t AskMulti(Platform& platform, bool manualModal = false) {
    return ThreadObjects::For(platform).YesNoPrompt().Ask(kPromptValues, kPromptFriendlyName,
                                                          manualModal);
}

inline int32_t AskSimple(Platform& platform, const std::string& question,
                         bool manualModal = false) {
    frmSimpleYesNoPrompt& form = ThreadObjects::For(platform).SimpleYesNoPrompt();
    form.SetConfirmationMessage(question);
    return form.Ask(kPromptValues, kPromptFriendlyName, manualModal);
}

}  // namespace postwarden::testing
