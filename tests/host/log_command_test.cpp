// `postwarden log` shows no text raw: what could act on the terminal of the
// person reading the log is shown escaped, field by field. It reads the rotated
// files too, oldest first, --since narrows what it shows to the records from a
// time on, --sends to one line per send, and --follow goes on showing what is
// added.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>

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
constexpr const char* kNoon = "2026-12-06T12:00:00.000Z";

std::string Record(const std::string& stamp, const std::string& source,
                   const std::string& message = "m") {
    return FormatRecord({stamp, "trace", 0, "Postwarden", source, message});
}

class LogCommandTest : public ::testing::Test {
  public:  // for the cases of FollowShowsWhatIsAdded
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

TEST_F(LogCommandTest, EveryFieldIsShownEscapedAndTheRecordsKeepTheirShape) {
    std::ofstream(LogPath(), std::ios::binary)
        << Record(kNoon, "ProcessItem", "Subject: " + kHostile)
        << Record(kNoon, "Source \xe2\x81\xa6isolated\xe2\x81\xa9", "plain Grüße\\n")
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

TEST_F(LogCommandTest, NoLogYetIsEmptyAndALogThatIsNoFileIsNotRead) {
    const std::vector<std::string> env{"POSTWARDEN_HOME=" + home.Path()};
    CommandResult r = RunPostwarden({"log"}, "", env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_EQ(::symlink("/dev/null", LogPath().c_str()), 0);
    r = RunPostwarden({"log"}, "", env);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("not a regular file"));
}

TEST_F(LogCommandTest, TheRotatedFilesComeFirstOldestFirst) {
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

TEST_F(LogCommandTest, SinceShowsTheRecordsFromThatTimeOn) {
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
        // Spelt with "=" here; the usage errors give it as the next argument.
        const CommandResult r = RunPostwarden(
            {"--home", home.Path(), "log", std::string("--since=") + c.since}, "", {"TZ=XXX-1"});
        EXPECT_EQ(r.exitCode, 0) << c.since << r.err;
        EXPECT_EQ(Sources(r.out), c.shown) << c.since;
    }
}

// A real send's record, then records written by hand: each send is one line at
// its local time, without its Message-ID and evidence; no other record shows.
TEST_F(LogCommandTest, SendsShowsOneLinePerSend) {
    const std::string message =
        "From: me@corp.example\nTo: you@corp.example, them@corp.example\n"
        "Subject: Numbers\nMessage-ID: <n@corp.example>\n\nHi.\n";
    ASSERT_EQ(RunPostwarden({"--home", home.Path(), "check", "--answers", "no"}, message).exitCode,
              1);
    const auto send = [](const std::string& stamp, const std::string& what,
                         const std::string& source = "postwarden") {
        return FormatRecord({stamp, "event", 0, "", source, "Send: " + what});
    };
    std::ofstream(LogPath(), std::ios::app | std::ios::binary)
        << send("2026-12-05T23:30:00.000Z",
                "no; rules fired: Outside Domains, Keywords; recipients: 2; Message-ID: <b@x>; "
                "Subject: Offer; evidence: outside the company's domains: p@supplier.example")
        // No rule fired, so nothing after the subject is evidence.
        << send(kNoon,
                "nothing to ask; rules fired: none; recipients: 1; Message-ID: ; "
                "Subject: a; evidence: b")
        << send(kNoon, "yes; rules fired: Keywords; recipients: 1; Message-ID: <c@x>; Subject: " +
                           kHostile + "; evidence: found in the subject")
        << send(kNoon, "of another shape")
        << Record(kNoon, "postwarden", "Send: traced, not the host's record")
        << send(kNoon, "yes; rules fired: none; recipients: 1; Message-ID: ; Subject: x",
                "ProcessItem")
        << FormatRecord({kNoon, "event", 0, "", "postwarden", "Audit: 3 messages"});
    const CommandResult r =
        RunPostwarden({"--home", home.Path(), "log", "--sends"}, "", {"TZ=XXX-1"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_THAT(r.out, HasSubstr("\n"));
    // The real send, stamped now: its time is left to the --since case below.
    EXPECT_EQ(r.out.substr(19, r.out.find('\n') - 19),
              "  no; rules fired: Any Send; recipients: 2; Subject: Numbers");
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
              "2026-12-06 00:30:00  no; rules fired: Outside Domains, Keywords; recipients: 2; "
              "Subject: Offer\n"
              "2026-12-06 13:00:00  nothing to ask; rules fired: none; recipients: 1; "
              "Subject: a; evidence: b\n"
              "2026-12-06 13:00:00  yes; rules fired: Keywords; recipients: 1; Subject: " +
                  kShown +
                  "\n"
                  "2026-12-06 13:00:00  of another shape\n");
    const std::string since =
        RunPostwarden({"--home", home.Path(), "log", "--sends", "--since", "2026-12-06T00:31"}, "",
                      {"TZ=XXX-1"})
            .out;
    EXPECT_THAT(since, ::testing::Not(HasSubstr("Offer")));
    EXPECT_THAT(since, HasSubstr("13:00:00  nothing to ask"));
}

// Each case writes a first record, starts `log --follow`, then `change`s the
// log; every record must be shown once, in order, escaped.
TEST_F(LogCommandTest, FollowShowsWhatIsAdded) {
    const struct {
        const char* name;
        std::function<void(LogCommandTest&)> change;
        std::string shown;
    } cases[] = {
        {"a record that arrives in two writes is shown once it is whole, escaped",
         [](LogCommandTest& t) {
             const std::string record = Record(kNoon, "second", kHostile);
             const size_t cut = record.find("\xc2\x9b") + 1;
             std::ofstream log(t.LogPath(), std::ios::binary | std::ios::app);
             log << record.substr(0, cut) << std::flush;
             ::usleep(600000);
             log << record.substr(cut);
         },
         Record(kNoon, "first") + kNoon + "\ttrace\t0\tPostwarden\tsecond\t" + kShown + "\n"},
        {"after a rotation it goes on into the new file",
         [](LogCommandTest& t) {
             // As a writer rotates: a last record into the old file, renamed, a new file.
             std::ofstream(t.LogPath(), std::ios::binary | std::ios::app)
                 << Record(kNoon, "last of the old file");
             ASSERT_EQ(std::rename(t.LogPath().c_str(), t.LogPath(".1").c_str()), 0);
             t.Write("", Record(kNoon, "first of the new file"));
         },
         Record(kNoon, "first") + Record(kNoon, "last of the old file") +
             Record(kNoon, "first of the new file")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Write("", Record(kNoon, "first"));
        std::remove(LogPath(".1").c_str());
        const Started follow = StartProgram(POSTWARDEN_BINARY_DIR "/postwarden",
                                            {"--home=" + home.Path(), "log", "--follow"});
        std::string shown;
        ReadUntil(follow.output.Get(), shown, Record(kNoon, "first"));
        c.change(*this);
        ReadUntil(follow.output.Get(), shown, c.shown, 60);
        ::kill(follow.pid, SIGTERM);
        follow.Wait();
        EXPECT_EQ(shown, c.shown);
    }
}

}  // namespace
}  // namespace postwarden::testing
