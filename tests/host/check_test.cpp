// One send at a time through the real command, on a temporary home each: each
// rule on real messages, what it says it found in the refusal line and the
// send's log record, and what of a message the rules read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/UniqueFd.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

constexpr const char* kAnySendQuestion = "Are you sure you want to send this email?";

std::string Message(const std::string& to, const std::string& subject, const std::string& body,
                    const std::string& attachment = "") {
    std::string head = "From: Me <me@corp.example>\r\nTo: " + to + "\r\nSubject: " + subject +
                       "\r\nMIME-Version: 1.0\r\n";
    if (attachment.empty()) {
        return head + "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body + "\r\n";
    }
    return head +
           "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n\r\n" +
           body +
           "\r\n--b\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; "
           "filename=\"" +
           attachment + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n--b--\r\n";
}

class CheckTest : public HomeTest {
  protected:
    CommandResult Check(const std::string& answers, const std::string& message) {
        return Pw({"check", "--answers", answers}, message);
    }
    // Seeds the defaults with a first send, then asks no longer before every
    // send and applies `settings`.
    void Rules(std::initializer_list<std::pair<const char*, const char*>> settings) {
        ASSERT_EQ(Check("yes", plain).exitCode, 0);
        Set("PromptForAnySendWanted", "0");
        for (const auto& [key, value] : settings) Set(key, value);
    }
    int Count(const std::string& message) {
        int n = 0;
        for (const LogRecord& r : LogRecords(Home())) n += r.message == message;
        return n;
    }
    size_t DraftsLeft() {
        size_t n = 0;
        for (const char* sub : {"cur", "new", "tmp"}) {
            const auto dir = std::filesystem::path(Home()) / "mail" / "Drafts" / sub;
            if (std::filesystem::exists(dir)) {
                n += std::distance(std::filesystem::directory_iterator(dir), {});
            }
        }
        return n;
    }

    const std::string plain = Message("Alice <alice@corp.example>", "Numbers", "Hello");
};

