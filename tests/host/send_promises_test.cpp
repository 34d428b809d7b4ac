// What the command promises whatever the set-up: every recipient is checked,
// a question nobody saw is not a Yes, a No is final, a broken install is loud,
// and the bytes go on to the real sendmail unchanged, however large, even when
// the check fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/send/ResendApprovals.h"
#include "host/send/SendCheck.h"
#include "platform/registry/Registry.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

std::string Message(const std::string& headers, const std::string& body = "hello\n") {
    return "From: Me <me@corp.example>\nTo: x@corp.example\nSubject: hi\n" + headers + "\n" + body;
}

// CR LF line ends, a NUL byte, 8-bit bytes and no final newline.
constexpr char kRawBytes[] =
    "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: bytes\r\n\r\n"
    "binary \0 \xff\xfe\x80 here\r\nlast line without newline";
const std::string kBytes(kRawBytes, sizeof kRawBytes - 1);

// An HTML-only message large enough to wait in a file on disk while it is
// checked, with CR LF line ends and 8-bit bytes; `ending` is the last
// paragraph's markup.
std::string LargeHtml(const std::string& ending) {
    std::string message =
        "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: big\r\n"
        "Content-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
    while (message.size() < host::kKeepOnDiskFrom + 4096) {
        message += "<p>Quarterly figures, caf\xc3\xa9 &amp; more.</p>\r\n";
    }
    return message + "<p>" + ending + "</p></body></html>\r\n";
}

// A real sendmail that takes its time: it reads its input 8 KiB at a time with
// a pause after each, into CAPTURE_DIR/capture, and says when it started and
// when it saw the end of its input.
constexpr const char* kSlowSendmail = R"(#!/bin/sh
d="$CAPTURE_DIR"
: > "$d/started"
: > "$d/capture"
size=0
while :; do
    dd bs=8192 count=1 status=none >> "$d/capture" || exit 1
    now=$(stat -c %s "$d/capture")
    [ "$now" = "$size" ] && break
    size=$now
    sleep 0.01
done
: > "$d/done"
)";

class SendPromisesTest : public HomeTest {
  protected:
    void SetUp() override { sendmail = WriteFakeSendmail(dir.Path(), "capture"); }
    // Only the outside-domain rule, for corp.example.
    void OutsideDomainsOnly() {
        ASSERT_EQ(Pw({"check", "--answers", "yes"}, Message("")).exitCode, 0);  // seeds the store
        Set("PromptForAnySendWanted", "0");
        Set("PromptForOutsideDomainsWanted", "1");
        Set("ListOfOutsideDomains", "corp.example");
    }
    CommandResult Send(std::vector<std::string> args, const std::string& message) {
        args.insert(args.begin(), {"sendmail", "--sendmail", sendmail});
        return Pw(args, message);
    }
    bool Delivered() const { return std::filesystem::exists(dir.Path() + "/input"); }
    std::string Log() const { return ReadFile(Home() + "/postwarden.log"); }

    TempFolder dir;
    std::string sendmail;
};

