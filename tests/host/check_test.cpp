// One send at a time through the real command, on a temporary home each.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/engine/LogRecord.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

constexpr const char* kAnySendQuestion = "Are you sure you want to send this email?";

std::string Message(const std::string& to, const std::string& subject, const std::string& body) {
    return "From: Me <me@corp.example>\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body +
           "\r\n";
}

class CheckTest : public HomeTest {
  protected:
    CommandResult Check(const std::string& answers, const std::string& message) {
        return Pw({"check", "--answers", answers}, message);
    }
    std::vector<LogRecord> Log() {
        std::vector<LogRecord> records;
        std::ifstream in(Home() + "/postwarden.log", std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            auto record = ParseRecord(line);
            EXPECT_TRUE(record.has_value()) << "not a whole record: " << line;
            if (record) records.push_back(*record);
        }
        return records;
    }
    int Count(const std::string& message) {
        int n = 0;
        for (const LogRecord& r : Log()) n += r.message == message;
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

TEST_F(CheckTest, AFreshHomeIsSeededOnceAndAsksBeforeEverySend) {
    CommandResult r = Check("no", plain);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "send: cancelled (No to \"" + std::string(kAnySendQuestion) + "\")\n");

    r = Check("yes", plain);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "send: go ahead\n");

    EXPECT_EQ(Count("No exchange folder or network file present, using defaults"), 1);
    EXPECT_EQ(Count("PromptForAnySendWanted: 1"), 2);
    EXPECT_EQ(Count("Violated Any Send Rule: True"), 2);
    EXPECT_EQ(Count("Postwarden is stopping"), 2);
    EXPECT_EQ(DraftsLeft(), 0u) << "the host's draft copy is removed whatever the answer";
    EXPECT_EQ(Check("close", plain).exitCode, 1) << "closing the prompt cancels";
}

struct RuleCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> settings;
    std::string message;
    const char* question;
    const char* flagLine;
};

TEST_F(CheckTest, EachRuleFiresOnARealMessageAndIsAnsweredBothWays) {
    const RuleCase cases[] = {
        {"outside domains",
         {{"PromptForOutsideDomainsWanted", "1"}, {"ListOfOutsideDomains", "corp.example"}},
         Message("bob@outside.example", "Hi", "x"),
         "Are you sure you want to send this email outside the company?",
         "Violated Outside Domains Rule: True"},
        {"watch list",
         {{"PromptForEmailAddressesDomainsWanted", "1"},
          {"ListOfEmailAddressesDomains", "rival.example\r\nboss@corp.example"}},
         Message("Boss <BOSS@corp.example>", "Hi", "x"),
         "Are you sure you want to send this email to these addresses?",
         "Violated Email Addresses Domains Rule: True"},
        {"keywords",
         {{"PromptForKeywordsWanted", "1"}, {"ListOfKeywords", "geschäftsgeheimnis;projectx"}},
         Message("alice@corp.example", "Hi", "Das ist ein GESCHÄFTSGEHEIMNIS."),
         "Are you sure you want to send this email with these keywords?",
         "Violated Keywords Rule: True"},
        {"number of recipients",
         {{"PromptForNumberOfRecipientsWanted", "1"}, {"MaxNumberOfRecipients", "2"}},
         Message("a@corp.example, b@corp.example, c@corp.example", "Hi", "x"),
         "Are you sure you want to send this email to all these people?",
         "Violated Max Number Of Recipients Rule: True"},
        {"blank subject",
         {{"PromptForBlankSubjectWanted", "1"}},
         Message("alice@corp.example", "   ", "x"),
         "Are you sure you want to send this email without a subject?",
         "Violated Blank Subject Rule: True"},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        FreshHome();
        ASSERT_EQ(Check("yes", plain).exitCode, 0);  // seeds the defaults
        Set("PromptForAnySendWanted", "0");
        for (const auto& [key, value] : c.settings) Set(key, value);

        CommandResult r = Check("no", c.message);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        // What the rule found follows (evidence_test.cpp).
        EXPECT_TRUE(r.out.starts_with("send: cancelled (No to \"" + std::string(c.question) + "\""))
            << r.out;
        r = Check("yes", c.message);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(Count(c.flagLine), 2);
        // The plain message breaks none of these rules.
        r = Check("no", plain);
        EXPECT_EQ(r.exitCode, 0) << r.out;
    }
}

