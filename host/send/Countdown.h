#pragma once

// The countdown before a send leaves ("Sending in 8 s", Send now, Cancel): the
// last moment the person can take a message back. It runs in the host once the
// check has let the send go, before the message is handed to the real sendmail
// or the add-on is answered. This file holds the delay setting's reading and
// the countdown itself, as a state machine that is told the time and what the
// person did; it never reads a clock or shows anything.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace postwarden::host {

// The longest countdown a setting can ask for.
inline constexpr int kMaxSendDelaySeconds = 60;

// The countdown a stored SendDelaySeconds asks for, in 0..kMaxSendDelaySeconds:
// read as the module reads a number ("07" is 7); an absent value, one that is
// no whole number, or one below 0 is 0 (no countdown: a setting written wrong
// never holds a send); one above the longest is the longest.
int SendDelayFrom(const std::optional<std::string>& stored);

class Countdown {
  public:
    enum class State {
        kCounting,   // still counting; the send waits
        kSendNow,    // Send now was pressed: the send goes
        kExpired,    // the time ran out: the send goes
        kCancelled,  // Cancel, Escape or the window closed: the message is held
    };

    // Counts `seconds` (1 or more) down from `startMs`, the milliseconds of a
    // clock that never goes back.
    Countdown(int seconds, int64_t startMs);

    // Tells the countdown the time. Returns true when the seconds shown
    // changed, that is when the window's text is to be redrawn. Reaching the
    // end expires it; a time before the last one told changes nothing.
    bool Tick(int64_t nowMs);
    // What the person did. The first decision stands: once the countdown has
    // ended (by a press or by expiring) nothing changes it any more.
    void SendNow();
    void Cancel();

    State state() const { return state_; }
    bool Counting() const { return state_ == State::kCounting; }
    // Whether the send goes (only once the countdown has ended).
    bool Sends() const { return state_ == State::kSendNow || state_ == State::kExpired; }
    // The whole seconds left, rounded up (a countdown of 8 shows 8 until a
    // full second has gone); 0 once it has expired.
    int SecondsLeft() const;
    // What the window shows: "Sending in 8 s".
    std::string Text() const;
    // How long from `nowMs` until the text next changes or the time runs out;
    // 0 when the countdown has ended. What a presentation may wait for events.
    int64_t MillisecondsToNextChange(int64_t nowMs) const;

  private:
    int64_t RemainingMs(int64_t nowMs) const;

    int64_t lengthMs_;
    int64_t startMs_;
    int64_t lastMs_;
    State state_ = State::kCounting;
};

// How a countdown ended, as the log's send record says it of a held send.
inline constexpr char kCancelledInCountdown[] = "cancelled in the countdown";

}  // namespace postwarden::host