TEST_F(SendPromisesTest, EveryAddressTheMessageGoesToIsChecked) {
    OutsideDomainsOnly();
    struct Case {
        std::vector<std::string> args;
        std::string headers;
        bool held;
    } const cases[] = {
        {{"-oi", "--", "spy@evil.example"}, "", true},          // mutt's Bcc
        {{"-oi", "spy@evil.example"}, "", true},                // without "--"
        {{"-t", "x@corp.example,spy@evil.example"}, "", true},  // a list in one argument
        {{"-oi", "x@corp.example"}, "Resent-To: spy@evil.example\n", true},  // a bounce
        {{"-oi", "x@corp.example"}, "BCC: spy@evil.example\n", true},
        {{"-f", "spy@evil.example", "-oi", "x@corp.example"}, "", false},  // -f is the sender
        {{"-h", "5", "x@corp.example"}, "", false},  // sendmail's hop count, not help
        // After the first recipient no option is read: Postfix delivers to both.
        {{"x@corp.example", "-f", "spy@evil.example"}, "", true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir.Path() + "/input");
        std::vector<std::string> args{"--answers", "no"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult r = Send(args, Message(c.headers));
        const std::string what = c.args[1] + " " + c.headers;
        EXPECT_EQ(r.exitCode, c.held ? 1 : 0) << what << r.err;
        EXPECT_EQ(Delivered(), !c.held) << what;
    }
    // Passed on as they came, "-h 5" included.
    EXPECT_EQ(ReadFile(dir.Path() + "/args"), "-h\n5\nx@corp.example\n");
    // The mbox From_ line git format-patch writes first is no header field, and
    // the mail server drops it: the fields after it are the header, whether or
    // not the recipient arguments stand in front of it. It goes on as it came.
    for (const char* fromLine : {"From 1234abcd Mon Sep 17 00:00:00 2001\n", ">From me\n"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--answers", "no", "-t"},
              {"--answers", "no", "-oi", "x@corp.example"}}) {
            std::filesystem::remove(dir.Path() + "/input");
            const std::string message = fromLine + Message("Cc: spy@evil.example\n");
            EXPECT_EQ(Send(args, message).exitCode, 1) << fromLine << args[2];
            EXPECT_FALSE(Delivered());
        }
        const std::string message = fromLine + Message("");
        EXPECT_EQ(Send({"--answers", "no", "-t"}, message).exitCode, 0);
        EXPECT_EQ(ReadFile(dir.Path() + "/input"), message);
    }

    const std::string file = dir.Path() + "/message.eml";
    std::ofstream(file) << Message("");
    EXPECT_EQ(Pw({"check", "--answers", "no", file, "--", "spy@evil.example"}).exitCode, 1);
    EXPECT_EQ(Pw({"check", "--answers", "no", file, "x@corp.example"}).exitCode, 0);
}

// The recipients Postfix's sendmail delivers to, from its arguments, counted
// with the message's one: an option's value read as a recipient counts one
// too many, a recipient skipped as an option's value one too few.
TEST_F(SendPromisesTest, SendmailsArgumentsAreReadAsPostfixReadsThem) {
    using Args = std::vector<std::string>;
    const std::pair<Args, int> cases[] = {
        {{"-oi", "-f", "me@o.example", "a@o.example"}, 2},
        // The options stop at the first recipient; what follows is recipients.
        {{"a@o.example", "-f", "b@o.example"}, 4},
        {{"-oi", "--", "-fb@o.example"}, 2},
        // A value in the same argument, or in the next one after a bundle.
        {{"-fme@o.example", "-FMe <me@o.example>", "a@o.example"}, 2},
        {{"-tf", "me@o.example", "a@o.example"}, 2},
        {{"-o", "i", "-q", "1h", "-e", "q", "-XV", "-V", "id@o.example", "a@o.example"}, 2},
        // -t adds the header's recipients, which are checked anyway.
        {{"-it", "a@o.example,  b@o.example ,"}, 3},
        {{"-t"}, 1},
    };
    for (const auto& [args, recipients] : cases) {
        Args command{"--answers", "yes"};
        command.insert(command.end(), args.begin(), args.end());
        const std::string what = ::testing::PrintToString(args);
        ASSERT_EQ(Send(command, Message("")).exitCode, 0) << what;
        EXPECT_THAT(LogRecords(Home()).back().message,
                    HasSubstr("; recipients: " + std::to_string(recipients) + ";"))
            << what;
    }
}

