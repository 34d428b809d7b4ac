// postwarden as the sendmail program of a mail client, with a stand-in for the
// real sendmail that records what it was given.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

class SendmailTest : public ::testing::Test {
  protected:
    void SetUp() override { sendmail = WriteFakeSendmail(dir.Path(), "fake-sendmail"); }
    CommandResult Send(std::vector<std::string> args, const std::string& message,
                       std::vector<std::string> env = {}) {
        args.insert(args.begin(), {"--home", home.Path(), "sendmail", "--sendmail", sendmail});
        return RunPostwarden(args, message, env);
    }
    bool Delivered() const { return std::filesystem::exists(dir.Path() + "/input"); }
    std::string DeliveredBytes() const { return ReadFile(dir.Path() + "/input"); }
    std::string DeliveredArgs() const { return ReadFile(dir.Path() + "/args"); }

    TempFolder home;
    TempFolder dir;
    std::string sendmail;
    // CR LF line ends, a NUL byte, 8-bit bytes and no final newline.
    static constexpr char kBytes[] =
        "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: bytes\r\n\r\n"
        "binary \0 \xff\xfe\x80 here\r\nlast line without newline";
    const std::string message = std::string(kBytes, sizeof kBytes - 1);
};

TEST_F(SendmailTest, PassesTheBytesAndArgumentsOnUnchanged) {
    const CommandResult r = Send({"--answers", "yes", "-oi", "-oem", "-f", "me@corp.example", "-F",
                                  "Me Myself", "-t", "--", "you@corp.example"},
                                 message);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(Delivered());
    EXPECT_EQ(DeliveredBytes(), message);
    EXPECT_EQ(DeliveredArgs(),
              "-oi\n-oem\n-f\nme@corp.example\n-F\nMe Myself\n-t\n--\nyou@corp.example\n");
}

TEST_F(SendmailTest, OurOptionsAfterTheRecipientMarkerAreRecipients) {
    const CommandResult r =
        Send({"--answers=yes", "-i", "--", "--answers", "x@corp.example"}, message);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DeliveredArgs(), "-i\n--\n--answers\nx@corp.example\n");
}

TEST_F(SendmailTest, NothingIsRunWhenTheSendIsCancelled) {
    const CommandResult r = Send({"--answers", "no", "-t"}, message);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(Delivered());
    EXPECT_EQ(r.err, "postwarden: not sent: No to \"Are you sure you want to send this email?\"\n");
}

TEST_F(SendmailTest, TheRealSendmailsStatusIsPassedThrough) {
    const CommandResult r = Send({"--answers", "yes"}, message, {"FAKE_STATUS=75"});
    EXPECT_EQ(r.exitCode, 75);
    EXPECT_TRUE(Delivered());
}

TEST_F(SendmailTest, TheSendmailProgramCanComeFromTheEnvironment) {
    const CommandResult r =
        RunPostwarden({"--home", home.Path(), "sendmail", "--answers", "yes", "a@corp.example"},
                      message, {"POSTWARDEN_SENDMAIL=" + sendmail});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DeliveredBytes(), message);
}

TEST_F(SendmailTest, AMissingSendmailIsAnError) {
    sendmail = dir.Path() + "/nowhere";
    const CommandResult r = Send({"--answers", "yes"}, message);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("cannot run"), std::string::npos) << r.err;
}

TEST_F(SendmailTest, ACorruptRegistryStillDelivers) {
    std::ofstream(home.Path() + "/registry.db") << std::string(4096, 'x');
    const CommandResult r = Send({"--answers", "no"}, message);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DeliveredBytes(), message);
}

TEST_F(SendmailTest, AnUnusableMailStoreStillDelivers) {
    const std::string notAFolder = dir.Path() + "/store-is-a-file";
    std::ofstream(notAFolder) << "x";
    const CommandResult r = RunPostwarden({"--home", home.Path(), "--mail-store", notAFolder,
                                           "sendmail", "--sendmail", sendmail, "--answers", "no"},
                                          message);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DeliveredBytes(), message);
}

TEST_F(SendmailTest, AnUnusableHomeStillDelivers) {
    const std::string notAFolder = dir.Path() + "/home-is-a-file";
    std::ofstream(notAFolder) << "x";
    const CommandResult r = RunPostwarden(
        {"--home", notAFolder, "sendmail", "--sendmail", sendmail, "--answers", "no"}, message);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DeliveredBytes(), message);
    EXPECT_NE(r.err.find("sending the message anyway"), std::string::npos) << r.err;
}

TEST_F(SendmailTest, AMessageThatCannotBeReadIsDeliveredAsItCame) {
    // No header block at all: the check fails open, whatever the answers.
    const std::string garbage("\x00\x01\x02 no headers at all \xff", 24);
    const CommandResult r = Send({"--answers", "no"}, garbage);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DeliveredBytes(), garbage);
}

}  // namespace
}  // namespace postwarden::testing
