// The log file: whole records from the logger and the helper, and a few files
// of bounded size in which no writer, however many there are, loses a record or
// splits one across files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

namespace fs = std::filesystem;

class LogFileTest : public ::testing::Test {
  protected:
    // The lines of one file of the log; none when it is not there.
    std::vector<std::string> Lines(const std::string& path) const {
        std::vector<std::string> lines;
        std::istringstream in(testing::ReadFile(path));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Every line of the log's files, oldest file first.
    std::vector<std::string> AllLines(int kept) const {
        std::vector<std::string> all;
        for (int index = kept; index >= 0; --index) {
            for (std::string& line : Lines(index == 0 ? path_ : RotatedLogPath(path_, index))) {
                all.push_back(std::move(line));
            }
        }
        return all;
    }

    // Runs `processes` children that each append `records` records of about
    // 800 bytes with the given rotation, and waits for them all.
    void WriteConcurrently(int processes, int records, LogRotation rotation) {
        std::vector<pid_t> children;
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                LogFile log(path_, nullptr, rotation);
                const std::string filler(700, static_cast<char>('a' + p));
                for (int i = 0; i < records; ++i) {
                    log.Append("trace", 0, "Postwarden", "P" + std::to_string(p),
                               std::to_string(i) + "\n" + filler);
                }
                std::_Exit(log.Working() ? 0 : 1);
            }
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }

    // Each of the `kept` older files, where there, went past `maxBytes` before it
    // was rotated: of writers crossing the size together only one rotated.
    void ExpectRotatedOnlyWhenFull(int kept, uint64_t maxBytes) {
        for (int index = 1; index <= kept; ++index) {
            const std::string rotated = RotatedLogPath(path_, index);
            if (fs::exists(rotated)) {
                EXPECT_GT(fs::file_size(rotated), maxBytes) << rotated;
            }
        }
    }

    // Every one of the records WriteConcurrently wrote is in `lines` once and whole.
    void ExpectEveryRecordOnce(const std::vector<std::string>& lines, int processes, int records) {
        std::set<std::string> seen;
        for (const std::string& line : lines) {
            const auto record = ParseRecord(line);
            ASSERT_TRUE(record.has_value()) << line.substr(0, 80);
            const size_t newline = record->message.find('\n');
            ASSERT_NE(newline, std::string::npos);
            const char filler = static_cast<char>('a' + (record->source[1] - '0'));
            EXPECT_EQ(record->message.substr(newline + 1), std::string(700, filler));
            EXPECT_TRUE(
                seen.insert(record->source + ":" + record->message.substr(0, newline)).second)
                << "written twice: " << record->source << " " << record->message.substr(0, newline);
        }
        EXPECT_EQ(seen.size(), static_cast<size_t>(processes * records));
    }

    testing::TempFolder folder_;
    const std::string path_ = folder_.File("postwarden.log");
};

TEST_F(LogFileTest, LoggerAndHelperWriteTraceAndEventRecords) {
    LogFile log(path_);
    FileEngineLogger(log).WriteLog("Postwarden", "ProcessItem", "Starting recipients count: 2", 0);
    FileEngineHelper(log).LogEvent("Error occurred.  Reason: x", 1, "Postwarden.ProcessItem");
    const auto lines = Lines(path_);
    ASSERT_EQ(lines.size(), 2u);
    const auto trace = ParseRecord(lines[0]), event = ParseRecord(lines[1]);
    ASSERT_TRUE(trace && event);
    EXPECT_EQ(
        std::tie(trace->kind, trace->level, trace->app, trace->source, trace->message),
        std::make_tuple("trace", 0, "Postwarden", "ProcessItem", "Starting recipients count: 2"));
    EXPECT_EQ(
        std::tie(event->kind, event->level, event->app, event->source, event->message),
        std::make_tuple("event", 1, "", "Postwarden.ProcessItem", "Error occurred.  Reason: x"));
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LogFileTest, NoPathMeansNoLogAndNothingToTell) {
    bool told = false;
    LogFile log("", [&](const std::string&) { told = true; });
    log.Append("trace", 0, "Postwarden", "Test", "dropped");
    EXPECT_FALSE(log.Working());
    EXPECT_FALSE(told);
}

// The other ways a log cannot be used are run through the command itself
// (tests/host/log_failure_test.cpp); this is what doctor reports from.
TEST_F(LogFileTest, LogFileProblemSaysWhyAndCreatesNothing) {
    EXPECT_EQ(LogFileProblem(path_), "No such file or directory");
    EXPECT_FALSE(fs::exists(path_));
    testing::WriteFile(path_, "x");
    EXPECT_EQ(LogFileProblem(path_), "");
    fs::remove(path_);
    ::mkfifo(path_.c_str(), 0600);
    EXPECT_EQ(LogFileProblem(path_), "a named pipe, not a regular file") << "and did not wait";
}

