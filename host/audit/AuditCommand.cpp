#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host/Command.h"
#include "host/Home.h"
#include "host/Options.h"
#include "host/audit/Audit.h"
#include "host/audit/AuditSources.h"
#include "module/Rules.h"
#include "platform/TerminalText.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/engine/LogFile.h"

namespace postwarden::host {

namespace {

constexpr const char* kDescription =
    "Runs the stored rules over past mail without asking anyone, and says which\n"
    "messages would have been stopped and why. SOURCE is a Maildir folder (its cur/\n"
    "and new/), an mbox file (mboxrd quoting), or a file holding one message; what\n"
    "holds no message (a named pipe, a device, a link loop) is named, never opened.\n"
    "Nothing is stored and no central settings are fetched; the log gets one\n"
    "summary record. Exit status: 0 the audit ran, whatever it found; 2 usage\n"
    "error; 3 no SOURCE could be read; 69 the check is not installed properly.";

// --rules' help, naming every rule: words filled into lines of at most 70
// characters, a rule's name never broken.
std::string RulesHelp() {
    constexpr char kKeptBlank = '\x01';
    std::string names, left;
    for (const Rule& rule : kRules) {
        std::string name = rule.name;
        std::replace(name.begin(), name.end(), ' ', kKeptBlank);
        names += std::string(names.empty() ? "(" : ", ") + "\"" + name + "\"";
        if (!rule.audited) left += std::string(left.empty() ? "" : ", ") + name;
    }
    const std::string text =
        "the rules to report, comma-separated, by the names the log gives them " + names +
        ") or their settings' (\"NumberOfRecipients\"), any case, blanks or dashes: "
        "outside-domains,keywords. Default: every rule but " +
        left + ", which asks before every send and so would stop every message";
    std::string filled = FillText(text, 70);
    std::replace(filled.begin(), filled.end(), kKeptBlank, ' ');
    return filled;
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
        parts.push_back(text.substr(start, comma - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The one line the log keeps of an audit.
std::string SummaryRecord(const AuditReport& report, size_t sources) {
    std::string record = "Audit: " + Plural(report.messages, "message", "messages") + " from " +
                         Plural(sources, "source", "sources") + ", " +
                         std::to_string(report.stopped.size()) + " would have been stopped, " +
                         std::to_string(report.malformed.size()) + " malformed, " +
                         std::to_string(report.unchecked.size()) + " not checked";
    if (!report.unreadable.empty()) {
        record += ", " + std::to_string(report.unreadable.size()) + " unreadable sources";
    }
    if (!report.notRead.empty()) {
        record += ", " + std::to_string(report.notRead.size()) + " files not read";
    }
    record += ";";
    for (size_t i = 0; i < report.perRule.size(); ++i) {
        record += (i > 0 ? ", " : " ") + report.perRule[i].first + ": " +
                  std::to_string(report.perRule[i].second);
    }
    return record;
}

void PrintText(const AuditReport& report) {
    const auto line = [](const std::string& text) {
        std::printf("%s\n", EscapeForTerminal(text).c_str());
    };
    for (const StoppedMessage& message : report.stopped) {
        line(message.message);
        line("  Date: " + (message.date.empty() ? std::string("(none)") : message.date));
        line("  Subject: " + message.subject);
        line("  Recipients: " + std::to_string(message.recipients));
        for (const RuleFinding& finding : message.findings) {
            line("  " + finding.rule + (finding.evidence.empty() ? "" : ": " + finding.evidence));
        }
        std::printf("\n");
    }
    line("Audited " + Plural(report.messages, "message", "messages") + ": " +
         std::to_string(report.stopped.size()) + " would have been stopped.");
    std::printf("  %-26s %8s\n", "Rule", "Messages");
    for (const auto& [rule, count] : report.perRule) {
        std::printf("  %-26s %8zu\n", rule.c_str(), count);
    }
    using Problems = std::vector<std::pair<std::string, std::string>>;
    const auto problems = [&line](const char* heading, const Problems& list) {
        if (list.empty()) return;
        line(std::string(heading) + " (" + std::to_string(list.size()) + "):");
        for (const auto& [what, why] : list) line("  " + what + ": " + why);
    };
    const auto named = [](const std::vector<MessageProblem>& list) {
        Problems out;
        for (const MessageProblem& p : list) out.emplace_back(p.message, p.reason);
        return out;
    };
    const auto files = [](const std::vector<SourceProblem>& list) {
        Problems out;
        for (const SourceProblem& p : list) out.emplace_back(p.source, p.reason);
        return out;
    };
    problems("Malformed, not checked", named(report.malformed));
    problems("Check failed part way", named(report.unchecked));
    problems("Unreadable sources", files(report.unreadable));
    problems("Files not read, no messages", files(report.notRead));
}

void PrintJson(const AuditReport& report) {
    using nlohmann::json;
    json stopped = json::array();
    for (const StoppedMessage& message : report.stopped) {
        json rules = json::array();
        for (const RuleFinding& finding : message.findings) {
            rules.push_back({{"rule", finding.rule}, {"evidence", finding.evidence}});
        }
        stopped.push_back({{"message", message.message},
                           {"date", message.date},
                           {"subject", message.subject},
                           {"recipients", message.recipients},
                           {"questions", message.questions},
                           {"rules", rules}});
    }
    json perRule = json::object();
    for (const auto& [rule, count] : report.perRule) perRule[rule] = count;
    const auto problems = [](const std::vector<MessageProblem>& list) {
        json out = json::array();
        for (const MessageProblem& p : list)
            out.push_back({{"message", p.message}, {"reason", p.reason}});
        return out;
    };
    const auto files = [](const std::vector<SourceProblem>& list, const char* what) {
        json out = json::array();
        for (const SourceProblem& p : list) out.push_back({{what, p.source}, {"reason", p.reason}});
        return out;
    };
    const json document = {
        {"stopped", stopped},
        {"summary",
         {{"messages", report.messages},
          {"stopped", report.stopped.size()},
          {"rules", perRule},
          {"malformed", report.malformed.size()},
          {"unchecked", report.unchecked.size()},
          {"notRead", report.notRead.size()},
          {"settingsStored", report.settingsStored}}},
        {"malformed", problems(report.malformed)},
        {"unchecked", problems(report.unchecked)},
        {"unreadable", files(report.unreadable, "source")},
        {"notRead", files(report.notRead, "file")},
    };
    // Names of files need not be UTF-8; what cannot be written as such is replaced.
    std::printf("%s\n", document.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

}  // namespace

int RunAudit(const GlobalOptions& options, const std::vector<std::string>& args) {
    CommandLine app("audit", kDescription);
    std::string rulesText;
    std::string format = "text";
    std::vector<std::string> sources;
    app.add_option("--rules", rulesText, RulesHelp())->type_name("LIST");
    app.add_option("--format", format, "text for people (default), json for programs")
        ->check(CLI::IsMember({"text", "json"}))
        ->type_name("text|json");
    app.add_option("SOURCE", sources, "Maildir folders, mbox files, message files")->required();
    if (const std::optional<int> status = app.Parse(args)) return *status;

    AuditSetup setup;
    setup.modulePath = options.modulePath;
    setup.registryPath = options.home + "/" + kRegistryFileName;
    setup.historyPath = options.home + "/" + kHistoryFileName;
    setup.mailStore = options.mailStore;
    if (rulesText.empty()) {
        setup.rules = DefaultAuditRules();
    } else {
        for (const std::string& name : SplitCommas(rulesText)) {
            const std::string rule = AuditRuleNamed(name);
            if (rule.empty()) {
                return app.UsageError("no rule is called \"" + name + "\"");
            }
            if (std::find(setup.rules.begin(), setup.rules.end(), rule) == setup.rules.end()) {
                setup.rules.push_back(rule);
            }
        }
    }

    const AuditSources found = ListSources(sources);
    for (const SourceProblem& problem : found.unreadable) {
        PrintError("cannot read " + problem.source + ": " + problem.reason);
    }
    if (found.unreadable.size() == sources.size()) {
        PrintError("nothing to audit: no SOURCE could be read");
        return kExitFailure;
    }
    AuditReport report;
    std::string error;
    if (const int status = AuditMessages(setup, found, report, error); status != kExitOk) {
        if (status == kExitNotInstalled) {
            error += "; install it beside postwarden, or name it with --module PATH";
        }
        PrintError(error);
        return status;
    }
    if (!report.settingsStored) {
        PrintError("no settings are stored in " + setup.registryPath +
                   " yet: every rule was off (a first send stores the defaults)");
    }
    if (format == "json") {
        PrintJson(report);
    } else {
        PrintText(report);
    }
    std::fflush(stdout);

    // The one trace an audit leaves.
    if (MakeFolders(options.home).empty()) {
        LogFile log(options.home + "/" + kLogFileName);
        FileEngineHelper(log).LogEvent(SummaryRecord(report, sources.size()), 0, "postwarden");
    }
    return kExitOk;
}

}  // namespace postwarden::host
