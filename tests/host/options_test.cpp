// The command line of every command, through the real command: both spellings
// of an option's value, usage errors as one line with exit 2, --help on
// standard output, and sendmail's own options left for the real sendmail.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/TerminalText.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

class OptionsTest : public HomeTest {
  protected:
    static void ExpectUsageError(const CommandResult& r, const std::string& what,
                                 const std::string& mentions) {
        EXPECT_EQ(r.exitCode, 2) << what << "\n" << r.err;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(r.err.rfind("postwarden: ", 0), 0u) << what << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(mentions)) << what;
    }

    TempFolder dir;
};

TEST_F(OptionsTest, UsageErrorsAreOneLineWithExitTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    } const cases[] = {
        // A value missing at the end.
        {{"--mail-store"}, "--mail-store"},
        {{"check", "--answers"}, "--answers"},
        {{"sendmail", "--sendmail"}, "--sendmail"},
        {{"log", "--since"}, "--since"},
        {{"log", "--since="}, "--since"},
        {{"settings", "set", "--file"}, "--file"},
        {{"thunderbird", "install", "--profile"}, "--profile"},
        // An empty value after "=" does not take the next argument for it.
        {{"--home=", "doctor"}, "--home"},
        {{"check", "--answers=", "message.eml"}, "--answers"},
        // An option no command knows.
        {{"--bogus", "log"}, "--bogus"},
        {{"check", "--bogus"}, "--bogus"},
        {{"log", "--tail"}, "--tail"},
        {{"log", "--until", "2026-12-06"}, "--until"},
        // A time that is none.
        {{"log", "--since", "yesterday"},
         "log: --since needs a date (2026-12-06) or a date and time"},
        {{"log", "--since", "2026-02-30"}, "2026-02-30"},
        {{"doctor", "--bogus"}, "--bogus"},
        {{"last", "--bogus"}, "--bogus"},
        {{"version", "--bogus"}, "--bogus"},
        {{"forms", "--png", "x", "--bogus"}, "--bogus"},
        {{"settings", "list", "--bogus"}, "--bogus"},
        // Operands missing or too many.
        {{"forms"}, "--png"},
        {{"audit"}, "SOURCE is required"},
        {{"audit", "--rules", "keywords,nosuchrule", "x.eml"}, "\"nosuchrule\""},
        {{"audit", "--format", "xml", "x.eml"}, "xml"},
        {{"settings", "get"}, "KEY"},
        {{"settings", "get", "a", "b"}, "b"},
        {{"last", "extra"}, "extra"},
        {{"settings"}, "settings"},
        {{"settings", "frobnicate"}, "frobnicate"},
        {{"settings", "list", "extra"}, "extra"},
        {{"settings", "set", "OnlyKey"}, "KEY and VALUE"},
        {{"settings", "set", "", "value"}, "a setting needs a name"},
        {{"settings", "unset"}, "KEY"},
        {{"settings", "set-number", "Software\\X", "Name"}, "NUMBER"},
        {{"settings", "set-number", "Software\\X", "Name", "many"}, "many"},
        {{"settings", "import"}, "FILE"},
        {{"settings", "import", "a", "b"}, "b"},
        {{"settings", "export", "extra"}, "extra"},
        {{"thunderbird"}, "thunderbird"},
        {{"thunderbird", "setup"}, "setup"},
        {{"frobnicate"}, "frobnicate"},
        {{}, "a command is needed"},
        // Values that are not what the option takes.
        {{"--home"}, "--home: 1 required DIR missing"},
        {{"check", "--answers", "maybe"}, "\"maybe\" in the answers"},
        {{"check", "no-such.eml"}, "no-such.eml: File not found"},
    };
    for (const Case& c : cases) {
        ExpectUsageError(Pw(c.args), ::testing::PrintToString(c.args), c.mentions);
    }
}

TEST_F(OptionsTest, EveryCommandsHelpAndTheVersionGoToStandardOutput) {
    struct Case {
        std::vector<std::string> args;
        std::string usage;   // how the help starts
        std::string option;  // one of the things it must describe
    } const cases[] = {
        {{"--help"}, "Usage: postwarden [OPTIONS] [COMMAND] [ARGS...]", "--mail-store DIR"},
        {{"-h"}, "Usage: postwarden ", "  thunderbird "},
        {{"help"}, "Usage: postwarden ", "  doctor "},
        {{"check", "--help"}, "Usage: postwarden check ", "--answers LIST"},
        {{"sendmail", "--help"}, "Usage: postwarden sendmail ", "--sendmail PROGRAM"},
        {{"settings", "--help"}, "Usage: postwarden settings ", "  PromptForAnySendWanted\n"},
        {{"settings", "get", "--help"}, "Usage: postwarden settings get [OPTIONS] KEY\n", "KEY"},
        {{"settings", "set", "--help"}, "Usage: postwarden settings set ", "--file PATH"},
        {{"log", "--help"}, "Usage: postwarden log ", "--since TIME"},
        {{"doctor", "--help"}, "Usage: postwarden doctor ", "--sendmail PROGRAM"},
        {{"audit", "--help"}, "Usage: postwarden audit ", "--rules LIST"},
        {{"thunderbird", "--help"}, "Usage: postwarden thunderbird ", "uninstall"},
        {{"thunderbird", "install", "--help"},
         "Usage: postwarden thunderbird install ",
         "--system"},
        {{"version", "--help"}, "Usage: postwarden version", "version of the loaded module"},
        {{"version"}, "postwarden 1.0.0\n", ""},
        {{"--version"}, "postwarden 1.0.0\n", ""},
    };
    for (const Case& c : cases) {
        const CommandResult r = Pw(c.args);
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.exitCode, 0) << what << r.err;
        EXPECT_EQ(r.err, "") << what;
        EXPECT_EQ(r.out.rfind(c.usage, 0), 0u) << what << "\n" << r.out;
        EXPECT_THAT(r.out, HasSubstr(c.option)) << what;
    }
    EXPECT_FALSE(std::filesystem::exists(Home() + "/registry.db")) << "help changes nothing";
}

