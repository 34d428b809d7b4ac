// postwarden-thunderbird-host: the program Thunderbird runs for the add-on.
//
// A program of its own rather than `postwarden` telling from its arguments
// that Thunderbird started it: Thunderbird passes only a manifest path and an
// add-on id, which would have to be told apart from a mistyped command line,
// and a separate name makes the manifest say plainly what it runs. It shares
// everything else with `postwarden` (home, settings, log, module, windows),
// and finds the module beside itself just as `postwarden` does.
#include <string>
#include <vector>

#include "host/thunderbird/ThunderbirdHost.h"

int main(int argc, char** argv) {
    return postwarden::host::RunNativeHost(std::vector<std::string>(argv + 1, argv + argc));
}
