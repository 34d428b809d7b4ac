#include "host/audit/Audit.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "host/Command.h"
#include "host/ModuleLoader.h"
#include "host/audit/AuditPlatform.h"
#include "host/send/ClientObjects.h"
#include "host/send/ResultRecorder.h"
#include "module/IModuleAPI.h"
#include "module/Rules.h"
#include "module/SettingKeys.h"
#include "platform/LinuxPlatform.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/mailstore/MimeLibrary.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/registry/Registry.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {

// What a worker's allocator may keep of the memory its messages give back.
constexpr int kKeptMemory = 64 << 20;

// Letters and digits only, in lower case: "Outside-Domains" -> "outsidedomains".
std::string Folded(std::string_view name) {
    std::string folded;
    for (const char c : name) {
        if (c >= 'A' && c <= 'Z') {
            folded += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            folded += c;
        } else if (c != ' ' && c != '-' && c != '_') {
            folded += '?';  // never part of a name
        }
    }
    return folded;
}

// Whether the message begins with a header field ("Name:"), as every message
// does, after any From_ lines a mail server drops; a file without one is no
// message, whatever text it holds.
bool StartsWithHeaderField(std::string_view bytes) {
    size_t at = mailstore::HeaderStart(bytes);
    const size_t start = at;
    while (at < bytes.size() && bytes[at] > ' ' && bytes[at] < 127 && bytes[at] != ':') ++at;
    while (at > start && at < bytes.size() && (bytes[at] == ' ' || bytes[at] == '\t')) ++at;
    return at > start && at < bytes.size() && bytes[at] == ':';
}

// What became of one message.
struct Outcome {
    enum class Kind { kPassed, kStopped, kMalformed, kUnchecked } kind = Kind::kPassed;
    StoppedMessage stopped;  // kStopped
    std::string reason;      // kMalformed, kUnchecked
};

// One worker: its own platform and module object, taking messages in turn.
class Worker {
  public:
    Worker(ModuleLibrary& library, const AuditSetup& setup, const SettingsCopy& settings)
        : base_({"", setup.registryPath, setup.mailStore}, std::make_unique<AnsweringWindows>()),
          windows_(static_cast<AnsweringWindows&>(base_.ChosenWindows())),
          audit_(base_, settings, std::make_shared<mailstore::MaildirStore>(setup.mailStore)),
          observer_(audit_),
          rules_(setup.rules),
          mailStore_(setup.mailStore) {
        // A home without a history has none made by an audit: it reads as empty.
        std::error_code error;
        if (!setup.historyPath.empty() && std::filesystem::exists(setup.historyPath, error)) {
            base_.KeepHistoryIn(setup.historyPath);
        }
        module_ = library.Create(observer_);
    }
    ~Worker() {
        try {
            if (module_ && started_) module_->YSShutdown();
        } catch (const std::exception&) {
        }
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Starts the module as a mail client does; false when it made no module.
    bool Start() {
        if (!module_) return false;
        auto application = std::make_shared<MailClientApplication>(mailStore_);
        application->SetExplorersCount(1);
        StartAsMailClient(*module_, std::move(application));
        started_ = true;
        return true;
    }

    Outcome Check(const AuditMessage& message, size_t index) {
        Outcome outcome;
        std::string bytes;
        std::shared_ptr<const mailstore::MessageContent> content;
        try {
            bytes = message.Bytes();
            if (!StartsWithHeaderField(bytes)) {
                throw RuntimeError(0, bytes.empty() ? "the file is empty" : "no header block");
            }
            content =
                std::make_shared<const mailstore::MessageContent>(mailstore::ParseMessage(bytes));
        } catch (const RuntimeError& e) {
            outcome.kind = Outcome::Kind::kMalformed;
            outcome.reason = e.Description();
            return outcome;
        }
        const std::string entryId = "audit-" + std::to_string(index);
        audit_.SetMessage(entryId, content);
        observer_.Reset();
        windows_.Reset();
        std::shared_ptr<OutlookItem> item =
            std::make_shared<AuditedItem>(entryId, content->subject);
        int32_t selector = kSelectorItemSend;
        bool cancel = false;
        std::string folderEntryId, folderStoreId;
        try {
            module_->YSItemEvent(selector, item, cancel, folderEntryId, folderStoreId);
        } catch (const std::exception& e) {
            outcome.kind = Outcome::Kind::kUnchecked;
            outcome.reason = e.what();
            return outcome;
        }
        const SendResult& result = observer_.Result();
        if (!result.failure.empty()) {
            outcome.kind = Outcome::Kind::kUnchecked;
            outcome.reason = result.failure;
            return outcome;
        }
        StoppedMessage& stopped = outcome.stopped;
        for (const std::string& rule : result.fired) {
            if (std::find(rules_.begin(), rules_.end(), rule) == rules_.end()) continue;
            RuleFinding finding{rule, {}};
            for (const SendResult::Evidence& evidence : result.evidence) {
                if (evidence.rule == rule) finding.evidence = evidence.text;
            }
            stopped.findings.push_back(std::move(finding));
        }
        if (stopped.findings.empty()) return outcome;
        outcome.kind = Outcome::Kind::kStopped;
        stopped.message = message.name;
        stopped.date = mailstore::ParseHeaderValue(bytes, "Date");
        stopped.subject = content->subject;
        stopped.questions = windows_.Asked();
        stopped.recipients = result.recipients >= 0 ? result.recipients
                                                    : static_cast<int>(content->recipients.size());
        return outcome;
    }

  private:
    LinuxPlatform base_;  // no log; the registry only for the keys the module reads itself
    AnsweringWindows& windows_;
    AuditPlatform audit_;
    ResultRecorder observer_;
    std::unique_ptr<IModuleAPI> module_;  // made with observer_, so destroyed before it
    const std::vector<std::string>& rules_;
    std::string mailStore_;
    bool started_ = false;
};

}  // namespace

