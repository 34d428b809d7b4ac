// The manual page: well-formed for man, and naming every command and every
// option the command's own help names, under that command.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "host/Command.h"  // the exit codes
#include "tests/host/CommandRunner.h"
#include "tests/install/HelpText.h"

namespace postwarden::testing {
namespace {

const std::string kPage = POSTWARDEN_SOURCE_DIR "/doc/postwarden.1";

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
        if (current) {
            *current += line + "\n";
        }
    }
    return sections;
}

// The page as roff source writes an option: every "-" as "\-".
std::string Roff(const std::string& option) {
    std::string out;
    for (const char c : option) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(ManualPage, ManFormatsItWithoutAWarning) {
    const std::string command = "man --warnings -l '" + kPage + "' 2>&1 >/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string warnings;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        warnings.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "man could not format it";
    EXPECT_EQ(warnings, "");
}

// Every command has its section with every option of its help; the global
// options and the exit statuses have theirs.
TEST(ManualPage, EveryOptionOfTheHelpIsUnderItsCommand) {
    const auto sections = Sections(ReadFile(kPage));
    const std::set<std::string> globals = LongOptions(RunPostwarden({"--help"}).out);
    ASSERT_TRUE(sections.contains("GLOBAL OPTIONS"));
    for (const std::string& option : globals) {
        EXPECT_NE(sections.at("GLOBAL OPTIONS").find(Roff(option)), std::string::npos) << option;
    }
    for (const std::string& name : CommandNames()) {
        ASSERT_TRUE(sections.contains(name)) << "no section for " << name;
        const CommandResult help = RunPostwarden({name, "--help"});
        ASSERT_EQ(help.exitCode, 0) << name;
        for (const std::string& option : LongOptions(help.out)) {
            // Said once for every command, under the global options.
            if (option == "--help" || globals.contains(option)) continue;
            EXPECT_NE(sections.at(name).find(Roff(option)), std::string::npos)
                << option << " of " << name << " is not in its section";
        }
    }
    ASSERT_TRUE(sections.contains("EXIT STATUS"));
    for (const int status : {host::kExitOk, host::kExitCancelled, host::kExitUsage,
                             host::kExitFailure, host::kExitNotInstalled}) {
        EXPECT_NE(sections.at("EXIT STATUS").find(".B " + std::to_string(status) + "\n"),
                  std::string::npos)
            << status;
    }
}

}  // namespace
}  // namespace postwarden::testing
