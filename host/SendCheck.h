#pragma once

#include <string>
#include <vector>

#include "host/Command.h"

namespace postwarden::host {

// What the person (or the script) wants for the prompts of one send.
struct CheckOptions {
    std::string answers;        // --answers: "yes,no,close"; empty for a real prompt
    std::string clientVersion;  // --client-version; empty for the default
};

// How one send through the module ended.
struct CheckOutcome {
    bool mayGo = true;             // false only when a prompt was answered No
    std::vector<std::string> asked;    // the questions shown, in order
    std::vector<std::string> refused;  // the questions of the prompt answered No
    std::string problem;           // something that failed on the way (the send still goes)
};

// Plays the mail client for one send of `message` (its raw bytes): loads the
// module, starts it, opens an explorer window, raises the send event and shuts
// the module down again. Never throws; whatever fails lets the send go ahead and
// is described in `problem`. Returns false in `usable` when the options
// themselves are wrong (then `problem` says why and nothing was run).
CheckOutcome CheckMessage(const GlobalOptions& options, const CheckOptions& check,
                          const std::string& message, bool& usable);

// The whole of standard input, byte for byte.
bool ReadAllStdin(std::string& bytes, std::string& error);

// "No to "<question>"; "<question>"", or that the prompt was closed.
std::string DescribeRefusal(const CheckOutcome& outcome);

}  // namespace postwarden::host
