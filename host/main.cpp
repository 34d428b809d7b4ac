// postwarden: hosts the Post Warden module for a terminal mail client or a script.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "module/ModuleVersion.h"

namespace postwarden::host {

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: postwarden [--home DIR] [--mail-store DIR] [--module PATH] COMMAND "
                 "[ARGS...]\n"
                 "\n"
                 "Checks outgoing mail against the Post Warden rules before it is sent.\n"
                 "\n"
                 "Commands:\n");
    for (const Command& command : Commands()) {
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    }
    std::fprintf(out,
                 "\n"
                 "Options:\n"
                 "  --home DIR        home folder (registry.db, postwarden.log, mail/); default\n"
                 "                    $POSTWARDEN_HOME, else ${XDG_STATE_HOME:-~/.local/state}/"
                 "postwarden\n"
                 "  --mail-store DIR  the Maildir mail store (default HOME/mail)\n"
                 "  --module PATH     the module library (default: beside this program, else\n"
                 "                    ../lib/postwarden/ from it)\n"
                 "  --help            this help; COMMAND --help for a command's\n"
                 "  --version         the module's version\n");
}

// Takes "--name VALUE" or "--name=VALUE" at args[i]; advances i past it.
bool TakeOption(const std::vector<std::string>& args, size_t& i, const char* name,
                std::string& value, bool& error) {
    const std::string& arg = args[i];
    const size_t length = std::strlen(name);
    if (arg.compare(0, length, name) != 0) return false;
    if (arg.size() == length) {
        if (i + 1 >= args.size()) {
            PrintError(std::string(name) + " needs a value");
            error = true;
            return true;
        }
        value = args[++i];
    } else if (arg[length] == '=') {
        value = arg.substr(length + 1);
    } else {
        return false;
    }
    ++i;
    return true;
}

}  // namespace

void PrintError(const std::string& message) {
    std::fprintf(stderr, "postwarden: %s\n", message.c_str());
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") return false;
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

int Main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    GlobalOptions options;
    size_t i = 0;
    while (i < args.size()) {
        bool error = false;
        if (TakeOption(args, i, "--home", options.home, error) ||
            TakeOption(args, i, "--mail-store", options.mailStore, error) ||
            TakeOption(args, i, "--module", options.modulePath, error)) {
            if (error) return kExitUsage;
            continue;
        }
        break;
    }
    if (i == args.size()) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const std::string name = args[i];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintUsage(stdout);
        return kExitOk;
    }
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    if (name == "--version") return RunVersion(options, rest);
    if (!name.empty() && name[0] == '-') {
        PrintError("unknown option " + name + " (see postwarden --help)");
        return kExitUsage;
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
    PrintError("unknown command " + name + " (see postwarden --help)");
    return kExitUsage;
}

}  // namespace postwarden::host

int main(int argc, char** argv) {
    return postwarden::host::Main(argc, argv);
}
