// The log keeps itself to a few files of bounded size, and no writer, however
// many there are, loses a record or splits one across files while it does.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"

namespace postwarden {
namespace {

namespace fs = std::filesystem;

class LogRotationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("pw-rotation-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "postwarden.log").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The lines of one file of the log; none when it is not there.
    std::vector<std::string> Lines(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::string> lines;
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
                log.Flush();
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

    fs::path dir_;
    std::string path_;
};

TEST_F(LogRotationTest, PastTheSizeTheFileMovesOnAndTheOldestIsDropped) {
    constexpr uint64_t kMax = 2000;
    // Each record written as it comes, so that the sizes are the records'.
    LogFile log(path_, nullptr, {.maxBytes = kMax, .keep = 3}, 0);
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

TEST_F(LogRotationTest, AWriterWhoseFileWasRotatedAwayWritesToTheNewOne) {
    LogFile early(path_, nullptr, {.maxBytes = 500, .keep = 3});
    LogFile late(path_, nullptr, {.maxBytes = 500, .keep = 3}, 0);
    early.Append("trace", 0, "Postwarden", "Early", "before");
    early.Flush();
    for (int i = 0; i < 10; ++i)
        late.Append("trace", 0, "Postwarden", "Late", std::string(80, 'x'));
    ASSERT_TRUE(fs::exists(RotatedLogPath(path_, 1)));
    // Records that waited while the file was rotated go to the new file.
    early.Append("trace", 0, "Postwarden", "Early", "after");
    early.Flush();
    EXPECT_EQ(ParseRecord(Lines(path_).back())->message, "after");

    // A log removed by hand is made again, not written into the removed file.
    fs::remove(path_);
    early.Append("trace", 0, "Postwarden", "Early", "again");
    early.Flush();
    ASSERT_EQ(Lines(path_).size(), 1u);
    EXPECT_EQ(ParseRecord(Lines(path_)[0])->message, "again");
}

TEST_F(LogRotationTest, ALogThatCannotRotateKeepsEveryRecord) {
    fs::create_directory(LogLockPath(path_));  // no lock, no rotation
    bool told = false;
    LogFile log(path_, [&](const std::string&) { told = true; }, {.maxBytes = 300, .keep = 3});
    for (int i = 0; i < 20; ++i) {
        log.Append("trace", 0, "Postwarden", "Test", std::to_string(i));
        log.Flush();
    }
    EXPECT_FALSE(fs::exists(RotatedLogPath(path_, 1)));
    EXPECT_EQ(Lines(path_).size(), 20u);
    EXPECT_TRUE(log.Working());
    EXPECT_FALSE(told);
}

TEST_F(LogRotationTest, ConcurrentWritersAcrossManyRotationsLoseNothing) {
    // Files smaller than a writer's buffer and enough of them kept that nothing
    // is dropped: some seventy rotations, each one raced by the other writers.
    constexpr int kProcesses = 4, kRecords = 1500;
    WriteConcurrently(kProcesses, kRecords, {.maxBytes = 32 << 10, .keep = 200});
    ASSERT_TRUE(fs::exists(RotatedLogPath(path_, 40)));
    ExpectRotatedOnlyWhenFull(200, 32 << 10);
    ExpectEveryRecordOnce(AllLines(200), kProcesses, kRecords);
}

TEST_F(LogRotationTest, ConcurrentWritersAcrossTheRealSizeLoseNothing) {
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
