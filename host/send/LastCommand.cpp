#include <cstdio>
#include <exception>

#include "host/Command.h"
#include "host/Home.h"
#include "host/Options.h"
#include "host/send/ResendApprovals.h"
#include "host/send/SendCheck.h"
#include "platform/TerminalText.h"
#include "platform/registry/Registry.h"

namespace postwarden::host {

// Prints why the last held send was held. A mail client that throws away what
// its sendmail program says (aerc) leaves its user this way to find out.
int RunLast(const GlobalOptions& options, const std::vector<std::string>& args) {
    CommandLine cli("last",
                    "Prints the last send that was held in this home: when, why (the questions\n"
                    "answered No, or the rules nobody could be asked about), and how to send it.\n"
                    "Exit status 0, or 1 when no send has been held.");
    if (const std::optional<int> status = cli.Parse(args)) return *status;
    try {
        Registry registry(options.home + "/" + kRegistryFileName);
        const std::optional<std::string> last =
            ResendApprovals(registry, kResendWindowSeconds).LastRefusal();
        if (!last) {
            std::printf("No send has been held.\n");
            return kExitCancelled;
        }
        // One line of the report at a time, each shown safely.
        size_t start = 0;
        while (start < last->size()) {
            size_t end = last->find('\n', start);
            if (end == std::string::npos) end = last->size();
            std::printf("%s\n", EscapeForTerminal(last->substr(start, end - start)).c_str());
            start = end + 1;
        }
        return kExitOk;
    } catch (const std::exception& e) {
        PrintError(std::string("cannot read the registry: ") + e.what());
        return kExitFailure;
    }
}

}  // namespace postwarden::host