TEST_F(SendPromisesTest, NobodyToAskHoldsTheMessageUntilTheSameMessageIsSentAgain) {
    // A fresh home asks before every send; this process has no terminal or display.
    const std::string first = Message("Date: Sun, 6 Dec 2026 10:00:00 +0000\nMessage-ID: <1@x>\n");
    CommandResult r = Send({"-oi", "--", "x@corp.example"}, first);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(Delivered());
    EXPECT_EQ(Occurrences(r.err, "\n"), 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("nobody could be asked about the question before every send"));
    EXPECT_THAT(r.err, HasSubstr("sending the same message again within 10 minutes sends it"));
    const CommandResult last = Pw({"last"});
    EXPECT_EQ(last.exitCode, 0);
    EXPECT_THAT(last.out, HasSubstr("within 10 minutes"));

    // Another message is not approved by the first one's hold.
    r = Send({"-oi", "--", "x@corp.example"}, Message("", "other body\n"));
    EXPECT_EQ(r.exitCode, 1);

    // The same message as a client sends it again: new date and identifier,
    // fields in another order, CR LF line ends.
    const std::string again =
        "Subject: hi\r\nMessage-ID: <2@x>\r\nDate: Sun, 6 Dec 2026 10:03:00 +0000\r\n"
        "To: x@corp.example\r\nFrom: Me <me@corp.example>\r\n\r\nhello\r\n";
    r = Send({"-oi", "--", "x@corp.example"}, again);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.Path() + "/input"), again);
    // An approval works once.
    EXPECT_EQ(Send({"-oi", "--", "x@corp.example"}, again).exitCode, 1);

    EXPECT_THAT(Log(), HasSubstr("Send: not asked (nobody to ask); rules fired: Any Send"));
    EXPECT_THAT(Log(), HasSubstr("Send: approved by resend"));

    // The send after a hold uses the approval up, whatever its answer: a No
    // ends it, and a Yes sends the one copy it covered.
    for (const char* answer : {"no", "yes"}) {
        SCOPED_TRACE(answer);
        const std::string message = Message("", std::string("answered ") + answer + "\n");
        ASSERT_EQ(Send({"-oi", "x@corp.example"}, message).exitCode, 1);
        Send({"--answers", answer, "-oi", "x@corp.example"}, message);
        EXPECT_EQ(Send({"-oi", "x@corp.example"}, message).exitCode, 1);
    }

    // An approval covers the rules that fired when it was given: a resend that
    // fires one more is held again, and that hold covers both.
    const std::string secret = Message("", "the secret plan\n");
    ASSERT_EQ(Send({"-oi", "x@corp.example"}, secret).exitCode, 1);
    Set("PromptForKeywordsWanted", "1");
    Set("ListOfKeywords", "secret");
    EXPECT_EQ(Send({"-oi", "x@corp.example"}, secret).exitCode, 1);
    EXPECT_EQ(Send({"-oi", "x@corp.example"}, secret).exitCode, 0);
}

TEST(ResendApprovalsTest, AnApprovalIsForItsWindowAndTheRulesItWasGivenFor) {
    TempFolder dir;
    Registry registry(dir.File("registry.db"));
    host::ResendApprovals approvals(registry, 600);
    const std::vector<std::string> anySend{"Any Send"}, both{"Any Send", "Keywords"};
    const struct {
        int64_t after;  // seconds after the hold
        std::vector<std::string> firedNow;
        bool approved;
    } cases[] = {
        {0, anySend, true},   {600, anySend, true}, {601, anySend, false}, {86400, anySend, false},
        {-1, anySend, false}, {10, both, false},    {10, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.after);
        approvals.Offer("f", anySend, 1000);
        EXPECT_TRUE(approvals.AnyPending(1000));
        EXPECT_EQ(approvals.Take("f", c.firedNow, 1000 + c.after), c.approved);
        EXPECT_FALSE(approvals.Take("f", anySend, 1000)) << "used up";
    }
    approvals.Offer("f", anySend, 1000);
    EXPECT_FALSE(approvals.AnyPending(1601));  // and dropped
    EXPECT_FALSE(approvals.Take("f", anySend, 1000));
}

// The module's records of a send, then the host's one record of how it ended,
// in the order written, however the send ended.
TEST_F(SendPromisesTest, EachSendLeavesItsRecordsInOrderAndOneSayingHowItEnded) {
    const std::string kStart = "Starting recipients count: 1";
    const std::string kFired = "Violated Any Send Rule: True";
    const std::string kStop = "Postwarden is stopping";
    const std::string kRest =
        " rules fired: Any Send; recipients: 1; Message-ID: <m@x>; Subject: hi";
    const struct {
        const char* answer;  // nullptr: nobody to ask
        bool ruleFails;      // the recipient count rule fails on its setting
        std::vector<std::string> records;
    } cases[] = {
        {"yes", false, {kStart, kFired, kStop, "Send: yes;" + kRest}},
        {"no", false, {kStart, kFired, kStop, "Send: no;" + kRest}},
        {"close", false, {kStart, kFired, kStop, "Send: closed;" + kRest}},
        {"no", true, {kStart, "Reason: Type mismatch", kFired, kStop, "Send: no;" + kRest}},
        {nullptr,
         false,
         {kStart, "Reason: nobody can be asked", kStop,
          "Send: not asked (nobody to ask);" + kRest}},
    };
    size_t at = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.answer ? c.answer : "nobody") + (c.ruleFails ? " failing" : ""));
        Set("PromptForNumberOfRecipientsWanted", c.ruleFails ? "1" : "0");
        ASSERT_EQ(Pw({"settings", "set", "--force", "MaxNumberOfRecipients",
                      c.ruleFails ? "many" : "500"})
                      .exitCode,
                  0);
        std::vector<std::string> args{"-oi", "x@corp.example"};
        if (c.answer) args.insert(args.begin(), {"--answers", c.answer});
        Send(args, Message("Message-ID: <m@x>\n"));
        const std::string log = Log();
        for (const std::string& record : c.records) {
            const size_t found = log.find(record, at);
            ASSERT_NE(found, std::string::npos) << record << " after " << at << ":\n" << log;
            at = found + record.size();
        }
    }
}

