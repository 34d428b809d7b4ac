// postwarden: hosts the Post Warden module for a terminal mail client or a script.
#include <cstdio>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/Options.h"

namespace postwarden::host {

namespace {

// The commands and their summaries, for the foot of --help.
std::string CommandList() {
    std::string list = "Commands (COMMAND --help for a command's own help):\n";
    for (const Command& command : Commands()) {
        char line[200];
        std::snprintf(line, sizeof line, "  %-12s%s\n", command.name, command.summary);
        list += line;
    }
    return list;
}

}  // namespace

void PrintError(const std::string& message) {
    std::fprintf(stderr, "postwarden: %s\n", message.c_str());
}

int Main(int argc, char** argv) {
    GlobalOptions options;
    bool version = false;
    std::string name;
    std::vector<std::string> rest;
    CommandLine cli("", "Checks outgoing mail against the Post Warden rules before it is sent.");
    cli.add_option("--home", options.home,
                   "home folder (registry.db, postwarden.log, history.db, mail/);\n"
                   "default $POSTWARDEN_HOME, else ${XDG_STATE_HOME:-~/.local/state}/postwarden")
        ->type_name("DIR");
    cli.add_option("--mail-store", options.mailStore, "the Maildir mail store (default HOME/mail)")
        ->type_name("DIR");
    cli.add_option("--module", options.modulePath,
                   "the module library (default: beside this program, else in\n"
                   "../lib/postwarden/ from it)")
        ->type_name("PATH");
    cli.add_flag("--version", version, "the module's version");
    // The global options stand before the command; from its name on, every
    // argument is the command's, "--" and options of the same name too.
    cli.add_option("COMMAND", name, "the command to run");
    cli.add_option("ARGS", rest, "the command's arguments");
    cli.positionals_at_end();
    cli.footer(CommandList());
    if (const std::optional<int> status = cli.Parse({argv + 1, argv + argc})) return *status;

    if (version) {
        if (!name.empty()) rest.insert(rest.begin(), name);
        return RunVersion(options, rest);
    }
    if (name.empty()) return cli.UsageError("a command is needed");
    if (name == "help") {
        std::fputs(cli.help().c_str(), stdout);
        return kExitOk;
    }

    options.home = ResolveHome(options.home);
    if (options.home.empty()) {
        PrintError("no home folder: use --home DIR or set POSTWARDEN_HOME");
        return kExitUsage;
    }
    if (options.mailStore.empty()) options.mailStore = options.home + "/" + kMailFolderName;

    for (const Command& command : Commands()) {
        if (name == command.name) return command.run(options, rest);
    }
    return cli.UsageError("unknown command " + name);
}

}  // namespace postwarden::host

int main(int argc, char** argv) {
    return postwarden::host::Main(argc, argv);
}
