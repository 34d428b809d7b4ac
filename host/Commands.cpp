#include "host/Command.h"

namespace postwarden::host {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"log", "print the log", RunLog},
        {"settings", "list, get, set or unset the module's settings", RunSettings},
        {"version", "print the module's version", RunVersion},
    };
    return commands;
}

}  // namespace postwarden::host
