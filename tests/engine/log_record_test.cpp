#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"
#include "platform/windows/ModelWindow.h"
#include "tests/TempFolder.h"

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
    log.Flush();

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
            {
                LogFile log(path_);
                // Long messages make a torn write likely if records were not whole.
                const std::string filler(700, 'a' + p);
                for (int i = 0; i < kRecords; ++i) {
                    log.Append("trace", 0, "Postwarden", "P" + std::to_string(p),
                               std::to_string(i) + "\n" + filler);
                }
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

// Records wait in the process; whichever way it ends, they reach the file, once.
TEST_F(LogFileTest, WaitingRecordsAreWrittenHoweverTheProcessEnds) {
    const struct {
        const char* name;
        void (*end)();
        int signal;  // the process ends by this signal; 0: exit status 0
    } ends[] = {
        {"exit", [] { std::exit(0); }, 0},
        {"SIGTERM", [] { ::raise(SIGTERM); }, SIGTERM},
        {"SIGSEGV", [] { ::raise(SIGSEGV); }, SIGSEGV},
        {"abort", [] { std::abort(); }, SIGABRT},
    };
    for (const auto& end : ends) {
        SCOPED_TRACE(end.name);
        std::filesystem::remove(path_);
        LogFile parent(path_);
        // A handler someone else put there first (AddressSanitizer's, for
        // SIGSEGV) keeps its signal; the log stands aside.
        struct sigaction ours {};
        struct sigaction current {};
        ::sigaction(SIGTERM, nullptr, &ours);
        if (end.signal != 0 && (::sigaction(end.signal, nullptr, &current) != 0 ||
                                current.sa_handler != ours.sa_handler)) {
            continue;
        }
        // Copied into the child with the process: the parent's to write, not the child's.
        parent.Append("trace", 0, "Postwarden", "Test", "from the parent");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            LogFile child(path_);
            child.Append("trace", 0, "Postwarden", "Test", "from the child");
            end.end();
            std::_Exit(99);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (end.signal != 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == end.signal) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        parent.Flush();
        std::vector<std::string> messages;
        for (const std::string& line : Lines()) messages.push_back(ParseRecord(line)->message);
        EXPECT_EQ(messages, (std::vector<std::string>{"from the child", "from the parent"}));
    }
}

struct NoEvents final : WindowEvents {
    void Click(std::string_view) override {}
    void CloseRequested() override {}
};

// A window system that notes what the log file held whenever it was about to
// show or ask anything.
class LogReadingWindows final : public WindowSystem {
  public:
    explicit LogReadingWindows(std::string path) : path_(std::move(path)) {}
    std::unique_ptr<Window> CreateWindow(const FormDesign& design, WindowEvents& events) override {
        return std::make_unique<ReadingWindow>(design, events, *this);
    }
    void ProcessPendingEvents() override { Read(); }
    void MessageBox(std::string_view, std::string_view) override { Read(); }

    std::vector<std::string> seen;  // the file, at each look

  private:
    class ReadingWindow final : public ModelWindow {
      public:
        ReadingWindow(const FormDesign& design, WindowEvents& events, LogReadingWindows& system)
            : ModelWindow(design, events), system_(system) {}
        void ShowModal() override { system_.Read(); }
        void ShowModeless() override { system_.Read(); }
        void Activate() override { system_.Read(); }

      private:
        LogReadingWindows& system_;
    };
    void Read() { seen.push_back(testing::ReadFile(path_)); }
    std::string path_;
};

TEST_F(LogFileTest, WaitingRecordsAreInTheFileBeforeAWindowShowsAnything) {
    const FormDesign design{"frmTest", "Test", 100, 100, "Sans", 8, {}};
    using Show = void (*)(WindowSystem&, Window&);
    const struct {
        const char* name;
        Show show;
    } shows[] = {
        {"ShowModal", [](WindowSystem&, Window& w) { w.ShowModal(); }},
        {"ShowModeless", [](WindowSystem&, Window& w) { w.ShowModeless(); }},
        {"Activate", [](WindowSystem&, Window& w) { w.Activate(); }},
        {"ProcessPendingEvents", [](WindowSystem& s, Window&) { s.ProcessPendingEvents(); }},
        {"MessageBox", [](WindowSystem& s, Window&) { s.MessageBox("Error", "Postwarden"); }},
    };
    for (const auto& show : shows) {
        SCOPED_TRACE(show.name);
        std::filesystem::remove(path_);
        auto windows = std::make_unique<LogReadingWindows>(path_);
        LogReadingWindows& reader = *windows;
        LinuxPlatform platform({path_, "", ""}, std::move(windows));
        NoEvents events;
        std::unique_ptr<Window> window = platform.Windows().CreateWindow(design, events);
        platform.NewEngineLogger()->WriteLog("Postwarden", "Test", "before the question", 0);
        show.show(platform.Windows(), *window);
        ASSERT_EQ(reader.seen.size(), 1u);
        EXPECT_NE(reader.seen[0].find("\tbefore the question\n"), std::string::npos);
    }
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
    EXPECT_FALSE(std::filesystem::exists(path_));
    std::ofstream(path_) << "x";
    EXPECT_EQ(LogFileProblem(path_), "");
    std::filesystem::remove(path_);
    ::mkfifo(path_.c_str(), 0600);
    EXPECT_EQ(LogFileProblem(path_), "a named pipe, not a regular file") << "and did not wait";
}

}  // namespace
}  // namespace postwarden
