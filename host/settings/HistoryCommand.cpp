#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/Options.h"
#include "host/settings/HistoryImport.h"
#include "platform/TerminalText.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"
#include "platform/history/RecipientHistory.h"
#include "util/AddressForm.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {

std::string UtcTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

int Import(const GlobalOptions& options, const std::vector<std::string>& sources) {
    if (const std::string error = MakeFolders(options.home); !error.empty()) {
        PrintError(error);
        return kExitFailure;
    }
    const HistoryImportReport report =
        ImportHistory(options.home + "/" + kHistoryFileName, sources, std::time(nullptr));
    for (const std::string& problem : report.problems) {
        PrintError("cannot read " + EscapeForTerminal(problem));
    }
    if (report.unreadableSources == sources.size()) {
        PrintError("nothing to import: no SOURCE could be read");
        return kExitFailure;
    }
    std::string summary = "Recorded " + std::to_string(report.recorded) + " of " +
                          Plural(report.messages, "message", "messages");
    if (report.already != 0 || report.noMailbox != 0) {
        summary += " (" + std::to_string(report.already) + " recorded before, " +
                   std::to_string(report.noMailbox) + " naming nobody in To, Cc or Bcc)";
    }
    std::printf("%s\n", summary.c_str());
    LogFile log(options.home + "/" + kLogFileName);
    FileEngineHelper(log).LogEvent("History import: " + summary, 0, "postwarden");
    return kExitOk;
}

int List(const GlobalOptions& options) {
    const std::string path = options.home + "/" + kHistoryFileName;
    // A home that never sent has no history, and looking must not make one.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        std::printf("# no sends recorded\n");
        return kExitOk;
    }
    RecipientHistory history(path);
    const std::vector<RecipientHistory::Entry> entries = history.List();
    std::printf("# %s to %s; ADDRESS, SENDS, FIRST, LAST (UTC)\n",
                Plural(static_cast<size_t>(history.Sends()), "send", "sends").c_str(),
                Plural(entries.size(), "address", "addresses").c_str());
    for (const RecipientHistory::Entry& entry : entries) {
        std::printf("%s\t%lld\t%s\t%s\n", EscapeForTerminal(entry.address).c_str(),
                    static_cast<long long>(entry.uses), UtcTime(entry.firstUse).c_str(),
                    UtcTime(entry.lastUse).c_str());
    }
    return kExitOk;
}

int Forget(const GlobalOptions& options, const std::string& address) {
    const std::string key = HistoryAddress(address);
    if (key.empty()) {
        PrintError(EscapeForTerminal(address) + " is no address (see postwarden history --help)");
        return kExitUsage;
    }
    const std::string path = options.home + "/" + kHistoryFileName;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !RecipientHistory(path).Forget(key)) {
        PrintError(EscapeForTerminal(key) + " is not in the history");
        return kExitCancelled;
    }
    return kExitOk;
}

}  // namespace

// Whom the person has sent mail to, for a person and a script.
int RunHistory(const GlobalOptions& options, const std::vector<std::string>& args) {
    CommandLine cli("history",
                    "Whom mail was sent to, kept in HOME/history.db: every send that leaves\n"
                    "(a Yes, nothing to ask, approved by sending again) adds each recipient\n"
                    "address with its first and last use and the number of sends. Addresses\n"
                    "are kept in the form the domain rules compare, in lower case.");
    cli.require_subcommand(1);
    const auto action = [&cli](const char* name, const char* description) {
        CLI::App* sub = cli.add_subcommand(name, description);
        sub->positionals_at_end();
        return sub;
    };
    std::vector<std::string> sources;
    action("import",
           "records the recipients (To, Cc, Bcc) of every message of each\n"
           "SOURCE, as sent on its Date, so the history starts from the mail\n"
           "sent before: Maildir folders (cur/ and new/), mbox files and\n"
           "message files, read as audit reads them. A message whose\n"
           "Message-ID is recorded already is not counted again. Exit 3 when\n"
           "no SOURCE can be read")
        ->add_option("SOURCE", sources, "Maildir folders, mbox files, message files")
        ->required();
    action("list",
           "every address, by domain: ADDRESS, SENDS, FIRST and LAST use\n"
           "(UTC), separated by tabs, after one line beginning with #");
    std::string address;
    action("forget",
           "removes ADDRESS from the history, so it counts as new again; exit\n"
           "1 when the history does not hold it")
        ->add_option("ADDRESS", address, "the address, as written or in any case")
        ->required();
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    const std::string name = cli.get_subcommands().front()->get_name();
    try {
        if (name == "import") return Import(options, sources);
        if (name == "list") return List(options);
        return Forget(options, address);
    } catch (const RuntimeError& e) {
        PrintError(e.Description());
        return kExitFailure;
    }
}

}  // namespace postwarden::host
