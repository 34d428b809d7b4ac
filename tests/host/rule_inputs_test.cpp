// The rules see what the recipient sees: crafted messages that once slipped
// past them, each through the real command.
#include <gtest/gtest.h>

#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

class RuleInputsTest : public HomeTest {
  protected:
    void Settings(std::initializer_list<std::pair<const char*, const char*>> settings) {
        ASSERT_EQ(Pw({"check", "--answers", "yes"}, "Subject: seed\n\nx\n").exitCode, 0);
        Set("PromptForAnySendWanted", "0");
        for (const auto& [key, value] : settings) {
            Set(key, value);
        }
    }
    // Whether a send of `message` asks (and, answered No, is held).
    bool Asks(const std::string& message) {
        const CommandResult r = Pw({"check", "--answers", "no"}, message);
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.err;
        return r.exitCode == 1;
    }
};

std::string Multipart(const std::string& type, const std::string& parts) {
    return "From: a@corp.example\nTo: b@corp.example\nSubject: s\nMIME-Version: 1.0\n"
           "Content-Type: multipart/" +
           type + "; boundary=BB\n\n" + parts + "--BB--\n";
}

std::string Part(const std::string& headers, const std::string& body) {
    return "--BB\n" + headers + "\n\n" + body + "\n";
}

TEST_F(RuleInputsTest, KeywordsAreFoundInEverythingTheRecipientReads) {
    Settings({{"PromptForKeywordsWanted", "1"}, {"ListOfKeywords", "projectx"}});
    const std::string html = "Content-Type: text/html; charset=utf-8";
    const std::string plain = "Content-Type: text/plain; charset=utf-8";
    const struct {
        const char* where;
        std::string message;
        bool asks;
    } cases[] = {
        {"the plain alternative of an HTML message",
         Multipart("alternative", Part(plain, "about ProjectX") + Part(html, "<p>about it</p>")),
         true},
        {"a second inline text part",
         Multipart("mixed", Part(plain, "hello") + Part(plain, "the projectx plan")), true},
        {"an HTML character reference",
         Multipart("alternative", Part(html, "<p>proj&#101;ctx</p>")), true},
        {"HTML split by markup", Multipart("alternative", Part(html, "<p>proj<b></b>ectx</p>")),
         true},
        {"an attachment's file name",
         Multipart("mixed",
                   Part(plain, "hello") +
                       Part("Content-Type: application/octet-stream\n"
                            "Content-Disposition: attachment; filename=projectx-budget.xlsx",
                            "AAAA")),
         true},
        {"only inside an attachment",
         Multipart("mixed", Part(plain, "hello") +
                                Part("Content-Type: text/plain\nContent-Disposition: attachment; "
                                     "filename=notes.txt",
                                     "projectx")),
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(Asks(c.message), c.asks) << c.where;
}

TEST_F(RuleInputsTest, ASubjectKeepsEveryCharacterItHas) {
    Settings({{"PromptForBlankSubjectWanted", "1"}});
    EXPECT_FALSE(Asks("To: b@corp.example\nSubject:\t\n\nx\n"));
    EXPECT_FALSE(Asks("To: b@corp.example\nSubject: \t\n\nx\n"));
    EXPECT_TRUE(Asks("To: b@corp.example\nSubject:   \n\nx\n"));
    EXPECT_TRUE(Asks("To: b@corp.example\n\nx\n"));
}

}  // namespace
}  // namespace postwarden::testing
