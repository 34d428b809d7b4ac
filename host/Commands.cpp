#include "host/Command.h"

namespace postwarden::host {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"log", "print the log", RunLog},
        {"version", "print the module's version", RunVersion},
    };
    return commands;
}

}  // namespace postwarden::host