// Three sends one after the other, then eight at once.
TEST_F(CheckTest, AFreshHomeIsSeededOnceAndAsksBeforeEverySend) {
    CommandResult r = Check("no", plain);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "send: cancelled (No to \"" + std::string(kAnySendQuestion) + "\")\n");
    r = Check("yes", plain);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "send: go ahead\n");
    EXPECT_EQ(Check("close", plain).exitCode, 1) << "closing the prompt cancels";

    std::vector<std::thread> threads;
    std::vector<CommandResult> results(8);
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = Check(i % 2 ? "yes" : "no", plain); });
    }
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].exitCode, i % 2 ? 0 : 1) << results[i].err;
    }
    EXPECT_EQ(Count("No exchange folder or network file present, using defaults"), 1);
    EXPECT_EQ(Count("PromptForAnySendWanted: 1"), 11);
    EXPECT_EQ(Count("Violated Any Send Rule: True"), 11);
    EXPECT_EQ(Count("Postwarden is stopping"), 11);
    const CommandResult list = Pw({"settings", "list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 29) << "seeded once, whole";
    EXPECT_EQ(DraftsLeft(), 0u) << "the host's draft copy is removed whatever the answer";
}

TEST_F(CheckTest, EachRuleSaysWhatItFoundAndAYesLetsTheSendGo) {
    Rules({{"SeparatePromptsWanted", "0"},  // one prompt: every recipient is checked before it
           {"ListOfOutsideDomains", "corp.example"},
           {"ListOfEmailAddressesDomains", "rival.example\r\nboss@corp.example"},
           {"ListOfKeywords", "geschäftsgeheimnis;projectx"},
           {"MaxNumberOfRecipients", "2"}});
    // The setting that turns a rule on, how its question ends and its name in the log.
    struct Rule {
        const char* setting;
        const char* asks;
        const char* name;
    };
    const Rule outside{"PromptForOutsideDomainsWanted", "outside the company?", "Outside Domains"};
    const Rule watched{"PromptForEmailAddressesDomainsWanted", "to these addresses?",
                       "Email Addresses Domains"};
    const Rule keywords{"PromptForKeywordsWanted", "with these keywords?", "Keywords"};
    const Rule count{"PromptForNumberOfRecipientsWanted", "to all these people?",
                     "Max Number Of Recipients"};
    const Rule blank{"PromptForBlankSubjectWanted", "without a subject?", "Blank Subject"};
    const struct {
        const char* name;
        const Rule& rule;
        std::string message;
        std::string evidence;                    // empty: the rule finds nothing to say
        std::vector<std::string> envelope = {};  // recipients besides the message's own
    } cases[] = {
        {"outside, five named and the rest counted, the envelope recipient included",
         outside,
         Message("a1@out.example, me@corp.example, a2@out.example, a3@Out.Example, "
                 "Group: a4@out.example, a5@out.example;, a6@out.example",
                 "Hi", "x"),
         "outside recipients: a1@out.example, a2@out.example, a3@Out.Example, a4@out.example, "
         "a5@out.example and 2 more",
         {"hidden@else.example"}},
        {"watch list, with the entry each matched", watched,
         Message("Boss <BOSS@corp.example>, jo@corp.example, x@rival.example", "Hi", "x"),
         "watch-listed recipients: BOSS@corp.example (boss@corp.example), x@rival.example "
         "(rival.example)"},
        {"keyword in the subject", keywords,
         Message("a@corp.example", "ProjectX kick-off", "nothing here"),
         "keyword \"projectx\" in the subject"},
        {"keyword in the body, in other capitals", keywords,
         Message("a@corp.example", "Hi", "Das ist ein GESCHÄFTSGEHEIMNIS."),
         "keyword \"geschäftsgeheimnis\" in the body"},
        {"keyword in an attachment's name only", keywords,
         Message("a@corp.example", "Plan", "see attached", "ProjectX-plan.pdf"),
         "keyword \"projectx\" in the attachment name \"ProjectX-plan.pdf\""},
        {"keyword in the text and an attachment's name: the text", keywords,
         Message("a@corp.example", "Plan", "about projectx", "projectx.pdf"),
         "keyword \"projectx\" in the body"},
        {"a body that could not be read", keywords,
         "From: me@corp.example\r\nTo: a@corp.example\r\nSubject: Hi\r\nContent-Type: "
         "application/pkcs7-mime; smime-type=enveloped-data\r\n\r\nxx\r\n",
         "part of the message could not be read (encrypted)"},
        {"the count against the maximum",
         count,
         Message("a@corp.example, b@corp.example", "Hi", "x"),
         "3 recipients, at most 2",
         {"c@corp.example"}},
        {"blank subject: nothing more", blank, Message("a@corp.example", "  ", "x"), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Set(c.rule.setting, "1");
        const std::string file = Home() + "/message.eml";
        std::ofstream(file, std::ios::binary) << c.message;
        std::vector<std::string> args{"check", "--answers", "no", file};
        if (!c.envelope.empty()) args.push_back("--");
        args.insert(args.end(), c.envelope.begin(), c.envelope.end());
        const std::string flag = "Violated " + std::string(c.rule.name) + " Rule: True";
        const int flagged = Count(flag);
        CommandResult r = Pw(args);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const std::string why = c.evidence.empty() ? "" : "; why: " + c.evidence;
        EXPECT_EQ(r.out, "send: cancelled (No to \"Are you sure you want to send this email " +
                             std::string(c.rule.asks) + "\"" + why + ")\n");
        std::string record;
        for (const LogRecord& line : LogRecords(Home())) {
            if (line.message.starts_with("Send: ")) record = line.message;
        }
        EXPECT_TRUE(record.starts_with("Send: no; rules fired: ")) << record;
        EXPECT_EQ(record.ends_with("; evidence: " + c.evidence), !c.evidence.empty()) << record;
        EXPECT_EQ(record.find("; evidence: ") != std::string::npos, !c.evidence.empty()) << record;
        args[2] = "yes";
        r = Pw(args);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(Count(flag), flagged + 2);
        // The plain message breaks none of these rules.
        EXPECT_EQ(Check("no", plain).exitCode, 0) << r.out;
        Set(c.rule.setting, "0");
    }
}

TEST_F(CheckTest, OnePromptForSeveralRulesCarriesTheQuestionAndEvidenceOfEach) {
    Rules({{"SeparatePromptsWanted", "0"},
           {"PromptForOutsideDomainsWanted", "1"},
           {"ListOfOutsideDomains", "corp.example"},
           {"PromptForKeywordsWanted", "1"},
           {"ListOfKeywords", "projectx"}});
    const std::string message = Message("bob@outside.example", "projectx", "x");

    CommandResult r = Check("no,yes", message);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "send: cancelled (No to \"Are you sure you want to send this email outside the "
              "company?\"; \"Are you sure you want to send this email with these keywords?\"; "
              "why: outside recipients: bob@outside.example; keyword \"projectx\" in the "
              "subject)\n");
    EXPECT_EQ(Count("Prompt: Send This Message?  User Response: 7; (No = 7)"), 1);

    r = Check("yes", message);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Count("Prompt: Send This Message?  User Response: 6; (No = 7)"), 1);
}

