// One log record per line, whatever its texts hold, and the times a person
// gives `postwarden log --since` as record timestamps; and the platform's small
// helpers: the lists the rules read their entries from, text made safe for a
// terminal, and reading a whole file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "module/RuntimeError.h"
#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogRecord.h"
#include "tests/TempFolder.h"

namespace postwarden {
namespace {

TEST(LogRecordTest, EscapesEverythingThatCouldBreakARecord) {
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
    SplitDelimitedList list;
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

}  // namespace
}  // namespace postwarden