const std::vector<std::string>& AuditRuleNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const Rule& rule : kRules) all.emplace_back(rule.name);
        return all;
    }();
    return names;
}

std::vector<std::string> DefaultAuditRules() {
    std::vector<std::string> rules;
    for (const Rule& rule : kRules) {
        if (rule.audited) rules.emplace_back(rule.name);
    }
    return rules;
}

std::string AuditRuleNamed(std::string_view name) {
    const std::string wanted = Folded(name);
    if (wanted.empty()) return {};
    for (const Rule& rule : kRules) {
        // Its switch without "PromptFor" and "Wanted" names it too.
        std::string_view key = rule.switchKey;
        key.remove_prefix(std::string_view("PromptFor").size());
        key.remove_suffix(std::string_view("Wanted").size());
        if (wanted == Folded(rule.name) || wanted == Folded(key)) return rule.name;
    }
    return {};
}

int AuditMessages(const AuditSetup& setup, const AuditSources& sources, AuditReport& report,
                  std::string& error) {
    report = AuditReport{};
    report.unreadable = sources.unreadable;
    report.notRead = sources.notRead;
    report.messages = sources.messages.size();
    ModuleLibrary library(setup.modulePath);
    if (!library.Loaded()) {
        error = library.Error();
        return kExitNotInstalled;
    }
    if (std::string unreadable = mailstore::MimeUnavailable(); !unreadable.empty()) {
        error = std::move(unreadable);
        return kExitNotInstalled;
    }
    SettingsCopy settings;
    try {
        settings = StoredSettings(setup.registryPath, report.settingsStored);
    } catch (const RuntimeError& e) {
        error = "cannot read the settings: " + e.Description();
        return kExitFailure;
    }

    // Each message takes a few hundred kilobytes of text, freed when the next
    // one starts: kept by the allocator instead of going back to the kernel
    // after every message, which cost more than the rules themselves.
    mallopt(M_TRIM_THRESHOLD, kKeptMemory);
    mallopt(M_MMAP_THRESHOLD, kKeptMemory);

    std::vector<Outcome> outcomes(sources.messages.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> noModule{false};
    const auto work = [&] {
        Worker worker(library, setup, settings);
        if (!worker.Start()) {
            noModule = true;
            return;
        }
        for (size_t i = next++; i < outcomes.size(); i = next++) {
            outcomes[i] = worker.Check(sources.messages[i], i);
        }
    };
    unsigned workers = setup.workers != 0 ? setup.workers : std::thread::hardware_concurrency();
    workers = std::max(1u, std::min<unsigned>(workers, std::max<size_t>(outcomes.size(), 1)));
    {
        std::vector<std::jthread> threads;
        for (unsigned i = 1; i < workers; ++i) threads.emplace_back(work);
        work();
    }
    if (noModule) {
        error = library.Path() + " did not make a module";
        return kExitNotInstalled;
    }

    for (const std::string& rule : setup.rules) report.perRule.emplace_back(rule, 0);
    for (size_t i = 0; i < outcomes.size(); ++i) {
        Outcome& outcome = outcomes[i];
        const std::string& name = sources.messages[i].name;
        switch (outcome.kind) {
            case Outcome::Kind::kPassed:
                break;
            case Outcome::Kind::kMalformed:
                report.malformed.push_back({name, std::move(outcome.reason)});
                break;
            case Outcome::Kind::kUnchecked:
                report.unchecked.push_back({name, std::move(outcome.reason)});
                break;
            case Outcome::Kind::kStopped:
                for (const RuleFinding& finding : outcome.stopped.findings) {
                    for (auto& [rule, count] : report.perRule) count += rule == finding.rule;
                }
                report.stopped.push_back(std::move(outcome.stopped));
                break;
        }
    }
    // The rules in rule order, whatever order they were asked for in.
    std::stable_sort(report.perRule.begin(), report.perRule.end(),
                     [](const auto& a, const auto& b) {
                         const auto& names = AuditRuleNames();
                         return std::find(names.begin(), names.end(), a.first) <
                                std::find(names.begin(), names.end(), b.first);
                     });
    return kExitOk;
}

}  // namespace postwarden::host
