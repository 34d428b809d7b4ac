// What ships beside the command says what its own help says: the bash
// completion, run in a real bash as on Tab, offers every command and option,
// and the manual page, well-formed for man, has each under its command.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "host/Command.h"  // the exit codes
#include "host/audit/Audit.h"
#include "module/Rules.h"
#include "module/SettingKeys.h"
#include "tests/host/CommandRunner.h"

namespace postwarden::testing {
namespace {

using ::testing::Not;
using Words = std::set<std::string>;

const std::string kPage = POSTWARDEN_SOURCE_DIR "/doc/postwarden.1";

// What the completion offers for the command line `words`, the last word being
// the one under the cursor, in an empty folder. Fails the test when bash says
// anything on stderr.
Words Complete(const std::vector<std::string>& words) {
    const TempFolder empty;
    std::vector<std::string> args{"--norc",
                                  "--noprofile",
                                  "-c",
                                  "source \"$0\" && cd \"$1\" && shift && COMP_WORDS=(\"$@\") && "
                                  "COMP_CWORD=$(($# - 1)) && _postwarden; "
                                  "printf '%s\\n' \"${COMPREPLY[@]}\"",
                                  POSTWARDEN_SOURCE_DIR "/integrations/bash/postwarden",
                                  empty.Path()};
    args.insert(args.end(), words.begin(), words.end());
    const CommandResult r = RunProgram("/bin/bash", args, {});
    EXPECT_EQ(r.exitCode, 0) << ::testing::PrintToString(words);
    EXPECT_EQ(r.err, "") << ::testing::PrintToString(words);
    Words offered;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) offered.insert(line);
    }
    return offered;
}