TEST_F(CheckTest, WithoutSeparatePromptsTwoRulesShareOnePrompt) {
    ASSERT_EQ(Check("yes", plain).exitCode, 0);
    Set("SeparatePromptsWanted", "0");
    Set("PromptForAnySendWanted", "0");
    Set("PromptForOutsideDomainsWanted", "1");
    Set("ListOfOutsideDomains", "corp.example");
    Set("PromptForBlankSubjectWanted", "1");
    const std::string message = Message("bob@outside.example", "", "x");

    CommandResult r = Check("no,yes", message);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "send: cancelled (No to \"Are you sure you want to send this email outside the "
              "company?\"; \"Are you sure you want to send this email without a subject?\"; why: "
              "outside recipients: bob@outside.example)\n");
    EXPECT_EQ(Count("Prompt: Send This Message?  User Response: 7; (No = 7)"), 1);

    r = Check("yes", message);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Count("Prompt: Send This Message?  User Response: 6; (No = 7)"), 1);
}

const char* kCentralDocument = R"(<?xml version="1.0"?>
<Settings>
  <PromptForOutsideDomainsWanted>0</PromptForOutsideDomainsWanted>
  <ListOfOutsideDomains><Domain>corp.example</Domain></ListOfOutsideDomains>
  <MessageForOutsideDomains>Outside?</MessageForOutsideDomains>
  <PromptForEmailAddressesDomainsWanted>0</PromptForEmailAddressesDomainsWanted>
  <ListOfEmailAddressesDomains/>
  <MessageForEmailAddressesDomains>Watched?</MessageForEmailAddressesDomains>
  <PromptForKeywordsWanted>1</PromptForKeywordsWanted>
  <ListOfKeywords><Keyword>projectx</Keyword><Keyword>merger</Keyword></ListOfKeywords>
  <MessageForKeywords>Send this secret?</MessageForKeywords>
  <PromptForNumberOfRecipientsWanted>0</PromptForNumberOfRecipientsWanted>
  <NumberOfRecipients>20</NumberOfRecipients>
  <SeparateDLsWanted>0</SeparateDLsWanted>
  <MessageForNumberOfRecipients>Many?</MessageForNumberOfRecipients>
  <PromptForBlankSubjectWanted>0</PromptForBlankSubjectWanted>
  <MessageForBlankSubject>Blank?</MessageForBlankSubject>
  <PromptForAnySendWanted>0</PromptForAnySendWanted>
</Settings>
)";

// From a network file and from a shared Maildir folder, each on a home of its own.
TEST_F(CheckTest, CentralSettingsApplyBeforeTheSendIsChecked) {
    for (const bool fromFolder : {false, true}) {
        SCOPED_TRACE(fromFolder ? "shared folder" : "network file");
        FreshHome();
        const auto folder = std::filesystem::path(Home()) / "shared" / "Settings";
        if (fromFolder) {
            for (const char* sub : {"cur", "new", "tmp"}) {
                std::filesystem::create_directories(folder / sub);
            }
            std::ofstream(folder / "cur" / "1700000000.1.host:2,S")
                << "From: admin@corp.example\nSubject: Post Warden Settings\n"
                   "Content-Type: text/plain; charset=utf-8\n\n"
                << kCentralDocument;
            Set("FetchSettingsExchangePublicFolder", folder.string());
        } else {
            std::ofstream(Home() + "/central.xml") << kCentralDocument;
            Set("FetchSettingsNetworkLocation", Home() + "/central.xml");
        }
        const CommandResult r = Check("no", Message("alice@corp.example", "About the MERGER", "x"));
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_EQ(r.out,
                  "send: cancelled (No to \"Send this secret?\"; why: keyword \"merger\" in the "
                  "subject)\n");
        EXPECT_EQ(Count(fromFolder ? "Fetching public folder from " + folder.string()
                                   : "Read settings successfully: True"),
                  1);
        EXPECT_EQ(Count("No exchange folder or network file present, using defaults"), 0);
        EXPECT_EQ(Check("no", plain).exitCode, 0) << "the any-send question was switched off";
    }
}

TEST_F(CheckTest, UsageErrors) {
    CommandResult r = Pw({"check", "--answers", "maybe"}, plain);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("maybe"), std::string::npos) << r.err;
    r = Pw({"check", "--bogus"}, plain);
    EXPECT_EQ(r.exitCode, 2);
    r = Pw({"check", Home() + "/no-such.eml"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no-such.eml"), std::string::npos);
}

TEST_F(CheckTest, EightSendsAtOnceOnOneHome) {
    ASSERT_EQ(Check("yes", plain).exitCode, 0);
    std::vector<std::thread> threads;
    std::vector<CommandResult> results(8);
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = Check(i % 2 ? "yes" : "no", plain); });
    }
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].exitCode, i % 2 ? 0 : 1) << results[i].err;
    }
    EXPECT_EQ(Count("Postwarden is stopping"), 9);
    EXPECT_EQ(Count("Violated Any Send Rule: True"), 9);
    const CommandResult list = Pw({"settings", "list"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 18);
    EXPECT_EQ(DraftsLeft(), 0u);
}

}  // namespace
}  // namespace postwarden::testing
