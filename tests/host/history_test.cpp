// The recipient history through the real command: which sends add to it, and
// `postwarden history` import, list and forget; then the header reading the
// import stands on.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/settings/HistoryImport.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

std::string Message(const std::string& to, const std::string& id, const std::string& extra = "") {
    return "From: Me <me@corp.example>\r\nTo: " + to + "\r\nMessage-ID: " + id +
           "\r\nSubject: Hi\r\n" + extra + "\r\nHello\r\n";
}

class HistoryTest : public HomeTest {
  protected:
    // The address lines of `history list`, without the header line.
    std::vector<std::string> Listed() {
        const CommandResult r = Pw({"history", "list"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            if (!line.starts_with("#")) lines.push_back(line.substr(0, line.find('\t')));
        }
        return lines;
    }
    void MakeMaildir(const std::string& folder, const std::vector<std::string>& messages) {
        for (const char* sub : {"cur", "new", "tmp"}) {
            std::filesystem::create_directories(folder + "/" + sub);
        }
        for (size_t i = 0; i < messages.size(); ++i) {
            WriteFile(folder + "/cur/17000000" + std::to_string(10 + i) + ".M1P1.host:2,S",
                      messages[i]);
        }
    }
};

// Only a send that leaves adds its recipients: a Yes, nothing to ask, a resend
// that approves a held message; never a No, a closed prompt or a held send.
TEST_F(HistoryTest, OnlySendsThatLeaveAreRecorded) {
    const struct {
        const char* answers;  // empty: nobody can be asked
        int exitCode;
        bool recorded;
    } cases[] = {
        {"no", 1, false}, {"close", 1, false},
        {"", 1, false},  // held: a rule fired and nobody was asked
        {"", 0, true},   // the same message again: approved by resend
        {"yes", 0, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers);
        const std::string address = "r" + std::to_string(c.recorded ? n++ : 99) + "@x.example";
        std::vector<std::string> args = {"check"};
        if (*c.answers != '\0') args.insert(args.end(), {"--answers", c.answers});
        // The resend is the held message itself.
        const std::string to = *c.answers == '\0' ? "held@x.example" : address;
        const CommandResult r = Pw(args, Message(to, "<" + to + ">"));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    }
    EXPECT_EQ(Listed(), (std::vector<std::string>{"held@x.example", "r1@x.example"}));
    // Nothing to ask: the question before every send turned off.
    Set("PromptForAnySendWanted", "0");
    ASSERT_EQ(Pw({"check"}, Message("Quiet <Quiet@Y.Example>", "<q@corp>")).exitCode, 0);
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"held@x.example", "r1@x.example", "quiet@y.example"}));
    EXPECT_THAT(Pw({"history", "list"}).out, HasSubstr("# 3 sends to 3 addresses"));
}

TEST_F(HistoryTest, SendmailRecordsTheEnvelopeRecipientsToo) {
    const TempFolder bin;
    const std::string sendmail = WriteFakeSendmail(bin.Path());
    const CommandResult r =
        Pw({"sendmail", "--answers", "yes", "--sendmail", sendmail, "--", "Hidden@Z.example"},
           Message("a@x.example, b@y.example", "<s@corp>"));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"a@x.example", "b@y.example", "hidden@z.example"}));
}

