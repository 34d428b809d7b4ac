// `postwarden log` reads the rotated files too, oldest first, and --since
// narrows what it shows to the records from a time on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "platform/UniqueFd.h"
#include "platform/engine/LogRecord.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

std::string Record(const std::string& stamp, const std::string& source) {
    return FormatRecord({stamp, "trace", 0, "Postwarden", source, "m"});
}

class LogFilesTest : public ::testing::Test {
  protected:
    std::string LogPath(const std::string& suffix = "") const {
        return home.Path() + "/postwarden.log" + suffix;
    }
    void Write(const std::string& suffix, const std::string& content) const {
        std::ofstream(LogPath(suffix), std::ios::binary) << content;
    }
    // The SOURCE field of every line shown, in order.
    static std::vector<std::string> Sources(const std::string& out) {
        std::vector<std::string> sources;
        size_t start = 0;
        for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = out.substr(start, end - start);
            const auto record = ParseRecord(line);
            sources.push_back(record ? record->source : line);
        }
        return sources;
    }

    TempFolder home;
};

TEST_F(LogFilesTest, TheRotatedFilesComeFirstOldestFirst) {
    Write(".4", Record("2026-12-01T00:00:00.000Z", "beyond the kept files"));
    Write(".3", Record("2026-12-02T00:00:00.000Z", "three"));
    // A record cut short at the end of a file stays a line of its own.
    Write(".2", Record("2026-12-03T00:00:00.000Z", "two") + "2026-12-03T00:00:01.000Z\tcut");
    Write(".1", Record("2026-12-04T00:00:00.000Z", "one"));
    Write("", Record("2026-12-05T00:00:00.000Z", "current"));
    Write(".lock", "");
    const CommandResult r = RunPostwarden({"--home", home.Path(), "log"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Sources(r.out),
              (std::vector<std::string>{"three", "two", "2026-12-03T00:00:01.000Z\tcut", "one",
                                        "current"}));

    // Rotated files without a current one (it is made by the next record).
    std::remove(LogPath().c_str());
    EXPECT_EQ(Sources(RunPostwarden({"--home", home.Path(), "log"}).out).back(), "one");
}

TEST_F(LogFilesTest, SinceShowsTheRecordsFromThatTimeOn) {
    Write(".1", Record("2026-12-05T23:59:59.999Z", "late on the 5th") +
                    Record("2026-12-06T08:00:00.000Z", "morning") +
                    "a line of no record, shown with the one before\n");
    Write("", Record("2026-12-06T12:34:56.789Z", "noon") +
                  Record("2026-12-07T00:00:00.000Z", "the 7th"));
    const std::vector<std::string> all = {"late on the 5th", "morning",
                                          "a line of no record, shown with the one before", "noon",
                                          "the 7th"};
    const struct {
        const char* since;
        std::vector<std::string> shown;
    } cases[] = {
        {"2026-12-06T12:34:56.789Z", {"noon", "the 7th"}},
        {"2026-12-06T12:34:56.790Z", {"the 7th"}},
        {"2026-12-06T13:34:56.789+01:00", {"noon", "the 7th"}},
        {"2026-12-06T00:00Z", {all.begin() + 1, all.end()}},
        // Local time, here an hour ahead of UTC: the 6th starts at 23:00 UTC on the 5th.
        {"2026-12-06", all},
        {"2026-12-06T01:00", {all.begin() + 1, all.end()}},
        {"2026-12-06T09:00:00.001", {"noon", "the 7th"}},
        {"2026-12-06T13:35", {"the 7th"}},
        {"2027-01-01", {}},
    };
    for (const auto& c : cases) {
        const CommandResult r =
            RunPostwarden({"--home", home.Path(), "log", "--since", c.since}, "", {"TZ=XXX-1"});
        EXPECT_EQ(r.exitCode, 0) << c.since << r.err;
        EXPECT_EQ(Sources(r.out), c.shown) << c.since;
    }
    EXPECT_EQ(Sources(RunPostwarden({"--home", home.Path(), "log", "--since=2026-12-07T00:00Z"}, "",
                                    {"TZ=XXX-1"})
                          .out),
              std::vector<std::string>{"the 7th"});
}

TEST_F(LogFilesTest, ASinceThatIsNoTimeIsAUsageError) {
    Write("", Record("2026-12-06T12:00:00.000Z", "x"));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--since"},
                                               {"--since", "yesterday"},
                                               {"--since", "2026-02-30"},
                                               {"--since", "06.12.2026"},
                                               {"--since="},
                                               {"--until", "2026-12-06"}}) {
        std::vector<std::string> command = {"--home", home.Path(), "log"};
        command.insert(command.end(), args.begin(), args.end());
        const CommandResult r = RunPostwarden(command);
        EXPECT_EQ(r.exitCode, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("postwarden: log: ", 0), 0u) << r.err;
    }
    const CommandResult r = RunPostwarden({"--home", home.Path(), "log", "--since", "soon"});
    EXPECT_NE(r.err.find("--since needs a date (2026-12-06) or a date and time"), std::string::npos)
        << r.err;
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

TEST_F(LogFilesTest, FollowGoesOnIntoTheNewFileAfterARotation) {
    Write("", Record("2026-12-06T12:00:00.000Z", "first"));
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
    // As a writer rotates: a last record into the old file, renamed, a new file.
    std::ofstream(LogPath(), std::ios::binary | std::ios::app)
        << Record("2026-12-06T12:00:01.000Z", "last of the old file");
    ASSERT_EQ(std::rename(LogPath().c_str(), LogPath(".1").c_str()), 0);
    Write("", Record("2026-12-06T12:00:02.000Z", "first of the new file"));
    ReadLines(reader.Get(), shown, 3);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(Sources(shown),
              (std::vector<std::string>{"first", "last of the old file", "first of the new file"}));
}

}  // namespace
}  // namespace postwarden::testing