TEST(FillTextTest, FillsEachParagraphBreakingOnlyAtBlanks) {
    const struct {
        std::string text;
        size_t width;
        std::string filled;
    } cases[] = {
        {"a b c d", 3, "a b\nc d"},
        {"one\ntwo three", 9, "one two\nthree"},     // a single line end is a blank
        {"a b\n\nc  d\n", 80, "a b\n\nc d"},         // paragraphs stay apart
        {"averylongword x", 4, "averylongword\nx"},  // a word wider than the line
        {"ab cd", 5, "ab cd"},                       // exactly the width
    };
    for (const auto& c : cases)
        EXPECT_EQ(postwarden::FillText(c.text, c.width), c.filled) << c.text;
    // A value put into a help's text does not leave a word alone on a line.
    const CommandResult help = RunPostwarden({"thunderbird", "--help"});
    EXPECT_THAT(help.out, Not(HasSubstr("\ninto\n")));
    EXPECT_THAT(help.out, HasSubstr(") into ~/.mozilla/"));
}

// The last value of an option given twice stands, one the option would refuse
// before it too: a wrapper adds its own to a configured command line.
TEST_F(OptionsTest, AnOptionGivenAgainTakesItsLastValue) {
    const std::string message = dir.Path() + "/m.eml";
    WriteFile(message, "From: me@corp.example\nTo: you@corp.example\nSubject: s\n\nx\n");
    const std::string profile = dir.Path() + "/profile";
    std::filesystem::create_directories(profile);
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } const cases[] = {
        {{"check", "--answers", "no", "--answers=yes", message}, "send: go ahead"},
        {{"audit", "--format", "xml", "--format", "json", message}, "\"summary\""},
        {{"--home", dir.Path() + "/elsewhere", "settings", "set", "ListOfKeywords", "x"}, ""},
        {{"thunderbird", "install", "--profile", "", "--profile", profile}, profile},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--home", Home()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult r = RunPostwarden(args, "", {"HOME=" + dir.Path()});
        EXPECT_EQ(r.exitCode, 0) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_THAT(r.out, HasSubstr(c.says)) << ::testing::PrintToString(c.args);
    }
    EXPECT_TRUE(std::filesystem::exists(dir.Path() + "/elsewhere/registry.db"));
}

TEST_F(OptionsTest, SendmailPassesEveryOptionItDoesNotOwnOnUnchanged) {
    const std::string sendmail = WriteFakeSendmail(dir.Path());
    struct Case {
        std::vector<std::string> args;  // after postwarden's own --sendmail and --answers
        std::string passed;             // what the real sendmail got, one a line
    } const cases[] = {
        {{"-oi", "-oem", "-B", "8BITMIME", "-N", "never", "-R", "hdrs", "-V", "envid", "-t"},
         "-oi\n-oem\n-B\n8BITMIME\n-N\nnever\n-R\nhdrs\n-V\nenvid\n-t\n"},
        {{"-f", "me@corp.example", "-F", "Me Myself", "--", "you@corp.example"},
         "-f\nme@corp.example\n-F\nMe Myself\n--\nyou@corp.example\n"},
        // -h is the hop count; long options and "--help" after "--" are sendmail's too.
        {{"-h", "5", "--unknown=x", "--", "--help"}, "-h\n5\n--unknown=x\n--\n--help\n"},
        {{"--unknown", "-i", "you@corp.example", "--answers", "no"},
         "--unknown\n-i\nyou@corp.example\n--answers\nno\n"},
        // Ours come first: after a sendmail option or "--", one of the same name is sendmail's.
        {{"-oi", "--answers", "no", "you@corp.example"}, "-oi\n--answers\nno\nyou@corp.example\n"},
        {{"--", "--answers", "x@corp.example"}, "--\n--answers\nx@corp.example\n"},
    };
    // sendmail sets its own options apart before the shared parser: each of
    // them joined to its value with "=" in every other row.
    bool answersJoined = true;
    for (const Case& c : cases) {
        std::filesystem::remove(dir.Path() + "/args");
        answersJoined = !answersJoined;
        std::vector<std::string> args =
            answersJoined
                ? std::vector<std::string>{"sendmail", "--sendmail", sendmail, "--answers=yes"}
                : std::vector<std::string>{"sendmail", "--sendmail=" + sendmail, "--answers",
                                           "yes"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CommandResult r =
            Pw(args, "From: me@corp.example\nTo: you@corp.example\nSubject: s\n\nx\n");
        EXPECT_EQ(r.exitCode, 0) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_EQ(ReadFile(dir.Path() + "/args"), c.passed) << ::testing::PrintToString(c.args);
    }
}

}  // namespace
}  // namespace postwarden::testing