TEST_F(SendPromisesTest, ADraftLeftByAKilledRunIsRemovedByTheNext) {
    // A process id that is certainly not running: a child that has been waited for.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string cur = Home() + "/mail/Drafts/cur";
    std::filesystem::create_directories(cur);
    const std::string left =
        cur + "/1765000000.M1P" + std::to_string(gone) + "Q1_postwarden_S7." + host + ":2,DS";
    std::ofstream(left) << Message("");
    ASSERT_EQ(Pw({"check", "--answers", "yes"}, Message("")).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_TRUE(std::filesystem::is_empty(cur));
}

// The person answers No on the terminal form while the drafts folder becomes
// impossible to change, so that removing the draft copy fails after the No.
TEST_F(SendPromisesTest, ANoStaysANoWhenRemovingTheDraftFails) {
    const std::string file = dir.Path() + "/message.eml";
    std::ofstream(file) << Message("");
    ASSERT_EQ(Pw({"check", "--answers", "yes", file}).exitCode, 0);  // makes the store
    const std::string drafts = Home() + "/mail/Drafts/cur";
    if (!SetImmutable(drafts, true) || !SetImmutable(drafts, false)) {
        GTEST_SKIP() << "the immutable flag cannot be set here";
    }
    const Started run = StartProgram(POSTWARDEN_BINARY_DIR "/postwarden",
                                     {"--home", Home(), "check", file}, "", {}, true);
    std::string screen;
    ASSERT_TRUE(ReadUntil(run.output.Get(), screen, "Post Warden")) << screen;
    ASSERT_TRUE(SetImmutable(drafts, true));
    ASSERT_EQ(::write(run.output.Get(), "n", 1), 1);
    ReadUntil(run.output.Get(), screen, "send: cancelled");
    const int exitCode = run.Wait();
    SetImmutable(drafts, false);
    EXPECT_FALSE(std::filesystem::is_empty(drafts)) << "the draft was removed after all";
    EXPECT_EQ(exitCode, 1) << screen;
    EXPECT_THAT(screen, HasSubstr("send: cancelled (No to"));
    EXPECT_THAT(Log(), HasSubstr("Send: no;"));
}

// The registry's shared-memory file is emptied in place while the question
// waits (as a connection that had it mapped would find it), then also made
// unwritable, that time in a modal window (a client whose editor is not Word):
// the No ends the run as a No does, and a registry that works again
// afterwards still keeps the refusal for `postwarden last`.
TEST_F(SendPromisesTest, ANoStaysANoWhenTheRegistryBreaksWhileTheQuestionWaits) {
    const std::string file = dir.Path() + "/message.eml";
    std::ofstream(file) << Message("");
    const std::string shm = Home() + "/registry.db-shm";
    for (const bool unwritable : {false, true}) {
        SCOPED_TRACE(unwritable ? "unwritable" : "emptied");
        ASSERT_EQ(Pw({"check", "--answers", "yes", file}).exitCode, 0);
        const Started run = StartProgram(
            POSTWARDEN_BINARY_DIR "/postwarden",
            {"--home", Home(), "check", "--client-version", unwritable ? "9.0" : "16.0", file}, "",
            {}, true);
        std::string screen;
        ASSERT_TRUE(ReadUntil(run.output.Get(), screen, "Post Warden")) << screen;
        ::close(::open(shm.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        const bool immutable = unwritable && SetImmutable(shm, true);
        ASSERT_EQ(::write(run.output.Get(), "n", 1), 1);
        ReadUntil(run.output.Get(), screen, "send: cancelled");
        const int exitCode = run.Wait();
        if (immutable) SetImmutable(shm, false);
        EXPECT_EQ(exitCode, 1) << screen;
        EXPECT_THAT(screen, HasSubstr("send: cancelled (No to"));
        if (!unwritable) {
            EXPECT_THAT(Pw({"last"}).out, HasSubstr("not sent: No to"));
        }
    }
}

TEST_F(SendPromisesTest, AMissingOrForeignModuleHoldsTheMessageAndSaysSo) {
    const std::string missing = dir.File("gone.so"), notALibrary = dir.File("fake.so");
    WriteFile(notALibrary, "not a library");
    const struct {
        std::string module;
        std::vector<std::string> args;
        int exitCode;
    } cases[] = {
        {missing, {"sendmail", "--answers", "yes"}, 69},
        {missing, {"check", "--answers", "yes"}, 69},
        {notALibrary, {"sendmail", "--answers", "yes"}, 69},
        {"/lib/x86_64-linux-gnu/libm.so.6", {"sendmail", "--answers", "yes"}, 69},
        {missing, {"--version"}, 3},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--module", c.module};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult r = Pw(args, Message(""));
        const std::string what = c.module + " " + c.args[0];
        EXPECT_EQ(r.exitCode, c.exitCode) << what;
        EXPECT_EQ(Occurrences(r.err, "\n"), 1) << r.err;
        EXPECT_TRUE(r.err.starts_with("postwarden: ")) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.module));
        EXPECT_EQ(r.err.find("--module") != std::string::npos, c.exitCode == 69) << r.err;
    }
    EXPECT_FALSE(Delivered());
    EXPECT_THAT(Log(), HasSubstr("the check is not installed"));
}

TEST_F(SendPromisesTest, TextsFromTheSettingsReachTheTerminalEscaped) {
    ASSERT_EQ(Pw({"check", "--answers", "yes"}, Message("")).exitCode, 0);
    ASSERT_EQ(
        Pw({"settings", "set", "MessageForAnySend", "Send?\x1b]0;TITLE\x07\xe2\x80\xae"}).exitCode,
        0);
    const CommandResult r = Send({"--answers", "no", "x@corp.example"}, Message(""));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "postwarden: not sent: No to \"Send?\\x1B]0;TITLE\\x07\\u{202E}\"\n");
}

