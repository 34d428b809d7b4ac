// The countdown before a send leaves, told the time by hand: what it shows
// second by second, how Send now, Cancel and the time running out end it, and
// how the delay setting is read.
#include "host/send/Countdown.h"

#include <gtest/gtest.h>

#include <vector>

namespace postwarden::host {
namespace {

using State = Countdown::State;

TEST(SendDelayFromTest, ReadsAWholeNumberAndKeepsItWithinAMinute) {
    EXPECT_EQ(SendDelayFrom(std::nullopt), 0);
    EXPECT_EQ(SendDelayFrom(std::string("0")), 0);
    EXPECT_EQ(SendDelayFrom(std::string("8")), 8);
    EXPECT_EQ(SendDelayFrom(std::string("07")), 7);
    EXPECT_EQ(SendDelayFrom(std::string(" 5")), 5);
    EXPECT_EQ(SendDelayFrom(std::string("60")), 60);
    EXPECT_EQ(SendDelayFrom(std::string("61")), 60);
    EXPECT_EQ(SendDelayFrom(std::string("99999")), 60);
    EXPECT_EQ(SendDelayFrom(std::string("-1")), 0);
}

TEST(SendDelayFromTest, AValueThatIsNoWholeNumberMeansNoCountdown) {
    for (const char* value : {"", "abc", "1.5", "ten", "99999999999"}) {
        EXPECT_EQ(SendDelayFrom(std::string(value)), 0) << value;
    }
}

TEST(CountdownTest, ShowsTheWholeSecondsLeftRoundedUp) {
    Countdown countdown(8, 1000);
    EXPECT_TRUE(countdown.Counting());
    EXPECT_EQ(countdown.Text(), "Sending in 8 s");
    EXPECT_FALSE(countdown.Tick(1001));
    EXPECT_EQ(countdown.SecondsLeft(), 8);
    EXPECT_FALSE(countdown.Tick(1999));
    EXPECT_EQ(countdown.SecondsLeft(), 8);
    EXPECT_TRUE(countdown.Tick(2000));
    EXPECT_EQ(countdown.Text(), "Sending in 7 s");
    // A tick that skips seconds (a busy machine) shows where it is.
    EXPECT_TRUE(countdown.Tick(5500));
    EXPECT_EQ(countdown.Text(), "Sending in 4 s");
    EXPECT_TRUE(countdown.Counting());
}

TEST(CountdownTest, EveryShownSecondComesOnceInOrder) {
    Countdown countdown(3, 0);
    std::vector<int> shown{countdown.SecondsLeft()};
    for (int64_t now = 0; countdown.Counting(); now += 100) {
        if (countdown.Tick(now)) shown.push_back(countdown.SecondsLeft());
    }
    EXPECT_EQ(shown, (std::vector<int>{3, 2, 1, 0}));
    EXPECT_EQ(countdown.state(), State::kExpired);
}

TEST(CountdownTest, RunningOutSendsTheMessage) {
    Countdown countdown(2, 0);
    EXPECT_TRUE(countdown.Tick(1999));
    EXPECT_EQ(countdown.SecondsLeft(), 1);
    EXPECT_TRUE(countdown.Counting());
    EXPECT_FALSE(countdown.Sends());
    EXPECT_TRUE(countdown.Tick(2000));
    EXPECT_EQ(countdown.state(), State::kExpired);
    EXPECT_TRUE(countdown.Sends());
    EXPECT_EQ(countdown.SecondsLeft(), 0);
}

TEST(CountdownTest, SendNowSendsAtOnce) {
    Countdown countdown(10, 0);
    countdown.Tick(3000);
    countdown.SendNow();
    EXPECT_EQ(countdown.state(), State::kSendNow);
    EXPECT_TRUE(countdown.Sends());
}

TEST(CountdownTest, CancelHoldsTheMessage) {
    Countdown countdown(10, 0);
    countdown.Tick(9999);
    countdown.Cancel();
    EXPECT_EQ(countdown.state(), State::kCancelled);
    EXPECT_FALSE(countdown.Sends());
    EXPECT_FALSE(countdown.Counting());
}

TEST(CountdownTest, TheFirstDecisionStands) {
    {
        Countdown countdown(5, 0);
        countdown.Cancel();
        countdown.SendNow();
        EXPECT_FALSE(countdown.Tick(10000));
        EXPECT_EQ(countdown.state(), State::kCancelled);
    }
    {
        Countdown countdown(5, 0);
        countdown.SendNow();
        countdown.Cancel();
        EXPECT_EQ(countdown.state(), State::kSendNow);
    }
    {
        // A Cancel that comes after the time ran out is too late: the send went.
        Countdown countdown(5, 0);
        countdown.Tick(5000);
        countdown.Cancel();
        EXPECT_EQ(countdown.state(), State::kExpired);
        EXPECT_TRUE(countdown.Sends());
    }
}

TEST(CountdownTest, AClockThatGoesBackChangesNothing) {
    Countdown countdown(5, 10000);
    EXPECT_TRUE(countdown.Tick(12500));
    EXPECT_EQ(countdown.SecondsLeft(), 3);
    EXPECT_FALSE(countdown.Tick(11000));
    EXPECT_EQ(countdown.SecondsLeft(), 3);
    EXPECT_FALSE(countdown.Tick(0));
    EXPECT_TRUE(countdown.Counting());
}

TEST(CountdownTest, ALengthBelowOneSecondCountsOneSecond) {
    Countdown countdown(0, 0);
    EXPECT_EQ(countdown.SecondsLeft(), 1);
    EXPECT_TRUE(countdown.Counting());
    countdown.Tick(1000);
    EXPECT_EQ(countdown.state(), State::kExpired);
}

TEST(CountdownTest, SaysHowLongUntilTheTextChanges) {
    Countdown countdown(8, 0);
    EXPECT_EQ(countdown.MillisecondsToNextChange(0), 1000);
    EXPECT_EQ(countdown.MillisecondsToNextChange(250), 750);
    countdown.Tick(7600);
    EXPECT_EQ(countdown.MillisecondsToNextChange(7600), 400);
    // Waiting that long reaches the next change.
    EXPECT_TRUE(countdown.Tick(7600 + countdown.MillisecondsToNextChange(7600)));
    EXPECT_EQ(countdown.state(), State::kExpired);
    EXPECT_EQ(countdown.MillisecondsToNextChange(8000), 0);

    Countdown cancelled(8, 0);
    cancelled.Cancel();
    EXPECT_EQ(cancelled.MillisecondsToNextChange(0), 0);
}

}  // namespace
}  // namespace postwarden::host
