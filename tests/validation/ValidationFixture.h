#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "module/CPostwarden.h"
#include "platform/windows/ScriptedWindowSystem.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/validation/ValidationAccess.h"
#include "validation/Globals.h"

namespace postwarden {

using Lines_ = std::vector<std::string>;

// A started module on the fakes, with the calling thread's violation flags
// cleared and, when a test asks for them, scripted answers to the prompts.
class ValidationTest : public ::testing::Test {
  protected:
    using Answer = ScriptedWindowSystem::Answer;
    static constexpr Answer kYes = Answer::kYes;
    static constexpr Answer kNo = Answer::kNo;

    void SetUp() override {
        std::shared_ptr<Engine> e = engine;
        module.YSStartup(e);
        ThreadGlobals() = Globals{};
    }

    // The prompts are answered in this order, the last answer repeating.
    void Answers(std::vector<Answer> answers) {
        auto scripted = std::make_unique<ScriptedWindowSystem>(std::move(answers));
        windows = scripted.get();
        platform.windows = std::move(scripted);
    }
    // The windows shown so far (Answers() must have been called).
    const std::vector<ShownWindow>& Shown() const { return windows->shown(); }

    // The log lines as "SOURCE|MESSAGE" texts.
    std::vector<std::string> Lines(const std::string& kind = "") const {
        return platform.Messages(kind);
    }

    // The error report lines as "LEVEL|SOURCE|MESSAGE" texts.
    std::vector<std::string> Events() const { return platform.Events(); }

    fakes::FakePlatform platform;
    std::shared_ptr<fakes::FakeEngine> engine = platform.NewEngine();
    CPostwarden module{platform};
    ValidationAccess v{module};
    ScriptedWindowSystem* windows = nullptr;
};

}  // namespace postwarden
