#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows/ModelWindow.h"

namespace postwarden {

// A window system that answers every prompt from a script instead of a person,
// for automation (`--answers yes,no`) and tests. Answers are used one per shown
// window, in order; the last one repeats for every later window, and an empty
// script closes every window without a button.
//
// It answers the way a person would, through the window's own click logic: for
// yes it first ticks every enabled, unticked check box, then presses Yes (a Yes
// that stays disabled after that cannot be pressed, and the window is closed
// instead); for no it presses No; for close it closes the window. A modal show
// is answered before ShowModal() returns; a modeless show on the next
// ProcessPendingEvents(). Every shown window is recorded as it was at the show.
class ScriptedWindowSystem final : public WindowSystem {
  public:
    enum class Answer { kYes, kNo, kClose };

    explicit ScriptedWindowSystem(std::vector<Answer> answers);
    ~ScriptedWindowSystem() override;

    // Parses "yes,no,close" (case and blanks around each word do not matter).
    // Throws std::invalid_argument naming the offending word for anything else,
    // an empty text included.
    static std::vector<Answer> ParseAnswers(std::string_view text);

    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override;
    void ProcessPendingEvents() override;
    // Recorded; also written to `messageEcho` when one is set.
    void MessageBox(std::string_view text, std::string_view title) override;

    struct Message {
        std::string text, title;
    };
    // Every window shown so far, in order, as it was when shown.
    const std::vector<ShownWindow>& shown() const;
    const std::vector<Message>& messages() const;
    // Where message boxes are echoed (e.g. stderr); null for nowhere.
    void EchoMessagesTo(std::FILE* stream);

  private:
    class ScriptedWindow;
    struct Script;
    // Shared with the windows, which may outlive this object.
    std::shared_ptr<Script> script_;
};

}  // namespace postwarden