TEST_F(CheckTest, ASendNobodyCouldBeAskedAboutSaysWhatFiredAndWhy) {
    // The rule's own question, which fails to show: the rule noted what it found first.
    Rules({{"PromptForOutsideDomainsWanted", "1"}, {"ListOfOutsideDomains", "corp.example"}});
    // No answers, no terminal, no display: nobody to ask.
    const CommandResult r = Pw({"sendmail", "--sendmail", "/bin/false", "-t"},
                               Message("bob@out.example\x1b[2J", "Hi", "x"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.err.starts_with("postwarden: not sent: nobody could be asked about recipients "
                          "outside the company's domains ("))
        << r.err;
    EXPECT_THAT(r.err, HasSubstr("; why: outside recipients: bob@out.example"));
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "a message's text reached the terminal";
}

// The two rules that look at what no list names, on real messages through
// check and sendmail: each asks its own question, names itself in the refusal
// line and the send's record, and keeps quiet on the everyday cases.
TEST_F(CheckTest, ManyOrganisationsAndAMissingAttachmentOnRealMessages) {
    Rules({{"ListOfOutsideDomains", "corp.example;*.corp.example"},
           {"PromptForManyOrganisationsWanted", "1"},
           {"PromptForMissingAttachmentWanted", "1"}});
    const std::string orgs = "Many Organisations";
    const std::string attachment = "Missing Attachment";
    const std::string html =
        "From: me@corp.example\r\nTo: a@corp.example\r\nSubject: Hi\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/related; boundary=r\r\n\r\n--r\r\n"
        "Content-Type: text/html; charset=utf-8\r\n\r\n<p>The chart is <b>attached</b>.</p>"
        "<img src=\"cid:logo\">\r\n--r\r\nContent-Type: image/png\r\nContent-ID: <logo>\r\n"
        "Content-Disposition: inline; filename=\"logo.png\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\niVBORw0K\r\n--r--\r\n";
    const std::string reply =
        "From: me@corp.example\r\nTo: ann@one.example, bob@two.example\r\n"
        "Cc: cy@three.example, dee@sales.corp.example\r\nBcc: eve@four.example\r\n"
        "Subject: Re: Numbers\r\nIn-Reply-To: <x@one.example>\r\n\r\nThanks, agreed.\r\n\r\n"
        "On Mon, 1 Jan 2024, Ann <ann@one.example> wrote:\r\n> Please see the attached "
        "figures.\r\n";
    const struct {
        const char* name;
        std::string message;
        std::string fired;     // empty: nothing fires
        std::string evidence;  // what the refusal line and the record say it found
    } cases[] = {
        {"four organisations see each other",
         Message("ann@one.example, bob@two.example, Team: cy@three.example, "
                 "dee@four.example;, me@corp.example",
                 "Hi", "Hello all"),
         orgs,
         "4 organisations in To and Cc, at most 3 (one.example, two.example, three.example, "
         "four.example); Bcc keeps them apart"},
        {"a reply to the thread's own participants, one more in Bcc", reply, "", ""},
        {"see attached with nothing attached", Message("a@corp.example", "Hi", "See attached."),
         attachment, "\"attached\" in \"See attached.\", but no attachment"},
        {"see attached with the attachment",
         Message("a@corp.example", "Hi", "See attached.", "figures.pdf"), "", ""},
        {"an HTML body whose only image is shown in place", html, attachment,
         "\"attached\" in \"The chart is attached.\", but no attachment"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int quietOrgs = Count("Violated " + orgs + " Rule: False");
        const int quietAttachment = Count("Violated " + attachment + " Rule: False");
        CommandResult r = Check("no", c.message);
        std::string record;
        for (const LogRecord& line : LogRecords(Home())) {
            if (line.message.starts_with("Send: ")) record = line.message;
        }
        if (c.fired.empty()) {
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
            EXPECT_EQ(Count("Violated " + orgs + " Rule: False"), quietOrgs + 1);
            EXPECT_EQ(Count("Violated " + attachment + " Rule: False"), quietAttachment + 1);
            continue;
        }
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const std::string question =
            c.fired == orgs ? "Are you sure these organisations may see each other's addresses?"
                            : "This email mentions an attachment but has none. Send it anyway?";
        EXPECT_EQ(r.out, "send: cancelled (No to \"" + question + "\"; why: " + c.evidence + ")\n");
        EXPECT_TRUE(record.starts_with("Send: no; rules fired: " + c.fired + ";")) << record;
        EXPECT_TRUE(record.ends_with("; evidence: " + c.evidence)) << record;
        EXPECT_EQ(Check("yes", c.message).exitCode, 0);
    }

    // Through sendmail: nobody to ask holds it and names the rule; --answers yes sends it.
    const std::string missing = Message("a@corp.example", "Hi", "The form is enclosed.");
    CommandResult r = Pw({"sendmail", "--sendmail", "/bin/true", "-t"}, missing);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.err.starts_with("postwarden: not sent: nobody could be asked about an "
                          "attachment mentioned but missing ("))
        << r.err;
    EXPECT_THAT(r.err, HasSubstr("; why: \"enclosed\" in \"The form is enclosed.\", but no "
                                 "attachment"));
    r = Pw({"sendmail", "--answers", "yes", "--sendmail", "/bin/true", "-t"}, missing);
    EXPECT_EQ(r.exitCode, 0) << r.err;

    // Switched off, they run no check and are traced as not violated.
    Set("PromptForManyOrganisationsWanted", "0");
    Set("PromptForMissingAttachmentWanted", "0");
    const int quiet = Count("Violated " + attachment + " Rule: False");
    EXPECT_EQ(Check("no", missing).exitCode, 0);
    EXPECT_EQ(Count("Violated " + attachment + " Rule: False"), quiet + 1);
}

// The two rules that compare with the person's history of sends, on real
// messages through check and sendmail: a look-alike of the company's domain is
// asked about from the first send, a new recipient only once the history holds
// 20 sends; neither asks about the everyday cases.
TEST_F(CheckTest, LookAlikeDomainsAndNewRecipientsOnRealMessages) {
    Rules({{"ListOfOutsideDomains", "corp.example;*.corp.example"},
           {"PromptForNewRecipientsWanted", "1"}});
    const std::string lookAlike = "Look-Alike Domains";
    const std::string newRecipients = "New Recipients";
    const std::string lookAlikeQuestion =
        "A recipient's domain only looks like one you know. Send it anyway?";
    const std::string newQuestion =
        "You have never written to these recipients before. Send it anyway?";
    const auto lastRecord = [this] {
        std::string record;
        for (const LogRecord& line : LogRecords(Home())) {
            if (line.message.starts_with("Send: ")) record = line.message;
        }
        return record;
    };
    const auto sends = [this] {
        const std::string out = Pw({"history", "list"}).out;
        const size_t at = out.find("# ");
        return at == std::string::npos ? -1 : std::stoi(out.substr(at + 2));
    };
    ASSERT_EQ(sends(), 1);

    // On in a fresh home, with only the company's domains to compare with.
    for (const auto& [to, evidence] :
         {std::pair<std::string, std::string>{"Bob <bob@c0rp.example>",
                                              "c0rp.example looks like corp.example"},
          {"bob@corp.exmaple", "corp.exmaple looks like corp.example"}}) {
        SCOPED_TRACE(to);
        const CommandResult r = Check("no", Message(to, "Hi", "Hello"));
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out,
                  "send: cancelled (No to \"" + lookAlikeQuestion + "\"; why: " + evidence + ")\n");
        EXPECT_TRUE(lastRecord().starts_with("Send: no; rules fired: " + lookAlike + ";"))
            << lastRecord();
        EXPECT_TRUE(lastRecord().ends_with("; evidence: " + evidence)) << lastRecord();
    }

    // Through sendmail: held when nobody can be asked; sent when answered yes,
    // after which the domain is one written to and is asked about no more.
    const std::string typo = Message("bob@c0rp.example", "Hi", "Hello");
    CommandResult r = Pw({"sendmail", "--sendmail", "/bin/true", "-t"}, typo);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.err.starts_with("postwarden: not sent: nobody could be asked about recipient "
                          "domains that look like known ones ("))
        << r.err;
    EXPECT_THAT(r.err, HasSubstr("; why: c0rp.example looks like corp.example"));
    r = Pw({"sendmail", "--answers", "yes", "--sendmail", "/bin/true", "-t"}, typo);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(sends(), 2);
    EXPECT_EQ(Check("no", typo).exitCode, 0);
    EXPECT_EQ(sends(), 3);

    // Sixteen sends from before, to a thread's participants and ab.example.
    const TempFolder mail;
    std::string mbox;
    for (int i = 0; i < 16; ++i) {
        mbox += "From me Tue Nov 14 22:13:20 2023\nMessage-ID: <old" + std::to_string(i) +
                "@corp.example>\r\nCc: x@ab.example\r\n" +
                Message("Ann <ann@one.example>, bob@two.example", "Numbers", "Hello") + "\n";
    }
    WriteFile(mail.File("sent.mbox"), mbox);
    ASSERT_EQ(Pw({"history", "import", mail.File("sent.mbox")}).exitCode, 0);
    ASSERT_EQ(sends(), 19);

    // Quiet: a short label that differs from a familiar domain's (ab.example),
    // a new recipient while the history holds fewer than 20 sends, a reply to
    // the thread's participants, a first message to a colleague.
    const struct {
        const char* what;
        std::string message;
    } quiet[] = {
        {"ac.example at 19 sends", Message("cy@ac.example", "Hi", "Hello")},
        {"a reply to the thread", Message("ann@one.example, Bob <BOB@two.example>", "Re: Numbers",
                                          "Thanks.\r\n\r\n> Hello")},
        {"a colleague never written to", Message("dee@sales.corp.example", "Hi", "Welcome")},
    };
    for (const auto& c : quiet) {
        SCOPED_TRACE(c.what);
        const int quietLookAlike = Count("Violated " + lookAlike + " Rule: False");
        const int quietNew = Count("Violated " + newRecipients + " Rule: False");
        r = Check("no", c.message);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(Count("Violated " + lookAlike + " Rule: False"), quietLookAlike + 1);
        EXPECT_EQ(Count("Violated " + newRecipients + " Rule: False"), quietNew + 1);
    }
    EXPECT_EQ(sends(), 22);

    // A new recipient outside the company, now that the history holds 20 sends.
    const std::string fresh = Message("Ann <ann@one.example>, eve@three.example", "Hi", "Hello");
    r = Check("no", fresh);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "send: cancelled (No to \"" + newQuestion +
                         "\"; why: never written to before: eve@three.example)\n");
    EXPECT_TRUE(lastRecord().starts_with("Send: no; rules fired: " + newRecipients + ";"))
        << lastRecord();
    r = Pw({"sendmail", "--sendmail", "/bin/true", "-t"}, fresh);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("recipients never written to before ("));
    EXPECT_EQ(Check("yes", fresh).exitCode, 0);
    EXPECT_EQ(Check("no", fresh).exitCode, 0) << "written to once, no longer new";
}