TEST_F(LogFileTest, PastTheSizeTheFileMovesOnAndTheOldestIsDropped) {
    constexpr uint64_t kMax = 2000;
    LogFile log(path_, nullptr, {.maxBytes = kMax, .keep = 3});
    constexpr int kRecords = 200;  // about 100 bytes each: ten rotations
    for (int i = 0; i < kRecords; ++i)
        log.Append("trace", 0, "Postwarden", "Test", std::to_string(i));

    EXPECT_FALSE(fs::exists(RotatedLogPath(path_, 4)));
    for (int index = 1; index <= 3; ++index) {
        const std::string rotated = RotatedLogPath(path_, index);
        ASSERT_TRUE(fs::exists(rotated)) << rotated;
        // Rotated once a record took it past the size: never more than that record over.
        EXPECT_GT(fs::file_size(rotated), kMax);
        EXPECT_LT(fs::file_size(rotated), kMax + 100);
        EXPECT_EQ(fs::status(rotated).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    }
    // The newest records, in order, with none missing up to the last.
    const std::vector<std::string> lines = AllLines(3);
    ASSERT_FALSE(lines.empty());
    const int first = std::stoi(ParseRecord(lines.front())->message);
    EXPECT_GT(first, 0) << "the oldest records are dropped";
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(ParseRecord(lines[i])->message, std::to_string(first + static_cast<int>(i)));
    }
    EXPECT_EQ(ParseRecord(lines.back())->message, std::to_string(kRecords - 1));
}

TEST_F(LogFileTest, AWriterWhoseFileWasRotatedAwayWritesToTheNewOne) {
    LogFile early(path_, nullptr, {.maxBytes = 500, .keep = 3});
    LogFile late(path_, nullptr, {.maxBytes = 500, .keep = 3});
    early.Append("trace", 0, "Postwarden", "Early", "before");
    for (int i = 0; i < 10; ++i)
        late.Append("trace", 0, "Postwarden", "Late", std::string(80, 'x'));
    ASSERT_TRUE(fs::exists(RotatedLogPath(path_, 1)));
    early.Append("trace", 0, "Postwarden", "Early", "after");
    EXPECT_EQ(ParseRecord(Lines(path_).back())->message, "after");

    // A log removed by hand is made again, not written into the removed file.
    fs::remove(path_);
    early.Append("trace", 0, "Postwarden", "Early", "again");
    ASSERT_EQ(Lines(path_).size(), 1u);
    EXPECT_EQ(ParseRecord(Lines(path_)[0])->message, "again");
}

TEST_F(LogFileTest, ALogThatCannotRotateKeepsEveryRecord) {
    fs::create_directory(LogLockPath(path_));  // no lock, no rotation
    bool told = false;
    LogFile log(path_, [&](const std::string&) { told = true; }, {.maxBytes = 300, .keep = 3});
    for (int i = 0; i < 20; ++i) log.Append("trace", 0, "Postwarden", "Test", std::to_string(i));
    EXPECT_FALSE(fs::exists(RotatedLogPath(path_, 1)));
    EXPECT_EQ(Lines(path_).size(), 20u);
    EXPECT_TRUE(log.Working());
    EXPECT_FALSE(told);
}

TEST_F(LogFileTest, ConcurrentWritersAcrossManyRotationsLoseNothing) {
    // Small files and enough of them kept that nothing is dropped: some sixty
    // rotations, each one raced by the other writers.
    constexpr int kProcesses = 4, kRecords = 1500;
    WriteConcurrently(kProcesses, kRecords, {.maxBytes = 64 << 10, .keep = 200});
    ASSERT_TRUE(fs::exists(RotatedLogPath(path_, 40)));
    ExpectRotatedOnlyWhenFull(200, 64 << 10);
    ExpectEveryRecordOnce(AllLines(200), kProcesses, kRecords);
}

TEST_F(LogFileTest, ConcurrentWritersAcrossTheRealSizeLoseNothing) {
    // About 13 MB: one rotation at 10 MiB, both files kept.
    constexpr int kProcesses = 4, kRecords = 4000;
    WriteConcurrently(kProcesses, kRecords, {});
    ASSERT_TRUE(fs::exists(RotatedLogPath(path_, 1)));
    EXPECT_FALSE(fs::exists(RotatedLogPath(path_, 2)));
    ExpectRotatedOnlyWhenFull(kLogFilesKept, kLogRotateBytes);
    ExpectEveryRecordOnce(AllLines(kLogFilesKept), kProcesses, kRecords);
}

}  // namespace
}  // namespace postwarden
