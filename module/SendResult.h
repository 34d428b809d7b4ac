#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace postwarden {

// How the check of one send went, handed to the host when the send driver
// ends (Platform::SendChecked), so that the host can say why a send was held
// and record it without reading the log. Rules are named as the log names them
// (Rule::name).
struct SendResult {
    // The recipients the check started from; -1 when it did not get that far.
    int32_t recipients = -1;
    // The address of each recipient the check read, as written, in the order
    // read: whom the message goes to, for the host's recipient history. Short
    // of the whole list when the check ended early.
    std::vector<std::string> addresses;
    // The rules that fired, in rule order; set where the driver traces them, so
    // empty when the check failed before its end.
    std::vector<std::string> fired;
    // What the rules found, one short text per rule that found something, in
    // rule order; a rule whose question could not be shown has some too.
    struct Evidence {
        std::string rule;
        std::string text;
    };
    std::vector<Evidence> evidence;
    // The rules that reported a failure of their own (an unconfigured list, a
    // question that could not be shown), each once.
    std::vector<std::string> failedRules;
    // The first failure the driver or a rule reported, as "source: message";
    // empty when the check ran to its end without one.
    std::string failure;
    // The answer of each question asked, in order: 6 Yes, 7 No, 0 not shown.
    std::vector<int32_t> answers;
};

}  // namespace postwarden