std::string Multipart(const std::string& type, const std::string& parts) {
    return "From: a@corp.example\nTo: b@corp.example\nSubject: s\nMIME-Version: 1.0\n"
           "Content-Type: multipart/" +
           type + "; boundary=BB\n\n" + parts + "--BB--\n";
}

std::string Part(const std::string& headers, const std::string& body) {
    return "--BB\n" + headers + "\n\n" + body + "\n";
}

// Crafted messages that once slipped past the rules: they see what the
// recipient sees.
TEST_F(CheckTest, TheRulesReadWhatTheRecipientReads) {
    Rules({{"PromptForKeywordsWanted", "1"},
           {"ListOfKeywords", "projectx"},
           {"PromptForBlankSubjectWanted", "1"}});
    const std::string html = "Content-Type: text/html; charset=utf-8";
    const std::string plainPart = "Content-Type: text/plain; charset=utf-8";
    const struct {
        const char* where;
        std::string message;
        bool asks;
    } cases[] = {
        {"the plain alternative of an HTML message",
         Multipart("alternative",
                   Part(plainPart, "about ProjectX") + Part(html, "<p>about it</p>")),
         true},
        {"a second inline text part",
         Multipart("mixed", Part(plainPart, "hello") + Part(plainPart, "the projectx plan")), true},
        {"an HTML character reference",
         Multipart("alternative", Part(html, "<p>proj&#101;ctx</p>")), true},
        {"HTML split by markup", Multipart("alternative", Part(html, "<p>proj<b></b>ectx</p>")),
         true},
        {"an attachment's file name",
         Multipart("mixed",
                   Part(plainPart, "hello") +
                       Part("Content-Type: application/octet-stream\n"
                            "Content-Disposition: attachment; filename=projectx-budget.xlsx",
                            "AAAA")),
         true},
        {"only inside an attachment",
         Multipart("mixed", Part(plainPart, "hello") +
                                Part("Content-Type: text/plain\nContent-Disposition: attachment; "
                                     "filename=notes.txt",
                                     "projectx")),
         false},
        {"an inline patch",
         Multipart("mixed",
                   Part(plainPart, "hello") + Part("Content-Type: text/x-patch", "+projectx")),
         true},
        {"a forwarded message's subject",
         Multipart("mixed", Part(plainPart, "hello") + Part("Content-Type: message/rfc822",
                                                            "Subject: about projectx\n\nhi")),
         true},
        {"an attached forwarded message's attachment name",
         Multipart("mixed",
                   Part(plainPart, "hello") +
                       Part("Content-Type: message/rfc822\nContent-Disposition: attachment",
                            "Subject: fwd\nContent-Type: multipart/mixed; boundary=in\n\n--in\n"
                            "Content-Type: application/pdf; name=projectx.pdf\n\n%PDF\n--in--")),
         true},
        // Signed is not encrypted: the content of an S/MIME signature is read.
        {"S/MIME opaque-signed",
         ReadFile(POSTWARDEN_SOURCE_DIR
                  "/tests/fixtures/maildir/Inbox/cur/1700000013.M100P10.corpus:2,S"),
         true},
        {"an encrypted body",
         Multipart("encrypted", Part("Content-Type: application/pgp-encrypted", "Version: 1") +
                                    Part("Content-Type: application/octet-stream", "xx")),
         true},
        // A subject keeps every character it has: a tab is not blank.
        {"a subject of a tab", "To: b@corp.example\nSubject:\t\n\nx\n", false},
        {"a subject of a blank and a tab", "To: b@corp.example\nSubject: \t\n\nx\n", false},
        {"a subject of blanks", "To: b@corp.example\nSubject:   \n\nx\n", true},
        {"no subject at all", "To: b@corp.example\n\nx\n", true},
    };
    for (const auto& c : cases) {
        const CommandResult r = Check("no", c.message);
        EXPECT_EQ(r.exitCode, c.asks ? 1 : 0) << c.where << "\n" << r.out << r.err;
    }
}

