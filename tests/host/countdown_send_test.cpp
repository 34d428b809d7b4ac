// The countdown before a send leaves, through the real command: scripted
// answers end it (yes is Send now, no is Cancel, close closes it), so no test
// waits for it to run out; where nobody can be shown it, the send goes at once.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/TempFolder.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

const std::string kMessage =
    "From: Me <me@corp.example>\r\nTo: Alice <alice@corp.example>\r\nSubject: Numbers\r\n"
    "Message-ID: <countdown@corp.example>\r\n\r\nHello\r\n";

class CountdownSendTest : public HomeTest {
  protected:
    void SetUp() override {
        // The first send seeds the home (asking before every send); then no
        // rule asks, unless a test switches the question back on.
        ASSERT_EQ(Check("yes").exitCode, 0);
        Set("PromptForAnySendWanted", "0");
        sendmail = WriteFakeSendmail(dir.Path());
    }
    CommandResult Check(const std::string& answers) {
        return Pw({"check", "--answers", answers}, kMessage);
    }
    CommandResult Sendmail(const std::vector<std::string>& answers) {
        std::vector<std::string> args{"sendmail"};
        args.insert(args.end(), answers.begin(), answers.end());
        args.insert(args.end(), {"--sendmail", sendmail, "-t"});
        return Pw(args, kMessage);
    }
    bool Delivered() const { return std::filesystem::exists(dir.Path() + "/input"); }
    // The log's record of the last send.
    std::string LastSendRecord() {
        std::string last;
        for (const LogRecord& r : LogRecords(Home())) {
            if (r.message.starts_with("Send: ")) last = r.message;
        }
        return last;
    }

    TempFolder dir;
    std::string sendmail;
};

TEST_F(CountdownSendTest, WithoutADelayThereIsNoCountdown) {
    // The one window there would be is the countdown: none is shown, so the
    // No is never given.
    const CommandResult r = Check("no");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "send: go ahead\n");
}

TEST_F(CountdownSendTest, CancelHoldsASendNothingAskedAbout) {
    Set("SendDelaySeconds", "5");
    CommandResult r = Check("no");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "send: cancelled (cancelled in the countdown)\n");
    EXPECT_TRUE(
        LastSendRecord().starts_with("Send: cancelled in the countdown; rules fired: none;"))
        << LastSendRecord();
    const CommandResult last = Pw({"last"});
    EXPECT_THAT(last.out, HasSubstr(": not sent: cancelled in the countdown\n"));

    // Closing it (Escape, the close box) is a Cancel too; Send now sends.
    EXPECT_EQ(Check("close").exitCode, 1);
    r = Check("yes");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(LastSendRecord().starts_with("Send: nothing to ask;")) << LastSendRecord();
}

TEST_F(CountdownSendTest, AYesToTheQuestionIsStillTakenBackByACancel) {
    Set("PromptForAnySendWanted", "1");
    Set("SendDelaySeconds", "60");
    // One answer a window, in order: the question, then the countdown.
    CommandResult r = Check("yes,no");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(LastSendRecord().starts_with("Send: cancelled in the countdown; rules fired: "))
        << LastSendRecord();
    r = Check("yes,yes");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(LastSendRecord().starts_with("Send: yes;")) << LastSendRecord();
    // A No to the question holds it, and no countdown follows to take a
    // second answer: the No stays the record.
    r = Check("no");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(LastSendRecord().starts_with("Send: no;")) << LastSendRecord();
}

TEST_F(CountdownSendTest, SendmailHandsNothingOverWhenCancelled) {
    Set("SendDelaySeconds", "5");
    CommandResult r = Sendmail({"--answers", "no"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "postwarden: not sent: cancelled in the countdown\n");
    EXPECT_FALSE(Delivered());
    r = Sendmail({"--answers", "yes"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Delivered());
}

TEST_F(CountdownSendTest, WhereNobodyCanBeShownItTheSendGoesAtOnce) {
    // No answers, no terminal, no display. A delay of a minute would be killed
    // by the runner as a silent command.
    Set("SendDelaySeconds", "60");
    const CommandResult r = Sendmail({});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Delivered());
    EXPECT_TRUE(LastSendRecord().starts_with("Send: nothing to ask;")) << LastSendRecord();
}

}  // namespace
}  // namespace postwarden::testing
