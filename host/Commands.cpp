#include "host/Command.h"

namespace postwarden::host {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"forms", "draw the confirmation windows into PNG files", RunForms},
        {"log", "print the log", RunLog},
        {"settings", "list, get, set or unset the module's settings", RunSettings},
        {"version", "print the module's version", RunVersion},
    };
    return commands;
}

}  // namespace postwarden::host
