#include "host/Command.h"

namespace postwarden::host {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"check", "check one message; exit 0 to send, 1 when held", RunCheck},
        {"sendmail", "check, then hand the message to the real sendmail", RunSendmail},
        {"settings", "list, get, set, unset, import or export the module's settings", RunSettings},
        {"log", "print the log", RunLog},
        {"last", "why the last held send was held, and how to send it", RunLast},
        {"audit", "run the rules over past mail and say what they would have stopped", RunAudit},
        {"history", "import, list or forget whom mail was sent to", RunHistory},
        {"milter", "check every message a mail server is given (Postfix, Sendmail)", RunMilter},
        {"doctor", "check the set-up and say what is wrong", RunDoctor},
        {"thunderbird", "install or uninstall the Thunderbird add-on's host", RunThunderbird},
        {"forms", "draw the confirmation windows into PNG files", RunForms},
        {"version", "print the module's version", RunVersion},
    };
    return commands;
}

}  // namespace postwarden::host
