#include "platform/windows/ChooseWindowSystem.h"

#include <cstdio>

#include "platform/windows/NoWindowSystem.h"
#include "platform/windows/QtWindowSystem.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "platform/windows/TerminalWindowSystem.h"

namespace postwarden {

std::unique_ptr<WindowSystem> ChooseWindowSystem(std::string_view answers) {
    if (!answers.empty()) {
        auto scripted =
            std::make_unique<ScriptedWindowSystem>(ScriptedWindowSystem::ParseAnswers(answers));
        scripted->EchoMessagesTo(stderr);
        return scripted;
    }
    if (QtWindowSystem::Available()) return std::make_unique<QtWindowSystem>();
    if (TerminalWindowSystem::Available()) return std::make_unique<TerminalWindowSystem>();
    return std::make_unique<NoWindowSystem>();
}

}  // namespace postwarden
