#pragma once

// The countdown shown in whatever window system the send has: Qt windows, the
// terminal form, or scripted answers. It is a small form of its own (a label
// and two buttons), shown modeless and kept up to date while the host passes
// the window system's events on, so every window system that shows the
// questions shows the countdown too, without code of its own.
//
// Its buttons carry the questions' names, so that a script answers it as it
// answers a question: `yes` presses Send now, `no` presses Cancel, `close`
// closes it (which cancels, as Escape does).

#include <cstdint>
#include <functional>
#include <string>

#include "host/send/Countdown.h"
#include "module/WindowSystem.h"

namespace postwarden::host {

// The countdown's form: "frmCountdown", the label "lblCountdown", Send now as
// "cmdYes" and Cancel as "cmdNo".
const FormDesign& CountdownForm();

struct CountdownResult {
    // Whether the countdown could be shown at all; where it could not, the send
    // goes at once (there is no one to take it back) and `unshown` says why.
    bool shown = false;
    std::string unshown;
    // How it ended; kExpired when it could not be shown.
    Countdown::State state = Countdown::State::kExpired;

    bool Sends() const { return state != Countdown::State::kCancelled; }
};

// The milliseconds of a clock that never goes back.
using MonotonicClock = std::function<int64_t()>;
int64_t SteadyMilliseconds();

// Shows a countdown of `seconds` (1..60) and returns once it has ended: Send
// now, Cancel, the window closed (Escape, the close box, the window system
// taking it away) or the time run out. The window is gone when it returns.
// Never throws for a window that cannot be shown; what the person did is
// never overridden by a failure after it.
CountdownResult ShowCountdown(WindowSystem& windows, int seconds,
                              const MonotonicClock& clock = SteadyMilliseconds);

}  // namespace postwarden::host
