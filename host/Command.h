#pragma once

#include <string>
#include <vector>

namespace postwarden::host {

// Exit codes of the command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCancelled = 1;      // `check`: the person said No
inline constexpr int kExitUsage = 2;          // bad command line
inline constexpr int kExitFailure = 3;        // the module or a file could not be used
inline constexpr int kExitNotInstalled = 69;  // the module is missing: nothing is checked

// The options that stand before the subcommand.
struct GlobalOptions {
    std::string home;        // --home, else $POSTWARDEN_HOME, else the state folder
    std::string mailStore;   // --mail-store, else <home>/mail
    std::string modulePath;  // --module, else the library beside the executable
};

// One subcommand: its name, a one-line summary for --help, and what runs it with
// the arguments that follow its name.
struct Command {
    const char* name;
    const char* summary;
    int (*run)(const GlobalOptions& options, const std::vector<std::string>& args);
};

// The table every subcommand is registered in (Commands.cpp).
const std::vector<Command>& Commands();

// Writes "postwarden: <message>" to standard error.
void PrintError(const std::string& message);

// The recipient arguments of a sendmail command line: every argument that is
// not an option or an option's value, and everything after "--"; a
// comma-separated list in one argument gives each of its addresses.
std::vector<std::string> EnvelopeRecipients(const std::vector<std::string>& sendmailArgs);

int RunForms(const GlobalOptions& options, const std::vector<std::string>& args);
int RunCheck(const GlobalOptions& options, const std::vector<std::string>& args);
int RunSendmail(const GlobalOptions& options, const std::vector<std::string>& args);
int RunLog(const GlobalOptions& options, const std::vector<std::string>& args);
int RunLast(const GlobalOptions& options, const std::vector<std::string>& args);
int RunDoctor(const GlobalOptions& options, const std::vector<std::string>& args);
int RunSettings(const GlobalOptions& options, const std::vector<std::string>& args);
int RunVersion(const GlobalOptions& options, const std::vector<std::string>& args);
int RunAudit(const GlobalOptions& options, const std::vector<std::string>& args);

}  // namespace postwarden::host
