// The log's records and its few files of bounded size, which no number of
// writers loses a record from; and the platform's small text and file helpers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"
#include "platform/windows/ModelWindow.h"
#include "tests/TempFolder.h"
#include "util/DelimitedList.h"
#include "util/RuntimeError.h"

namespace postwarden {
namespace {

namespace fs = std::filesystem;

TEST(LogRecordTest, EscapesEverythingThatCouldBreakARecordAndRefusesMalformedEscapes) {
    const std::pair<std::string, std::string> cases[] = {
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
    for (const auto& [text, escaped] : cases) {
        std::string out;
        AppendEscaped(out, text);
        EXPECT_EQ(out, escaped);
        EXPECT_EQ(Unescape(out), text) << escaped;
    }
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
    const auto fields = [](const LogRecord& r) {
        return std::tie(r.timestamp, r.kind, r.level, r.app, r.source, r.message);
    };
    EXPECT_EQ(fields(*back), fields(record));
}

TEST(LogTimeTest, DatesAndTimesBecomeUtcTimestamps) {
    // Central European time: UTC+1 in winter, UTC+2 in summer. The other tests
    // here stamp in UTC only, so the zone is left set.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    const std::pair<const char*, const char*> cases[] = {
        {"2026-12-06", "2026-12-05T23:00:00.000Z"},
        {"2026-12-06T14:30", "2026-12-06T13:30:00.000Z"},
        {"2026-12-06 14:30:05", "2026-12-06T13:30:05.000Z"},
        {"2026-07-01T12:00", "2026-07-01T10:00:00.000Z"},  // summer time
        {"2026-12-06T12:34:56.789Z", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56.7Z", "2026-12-06T12:34:56.700Z"},
        {"2026-12-06T12:34:56.78919Z", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56,5Z", "2026-12-06T12:34:56.500Z"},
        {"2026-12-06T14:30+01:00", "2026-12-06T13:30:00.000Z"},
        {"2026-12-06T07:30-0500", "2026-12-06T12:30:00.000Z"},
        {"2026-12-06T00:30+02", "2026-12-05T22:30:00.000Z"},
        {"2024-02-29T00:00Z", "2024-02-29T00:00:00.000Z"},
    };
    for (const auto& [given, stamp] : cases) EXPECT_EQ(TimestampOf(given), stamp) << given;
}

TEST(LogTimeTest, AnythingElseIsRefused) {
    const std::vector<std::string> refused[] = {
        {"", "yesterday", "2026", "2026-12", "2026-12-6", "26-12-06"},
        {"2026-13-01", "2026-00-10", "2026-02-29", "2026-04-31", "2026-12-32"},  // no such day
        {"2026-12-06T", "2026-12-06T14", "2026-12-06T24:00", "2026-12-06T12:60"},
        {"2026-12-06T12:30:61", "2026-12-06T12:30:00.", "2026-12-06T12:30+25:00"},
        {"2026-12-06T12:30Zulu", "2026-12-06T12:30 ", " 2026-12-06", "2026-12-06T12:30:00.5x"},
    };
    for (const auto& group : refused) {
        for (const std::string& bad : group) EXPECT_EQ(TimestampOf(bad), std::nullopt) << bad;
    }
}

TEST(LogTimeTest, OnlyARecordsOwnStampIsTakenForOne) {
    const std::pair<std::string, std::string> cases[] = {
        {"2026-12-06T12:34:56.789Z\ttrace\t0\tA\tB\tC", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56.789Z", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56.789Zx\ttrace", ""},
        {"2026-12-06 12:34:56.789Z\ttrace", ""},
        {"continued text of no record", ""},
    };
    for (const auto& [line, stamp] : cases) EXPECT_EQ(LineTimestamp(line), stamp) << line;
}

TEST(DelimitedListTest, SplitsAtLineEndsAndSemicolonsAndTrims) {
    using V = std::vector<std::string>;
    const std::pair<std::string, V> cases[] = {
        {"corp.example\r\nbranch.example", {"corp.example", "branch.example"}},
        {"a;b\nc\rd", {"a", "b", "c", "d"}},
        {"  spaced.example \t;\tsecret word  ", {"spaced.example", "secret word"}},
        {";;\r\n\r\n ; \t\n", {}},
        {"", {}},
    };
    DelimitedList list;
    for (const auto& [text, entries] : cases) {
        list.SetText(text);
        V found;
        for (int32_t i = 1; i <= list.Count(); ++i) found.push_back(list.Item(i));
        EXPECT_EQ(found, entries) << text;
    }
    list.SetText("a;b");
    EXPECT_THROW(list.Item(0), RuntimeError);
    EXPECT_THROW(list.Item(3), RuntimeError);
}

TEST(TerminalTextTest, ShowsEveryTerminalControlAsAVisibleEscape) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain Grüße, 日本", "plain Grüße, 日本"},
        {"\x1b]0;TITLE\x07", "\\x1B]0;TITLE\\x07"},
        {"a\tb\r\nc\x7f", "a\\tb\\r\\nc\\x7F"},
        {"csi \xc2\x9b"
         "2J",
         "csi \\u{009B}2J"},  // C1 CSI
        {"evil\xe2\x80\xae"
         "txt.exe",
         "evil\\u{202E}txt.exe"},  // right-to-left override
        {"\xe2\x81\xa6isolate\xe2\x81\xa9", "\\u{2066}isolate\\u{2069}"},
        {"bad \xff\xfe utf8", "bad \\xFF\\xFE utf8"},
        {"truncated \xe2\x80", "truncated \\xE2\\x80"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeForTerminal(text), shown) << shown;
}

TEST(ReadWholeFileTest, ANamedPipeNobodyWritesToReadsAsEmptyInsteadOfWaiting) {
    testing::TempFolder folder;
    ASSERT_EQ(::mkfifo(folder.File("pipe").c_str(), 0600), 0);
    ::alarm(10);  // a read that waits for a writer ends the program here
    EXPECT_EQ(ReadWholeFile(folder.File("pipe")), "");
    ::alarm(0);
}

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
    void WriteConcurrently(int processes, int records, LogRotation rotation,
                           size_t bufferBytes = kLogBufferBytes) {
        std::vector<pid_t> children;
        for (int p = 0; p < processes; ++p) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                LogFile log(path_, nullptr, rotation, bufferBytes);
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

    testing::TempFolder folder_;
    const std::string path_ = folder_.File("postwarden.log");
};

TEST_F(LogFileTest, LoggerAndHelperWriteTraceAndEventRecords) {
    LogFile log(path_);
    FileEngineLogger(log).WriteLog("Postwarden", "ProcessItem", "Starting recipients count: 2", 0);
    FileEngineHelper(log).LogEvent("Error occurred.  Reason: x", 1, "Postwarden.ProcessItem");
    log.Flush();
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
        for (const std::string& line : Lines(path_)) messages.push_back(ParseRecord(line)->message);
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

// The other ways a log cannot be used are run through the command itself
// (tests/host/check_test.cpp); this is what doctor reports from.
TEST_F(LogFileTest, NoPathIsNoLogAndAProblemSaysWhyAndCreatesNothing) {
    bool told = false;
    LogFile none("", [&](const std::string&) { told = true; });
    none.Append("trace", 0, "Postwarden", "Test", "dropped");
    EXPECT_FALSE(none.Working());
    EXPECT_FALSE(told);
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

TEST_F(LogFileTest, AWriterWhoseFileWasRotatedAwayWritesToTheNewOne) {
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

TEST_F(LogFileTest, ALogThatCannotRotateKeepsEveryRecord) {
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

TEST_F(LogFileTest, ConcurrentWritersAcrossManyRotationsLoseNothing) {
    // Files smaller than a writer's buffer and enough of them kept that nothing
    // is dropped: each of some 290 batches fills a file, and even if the four
    // writers always crossed the size together there would be over 70
    // rotations, each one raced by the other writers.
    constexpr int kProcesses = 4, kRecords = 1500;
    WriteConcurrently(kProcesses, kRecords, {.maxBytes = 8 << 10, .keep = 400}, 16 << 10);
    ASSERT_TRUE(fs::exists(RotatedLogPath(path_, 40)));
    ExpectRotatedOnlyWhenFull(400, 8 << 10);
    ExpectEveryRecordOnce(AllLines(400), kProcesses, kRecords);
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