// A history that cannot be written neither holds the send nor changes its
// answer; the log says why nothing was recorded.
TEST_F(HistoryTest, AHistoryThatCannotBeWrittenNeverHoldsASend) {
    std::filesystem::create_directories(Home() + "/history.db");
    const CommandResult r = Pw({"check", "--answers", "yes"}, Message("a@x.example", "<1@c>"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "send: go ahead\n");
    bool logged = false;
    for (const LogRecord& record : LogRecords(Home())) {
        logged |= record.message.starts_with("The recipients could not be recorded in the history");
    }
    EXPECT_TRUE(logged);
}

TEST_F(HistoryTest, ImportReadsMaildirsMboxesAndFilesAndCountsNoMessageTwice) {
    const TempFolder mail;
    MakeMaildir(mail.File("Sent"),
                {Message("Ann <ann@partner.example>", "<1@corp>",
                         "Cc: team: bob@partner.example, carl@else.example;\r\nDate: Tue, 14 "
                         "Nov 2023 23:13:20 +0100\r\n"),
                 Message("ann@partner.example", "<2@corp>", "Bcc: secret@hidden.example\r\n"),
                 "From: me@corp.example\r\nSubject: a note to self\r\n\r\nx\r\n"});
    WriteFile(mail.File("sent.mbox"),
              "From me Tue Nov 14 22:13:20 2023\n" + Message("dora@mbox.example", "<3@corp>") +
                  "\nFrom me Tue Nov 14 22:13:21 2023\n" + Message("eve@mbox.example", "<1@corp>"));
    WriteFile(mail.File("one.eml"),
              Message("fay@file.example", "<4@corp>", "Resent-To: someone@else.example\r\n"));
    CommandResult r =
        Pw({"history", "import", mail.File("Sent"), mail.File("sent.mbox"), mail.File("one.eml")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Recorded 4 of 6 messages (1 recorded before, 1 naming nobody in To, Cc or Bcc)\n");
    EXPECT_EQ(Listed(), (std::vector<std::string>{"carl@else.example", "fay@file.example",
                                                  "secret@hidden.example", "dora@mbox.example",
                                                  "ann@partner.example", "bob@partner.example"}));
    r = Pw({"history", "list"});
    EXPECT_THAT(r.out, HasSubstr("# 4 sends to 6 addresses"));
    EXPECT_THAT(r.out, HasSubstr("carl@else.example\t1\t2023-11-14T22:13:20Z\t"
                                 "2023-11-14T22:13:20Z\n"));
    EXPECT_THAT(r.out, HasSubstr("ann@partner.example\t2\t"));

    // Again: every message is known by its Message-ID.
    r = Pw({"history", "import", mail.File("Sent")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Recorded 0 of 3 messages (2 recorded before"));
    // A message sent through the check and then imported from the Sent folder.
    ASSERT_EQ(Pw({"check", "--answers", "yes"}, Message("gus@sent.example", "<5@corp>")).exitCode,
              0);
    MakeMaildir(mail.File("Later"), {Message("gus@sent.example", "<5@corp>")});
    EXPECT_THAT(Pw({"history", "import", mail.File("Later")}).out,
                HasSubstr("Recorded 0 of 1 message (1 recorded before"));
}

TEST_F(HistoryTest, ForgetTakesAnAddressBackInAnySpelling) {
    ASSERT_EQ(
        Pw({"check", "--answers", "yes"}, Message("a@x.example, b@x.example", "<1@c>")).exitCode,
        0);
    EXPECT_EQ(Pw({"history", "forget", "A@X.EXAMPLE"}).exitCode, 0);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"b@x.example"}));
    const CommandResult again = Pw({"history", "forget", "a@x.example"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "postwarden: a@x.example is not in the history\n");
}

// Clear errors and the design's exit codes; a look never makes a history.
TEST_F(HistoryTest, BadInputIsRefusedWithTheUsualExitCodes) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"history"}, 2, "history: A subcommand is required"},
        {{"history", "import"}, 2, "SOURCE is required"},
        {{"history", "forget"}, 2, "ADDRESS is required"},
        {{"history", "forget", "nobody"}, 2, "postwarden: nobody is no address"},
        {{"history", "forget", "a@x.example"}, 1, "a@x.example is not in the history"},
        {{"history", "import", "/no/such/folder"},
         3,
         "cannot read /no/such/folder: no such file or folder\n"
         "postwarden: nothing to import: no SOURCE could be read"},
        {{"history", "list"}, 0, ""},
    };
    for (const auto& c : cases) {
        const CommandResult r = Pw(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.says)) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(Pw({"history", "list"}).out, "# no sends recorded\n");
    EXPECT_FALSE(std::filesystem::exists(Home() + "/history.db"));
}

TEST(ReadSentMessage, TakesToCcAndBccFromTheHeaderBlockOnly) {
    const host::SentMessage m = host::ReadSentMessage(
        "From me Tue Nov 14 22:13:20 2023\n"
        "to: A <a@x.example>,\r\n\tb@x.example\r\n"
        "CC: Team: c@x.example, \"D, E\" <d@x.example>;\r\n"
        "Resent-To: r@x.example\r\n"
        "Bcc: e@x.example\r\n"
        "Reply-To: f@x.example\r\n"
        "Message-ID:  <id@corp>  \r\n"
        "Date: Tue, 14 Nov 2023 23:13:20 +0100\r\n"
        "\r\n"
        "To: body@x.example\r\n");
    EXPECT_EQ(m.addresses, (std::vector<std::string>{"a@x.example", "b@x.example", "c@x.example",
                                                     "d@x.example", "e@x.example"}));
    EXPECT_EQ(m.messageId, "<id@corp>");
    EXPECT_EQ(m.date, 1700000000);
    EXPECT_TRUE(host::ReadSentMessage("no header at all").addresses.empty());
}

TEST(ParseMailDate, ReadsTheFormsMailIsDatedIn) {
    const struct {
        const char* text;
        std::optional<int64_t> seconds;
    } cases[] = {
        {"Tue, 14 Nov 2023 23:13:20 +0100", 1700000000},
        {"14 Nov 2023 22:13:20 +0000", 1700000000},
        {"Tue, 14 Nov 2023 17:13:20 -0500 (EST)", 1700000000},
        {"  Tue,  14 nov 2023 14:13:20 PST", 1700000000},
        {"Tue, 14 Nov 2023 22:13 GMT", 1700000000 - 20},
        {"Tue, 14 Nov 23 22:13:20 UT", 1700000000},
        {"1 Jan 1970 00:00:00 +0000", 0},
        {"29 Feb 2024 00:00:00 +0000", 1709164800},
        {"", std::nullopt},
        {"yesterday", std::nullopt},
        {"Tue, 14 Nox 2023 22:13:20 +0100", std::nullopt},
        {"Tue, 14 Nov 2023 24:13:20 +0100", std::nullopt},
        {"Tue, 14 Nov 2023 22:13:20 +01", std::nullopt},
        {"Tue, 14 Nov 2023 22:13:20 CEST", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(host::ParseMailDate(c.text), c.seconds) << c.text;
}

}  // namespace
}  // namespace postwarden::testing
