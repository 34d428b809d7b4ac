#include "host/send/CountdownWindow.h"

#include <chrono>
#include <exception>
#include <memory>

#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {

constexpr char kLabel[] = "lblCountdown";
constexpr char kSendNow[] = "cmdYes";
constexpr char kCancel[] = "cmdNo";

FormDesign MakeDesign() {
    return FormDesign{
        "frmCountdown",
        "Post Warden",
        4095,
        1500,
        "Microsoft Sans Serif",
        8.25,
        {
            {kLabel, ControlKind::kLabel, "Sending in 60 s", "", 255, 195, 3585, 405, 2},
            {kSendNow, ControlKind::kPushButton, "Send &now", "", 555, 825, 1320, 375, 1},
            {kCancel, ControlKind::kPushButton, "&Cancel", "", 2160, 825, 1320, 375, 0},
        }};
}

// Passes what the person did on to the countdown.
class CountdownEvents final : public WindowEvents {
  public:
    explicit CountdownEvents(Countdown& countdown) : countdown_(countdown) {}
    void Click(std::string_view control) override {
        if (control == kSendNow) countdown_.SendNow();
        if (control == kCancel) countdown_.Cancel();
    }
    void CloseRequested() override { countdown_.Cancel(); }

  private:
    Countdown& countdown_;
};

}  // namespace

const FormDesign& CountdownForm() {
    static const FormDesign design = MakeDesign();
    return design;
}

int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CountdownResult ShowCountdown(WindowSystem& windows, int seconds, const MonotonicClock& clock) {
    CountdownResult result;
    Countdown countdown(seconds, clock());
    CountdownEvents events(countdown);
    std::unique_ptr<Window> window;
    try {
        window = windows.CreateWindow(CountdownForm(), events);
        window->SetControlCaption(kLabel, countdown.Text());
        // Enter takes the message back rather than sending it early.
        window->SetDefaultButton(kCancel);
        window->ShowModeless();
    } catch (const std::exception& e) {
        // Nobody can be shown the countdown (no display, no terminal, a window
        // that was made but could not be shown): nobody could take the
        // message back, so it goes at once.
        result.unshown = e.what();
        return result;
    }
    result.shown = true;
    try {
        while (countdown.Counting()) {
            windows.ProcessPendingEvents();
            // A window taken away without a word is closed.
            if (!window->Loaded()) countdown.Cancel();
            if (countdown.Tick(clock()) && countdown.Counting()) {
                window->SetControlCaption(kLabel, countdown.Text());
            }
        }
    } catch (const std::exception&) {
        // The window failed while counting: nobody can take the message back
        // any more, and it was meant to go.
        countdown.Tick(clock());
    }
    result.state = countdown.Counting() ? Countdown::State::kExpired : countdown.state();
    try {
        if (window->Loaded()) window->Unload();
        // The window system takes the unloaded window off its screen.
        windows.ProcessPendingEvents();
    } catch (const std::exception&) {
    }
    return result;
}

}  // namespace postwarden::host
