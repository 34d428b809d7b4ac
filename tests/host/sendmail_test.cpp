// postwarden as the sendmail program of a mail client, with a stand-in for the
// real sendmail that records what it was given.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

// CR LF line ends, a NUL byte, 8-bit bytes and no final newline.
constexpr char kBytes[] =
    "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: bytes\r\n\r\n"
    "binary \0 \xff\xfe\x80 here\r\nlast line without newline";
const std::string kMessage(kBytes, sizeof kBytes - 1);

class SendmailTest : public HomeTest {
  protected:
    void SetUp() override { sendmail = WriteFakeSendmail(dir.Path(), "fake-sendmail"); }

    TempFolder dir;
    std::string sendmail;
};

TEST_F(SendmailTest, TheBytesGoOnUnchangedAndTheRealSendmailsStatusComesBack) {
    // The sendmail program named by the environment, not by an option.
    const CommandResult r =
        RunPostwarden({"--home", Home(), "sendmail", "--answers", "yes", "-t"}, kMessage,
                      {"POSTWARDEN_SENDMAIL=" + sendmail, "FAKE_STATUS=75"});
    EXPECT_EQ(r.exitCode, 75) << r.err;
    EXPECT_EQ(ReadFile(dir.File("input")), kMessage);
}

// A failure of postwarden's own lets the send go ahead, the message as it came.
TEST_F(SendmailTest, AnInternalFailureStillDeliversTheMessageAsItCame) {
    const std::string aFile = dir.File("a-file");
    WriteFile(aFile, "x");
    const struct {
        const char* name;
        std::vector<std::string> global;
        std::string message;
        const char* says;
    } cases[] = {
        {"a corrupt registry", {"--home", Home()}, kMessage, ""},
        {"a mail store that is a file",
         {"--home", Home() + "/2", "--mail-store", aFile},
         kMessage,
         ""},
        {"a home that is a file", {"--home", aFile}, kMessage, "sending the message anyway"},
        // No header block at all: the check fails open, whatever the answers.
        {"a message without headers",
         {"--home", Home() + "/3"},
         std::string("\x00\x01\x02 no headers at all \xff", 24),
         ""},
    };
    WriteFile(Home() + "/registry.db", std::string(4096, 'x'));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.File("input"));
        std::vector<std::string> args = c.global;
        args.insert(args.end(), {"sendmail", "--sendmail", sendmail, "--answers", "no"});
        const CommandResult r = RunPostwarden(args, c.message);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(ReadFile(dir.File("input")), c.message);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST_F(SendmailTest, ASendmailThatCannotRunOrIsKilledIsAFailure) {
    const std::string killed = dir.File("killed-sendmail");
    WriteFile(killed, "#!/bin/sh\ncat > /dev/null\nkill -KILL $$\n");
    ASSERT_EQ(::chmod(killed.c_str(), 0755), 0);
    const std::pair<std::string, const char*> cases[] = {
        {dir.File("nowhere"), "cannot run"},
        {killed, "killed by signal 9"},
    };
    for (const auto& [program, says] : cases) {
        const CommandResult r = Pw(
            {"sendmail", "--answers", "yes", "--sendmail", program, "you@corp.example"}, kMessage);
        EXPECT_NE(r.exitCode, 0) << program;
        EXPECT_NE(r.exitCode, -1) << "postwarden itself must exit";
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace postwarden::testing