TEST_F(SendPromisesTest, TheBytesGoOnUnchangedAndTheRealSendmailsStatusComesBack) {
    // The sendmail program named by the environment, not by an option.
    const CommandResult r =
        RunPostwarden({"--home", Home(), "sendmail", "--answers", "yes", "-t"}, kBytes,
                      {"POSTWARDEN_SENDMAIL=" + sendmail, "FAKE_STATUS=75"});
    EXPECT_EQ(r.exitCode, 75) << r.err;
    EXPECT_EQ(ReadFile(dir.File("input")), kBytes);
}

// Fed through a pipe as mutt, aerc and git send-email do.
TEST_F(SendPromisesTest, ALargeMessageGoesOnAsItCameAndLeavesNoCopy) {
    const std::string message = LargeHtml("the end, no final line end") + "\xff";
    const CommandResult r = Send({"--answers", "yes", "-oi", "--", "x@else.example"}, message);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(ReadFile(dir.File("input")) == message) << "the sendmail got other bytes";
    EXPECT_EQ(ReadFile(dir.File("args")), "-oi\n--\nx@else.example\n");
    // The copy on disk had no name, and the draft went with the send.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Home())) {
        EXPECT_FALSE(entry.is_regular_file() && entry.file_size() >= host::kKeepOnDiskFrom)
            << entry.path() << " stayed";
    }
}

