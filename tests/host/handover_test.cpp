// The hand-over to the real sendmail is all or nothing: whenever postwarden is
// killed, the real sendmail has either not been started or reads the whole
// message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool WaitFor(const std::string& path, std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    while (!fs::exists(path)) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A real sendmail that takes its time: it reads its input 8 KiB at a time with
// a pause after each, into CAPTURE_DIR/capture, and says when it started and
// when it saw the end of its input.
constexpr const char* kSlowSendmail = R"(#!/bin/sh
d="$CAPTURE_DIR"
: > "$d/started"
: > "$d/capture"
size=0
while :; do
    dd bs=8192 count=1 status=none >> "$d/capture" || exit 1
    now=$(stat -c %s "$d/capture")
    [ "$now" = "$size" ] && break
    size=$now
    sleep 0.01
done
: > "$d/done"
)";

class HandOverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sendmail = dir.File("slow-sendmail");
        WriteFile(sendmail, kSlowSendmail);
        ASSERT_EQ(::chmod(sendmail.c_str(), 0755), 0);
        // Twice a pipe's buffer, so that a message fed through a pipe cannot be
        // taken in at once.
        message = "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: long\r\n\r\n";
        for (int i = 0; message.size() < 128 * 1024; ++i) {
            message += "line " + std::to_string(i) + " " + std::string(60, 'a' + i % 26) + "\r\n";
        }
        messagePath = dir.File("message.eml");
        WriteFile(messagePath, message);
    }

    // Starts `postwarden sendmail` on the message, the slow sendmail capturing
    // into `capture`.
    Started Start(const std::string& capture) {
        fs::create_directories(capture);
        return StartProgram(POSTWARDEN_BINARY_DIR "/postwarden",
                            {"--home", home.Path(), "sendmail", "--answers", "yes", "--sendmail",
                             sendmail, "-oi", "--", "you@corp.example"},
                            messagePath, {"CAPTURE_DIR=" + capture});
    }

    TempFolder home;
    TempFolder dir;
    std::string sendmail;
    std::string message;
    std::string messagePath;
};

TEST_F(HandOverTest, AKillAtAnyMomentHandsOverTheWholeMessageOrNothing) {
    // One whole run, to see how long a send takes here.
    const std::string whole = dir.Path() + "/whole";
    const auto begin = Clock::now();
    ASSERT_EQ(Start(whole).Wait(), 0);
    const auto run = Clock::now() - begin;
    ASSERT_EQ(ReadFile(whole + "/capture"), message);

    constexpr int kKills = 25;
    int killedWhileHandingOver = 0;
    for (int i = 0; i < kKills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        const std::string capture = dir.Path() + "/kill" + std::to_string(i);
        const Started started = Start(capture);
        std::this_thread::sleep_for(run * (2 * i + 1) / (2 * kKills));
        ::kill(started.pid, SIGKILL);
        const bool killed = started.Wait() == -1;
        if (!fs::exists(capture + "/started")) {
            EXPECT_FALSE(fs::exists(capture + "/capture"));
            continue;
        }
        killedWhileHandingOver += killed;
        // The sendmail goes on after postwarden is gone; what it got is only
        // known once it has read to the end.
        ASSERT_TRUE(WaitFor(capture + "/done", std::chrono::seconds(60)));
        const std::string got = ReadFile(capture + "/capture");
        EXPECT_EQ(got.size(), message.size());
        EXPECT_TRUE(got == message) << "the sendmail got something else than the message";
    }
    // Most of a run is the hand-over; kills spread over it must have met it.
    EXPECT_GT(killedWhileHandingOver, 0);
}

}  // namespace
}  // namespace postwarden::testing