// From a shared Maildir folder, on a home of its own; a network file is met in
// settings_command_test.cpp, where a send refreshes from one.
TEST_F(CheckTest, CentralSettingsFromASharedFolderApplyBeforeTheSendIsChecked) {
    Rules({{"PromptForKeywordsWanted", "1"},
           {"ListOfKeywords", "projectx\r\nmerger"},
           {"MessageForKeywords", "Send this secret?"}});
    const std::string document = Pw({"settings", "export"}).out;
    FreshHome();
    const auto folder = std::filesystem::path(Home()) / "shared" / "Settings";
    for (const char* sub : {"cur", "new", "tmp"}) std::filesystem::create_directories(folder / sub);
    std::ofstream(folder / "cur" / "1700000000.1.host:2,S")
        << "From: admin@corp.example\nSubject: Post Warden Settings\n"
           "Content-Type: text/plain; charset=utf-8\n\n"
        << document;
    Set("FetchSettingsExchangePublicFolder", folder.string());
    const CommandResult r = Check("no", Message("alice@corp.example", "About the MERGER", "x"));
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.out,
              "send: cancelled (No to \"Send this secret?\"; why: keyword \"merger\" in the "
              "subject)\n");
    EXPECT_EQ(Count("Fetching public folder from " + folder.string()), 1);
    EXPECT_EQ(Count("No exchange folder or network file present, using defaults"), 0);
    EXPECT_EQ(Check("no", plain).exitCode, 0) << "the any-send question was switched off";
}

