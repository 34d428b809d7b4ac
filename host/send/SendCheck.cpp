#include "host/send/SendCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

#include "host/Home.h"
#include "host/ModuleLoader.h"
#include "host/send/ClientObjects.h"
#include "host/send/CountdownWindow.h"
#include "host/send/PromptRecorder.h"
#include "host/send/ResendApprovals.h"
#include "host/send/ResultRecorder.h"
#include "module/IModuleAPI.h"
#include "module/Rules.h"
#include "module/SettingKeys.h"
#include "platform/HugePages.h"
#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"
#include "platform/engine/EngineLibrary.h"
#include "platform/history/RecipientHistory.h"
#include "platform/mailstore/MimeLibrary.h"
#include "platform/mailstore/MimeMessage.h"
#include "platform/registry/Registry.h"
#include "platform/windows/ChooseWindowSystem.h"
#include "util/RuntimeError.h"

namespace postwarden::host {

namespace {

std::string JoinRules(const std::vector<std::string>& fired) {
    std::string text;
    for (size_t i = 0; i < fired.size(); ++i) {
        if (i > 0) text += i + 1 == fired.size() ? " and " : ", ";
        text += RuleInWords(fired[i]);
    }
    return text.empty() ? "a rule" : text;
}

std::string QuotedQuestions(const std::vector<std::string>& questions) {
    std::string text;
    for (const std::string& question : questions) {
        if (!text.empty()) text += "; ";
        text += "\"" + question + "\"";
    }
    return text;
}

std::string JoinEvidence(const std::vector<std::string>& evidence) {
    std::string text;
    for (const std::string& found : evidence) text += (text.empty() ? "" : "; ") + found;
    return text;
}

// Writes a record into the log as the engine's own report; a log that cannot
// be written is left at that (it has said so once already).
void LogRecord(Platform& platform, const std::string& what, int32_t level) {
    try {
        platform.NewEngineHelper()->LogEvent(what, level, "postwarden");
    } catch (const std::exception&) {
    }
}

std::string VerdictText(const CheckOutcome& outcome) {
    switch (outcome.verdict) {
        case SendVerdict::kNotAsked:
            return "not asked (nobody to ask)";
        case SendVerdict::kUnchecked:
            return "sent without a check (" + outcome.problem + ")";
        case SendVerdict::kNotInstalled:
            return "held: the check is not installed (" + outcome.problem + ")";
        default:
            return VerdictName(outcome.verdict);
    }
}

// The one record of a send: which message, how many recipients, what fired,
// and how it ended; then what the rules found.
std::string SendRecord(const CheckOutcome& outcome, std::string_view message,
                       const std::string& messageId) {
    return SendRecordText(VerdictText(outcome), outcome.fired, outcome.recipients, messageId,
                          mailstore::ParseSubject(message), {}, outcome.evidence);
}

std::string UtcTime(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// What `postwarden last` shows of a held send.
std::string RefusalReport(const CheckOutcome& outcome, std::string_view message, int64_t now) {
    std::string report = UtcTime(now) + ": not sent: " + DescribeRefusal(outcome) + "\n";
    report += "Message: \"" + mailstore::ParseSubject(message) + "\" " +
              mailstore::ParseHeaderValue(message, "Message-ID") + "\n";
    report += "Rules fired: " + JoinRules(outcome.fired) + "\n";
    if (outcome.verdict == SendVerdict::kNotAsked && outcome.approvalKept) {
        report += "To send it as it is, send the same message again before " +
                  UtcTime(now + kResendWindowSeconds) + " (within 10 minutes).\n";
    }
    return report;
}

// The send event of one message through a loaded module. Fills in what the
// module's answer and the prompts say; never throws.
void RunSend(ModuleLibrary& library, ResultRecorder& platform,
             const std::shared_ptr<MaildirStoreObject>& store, const CheckOptions& check,
             OutgoingMailItem& mailItem, CheckOutcome& outcome, bool& cancel, bool& ran) {
    std::unique_ptr<IModuleAPI> module;
    try {
        module = library.Create(platform);
        if (!module) {
            outcome.verdict = SendVerdict::kNotInstalled;
            outcome.problem = library.Path() + " did not make a module";
            return;
        }
        auto application = std::make_shared<MailClientApplication>(store);
        if (!check.clientVersion.empty()) application->SetVersion(check.clientVersion);
        application->SetExplorersCount(1);
        std::shared_ptr<Engine> engine = std::make_shared<HostEngine>(application);
        module->YSStartup(engine);
        try {
            module->YSExplorerOpen(nullptr);
        } catch (const RuntimeError& e) {
            LogRecord(platform, "YSExplorerOpen failed: " + e.Description(), 1);
        }
        std::shared_ptr<OutlookItem> item(std::shared_ptr<OutlookItem>{}, &mailItem);
        int32_t selector = kSelectorItemSend;
        std::string folderEntryId, folderStoreId;
        module->YSItemEvent(selector, item, cancel, folderEntryId, folderStoreId);
        ran = true;
    } catch (const std::exception& e) {
        outcome.problem = e.what();
    }
    // Whatever happens from here on, what the person answered stands.
    try {
        mailItem.RemoveDraft();
    } catch (const std::exception& e) {
        if (outcome.problem.empty())
            outcome.problem = "the draft copy stays: " + std::string(e.what());
    }
    try {
        if (module) module->YSShutdown();
    } catch (const std::exception&) {
    }
}

}  // namespace

const char* VerdictName(SendVerdict verdict) {
    switch (verdict) {
        case SendVerdict::kNothingAsked:
            return "nothing to ask";
        case SendVerdict::kYes:
            return "yes";
        case SendVerdict::kNo:
            return "no";
        case SendVerdict::kClosed:
            return "closed";
        case SendVerdict::kNotAsked:
            return "not asked";
        case SendVerdict::kApprovedByResend:
            return "approved by resend";
        case SendVerdict::kUnchecked:
            return "unchecked";
        case SendVerdict::kNotInstalled:
            return "not installed";
        case SendVerdict::kCancelled:
            return kCancelledInCountdown;
    }
    return "error";
}

void SettleVerdict(const std::vector<PromptRecord>& prompts, const SendResult& result, bool cancel,
                   bool ran, CheckOutcome& outcome) {
    outcome.fired = result.fired;
    outcome.recipients = result.recipients;
    for (const SendResult::Evidence& evidence : result.evidence) {
        outcome.evidence.push_back(evidence.text);
    }
    for (const PromptRecord& prompt : prompts) {
        for (const std::string& q : prompt.questions) outcome.asked.push_back(q);
    }
    for (const PromptRecord& prompt : prompts) {
        if (prompt.answer == "cmdNo" || prompt.answer == "close") {
            outcome.verdict = prompt.answer == "cmdNo" ? SendVerdict::kNo : SendVerdict::kClosed;
            outcome.refused = prompt.questions;
            return;
        }
    }
    if (cancel) {
        outcome.verdict = SendVerdict::kNo;
        return;
    }
    bool anyYes = false;
    for (const PromptRecord& prompt : prompts) {
        if (prompt.answer == "cmdYes") {
            anyYes = true;
        } else if (outcome.nobodyToAsk.empty()) {
            outcome.nobodyToAsk =
                prompt.unshown.empty() ? "the question ended without an answer" : prompt.unshown;
        }
    }
    if (!outcome.nobodyToAsk.empty()) {
        outcome.verdict = SendVerdict::kNotAsked;
        // A rule whose question could not be shown may have failed before
        // marking itself as fired.
        for (const std::string& rule : result.failedRules) {
            if (std::find(outcome.fired.begin(), outcome.fired.end(), rule) ==
                outcome.fired.end()) {
                outcome.fired.push_back(rule);
            }
        }
    } else if (!ran) {
        outcome.verdict = SendVerdict::kUnchecked;
    } else if (anyYes) {
        outcome.verdict = SendVerdict::kYes;
    } else if (!result.failure.empty()) {
        outcome.verdict = SendVerdict::kUnchecked;
        if (outcome.problem.empty()) outcome.problem = result.failure;
    }
}

namespace {

// A send held for nobody to ask goes when the same message was held so within
// the window, for no fewer rules than fire now; otherwise this hold is
// remembered for a resend. Any other send of the message (a Yes, a No, nothing
// to ask) ends an approval it had.
void ApplyResendApproval(LinuxPlatform& platform, const OutgoingMailItem& mailItem,
                         CheckOutcome& outcome, int64_t now) {
    const bool held = outcome.verdict == SendVerdict::kNotAsked;
    try {
        ResendApprovals approvals(platform.Settings(), kResendWindowSeconds);
        // Parsing the message again costs what the check did: only when there
        // is an approval it could end.
        if (!held && !approvals.AnyPending(now)) return;
        const std::string fingerprint = mailstore::MessageFingerprint(
            mailItem.DraftBytes(), [&mailItem] { mailItem.ReleasePages(); });
        if (!held) {
            approvals.Withdraw(fingerprint);
        } else if (approvals.Take(fingerprint, outcome.fired, now)) {
            outcome.verdict = SendVerdict::kApprovedByResend;
        } else {
            approvals.Offer(fingerprint, outcome.fired, now);
        }
    } catch (const std::exception& e) {
        if (!held) {
            LogRecord(platform, std::string("A resend approval could not be ended: ") + e.what(),
                      1);
            return;
        }
        outcome.approvalKept = false;
        if (outcome.problem.empty()) outcome.problem = e.what();
    }
}

// Adds the recipients of a send that left to the person's history. A history
// that cannot be written never holds the send: the failure is logged.
void RecordRecipients(LinuxPlatform& platform, const SendResult& result,
                      const std::string& messageId, int64_t now) {
    try {
        RecipientHistory* history = platform.History();
        if (history == nullptr || result.addresses.empty()) return;
        history->Record({{result.addresses, now, messageId}});
        history->Close();
    } catch (const std::exception& e) {
        LogRecord(platform,
                  std::string("The recipients could not be recorded in the history: ") + e.what(),
                  1);
    }
}

// The last moment to take back a send that may go: the countdown the person
// asked for, where a window or a terminal can show it. A delay that cannot be
// read is no delay; a countdown nobody can be shown is none either.
void CountDown(LinuxPlatform& platform, WindowSystem& windows, CheckOutcome& outcome) {
    int seconds = 0;
    try {
        const std::optional<Registry::Value> stored = platform.Settings().ReadValue(
            kHiveCurrentUser, SettingsKeyPath(kSettingsAppName, kSettingsSection),
            keys::kSendDelaySeconds);
        seconds =
            SendDelayFrom(stored ? std::optional<std::string>(stored->AsText()) : std::nullopt);
        // The countdown may wait up to a minute: the registry is not held meanwhile.
        platform.Settings().Close();
    } catch (const std::exception& e) {
        LogRecord(platform, std::string("The send delay could not be read: ") + e.what(), 1);
        return;
    }
    if (seconds == 0) return;
    const CountdownResult result = ShowCountdown(windows, seconds);
    if (!result.Sends()) outcome.verdict = SendVerdict::kCancelled;
}

}  // namespace

std::string SendRecordText(const std::string& verdict, const std::vector<std::string>& fired,
                           int recipients, const std::string& messageId, const std::string& subject,
                           const std::vector<std::pair<std::string, std::string>>& more,
                           const std::vector<std::string>& evidence) {
    std::string record = "Send: " + verdict + "; rules fired: ";
    for (size_t i = 0; i < fired.size(); ++i) record += (i > 0 ? ", " : "") + fired[i];
    if (fired.empty()) record += "none";
    record +=
        "; recipients: " + (recipients < 0 ? std::string("unknown") : std::to_string(recipients));
    record += "; Message-ID: " + messageId;
    record += "; Subject: " + subject;
    for (const auto& [name, value] : more) record += "; " + name + ": " + value;
    // Last, so that the fields before it read as they always have.
    if (!evidence.empty()) record += "; evidence: " + JoinEvidence(evidence);
    return record;
}

std::string RuleInWords(const std::string& tracedName) {
    const Rule* rule = FindRule(tracedName);
    return rule != nullptr ? rule->words : tracedName;
}

std::string DescribeRefusal(const CheckOutcome& outcome) {
    std::string text;
    switch (outcome.verdict) {
        case SendVerdict::kNo:
            text = outcome.refused.empty() ? "answered No"
                                           : "No to " + QuotedQuestions(outcome.refused);
            break;
        case SendVerdict::kClosed:
            text = "the prompt was closed";
            break;
        case SendVerdict::kNotAsked: {
            // The window system's reason may already say "nobody can be asked".
            std::string why = outcome.nobodyToAsk;
            constexpr std::string_view kSaid = "nobody can be asked: ";
            if (why.starts_with(kSaid)) why.erase(0, kSaid.size());
            text = "nobody could be asked about " + JoinRules(outcome.fired) + " (" + why + ")";
            text += outcome.approvalKept
                        ? "; sending the same message again within 10 minutes sends it"
                        : "; it cannot be approved by sending it again (" + outcome.problem +
                              "): send it where a question can be shown, or with --answers";
            break;
        }
        case SendVerdict::kNotInstalled:
            text = "the check is not installed properly: " + outcome.problem;
            break;
        case SendVerdict::kCancelled:
            text = kCancelledInCountdown;
            break;
        default:
            break;
    }
    // After the reason, whose beginning scripts look for.
    if (!text.empty() && !outcome.evidence.empty()) {
        text += "; why: " + JoinEvidence(outcome.evidence);
    }
    return EscapeForTerminal(text);
}

bool ReadAllStdin(std::string& bytes, std::string& error, size_t spare) {
    // A file (as mutt gives) is read into a string of its size, never moved.
    struct stat info {};
    if (::fstat(0, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const off_t at = ::lseek(0, 0, SEEK_CUR);
        if (at >= 0 && at <= info.st_size) {
            bytes.reserve(static_cast<size_t>(info.st_size - at) + spare);
            AdviseHugePages(bytes.data(), bytes.capacity());
        }
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot read the message: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

CheckOutcome CheckMessage(const GlobalOptions& options, const CheckOptions& check,
                          std::string& message, bool& usable, KeptMessage* kept) {
    CheckOutcome outcome;
    usable = true;

    std::unique_ptr<WindowSystem> windows;
    try {
        const char* fromEnvironment = std::getenv("POSTWARDEN_ANSWERS");
        windows = ChooseWindowSystem(!check.answers.empty() ? check.answers
                                     : fromEnvironment      ? fromEnvironment
                                                            : "");
    } catch (const std::invalid_argument& e) {
        usable = false;
        outcome.problem = e.what();
        return outcome;
    }
    auto recorderOwner = std::make_unique<PromptRecorder>(std::move(windows));
    PromptRecorder& recorder = *recorderOwner;

    // The home folder and its own mail store are ours to create; a store named
    // with --mail-store is the user's and is used only as it is.
    std::string error = MakeFolders(options.home);
    if (error.empty() && options.mailStore == options.home + "/" + kMailFolderName) {
        error = MakeFolders(options.mailStore);
    }
    if (!error.empty()) outcome.problem = error;
    LinuxPlatform platform({options.home + "/" + kLogFileName,
                            options.home + "/" + kRegistryFileName, options.mailStore},
                           std::move(recorderOwner));
    platform.KeepHistoryIn(options.home + "/" + kHistoryFileName);
    // A question may wait for minutes; the registry is opened afresh after it.
    recorder.BeforeEachWait([&platform] { platform.Settings().Close(); });
    const int64_t now = static_cast<int64_t>(std::time(nullptr));

    ModuleLibrary library(options.modulePath);
    ResultRecorder observed(platform);
    // The client's open store, to which the item lends its draft: the module
    // reads the message from these very bytes.
    const auto store = std::make_shared<MaildirStoreObject>(options.mailStore);
    OutgoingMailItem mailItem(store, message, check.envelopeRecipients);
    if (message.size() >= kKeepOnDiskFrom) {
        // Where the home is in memory, or the file cannot be made, the message
        // stays where it is: it costs memory, never the send.
        std::string inMemory;
        mailItem.KeepOnDisk(options.home, inMemory);
    }
    bool cancel = false;
    bool ran = false;
    // Without its MIME library the command cannot read what it is to check.
    const std::string unreadable = mailstore::MimeUnavailable();
    if (!library.Loaded()) {
        outcome.verdict = SendVerdict::kNotInstalled;
        outcome.problem = library.Error() +
                          "; install it beside postwarden or in ../lib/postwarden/ from it, or "
                          "name it with --module PATH";
    } else if (!unreadable.empty()) {
        outcome.verdict = SendVerdict::kNotInstalled;
        outcome.problem = unreadable + "; install it beside postwarden or in ../lib/postwarden/";
    } else {
        RunSend(library, observed, store, check, mailItem, outcome, cancel, ran);
        // What the module traced is in the file before the host goes on to
        // wait for the registry or hand the message over.
        platform.FlushLog();
    }
    if (outcome.verdict != SendVerdict::kNotInstalled) {
        SettleVerdict(recorder.Prompts(), observed.Result(), cancel, ran, outcome);
        // Without its home the check could not read its rules.
        if (outcome.verdict == SendVerdict::kNothingAsked && !error.empty()) {
            outcome.verdict = SendVerdict::kUnchecked;
        }
        ApplyResendApproval(platform, mailItem, outcome, now);
        // The questions are settled: the countdown is not one of them.
        if (outcome.MayGo()) CountDown(platform, recorder.target(), outcome);
    }
    const std::string messageId = mailstore::ParseHeaderValue(mailItem.Message(), "Message-ID");
    LogRecord(platform, SendRecord(outcome, mailItem.Message(), messageId),
              outcome.verdict == SendVerdict::kNotInstalled);
    if (!outcome.MayGo()) {
        try {
            ResendApprovals(platform.Settings(), kResendWindowSeconds)
                .SaveLastRefusal(RefusalReport(outcome, mailItem.Message(), now));
        } catch (const std::exception&) {
        }
    }
    if (kept != nullptr) kept->copy = mailItem.TakeDiskCopy(kept->from);
    std::string lost;
    if (!mailItem.GiveBack(lost)) {
        // Nothing may be sent from what could not be read back whole.
        usable = false;
        outcome.problem = lost;
        LogRecord(platform, "The message was not handed on: " + lost, 1);
    } else if (outcome.MayGo()) {
        RecordRecipients(platform, observed.Result(), messageId, now);
    }
    return outcome;
}

}  // namespace postwarden::host
