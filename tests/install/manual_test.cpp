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

TEST(ManualPage, EveryCommandHasItsSectionWithEveryOptionOfItsHelp) {
    const auto sections = Sections(ReadFile(kPage));
    const std::set<std::string> globals = LongOptions(RunPostwarden({"--help"}).out);
    for (const std::string& name : CommandNames()) {
        ASSERT_TRUE(sections.contains(name)) << "no section for " << name;
        const std::string& section = sections.at(name);
        const CommandResult help = RunPostwarden({name, "--help"});
        ASSERT_EQ(help.exitCode, 0) << name;
        for (const std::string& option : LongOptions(help.out)) {
            // Said once for every command, under the global options.
            if (option == "--help" || globals.contains(option)) continue;
            EXPECT_NE(section.find(Roff(option)), std::string::npos)
                << option << " of " << name << " is not in its section";
        }
    }
}

TEST(ManualPage, TheGlobalOptionsAndExitStatusesAreThere) {
    const auto sections = Sections(ReadFile(kPage));
    ASSERT_TRUE(sections.contains("GLOBAL OPTIONS"));
    const CommandResult help = RunPostwarden({"--help"});
    ASSERT_EQ(help.exitCode, 0);
    for (const std::string& option : LongOptions(help.out)) {
        EXPECT_NE(sections.at("GLOBAL OPTIONS").find(Roff(option)), std::string::npos) << option;
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