// The word stands only in the text the HTML shows, which is rendered after the
// message's own pages went back.
TEST_F(SendPromisesTest, AKeywordAtTheEndOfALargeMessagesShownTextIsAskedAbout) {
    Set("PromptForAnySendWanted", "0");
    Set("PromptForKeywordsWanted", "1");
    Set("ListOfKeywords", "projectx");
    EXPECT_EQ(Send({"--answers", "no", "x@corp.example"}, LargeHtml("nothing to see")).exitCode, 0);
    std::filesystem::remove(dir.File("input"));
    const CommandResult r =
        Send({"--answers", "no", "x@corp.example"}, LargeHtml("code name: &#112;rojectx"));
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("projectx"));
    EXPECT_FALSE(Delivered());
}

// Whenever postwarden is killed, the real sendmail has either not been started
// or reads the whole message.
TEST_F(SendPromisesTest, AKillAtAnyMomentHandsOverTheWholeMessageOrNothing) {
    using Clock = std::chrono::steady_clock;
    const std::string slow = dir.File("slow-sendmail"), file = dir.File("message.eml");
    WriteFile(slow, kSlowSendmail);
    ASSERT_EQ(::chmod(slow.c_str(), 0755), 0);
    // Twice a pipe's buffer, so that the message cannot be taken in at once.
    std::string message = "From: me@corp.example\r\nTo: you@corp.example\r\nSubject: long\r\n\r\n";
    for (int i = 0; message.size() < 128 * 1024; ++i) {
        message += "line " + std::to_string(i) + " " + std::string(60, 'a' + i % 26) + "\r\n";
    }
    WriteFile(file, message);
    const auto start = [&](const std::string& capture) {
        std::filesystem::create_directories(capture);
        return StartProgram(POSTWARDEN_BINARY_DIR "/postwarden",
                            {"--home", Home(), "sendmail", "--answers", "yes", "--sendmail", slow,
                             "-oi", "--", "you@corp.example"},
                            file, {"CAPTURE_DIR=" + capture});
    };
    // One whole run, to see how long a send takes here.
    const auto begin = Clock::now();
    ASSERT_EQ(start(dir.File("whole")).Wait(), 0);
    const auto run = Clock::now() - begin;
    ASSERT_EQ(ReadFile(dir.File("whole/capture")), message);

    constexpr int kKills = 25;
    int killedWhileHandingOver = 0;
    for (int i = 0; i < kKills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        const std::string capture = dir.File("kill" + std::to_string(i));
        const Started started = start(capture);
        std::this_thread::sleep_for(run * (2 * i + 1) / (2 * kKills));
        ::kill(started.pid, SIGKILL);
        const bool killed = started.Wait() == -1;
        if (!std::filesystem::exists(capture + "/started")) {
            EXPECT_FALSE(std::filesystem::exists(capture + "/capture"));
            continue;
        }
        killedWhileHandingOver += killed;
        // The sendmail goes on after postwarden is gone; what it got is only
        // known once it has read to the end.
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (!std::filesystem::exists(capture + "/done") && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(std::filesystem::exists(capture + "/done"));
        const std::string got = ReadFile(capture + "/capture");
        EXPECT_EQ(got.size(), message.size());
        EXPECT_TRUE(got == message) << "the sendmail got something else than the message";
    }
    // Most of a run is the hand-over; kills spread over it must have met it.
    EXPECT_GT(killedWhileHandingOver, 0);
}

// A failure of postwarden's own lets the send go ahead, the message as it came.
TEST_F(SendPromisesTest, AnInternalFailureStillDeliversTheMessageAsItCame) {
    const std::string aFile = dir.File("a-file");
    WriteFile(aFile, "x");
    const struct {
        const char* name;
        std::vector<std::string> global;
        const char* says = "";
        std::string message = kBytes;
    } cases[] = {
        {"a corrupt registry", {"--home", Home()}},
        {"a mail store that is a file", {"--home", Home() + "/2", "--mail-store", aFile}},
        {"a home that is a file", {"--home", aFile}, "sending the message anyway"},
        // No header block at all: the check fails open, whatever the answers.
        {"a message without headers",
         {"--home", Home() + "/3"},
         "",
         std::string("\x00\x01\x02 no headers at all \xff", 24)},
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
        EXPECT_THAT(r.err, HasSubstr(c.says));
    }
}

TEST_F(SendPromisesTest, ASendmailThatCannotRunOrIsKilledIsAFailure) {
    const std::string killed = dir.File("killed-sendmail");
    WriteFile(killed, "#!/bin/sh\ncat > /dev/null\nkill -KILL $$\n");
    ASSERT_EQ(::chmod(killed.c_str(), 0755), 0);
    const std::pair<std::string, const char*> cases[] = {
        {dir.File("nowhere"), "cannot run"},
        {killed, "killed by signal 9"},
    };
    for (const auto& [program, says] : cases) {
        const CommandResult r =
            Pw({"sendmail", "--answers", "yes", "--sendmail", program, "you@corp.example"}, kBytes);
        EXPECT_NE(r.exitCode, 0) << program;
        EXPECT_NE(r.exitCode, -1) << "postwarden itself must exit";
        EXPECT_THAT(r.err, HasSubstr(says));
    }
}

}  // namespace
}  // namespace postwarden::testing