// A log that cannot be written never decides a send: the check goes on with
// every rule, and the person is told once. Here the only rule asks about mail
// leaving corp.example, and every send leaves it, answered No.
class UnwritableLogTest : public CheckTest {
  protected:
    void SetUp() override {
        Rules({{"PromptForOutsideDomainsWanted", "1"}, {"ListOfOutsideDomains", "corp.example"}});
        std::filesystem::remove(LogPath());
    }
    std::string LogPath() const { return Home() + "/postwarden.log"; }
    CommandResult Send() { return Check("no", Message("bob@outside.example", "hi", "x")); }
    // Cancelled by the rule, and told once, in one line, that the log is left
    // out for `reason`.
    void ExpectCancelledAndToldOnce(const CommandResult& r, const std::string& reason) {
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_THAT(r.out, HasSubstr("send this email outside the company?"));
        EXPECT_EQ(Occurrences(r.err, "cannot write the log "), 1u) << r.err;
        const std::string line = "postwarden: cannot write the log " + LogPath() + ": ";
        EXPECT_THAT(r.err, HasSubstr(line + reason + "; going on without it\n"));
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
        ExpectCancelledAndToldOnce(Send(), c.reason);
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
    const CommandResult r = Send();
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, oldHandler);

    ExpectCancelledAndToldOnce(r, "File too large");
    EXPECT_EQ(std::filesystem::file_size(LogPath()), size) << "nothing half-written";
}

}  // namespace
}  // namespace postwarden::testing
