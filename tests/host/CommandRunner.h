#pragma once

// Runs the built `postwarden` command as a separate process, the way users and
// scripts do, and collects what it printed.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/engine/LogRecord.h"
#include "tests/TempFolder.h"

namespace postwarden::testing {

using ::testing::HasSubstr;

struct CommandResult {
    int exitCode = -1;  // -1 when it did not exit normally (a crash)
    std::string out;
    std::string err;
};

// Runs build/postwarden with `args`, feeding `input` on standard input, with
// `env` ("NAME=value") added to the environment, in a session of its own
// without a terminal or a display. A run that stays silent for a minute is
// killed (exitCode -1).
CommandResult RunPostwarden(const std::vector<std::string>& args, const std::string& input = "",
                            const std::vector<std::string>& env = {});

// Runs `program` the same way, writing each of `chunks` on standard input
// with a short pause before the next, so that it sees them in separate reads.
CommandResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& chunks,
                         const std::vector<std::string>& env = {});

// A program left running by StartProgram.
struct Started {
    pid_t pid = -1;
    // Its standard output; on a terminal, the pseudo-terminal's master, which
    // is its standard input too.
    UniqueFd output;

    // Waits for it to end; its exit code, -1 when it did not exit normally.
    int Wait() const;
};

// Starts `program` the way RunProgram does but leaves it running: standard
// input from the file `input` (none when empty), standard error discarded; or,
// `onTerminal`, all three on a pseudo-terminal of its own.
Started StartProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "", const std::vector<std::string>& env = {},
                     bool onTerminal = false);

// Reads what `fd` gives onto the end of `text` until `part` is in it or
// `seconds` have passed; whether it is.
bool ReadUntil(int fd, std::string& text, const std::string& part, int seconds = 30);

// The number of times `part` occurs in `text`.
size_t Occurrences(const std::string& text, const std::string& part);

// Sets or clears the immutable flag, which holds a file or a folder as it is
// even for root; false when the file system or the user cannot.
bool SetImmutable(const std::string& path, bool on);

// Writes `folder`/`name`: a stand-in for the real sendmail that writes its
// arguments, one a line, to `folder`/args, appends its standard input to
// `folder`/input and exits with $FAKE_STATUS (0 when unset). Returns its path.
std::string WriteFakeSendmail(const std::string& folder, const std::string& name = "sendmail");

// The records of `home`/postwarden.log, in order; a line that is no whole
// record fails the test.
std::vector<LogRecord> LogRecords(const std::string& home);

// A test on a home folder of its own, through the real command.
class HomeTest : public ::testing::Test {
  protected:
    // Runs `postwarden --home HOME args...`.
    CommandResult Pw(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--home", Home()});
        return RunPostwarden(args, input);
    }
    // Sets a setting; fails the test when the command refuses it.
    void Set(const std::string& key, const std::string& value) {
        const CommandResult r = Pw({"settings", "set", key, value});
        ASSERT_EQ(r.exitCode, 0) << key << ": " << r.err;
    }
    const std::string& Home() const { return home_->Path(); }
    // Starts over on a new, empty home.
    void FreshHome() { home_ = std::make_unique<TempFolder>(); }

  private:
    std::unique_ptr<TempFolder> home_ = std::make_unique<TempFolder>();
};

}  // namespace postwarden::testing
