#pragma once

// How every command reads its command line: its options and operands are
// declared on a CommandLine (a CLI11 parser), which also writes its --help.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace postwarden::host {

class CommandLine : public CLI::App {
  public:
    // The parser of `postwarden NAME` (of `postwarden` itself when NAME is
    // empty), with `description` under the usage line of its --help. --help and
    // -h ask for help; with `shortHelp` false only --help does, so that -h stays
    // free for a command that passes it on (sendmail's hop count).
    CommandLine(const std::string& name, const std::string& description, bool shortHelp = true);

    // Parses `args`, the arguments after the command's name. Returns nothing
    // when the command should run; otherwise its exit status, after the help
    // went to standard output (kExitOk, for --help) or one line
    // "postwarden: NAME: <why> (see postwarden NAME --help)" to standard error
    // (kExitUsage).
    std::optional<int> Parse(std::vector<std::string> args);

    // Writes that one line for `why`, a usage error found after parsing;
    // returns kExitUsage.
    int UsageError(const std::string& why) const;
};

}  // namespace postwarden::host
