// The bash completion, run in a real bash: the completion function called with
// COMP_WORDS and COMP_CWORD set, as bash does on Tab.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "settings/SettingKeys.h"
#include "tests/host/CommandRunner.h"
#include "tests/install/HelpText.h"

namespace postwarden::testing {
namespace {

using Words = std::set<std::string>;

std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What the completion offers for the command line `words`, the last word being
// the one under the cursor. Fails the test when bash says anything on stderr.
Words Complete(const std::vector<std::string>& words) {
    TempFolder dir;
    const std::string script = dir.Path() + "/complete.sh";
    const std::string errors = dir.Path() + "/stderr";
    {
        std::ofstream out(script);
        out << "source " << Quoted(POSTWARDEN_SOURCE_DIR "/integrations/bash/postwarden") << "\n"
            << "COMP_WORDS=(";
        for (const std::string& word : words) out << Quoted(word) << " ";
        out << ")\nCOMP_CWORD=" << words.size() - 1 << "\n"
            << "_postwarden\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    }
    const std::string command = "cd " + Quoted(dir.Path()) + " && bash --norc --noprofile " +
                                Quoted(script) + " 2>" + Quoted(errors);
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    const int status = pipe ? ::pclose(pipe) : -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    EXPECT_EQ(ReadFile(errors), "") << "completing: " << ::testing::PrintToString(words);
    Words offered;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) offered.insert(line);
    }
    return offered;
}

struct CompletionCase {
    std::vector<std::string> words;
    Words expected;
};

TEST(BashCompletion, OffersWhatFitsWhereTheCursorIs) {
    Words keys;  // the setting names are the module's table
    for (const Setting& setting : kSettings) keys.insert(setting.key);
    TempFolder dir;
    std::filesystem::create_directories(dir.Path() + "/homes/alpha");
    WriteFile(dir.Path() + "/homes/apple", "a file, not a folder");
    const CompletionCase cases[] = {
        {{"postwarden", "--home", dir.Path() + "/homes/a"}, {dir.Path() + "/homes/alpha"}},
        {{"postwarden", "settings", "get", ""}, keys},
        {{"postwarden", "settings", "set", ""}, keys},
        {{"postwarden", "settings", "unset", ""}, keys},
        {{"postwarden", "se"}, {"sendmail", "settings"}},
        {{"postwarden", "--m"}, {"--mail-store", "--module"}},
        {{"postwarden", "--home", "/tmp", "ch"}, {"check"}},
        {{"postwarden", "--home", "=", "/tmp", "do"}, {"doctor"}},
        {{"postwarden", "check", "--answers", "yes,n"}, {"yes,no"}},
        {{"postwarden", "check", "--answers", "c"}, {"close"}},
        {{"postwarden", "audit", "--format", ""}, {"text", "json"}},
        {{"postwarden", "thunderbird", ""}, {"install", "uninstall", "--help"}},
        {{"postwarden", "settings", "u"}, {"unset"}},
        {{"postwarden", "settings", "get", "ListOfK"}, {"ListOfKeywords"}},
        {{"postwarden", "settings", "set", "--force", "MaxN"}, {"MaxNumberOfRecipients"}},
        {{"postwarden", "settings", "set", "--file", "x", "SeparateP"}, {"SeparatePromptsWanted"}},
        // The value of a setting and a second key are free text.
        {{"postwarden", "settings", "set", "ListOfKeywords", "L"}, {}},
        {{"postwarden", "settings", "get", "ListOfKeywords", "L"}, {}},
        // After the first sendmail option everything is sendmail's.
        {{"postwarden", "sendmail", "--answers", "yes", "--s"}, {"--sendmail"}},
        {{"postwarden", "sendmail", "-oi", "--"}, {}},
    };
    for (const CompletionCase& c : cases) {
        EXPECT_EQ(Complete(c.words), c.expected) << ::testing::PrintToString(c.words);
    }
}

TEST(BashCompletion, EveryCommandAndEveryOptionOfItsHelpIsOffered) {
    // Where a command's options are completed: after its action for these.
    const std::map<std::string, std::vector<std::string>> before = {
        {"thunderbird", {"install"}},
        {"settings", {"set"}},
    };
    const Words globals = LongOptions(RunPostwarden({"--help"}).out);
    const Words commands = Complete({"postwarden", ""});
    const Words offeredGlobals = Complete({"postwarden", "-"});
    for (const std::string& option : globals) {
        EXPECT_TRUE(offeredGlobals.contains(option)) << option << " of postwarden --help";
    }
    for (const std::string& name : CommandNames()) {
        EXPECT_TRUE(commands.contains(name)) << name;
        const CommandResult help = RunPostwarden({name, "--help"});
        ASSERT_EQ(help.exitCode, 0) << name << help.err;
        std::vector<std::string> words{"postwarden", name};
        if (before.contains(name)) {
            const auto& action = before.at(name);
            words.insert(words.end(), action.begin(), action.end());
        }
        words.push_back("--");
        const Words offered = Complete(words);
        for (const std::string& option : LongOptions(help.out)) {
            // --help is offered where no action is due yet; a global option
            // named in a command's help stands before the command.
            if (option == "--help" || globals.contains(option)) continue;
            EXPECT_TRUE(offered.contains(option)) << option << " of " << name;
        }
    }
}

}  // namespace
}  // namespace postwarden::testing
