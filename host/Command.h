#pragma once

// host/ is the postwarden command: it loads the module and plays the mail
// client for one message at a time. What every command shares stands here; each
// subsystem has a folder of its own, whose main header lists its files.
//   Command.h, Commands.cpp, main.cpp  the command table, global options and
//                       dispatch; Options.h how each command reads its options
//   Home.h              the home folder and the names of the files in it
//   ModuleLoader.h, InstallLayout.h  where the module and its companions are
//                       found, built or installed; MimeOnDemand.cpp the MIME
//                       library loaded at the first message read
//   DoctorCommand.cpp, VersionCommand.cpp, LogCommand.cpp, FormsCommand.cpp
//                       the commands that need no folder of their own
//   send/               one send through the module, and the commands that make
//                       one: check, sendmail, last (send/SendCheck.h)
//   audit/              the audit: past mail through the rules (audit/Audit.h)
//   settings/           the settings command, a settings document in and out,
//                       the recipient history (settings/SettingsExport.h)
//   milter/             the check as a mail server's filter
//                       (milter/MessageChecker.h)
//   thunderbird/        the add-on's native-messaging host and its install
//                       (thunderbird/ThunderbirdHost.h)

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

// The subcommands, each in a file of its own (host/*Command.cpp, and the
// subsystem folders' *Command.cpp); the table in Commands.cpp lists them.
int RunCheck(const GlobalOptions& options, const std::vector<std::string>& args);
int RunSendmail(const GlobalOptions& options, const std::vector<std::string>& args);
int RunSettings(const GlobalOptions& options, const std::vector<std::string>& args);
int RunLog(const GlobalOptions& options, const std::vector<std::string>& args);
int RunLast(const GlobalOptions& options, const std::vector<std::string>& args);
int RunAudit(const GlobalOptions& options, const std::vector<std::string>& args);
// `postwarden history import SOURCE...`, `list` and `forget ADDRESS`: whom mail
// was sent to (host/settings/HistoryCommand.cpp).
int RunHistory(const GlobalOptions& options, const std::vector<std::string>& args);
// `postwarden milter --listen SOCKET`: the check as a mail server's filter
// (host/milter/MessageChecker.h).
int RunMilter(const GlobalOptions& options, const std::vector<std::string>& args);
int RunDoctor(const GlobalOptions& options, const std::vector<std::string>& args);
// `postwarden thunderbird install [--profile DIR] [--system]` and `uninstall`:
// the native-messaging manifest that lets the add-on start the host program
// beside this one, and the add-on itself in a Thunderbird profile.
int RunThunderbird(const GlobalOptions& options, const std::vector<std::string>& args);
int RunForms(const GlobalOptions& options, const std::vector<std::string>& args);
int RunVersion(const GlobalOptions& options, const std::vector<std::string>& args);

}  // namespace postwarden::host
