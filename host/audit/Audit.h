#pragma once

// host/audit/: the stored rules run over past mail, nobody asked, nothing stored.
//   Audit.h/.cpp           the run: workers, one module object each, and what they found
//   AuditPlatform.h/.cpp   what a worker's module is handed: settings in memory, the
//                          message being looked at, windows that answer Yes unseen
//   AuditSources.h/.cpp    Maildir folders, mbox files and message files as messages
//   AuditCommand.cpp       `postwarden audit`: options, the report, the log's record

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host/audit/AuditSources.h"

namespace postwarden::host {

// What one rule found in a message, as its evidence line gives it; empty for
// the rules that find nothing more than that they fired.
struct RuleFinding {
    std::string rule;  // as the send traces it: "Outside Domains", "Keywords", ...
    std::string evidence;
};

// A message that would have been stopped: one of the reported rules fired.
struct StoppedMessage {
    std::string message;  // AuditMessage::name
    std::string date;     // the Date field as written; empty when it has none
    std::string subject;
    int recipients = 0;                 // as the send counted them
    int questions = 0;                  // the windows that would have asked the person
    std::vector<RuleFinding> findings;  // the reported rules that fired, in rule order
};

// A message that could not be looked at (malformed) or whose check failed part
// way (unchecked), and why.
struct MessageProblem {
    std::string message;
    std::string reason;
};

struct AuditReport {
    size_t messages = 0;                  // all messages of the sources, malformed ones included
    std::vector<StoppedMessage> stopped;  // in the order of the sources
    // Each reported rule, in rule order, and how many messages it stopped.
    std::vector<std::pair<std::string, size_t>> perRule;
    std::vector<MessageProblem> malformed;
    std::vector<MessageProblem> unchecked;
    std::vector<SourceProblem> unreadable;
    std::vector<SourceProblem> notRead;  // AuditSources::notRead
    // False when the store holds no settings of the module yet: every rule was
    // off, as at a first send without central settings.
    bool settingsStored = true;
};

struct AuditSetup {
    std::string modulePath;    // empty: the library beside the executable
    std::string registryPath;  // read, never written
    // The person's recipient history (history.db), which the rules that
    // compare with it read; only queried, and not made when missing.
    std::string historyPath;
    std::string mailStore;  // its distribution lists count as at a send
    // The rules to report, as the send traces them; a message that only the
    // others fire is not stopped.
    std::vector<std::string> rules;
    unsigned workers = 0;  // 0: one per core
};

// Every rule as the send traces it, in rule order.
const std::vector<std::string>& AuditRuleNames();

// The rules a person may leave out of --rules and still mean every rule that
// stops a message: all but the question before every send, which fires on
// every message.
std::vector<std::string> DefaultAuditRules();

// The traced name of the rule `name` means: a traced name ("Outside Domains"),
// or the name of its switch without "PromptFor" and "Wanted"
// ("NumberOfRecipients"), without regard to case, blanks, "-" and "_"
// ("outside-domains"). Empty when it names none.
std::string AuditRuleNamed(std::string_view name);

// Checks every message of `sources` with the rules stored in the registry, in
// `setup.workers` threads, each with its own module object from one loaded
// library. Returns kExitOk, or with `error` saying why kExitNotInstalled when
// the module cannot be loaded and kExitFailure when the settings cannot be
// read; a message that cannot be read or parsed, or whose check fails, is
// counted in the report and never stops the run.
int AuditMessages(const AuditSetup& setup, const AuditSources& sources, AuditReport& report,
                  std::string& error);

}  // namespace postwarden::host