namespace postwarden::host {
namespace {

TEST(SettleVerdictTest, ANoIsFinalAndAQuestionNobodySawIsNotAYes) {
    const PromptRecord yes{"frmSimpleYesNoPrompt", {"Outside?"}, "cmdYes", ""};
    const PromptRecord no{"frmSimpleYesNoPrompt", {"Keywords?"}, "cmdNo", ""};
    const PromptRecord closed{"frmYesNoPrompt", {"Any?"}, "close", ""};
    const PromptRecord unshown{"frmSimpleYesNoPrompt", {}, "", "no terminal"};
    const PromptRecord unanswered{"frmSimpleYesNoPrompt", {"Any?"}, "", ""};
    struct Case {
        const char* what;
        std::vector<PromptRecord> prompts;
        bool cancel;
        bool ran;
        SendVerdict verdict;
    } const cases[] = {
        // The host failing after an answer: removing the draft, shutting down.
        {"No, then the host failed", {no}, false, false, SendVerdict::kNo},
        {"Yes, then No", {yes, no}, false, true, SendVerdict::kNo},
        {"closed, then the host failed", {closed}, false, false, SendVerdict::kClosed},
        {"the module cancelled", {}, true, true, SendVerdict::kNo},
        {"Yes, then a question nobody saw", {yes, unshown}, false, true, SendVerdict::kNotAsked},
        {"a window ended unanswered", {unanswered}, false, true, SendVerdict::kNotAsked},
        {"nobody to ask, and the host failed", {unshown}, false, false, SendVerdict::kNotAsked},
        {"Yes", {yes}, false, true, SendVerdict::kYes},
        {"nothing fired", {}, false, true, SendVerdict::kNothingAsked},
        {"the send event failed", {}, false, false, SendVerdict::kUnchecked},
    };
    for (const Case& c : cases) {
        CheckOutcome outcome;
        SettleVerdict(c.prompts, SendResult{}, c.cancel, c.ran, outcome);
        EXPECT_EQ(outcome.verdict, c.verdict) << c.what;
        EXPECT_EQ(outcome.MayGo(), c.verdict == SendVerdict::kYes ||
                                       c.verdict == SendVerdict::kNothingAsked ||
                                       c.verdict == SendVerdict::kUnchecked)
            << c.what;
    }
}

TEST(SettleVerdictTest, ARuleThatFailedAskingIsNamedAndACheckThatFailedStillSends) {
    SendResult trace;
    trace.fired = {"Keywords"};
    trace.failedRules = {"Keywords", "Any Send"};
    CheckOutcome notAsked;
    SettleVerdict({{"frmSimpleYesNoPrompt", {}, "", "no display"}}, trace, false, true, notAsked);
    EXPECT_EQ(notAsked.fired, (std::vector<std::string>{"Keywords", "Any Send"}));
    EXPECT_EQ(DescribeRefusal(notAsked),
              "nobody could be asked about watch-listed keywords and the question before every "
              "send (no display); sending the same message again within 10 minutes sends it");

    trace.failure = "Postwarden.ProcessItem: Error occurred at line 2.  Reason: Type mismatch";
    CheckOutcome unchecked;
    SettleVerdict({}, trace, false, true, unchecked);
    EXPECT_EQ(unchecked.verdict, SendVerdict::kUnchecked);
    EXPECT_EQ(unchecked.problem, trace.failure);
}

}  // namespace
}  // namespace postwarden::host
