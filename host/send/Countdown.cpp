#include "host/send/Countdown.h"

#include <algorithm>

#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden::host {

int SendDelayFrom(const std::optional<std::string>& stored) {
    if (!stored) return 0;
    int32_t seconds = 0;
    try {
        seconds = ToLong(*stored);
    } catch (const RuntimeError&) {
        return 0;
    }
    return std::clamp<int32_t>(seconds, 0, kMaxSendDelaySeconds);
}

Countdown::Countdown(int seconds, int64_t startMs)
    : lengthMs_(int64_t{std::max(seconds, 1)} * 1000), startMs_(startMs), lastMs_(startMs) {}

int64_t Countdown::RemainingMs(int64_t nowMs) const {
    return std::max<int64_t>(0, lengthMs_ - (nowMs - startMs_));
}

bool Countdown::Tick(int64_t nowMs) {
    if (state_ != State::kCounting || nowMs <= lastMs_) return false;
    const int before = SecondsLeft();
    lastMs_ = nowMs;
    if (RemainingMs(lastMs_) == 0) state_ = State::kExpired;
    return SecondsLeft() != before;
}

void Countdown::SendNow() {
    if (state_ == State::kCounting) state_ = State::kSendNow;
}

void Countdown::Cancel() {
    if (state_ == State::kCounting) state_ = State::kCancelled;
}

int Countdown::SecondsLeft() const {
    if (state_ == State::kExpired) return 0;
    const int64_t remaining = RemainingMs(lastMs_);
    return static_cast<int>((remaining + 999) / 1000);
}

std::string Countdown::Text() const {
    return "Sending in " + std::to_string(SecondsLeft()) + " s";
}

int64_t Countdown::MillisecondsToNextChange(int64_t nowMs) const {
    if (state_ != State::kCounting) return 0;
    const int64_t remaining = RemainingMs(std::max(nowMs, lastMs_));
    if (remaining == 0) return 0;
    // The shown seconds drop when the remainder crosses a whole second.
    const int64_t intoSecond = remaining % 1000;
    return intoSecond == 0 ? 1000 : intoSecond;
}

}  // namespace postwarden::host
