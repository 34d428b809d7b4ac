#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "module/HostEngine.h"
#include "platform/registry/Registry.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

class SettingsCommandTest : public ::testing::Test {
  protected:
    CommandResult Settings(std::vector<std::string> args) {
        args.insert(args.begin(), {"--home", home(), "settings"});
        return RunPostwarden(args);
    }
    std::string home() const { return folder.Path() + "/home"; }

    TempFolder folder;
};

TEST_F(SettingsCommandTest, SetGetListUnset) {
    CommandResult r = Settings({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    struct stat info {};
    EXPECT_NE(::stat(home().c_str(), &info), 0) << "reading created the home folder";

    ASSERT_EQ(Settings({"set", "PromptForAnySendWanted", "1"}).exitCode, 0);
    ASSERT_EQ(Settings({"set", "ListOfKeywords", "secret\r\nconfidential"}).exitCode, 0);
    ASSERT_EQ(Settings({"set", "MessageForAnySend", ""}).exitCode, 0);

    r = Settings({"get", "listofkeywords"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "secret\r\nconfidential\n");
    r = Settings({"get", "MessageForAnySend"});
    EXPECT_EQ(r.exitCode, 0) << "an empty value is set";
    EXPECT_EQ(r.out, "\n");

    // The first change seeded the rest.
    r = Settings({"list"});
    EXPECT_NE(r.out.find("ListOfKeywords: secret\\r\\nconfidential\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nMessageForAnySend: \n"), std::string::npos);
    EXPECT_NE(r.out.find("\nPromptForAnySendWanted: 1\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nSeparatePromptsWanted: 1\n"), std::string::npos);

    EXPECT_EQ(Settings({"unset", "PROMPTFORANYSENDWANTED"}).exitCode, 0);
    r = Settings({"get", "PromptForAnySendWanted"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "postwarden: PromptForAnySendWanted is not set\n");
    r = Settings({"unset", "PromptForAnySendWanted"});
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(SettingsCommandTest, ASwitchOrCountThatIsNoNumberIsRefusedUnlessForced) {
    ASSERT_EQ(Settings({"set", "ListOfKeywords", "x"}).exitCode, 0);
    CommandResult r = Settings({"set", "PromptForBlankSubjectWanted", "yes"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("PromptForBlankSubjectWanted must be a whole number"), std::string::npos)
        << r.err;
    EXPECT_EQ(Settings({"get", "PromptForBlankSubjectWanted"}).out, "0\n");  // seeded, unchanged
    r = Settings({"set", "--force", "PromptForBlankSubjectWanted", "yes"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Settings({"get", "PromptForBlankSubjectWanted"}).out, "yes\n");
    r = Settings({"set", "PromptForKeywordWanted", "1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("does not read a setting named PromptForKeywordWanted"),
              std::string::npos);
    EXPECT_EQ(Settings({"set", "MaxNumberOfRecipients", "25"}).err, "");
}

TEST_F(SettingsCommandTest, AChangeToANewHomeOutlivesTheFirstSend) {
    ASSERT_EQ(Settings({"set", "PromptForKeywordsWanted", "1"}).exitCode, 0);
    ASSERT_EQ(Settings({"set", "ListOfKeywords", "projectx"}).exitCode, 0);
    ASSERT_EQ(Settings({"unset", "PromptForAnySendWanted"}).exitCode, 0);
    const CommandResult r = RunPostwarden({"--home", home(), "check", "--answers", "no"},
                                          "To: a@corp.example\nSubject: projectx\n\nx\n");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("with these keywords"), std::string::npos) << r.out;
    EXPECT_EQ(Settings({"get", "ListOfKeywords"}).out, "projectx\n");
    EXPECT_EQ(Settings({"get", "PromptForAnySendWanted"}).exitCode, 1);  // stays unset
}

TEST_F(SettingsCommandTest, UsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"list", "extra"},
        {"get"},
        {"get", "a", "b"},
        {"set", "OnlyKey"},
        {"set", "", "value"},
        {"unset"},
        {"set-number", "Software\\X", "Name"},
        {"set-number", "Software\\X", "Name", "many"},
        {"import"},
        {"import", "a", "b"},
        {"export", "extra"},
    };
    for (const auto& args : cases) {
        const CommandResult r = Settings(args);
        EXPECT_EQ(r.exitCode, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(r.err.rfind("postwarden: ", 0), 0u) << r.err;
    }
    const CommandResult help = Settings({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("\n  get "), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("  SeparatePromptsWanted\n"), std::string::npos);
    EXPECT_EQ(
        Settings({"get", "--help"}).out.rfind("Usage: postwarden settings get [OPTIONS] KEY\n", 0),
        0u);
}

TEST_F(SettingsCommandTest, ACorruptRegistryIsAOneLineErrorNamingTheFile) {
    ASSERT_EQ(::mkdir(home().c_str(), 0700), 0);
    const std::string file = home() + "/registry.db";
    std::ofstream(file) << "this is no database, only some text of a certain length\n";
    for (const auto& args : std::vector<std::vector<std::string>>{{"list"},
                                                                  {"get", "ListOfKeywords"},
                                                                  {"set", "ListOfKeywords", "x"},
                                                                  {"unset", "ListOfKeywords"}}) {
        const CommandResult r = Settings(args);
        EXPECT_EQ(r.exitCode, 3) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "postwarden: The file " + file +
                             " is not a valid registry database (file is not a database)\n")
            << args[0];
    }
}

TEST_F(SettingsCommandTest, SetNumberWritesAnyKeyOfTheCurrentUser) {
    const std::string mail = "Software\\Microsoft\\Office\\16.0\\Outlook\\Options\\Mail";
    ASSERT_EQ(Settings({"set-number", mail, "EditorPreference", "131072"}).exitCode, 0);
    Registry registry(home() + "/registry.db");
    std::unique_ptr<RegistryAccess> access = registry.NewAccess();
    ASSERT_EQ(access->OpenKey(mail, kHiveCurrentUser, 63), 0);
    EXPECT_EQ(access->QueryValue("EditorPreference", 0), 131072);
}

}  // namespace
}  // namespace postwarden::testing
