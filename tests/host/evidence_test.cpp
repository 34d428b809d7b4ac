// What each rule found, from real messages through the real command: the
// refusal line and the send's log record say it after their usual beginnings.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/engine/LogRecord.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

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

class EvidenceTest : public HomeTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(Pw({"check", "--answers", "yes"}, Message("a@corp.example", "s", "b")).exitCode,
                  0);  // seeds the defaults
        Set("PromptForAnySendWanted", "0");
        // One prompt for all rules: every recipient is checked before it.
        Set("SeparatePromptsWanted", "0");
        Set("ListOfOutsideDomains", "corp.example");
        Set("ListOfEmailAddressesDomains", "rival.example\r\nboss@corp.example");
        Set("ListOfKeywords", "geschäftsgeheimnis;projectx");
        Set("MaxNumberOfRecipients", "2");
    }
    // The message of the last "Send: " record in the log.
    std::string LastSendRecord() {
        std::string last;
        std::ifstream in(Home() + "/postwarden.log", std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            const auto record = ParseRecord(line);
            if (record && record->message.starts_with("Send: ")) last = record->message;
        }
        return last;
    }
};

struct EvidenceCase {
    const char* name;
    const char* rule;  // the setting that turns the rule on
    std::string message;
    std::vector<std::string> envelope;  // recipients given besides the message's own
    const char* question;
    const char* evidence;  // empty: the rule finds nothing to say
};

TEST_F(EvidenceTest, EachRuleSaysWhatItFoundInTheRefusalAndTheLogRecord) {
    const EvidenceCase cases[] = {
        {"outside, five named and the rest counted, the envelope recipient included",
         "PromptForOutsideDomainsWanted",
         Message("a1@out.example, me@corp.example, a2@out.example, a3@Out.Example, "
                 "Group: a4@out.example, a5@out.example;, a6@out.example",
                 "Hi", "x"),
         {"hidden@else.example"},
         "Are you sure you want to send this email outside the company?",
         "outside recipients: a1@out.example, a2@out.example, a3@Out.Example, a4@out.example, "
         "a5@out.example and 2 more"},
        {"watch list, with the entry each matched",
         "PromptForEmailAddressesDomainsWanted",
         Message("Boss <BOSS@corp.example>, jo@corp.example, x@rival.example", "Hi", "x"),
         {},
         "Are you sure you want to send this email to these addresses?",
         "watch-listed recipients: BOSS@corp.example (boss@corp.example), x@rival.example "
         "(rival.example)"},
        {"keyword in the subject",
         "PromptForKeywordsWanted",
         Message("a@corp.example", "ProjectX kick-off", "nothing here"),
         {},
         "Are you sure you want to send this email with these keywords?",
         "keyword \"projectx\" in the subject"},
        {"keyword in the body, in other capitals",
         "PromptForKeywordsWanted",
         Message("a@corp.example", "Hi", "Das ist ein GESCHÄFTSGEHEIMNIS."),
         {},
         "Are you sure you want to send this email with these keywords?",
         "keyword \"geschäftsgeheimnis\" in the body"},
        {"keyword in an attachment's name only",
         "PromptForKeywordsWanted",
         Message("a@corp.example", "Plan", "see attached", "ProjectX-plan.pdf"),
         {},
         "Are you sure you want to send this email with these keywords?",
         "keyword \"projectx\" in the attachment name \"ProjectX-plan.pdf\""},
        {"keyword in the text and an attachment's name: the text",
         "PromptForKeywordsWanted",
         Message("a@corp.example", "Plan", "about projectx", "projectx.pdf"),
         {},
         "Are you sure you want to send this email with these keywords?",
         "keyword \"projectx\" in the body"},
        {"the count against the maximum",
         "PromptForNumberOfRecipientsWanted",
         Message("a@corp.example, b@corp.example", "Hi", "x"),
         {"c@corp.example"},
         "Are you sure you want to send this email to all these people?",
         "3 recipients, at most 2"},
        {"blank subject: nothing more",
         "PromptForBlankSubjectWanted",
         Message("a@corp.example", "  ", "x"),
         {},
         "Are you sure you want to send this email without a subject?",
         ""},
    };
    for (const EvidenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        Set(c.rule, "1");
        const std::string file = Home() + "/message.eml";
        std::ofstream(file, std::ios::binary) << c.message;
        std::vector<std::string> args{"check", "--answers", "no", file};
        if (!c.envelope.empty()) args.push_back("--");
        args.insert(args.end(), c.envelope.begin(), c.envelope.end());
        const CommandResult r = Pw(args);
        Set(c.rule, "0");
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const std::string refused = "No to \"" + std::string(c.question) + "\"";
        const std::string why = *c.evidence ? "; why: " + std::string(c.evidence) : "";
        EXPECT_EQ(r.out, "send: cancelled (" + refused + why + ")\n");
        const std::string record = LastSendRecord();
        EXPECT_TRUE(record.starts_with("Send: no; rules fired: ")) << record;
        if (*c.evidence) {
            EXPECT_TRUE(record.ends_with("; evidence: " + std::string(c.evidence))) << record;
        } else {
            EXPECT_EQ(record.find("; evidence: "), std::string::npos) << record;
        }
    }
}

TEST_F(EvidenceTest, OnePromptForSeveralRulesCarriesTheEvidenceOfEach) {
    for (const char* rule : {"PromptForOutsideDomainsWanted", "PromptForKeywordsWanted"}) {
        Set(rule, "1");
    }
    const CommandResult r = Pw({"sendmail", "--answers", "no", "--sendmail", "/bin/false", "-t"},
                               Message("bob@out.example", "projectx", "x"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.starts_with("postwarden: not sent: No to \"")) << r.err;
    EXPECT_TRUE(
        r.err.ends_with("; why: outside recipients: bob@out.example; keyword \"projectx\" "
                        "in the subject\n"))
        << r.err;
}

TEST_F(EvidenceTest, ASendNobodyCouldBeAskedAboutSaysWhatFiredAndWhy) {
    // The rule's own question, which fails to show: the rule noted what it found first.
    Set("SeparatePromptsWanted", "1");
    Set("PromptForOutsideDomainsWanted", "1");
    // No answers, no terminal, no display: nobody to ask.
    const CommandResult r = Pw({"sendmail", "--sendmail", "/bin/false", "-t"},
                               Message("bob@out.example\x1b[2J", "Hi", "x"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.err.starts_with("postwarden: not sent: nobody could be asked about recipients "
                          "outside the company's domains ("))
        << r.err;
    EXPECT_NE(r.err.find("; why: outside recipients: bob@out.example"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "a message's text reached the terminal";
}

}  // namespace
}  // namespace postwarden::testing
