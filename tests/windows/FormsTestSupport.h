#pragma once

#include <gtest/gtest.h>

#include <string>

#include "module/RuntimeError.h"
#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"
#include "tests/prompts/FormTestSupport.h"

namespace postwarden::testing {

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
