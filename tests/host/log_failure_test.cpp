// A log that cannot be written never decides a send: the check goes on with
// every rule, and the person is told once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/UniqueFd.h"
#include "platform/engine/LogRecord.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

constexpr const char* kReported = "postwarden: cannot write the log ";
constexpr const char* kOutsideQuestion =
    "Are you sure you want to send this email outside the company?";

// A home whose only rule asks about mail leaving corp.example, and a message
// that leaves it, answered No: every run must end cancelled.
class UnwritableLogTest : public HomeTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(Check("yes").exitCode, 0) << "the seeding run asks the any-send question";
        Set("PromptForAnySendWanted", "0");
        Set("PromptForOutsideDomainsWanted", "1");
        Set("ListOfOutsideDomains", "corp.example");
        std::filesystem::remove(LogPath());
    }

    std::string LogPath() const { return Home() + "/postwarden.log"; }
    CommandResult Check(const std::string& answers = "no") {
        return Pw({"check", "--answers", answers},
                  "From: me@corp.example\nTo: bob@outside.example\nSubject: hi\n\nx\n");
    }
    // The run was cancelled by the outside-domains rule and said once, in one
    // line, that the log is left out; `reason` is what that line must give.
    void ExpectCancelledAndToldOnce(const CommandResult& r, const std::string& reason) {
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(kOutsideQuestion), std::string::npos) << r.out;
        EXPECT_EQ(Occurrences(r.err, kReported), 1u) << r.err;
        const std::string line = std::string(kReported) + LogPath() + ": ";
        const size_t at = r.err.find(line);
        ASSERT_NE(at, std::string::npos) << r.err;
        const size_t end = r.err.find('\n', at);
        EXPECT_EQ(r.err.substr(at + line.size(), end - at - line.size()),
                  reason + "; going on without it");
    }
};

TEST_F(UnwritableLogTest, EveryRuleStaysOnWhateverTheLogIs) {
    enum Kind { kLink, kFolder, kPipe, kReadPipe };
    const struct {
        Kind kind;
        const char* target;  // of a link
        const char* reason;  // what the person is told
    } cases[] = {
        {kLink, "/dev/full", "a character device, not a regular file"},
        {kLink, "/dev/null", "a character device, not a regular file"},  // takes every write
        {kLink, "missing/folder/log", "No such file or directory"},
        {kFolder, "", "a folder, not a regular file"},
        {kPipe, "", "a named pipe, not a regular file"},  // nobody reads it
        {kReadPipe, "", "a named pipe, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + c.target);
        std::filesystem::remove_all(LogPath());
        if (c.kind == kLink) {
            ASSERT_EQ(::symlink(c.target, LogPath().c_str()), 0);
        } else if (c.kind == kFolder) {
            std::filesystem::create_directory(LogPath());
        } else {
            ASSERT_EQ(::mkfifo(LogPath().c_str(), 0600), 0);
        }
        const UniqueFd reader(c.kind == kReadPipe
                                  ? ::open(LogPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                  : -1);
        ExpectCancelledAndToldOnce(Check(), c.reason);
    }
}

// The log's file system full: a regular file that takes no more bytes. A file
// size limit at the log's present size makes every append fail the way a full
// disk does, while the smaller registry and drafts are still written.
TEST_F(UnwritableLogTest, ALogThatTakesNoMoreBytes) {
    const std::string record = FormatRecord(
        {"2026-12-06T12:00:00.000Z", "trace", 0, "Postwarden", "Test", std::string(200, 'x')});
    {
        std::ofstream log(LogPath(), std::ios::binary);
        while (log.tellp() < 256 * 1024) log << record;
    }
    const auto size = std::filesystem::file_size(LogPath());
    ASSERT_LT(std::filesystem::file_size(Home() + "/registry.db"), size);

    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = size;
    // The command inherits both: the limit, and SIGXFSZ ignored so that an
    // append fails with EFBIG instead of killing the process.
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const CommandResult r = Check();
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, oldHandler);

    ExpectCancelledAndToldOnce(r, "File too large");
    EXPECT_EQ(std::filesystem::file_size(LogPath()), size) << "nothing half-written";
}

}  // namespace
}  // namespace postwarden::testing
