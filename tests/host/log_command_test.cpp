// `postwarden log` shows no text raw: what could act on the terminal of the
// person reading the log is shown escaped, field by field.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "platform/UniqueFd.h"
#include "platform/engine/LogRecord.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

// A C1 CSI that clears the screen, and a right-to-left override.
const std::string kHostile =
    "csi \xc2\x9b"
    "2J, evil\xe2\x80\xae"
    "txt.exe";
const std::string kShown = "csi \\u{009B}2J, evil\\u{202E}txt.exe";

std::string Record(const std::string& source, const std::string& message) {
    return FormatRecord({"2026-12-06T12:00:00.000Z", "trace", 0, "Postwarden", source, message});
}

TEST(LogCommandTest, EveryFieldIsShownEscapedAndTheRecordsKeepTheirShape) {
    TempFolder home;
    std::ofstream(home.Path() + "/postwarden.log", std::ios::binary)
        << Record("ProcessItem", "Subject: " + kHostile)
        << Record("Source \xe2\x81\xa6isolated\xe2\x81\xa9", "plain Grüße\\n")
        // Written by something else than the log writer: a raw escape sequence.
        << "2026-12-06T12:00:01.000Z\tevent\t1\t\t\x1b[2J\tx\n"
        // A last record cut short.
        << "2026-12-06T12:00:02.000Z\ttrace\t0\tPostwarden\tS\tcut \xc2\x9b";
    const CommandResult r = RunPostwarden({"--home", home.Path(), "log"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "2026-12-06T12:00:00.000Z\ttrace\t0\tPostwarden\tProcessItem\tSubject: " + kShown +
                  "\n"
                  "2026-12-06T12:00:00.000Z\ttrace\t0\tPostwarden\t"
                  "Source \\u{2066}isolated\\u{2069}\tplain Grüße\\\\n\n"
                  "2026-12-06T12:00:01.000Z\tevent\t1\t\t\\x1B[2J\tx\n"
                  "2026-12-06T12:00:02.000Z\ttrace\t0\tPostwarden\tS\tcut \\u{009B}");
}

TEST(LogCommandTest, ALogThatIsNoFileIsNotRead) {
    TempFolder home;
    ASSERT_EQ(::symlink("/dev/null", (home.Path() + "/postwarden.log").c_str()), 0);
    const CommandResult r = RunPostwarden({"--home", home.Path(), "log"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
}

// Reads what `fd` gives until `out` holds `count` line ends, for a minute at most.
void ReadLines(int fd, std::string& out, size_t count) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) < count &&
           std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        out.append(buffer, static_cast<size_t>(n));
    }
}

TEST(LogCommandTest, FollowShowsAddedRecordsEscapedToo) {
    TempFolder home;
    const std::string path = home.Path() + "/postwarden.log";
    std::ofstream(path, std::ios::binary) << Record("First", "before");
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        std::string program = POSTWARDEN_BINARY_DIR "/postwarden";
        std::string homeOption = "--home=" + home.Path();
        std::string log = "log", follow = "--follow";
        char* argv[] = {program.data(), homeOption.data(), log.data(), follow.data(), nullptr};
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    ::close(out[1]);
    const UniqueFd reader(out[0]);

    std::string shown;
    ReadLines(reader.Get(), shown, 1);
    {
        // A record that arrives in two writes is shown once it is whole.
        const std::string record = Record("Second", kHostile);
        const size_t cut = record.find("\xc2\x9b") + 1;
        std::ofstream log(path, std::ios::binary | std::ios::app);
        log << record.substr(0, cut) << std::flush;
        ::usleep(600000);
        log << record.substr(cut);
    }
    ReadLines(reader.Get(), shown, 2);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(shown,
              "2026-12-06T12:00:00.000Z\ttrace\t0\tPostwarden\tFirst\tbefore\n"
              "2026-12-06T12:00:00.000Z\ttrace\t0\tPostwarden\tSecond\t" +
                  kShown + "\n");
}

}  // namespace
}  // namespace postwarden::testing
