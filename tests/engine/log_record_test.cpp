#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"

namespace postwarden {
namespace {

struct EscapeCase {
    std::string text;
    std::string escaped;
};

TEST(LogRecordTest, EscapesEverythingThatCouldBreakARecord) {
    const EscapeCase cases[] = {
        {"plain text", "plain text"},
        {"", ""},
        {"a\tb", "a\\tb"},
        {"line1\r\nline2", "line1\\r\\nline2"},
        {"back\\slash", "back\\\\slash"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"\x1b[31mred", "\\x1B[31mred"},
        {"del\x7f", "del\\x7F"},
        {"ünïcödé ✓", "ünïcödé ✓"},
        {"\\t is not a tab", "\\\\t is not a tab"},
    };
    for (const EscapeCase& c : cases) {
        std::string out;
        AppendEscaped(out, c.text);
        EXPECT_EQ(out, c.escaped) << c.escaped;
        EXPECT_EQ(out.find('\n'), std::string::npos);
        EXPECT_EQ(out.find('\t'), std::string::npos);
        EXPECT_EQ(Unescape(out), c.text) << c.escaped;
    }
}

TEST(LogRecordTest, RejectsMalformedEscapes) {
    for (const char* bad : {"trailing\\", "\\q", "\\x4", "\\xZZ", "\\x"}) {
        EXPECT_FALSE(Unescape(bad).has_value()) << bad;
    }
}

TEST(LogRecordTest, ARecordWithHostileTextsReadsBackExactly) {
    LogRecord record{"2026-12-06T12:34:56.789Z",
                     "trace",
                     0,
                     "Postwarden",
                     "Source\twith tab",
                     "forged\n2026-01-01T00:00:00.000Z\tevent\t1\t\tX\tY\r\\"};
    const std::string line = FormatRecord(record);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one record is one line";
    auto back = ParseRecord(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->timestamp, record.timestamp);
    EXPECT_EQ(back->kind, record.kind);
    EXPECT_EQ(back->level, 0);
    EXPECT_EQ(back->app, record.app);
    EXPECT_EQ(back->source, record.source);
    EXPECT_EQ(back->message, record.message);
}

TEST(LogRecordTest, TimestampIsUtcWithMilliseconds) {
    const std::string stamp = CurrentTimestamp();
    ASSERT_EQ(stamp.size(), 24u) << stamp;
    EXPECT_EQ(stamp[4], '-');
    EXPECT_EQ(stamp[10], 'T');
    EXPECT_EQ(stamp[19], '.');
    EXPECT_EQ(stamp.back(), 'Z');
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("pw-log-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "postwarden.log").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::vector<std::string> Lines() const {
        std::ifstream in(path_, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(LogFileTest, LoggerAndHelperWriteTraceAndEventRecords) {
    LogFile log(path_);
    FileEngineLogger(log).WriteLog("Postwarden", "ProcessItem", "Starting recipients count: 2", 0);
    FileEngineHelper(log).LogEvent("Error occurred.  Reason: x", 1, "Postwarden.ProcessItem");

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    auto trace = ParseRecord(lines[0]);
    auto event = ParseRecord(lines[1]);
    ASSERT_TRUE(trace && event);
    EXPECT_EQ(trace->kind, "trace");
    EXPECT_EQ(trace->app, "Postwarden");
    EXPECT_EQ(trace->source, "ProcessItem");
    EXPECT_EQ(trace->message, "Starting recipients count: 2");
    EXPECT_EQ(event->kind, "event");
    EXPECT_EQ(event->level, 1);
    EXPECT_EQ(event->app, "");
    EXPECT_EQ(event->source, "Postwarden.ProcessItem");
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(LogFileTest, ConcurrentProcessesNeverInterleaveRecords) {
    constexpr int kProcesses = 4;
    constexpr int kRecords = 2000;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            LogFile log(path_);
            // Long messages make a torn write likely if records were not whole.
            const std::string filler(700, 'a' + p);
            for (int i = 0; i < kRecords; ++i) {
                log.Append("trace", 0, "Postwarden", "P" + std::to_string(p),
                           std::to_string(i) + "\n" + filler);
            }
            std::_Exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kProcesses * kRecords));
    std::set<std::string> seen;
    for (const std::string& line : lines) {
        auto record = ParseRecord(line);
        ASSERT_TRUE(record.has_value()) << line.substr(0, 80);
        const int p = record->source[1] - '0';
        const size_t newline = record->message.find('\n');
        ASSERT_NE(newline, std::string::npos);
        EXPECT_EQ(record->message.substr(newline + 1), std::string(700, 'a' + p));
        seen.insert(record->source + ":" + record->message.substr(0, newline));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kRecords));
}

TEST_F(LogFileTest, AFailingLogIsReportedOnceAndThenLeftOut) {
    std::vector<std::string> reports;
    ASSERT_EQ(::symlink("/dev/full", path_.c_str()), 0);
    LogFile log(path_, [&](const std::string& problem) { reports.push_back(problem); });
    EXPECT_FALSE(log.Working());
    FileEngineLogger logger(log);
    FileEngineHelper helper(log);
    EXPECT_NO_THROW(logger.WriteLog("Postwarden", "ProcessItem", "one", 0));
    EXPECT_NO_THROW(helper.LogEvent("two", 1, "Postwarden.ProcessItem"));
    EXPECT_EQ(reports, std::vector<std::string>{"cannot write the log " + path_ +
                                                ": a character device, not a regular file"});
}

// A regular file whose writes fail part-way through the run: the records before
// stay, the failure is told once, and later records are not attempted.
TEST_F(LogFileTest, AWriteThatFailsTurnsTheLogOff) {
    std::vector<std::string> reports;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        LogFile log(path_, [&](const std::string& problem) { reports.push_back(problem); });
        log.Append("trace", 0, "Postwarden", "Test", "fits");
        const rlimit limit{static_cast<rlim_t>(std::filesystem::file_size(path_)), RLIM_INFINITY};
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        for (int i = 0; i < 3; ++i) log.Append("trace", 0, "Postwarden", "Test", "over");
        const bool ok = !log.Working() && reports.size() == 1 &&
                        reports[0] == "cannot write the log " + path_ + ": File too large";
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("\tfits")) << lines[0];
}

TEST_F(LogFileTest, NoPathMeansNoLogAndNothingToTell) {
    bool told = false;
    LogFile log("", [&](const std::string&) { told = true; });
    log.Append("trace", 0, "Postwarden", "Test", "dropped");
    EXPECT_FALSE(log.Working());
    EXPECT_FALSE(told);
}

struct ProblemCase {
    const char* name;
    std::function<void(const std::string& path)> make;
    std::string problem;
};

TEST_F(LogFileTest, LogFileProblemSaysWhyAndCreatesNothing) {
    const ProblemCase cases[] = {
        {"a regular file", [](const std::string& p) { std::ofstream(p) << "x"; }, ""},
        {"missing", [](const std::string&) {}, "No such file or directory"},
        {"/dev/full", [](const std::string& p) { ::symlink("/dev/full", p.c_str()); },
         "a character device, not a regular file"},
        {"a folder", [](const std::string& p) { std::filesystem::create_directory(p); },
         "a folder, not a regular file"},
        {"a named pipe", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); },
         "a named pipe, not a regular file"},
    };
    for (const ProblemCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(path_);
        c.make(path_);
        EXPECT_EQ(LogFileProblem(path_), c.problem);
    }
    std::filesystem::remove_all(path_);
    LogFileProblem(path_);
    EXPECT_FALSE(std::filesystem::exists(path_)) << "a missing log is not created";
}

}  // namespace
}  // namespace postwarden