// The long options a text names.
Words LongOptions(const std::string& text) {
    static const std::regex option("--[a-z][a-z0-9-]*");
    Words options;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

// The page's sections by their heading (.SH) and the commands' by their
// first word (.SS), each with its text.
std::map<std::string, std::string> Sections(const std::string& page) {
    std::map<std::string, std::string> sections;
    std::string* current = nullptr;
    std::istringstream lines(page);
    static const std::regex heading(R"(^\.S[HS] "?([^ "]+(?: OPTIONS| STATUS)?))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, heading)) current = &sections[match[1].str()];
        if (current) *current += line + "\n";
    }
    return sections;
}

// The page as roff source writes an option: every "-" as "\-".
std::string Roff(const std::string& option) {
    std::string out;
    for (const char c : option) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(BashCompletion, OffersWhatFitsWhereTheCursorIs) {
    Words keys;  // the setting names are the module's table
    for (const Setting& setting : kSettings) keys.insert(setting.key);
    TempFolder dir;
    std::filesystem::create_directories(dir.Path() + "/homes/alpha");
    WriteFile(dir.Path() + "/homes/apple", "a file, not a folder");
    const std::pair<std::vector<std::string>, Words> cases[] = {
        {{"postwarden", "--home", dir.Path() + "/homes/a"}, {dir.Path() + "/homes/alpha"}},
        {{"postwarden", "settings", "get", ""}, keys},
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
        {{"postwarden", "settings", "set", "--force", "MaxNumberOfR"}, {"MaxNumberOfRecipients"}},
        {{"postwarden", "settings", "get", "MaxN"},
         {"MaxNumberOfOrganisations", "MaxNumberOfRecipients"}},
        {{"postwarden", "settings", "set", "--file", "x", "SeparateP"}, {"SeparatePromptsWanted"}},
        // The value of a setting and a second key are free text.
        {{"postwarden", "settings", "set", "ListOfKeywords", "L"}, {}},
        {{"postwarden", "settings", "get", "ListOfKeywords", "L"}, {}},
        // After the first sendmail option everything is sendmail's.
        {{"postwarden", "sendmail", "--answers", "yes", "--s"}, {"--sendmail"}},
        {{"postwarden", "sendmail", "-oi", "--"}, {}},
    };
    for (const auto& [words, expected] : cases) {
        EXPECT_EQ(Complete(words), expected) << ::testing::PrintToString(words);
    }
}

// Every rule of the module's table is on the page's RULES table (its name as
// logged and its switch, whose name gives its question's), and completed as a
// value of audit --rules.
TEST(ManualPage, TheRulesTableAndTheCompletionNameEveryRule) {
    const std::string rules = Sections(ReadFile(kPage))["RULES"];
    Words names;
    for (const Rule& rule : kRules) {
        EXPECT_THAT(rules, HasSubstr(std::string(rule.name) + "|" + rule.switchKey + "\n"));
        std::string question = rule.switchKey;
        question.replace(0, std::string_view("PromptFor").size(), "MessageFor");
        question.resize(question.size() - std::string_view("Wanted").size());
        EXPECT_EQ(question, rule.questionKey);
        std::string name = rule.name;
        for (char& c : name) c = c == ' ' ? '-' : static_cast<char>(std::tolower(c));
        EXPECT_EQ(host::AuditRuleNamed(name), rule.name);
        names.insert(name);
    }
    EXPECT_EQ(Occurrences(rules, "|PromptFor"), kRuleCount) << "a row of no rule:\n" << rules;
    EXPECT_EQ(Complete({"postwarden", "audit", "--rules", ""}), names);
    EXPECT_EQ(Complete({"postwarden", "audit", "--rules", "keywords,bl"}),
              Words{"keywords,blank-subject"});
}

TEST(ManualPage, ManFormatsItWithoutAWarning) {
    const CommandResult r = RunProgram("/usr/bin/man", {"--warnings", "-l", kPage}, {});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
}

// The settings as the manual page's table and `settings --help` list them: each
// setting the module reads once, with what a fresh home gets, and marked truly
// as carried by a settings document or not.
TEST(ManualPage, TheSettingsTableAndTheHelpSayWhichSettingsADocumentCarries) {
    const std::string page = ReadFile(kPage);
    // The table whose header, repeated on every page it spans, names the columns.
    const size_t start = page.find("Setting|Document|Fresh\n");
    ASSERT_NE(start, std::string::npos);
    std::map<std::string, std::pair<std::string, std::string>> rows;  // document, fresh
    std::istringstream lines(page.substr(start, page.find(".TE\n", start) - start));
    for (std::string line; std::getline(lines, line);) {
        const size_t bar = line.find('|'), second = line.find('|', bar + 1);
        if (second == std::string::npos || line.starts_with("Setting|")) continue;
        rows[line.substr(0, bar)] = {line.substr(bar + 1, second - bar - 1),
                                     line.substr(second + 1)};
    }
    const CommandResult help = RunPostwarden({"settings", "--help"});
    EXPECT_EQ(rows.size(), std::size(kSettings));
    for (const Setting& setting : kSettings) {
        SCOPED_TRACE(setting.key);
        const auto [document, fresh] = rows[setting.key];
        EXPECT_EQ(document, !setting.element.present  ? "no"
                            : setting.optionalElement ? "optional"
                                                      : "yes");
        EXPECT_EQ(fresh, !setting.seeded.present ? "unset"
                         : setting.kind == SettingKind::kList
                             ? (*setting.seeded.text == '\0' ? "empty" : "its words")
                         : setting.kind == SettingKind::kText ? "its question"
                                                              : setting.seeded.text);
        const char* mark = !setting.element.present ? "* " : setting.optionalElement ? "+ " : "  ";
        EXPECT_THAT(help.out, HasSubstr("\n" + std::string(mark) + setting.key + "\n"));
    }
}

// The two tools for developers stay out of the help a person reads, are on
// the page in a section of their own, and still work.
TEST(HelpEverywhere, TheDeveloperToolsAreLeftOutOfTheHelpYetWork) {
    for (const auto& [command, tool] :
         {std::pair{"check", "--client-version"}, std::pair{"sendmail", "--client-version"},
          std::pair{"settings", "set-number"}}) {
        EXPECT_THAT(RunPostwarden({command, "--help"}).out, Not(HasSubstr(tool))) << command;
        EXPECT_THAT(Sections(ReadFile(kPage))["DEVELOPER OPTIONS"], HasSubstr(Roff(tool)));
    }
    const TempFolder home;
    const CommandResult r = RunPostwarden(
        {"--home", home.Path(), "check", "--client-version", "9.0.0.0", "--answers", "yes"},
        "From: me@corp.example\nTo: you@corp.example\nSubject: x\n\nHi.\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Only a version 9 client has the module log on to the store itself.
    EXPECT_THAT(ReadFile(home.Path() + "/postwarden.log"), HasSubstr("Logged on: "));
}

// Every command `postwarden --help` lists (the first word of each indented
// line under its "Commands" heading) is completed and has its section of the
// page, and so has every option of its own help. The global options are said
// once, before the command.
TEST(HelpEverywhere, EveryCommandAndEveryOptionOfItsHelpIsCompletedAndOnThePage) {
    const CommandResult help = RunPostwarden({"--help"});
    ASSERT_EQ(help.exitCode, 0);
    const Words globals = LongOptions(help.out);
    const auto sections = Sections(ReadFile(kPage));
    ASSERT_TRUE(sections.contains("GLOBAL OPTIONS"));
    const Words offeredGlobals = Complete({"postwarden", "-"});
    for (const std::string& option : globals) {
        EXPECT_TRUE(offeredGlobals.contains(option)) << option << " of postwarden --help";
        EXPECT_THAT(sections.at("GLOBAL OPTIONS"), HasSubstr(Roff(option))) << option;
    }
    // Where a command's options are completed: after its action for these.
    const std::map<std::string, std::string> action = {{"thunderbird", "install"},
                                                       {"settings", "set"}};
    const Words commands = Complete({"postwarden", ""});
    std::istringstream lines(help.out);
    bool inList = false;
    size_t seen = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Commands") && line.ends_with(":")) {
            inList = true;
            continue;
        }
        if (!inList || !line.starts_with("  ")) {
            if (inList) break;
            continue;
        }
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        ++seen;
        EXPECT_TRUE(commands.contains(name)) << name;
        ASSERT_TRUE(sections.contains(name)) << "no section for " << name;
        const CommandResult own = RunPostwarden({name, "--help"});
        ASSERT_EQ(own.exitCode, 0) << name << own.err;
        std::vector<std::string> words{"postwarden", name};
        if (action.contains(name)) words.push_back(action.at(name));
        words.push_back("--");
        const Words offered = Complete(words);
        for (const std::string& option : LongOptions(own.out)) {
            // --help is offered where no action is due yet.
            if (option == "--help" || globals.contains(option)) continue;
            EXPECT_TRUE(offered.contains(option)) << option << " of " << name;
            EXPECT_THAT(sections.at(name), HasSubstr(Roff(option)))
                << option << " of " << name << " is not in its section";
        }
    }
    // Nine when this was written; none would let every check pass unseen.
    EXPECT_GE(seen, 9u) << help.out;
    ASSERT_TRUE(sections.contains("EXIT STATUS"));
    for (const int status : {host::kExitOk, host::kExitCancelled, host::kExitUsage,
                             host::kExitFailure, host::kExitNotInstalled}) {
        EXPECT_THAT(sections.at("EXIT STATUS"), HasSubstr(".B " + std::to_string(status) + "\n"))
            << status;
    }
}

}  // namespace
}  // namespace postwarden::testing
