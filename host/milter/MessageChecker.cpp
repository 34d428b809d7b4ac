#include "host/milter/MessageChecker.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

#include "host/Home.h"
#include "host/ModuleLoader.h"
#include "host/send/ClientObjects.h"
#include "host/send/ResultRecorder.h"
#include "host/send/SendCheck.h"
#include "module/IModuleAPI.h"
#include "platform/LinuxPlatform.h"
#include "platform/mailstore/MaildirMessage.h"
#include "platform/mailstore/MimeMessage.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden::host {

namespace {

// The message is delivered to the envelope's recipients, whatever its header
// says: they are the recipients the rules check. One the header names keeps
// its name and its kind (To, Cc); any other is a Bcc.
void UseEnvelopeRecipients(mailstore::MessageContent& content,
                           const std::vector<std::string>& recipients) {
    std::vector<mailstore::MessageRecipient> delivered;
    for (const std::string& address : recipients) {
        const std::string folded = AsciiLower(address);
        const auto named = std::find_if(
            content.recipients.begin(), content.recipients.end(),
            [&](const mailstore::MessageRecipient& r) { return AsciiLower(r.address) == folded; });
        const bool twice = std::any_of(
            delivered.begin(), delivered.end(),
            [&](const mailstore::MessageRecipient& r) { return AsciiLower(r.address) == folded; });
        if (twice) continue;
        if (named != content.recipients.end()) {
            delivered.push_back(*named);
        } else {
            delivered.push_back({address, address, 3});
        }
    }
    content.recipients = std::move(delivered);
    content.recipientsTruncated = false;
}

// "A", "A and B", "A, B and C", in the rules' words.
std::string RulesInWords(const std::vector<std::string>& fired) {
    std::string text;
    for (size_t i = 0; i < fired.size(); ++i) {
        if (i > 0) text += i + 1 == fired.size() ? " and " : ", ";
        text += RuleInWords(fired[i]);
    }
    return text.empty() ? "a rule" : text;
}

// Appends `text` to `line` in printable ASCII, '%' doubled, as long as the line
// stays within `limit`; false when it had to stop short.
bool AppendEscaped(std::string& line, std::string_view text, size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        std::string unit;
        if (byte == '%') {
            unit = "%%";
        } else if (byte == '\\') {
            unit = "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            unit = std::string(1, c);
        } else {
            unit = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        }
        if (line.size() + unit.size() > limit) return false;
        line += unit;
    }
    return true;
}

const char* OutcomeText(MilterOutcome outcome) {
    switch (outcome) {
        case MilterOutcome::kAccepted:
            return "accepted";
        case MilterOutcome::kRejected:
            return "rejected (nobody to ask)";
        case MilterOutcome::kApprovedByResend:
            return "approved by resend";
        case MilterOutcome::kUnchecked:
            return "accepted without a check";
    }
    return "accepted";
}

}  // namespace

std::string ApprovalOwner(const Envelope& envelope) {
    return AsciiLower(envelope.authUser.empty() ? envelope.sender : envelope.authUser);
}

std::string RefusalLine(const std::vector<std::string>& fired,
                        const std::vector<std::string>& evidence, bool approvable) {
    constexpr std::string_view kStart = "Postwarden: not sent: ";
    const std::string_view kEnd = approvable ? kResendHint : kNoResendHint;
    constexpr std::string_view kCut = "...";
    const size_t room = kMaxReplyText - kEnd.size() - kCut.size();
    std::string line(kStart);
    bool whole = AppendEscaped(line, RulesInWords(fired), room);
    std::string found;
    for (const std::string& text : evidence) found += (found.empty() ? "" : "; ") + text;
    if (whole && !found.empty()) {
        whole = AppendEscaped(line, " (", room) && AppendEscaped(line, found, room) &&
                AppendEscaped(line, ")", room);
    }
    if (!whole) line += kCut;
    line += kEnd;
    return line;
}

std::string MilterRecord(const MilterVerdict& verdict, const Envelope& envelope,
                         std::string_view message) {
    std::string outcome = OutcomeText(verdict.outcome);
    if (verdict.outcome == MilterOutcome::kUnchecked) {
        if (verdict.tempfail) outcome = "deferred without a check";
        outcome += " (" + verdict.problem + ")";
    }
    std::vector<std::pair<std::string, std::string>> session = {
        {"SMTP sender", envelope.sender.empty() ? "<>" : envelope.sender},
        {"authenticated user", envelope.authUser.empty() ? "none" : envelope.authUser},
        {"queue ID", envelope.queueId.empty() ? "unknown" : envelope.queueId}};
    // What failed beside a check that ran (an approval not kept).
    if (verdict.outcome != MilterOutcome::kUnchecked && !verdict.problem.empty()) {
        session.emplace_back("problem", verdict.problem);
    }
    return SendRecordText(outcome, verdict.fired, static_cast<int>(envelope.recipients.size()),
                          mailstore::ParseHeaderValue(message, "Message-ID"),
                          mailstore::ParseSubject(message), session, verdict.evidence);
}

// One module object with the platform it is handed, used by one thread at a
// time; made anew when the settings change.
class MessageChecker::Worker {
  public:
    Worker(ModuleLibrary& library, const MilterSetup& setup)
        : library_(library),
          base_({setup.home + "/" + kLogFileName, setup.home + "/" + kRegistryFileName,
                 setup.mailStore},
                std::make_unique<AnsweringWindows>()),
          windows_(static_cast<AnsweringWindows&>(base_.ChosenWindows())),
          store_(std::make_shared<mailstore::MaildirStore>(setup.mailStore)),
          mailStore_(setup.mailStore),
          approvals_(setup.approvals()) {}
    ~Worker() { Stop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    uint64_t Generation() const { return generation_; }

    // A module object for `settings`, started as a mail client starts it.
    void Start(const SettingsCopy& settings, uint64_t generation) {
        Stop();
        platform_ = std::make_unique<AuditPlatform>(base_, settings, store_);
        observer_ = std::make_unique<ResultRecorder>(*platform_);
        module_ = library_.Create(*observer_);
        if (!module_) throw RuntimeError(0, library_.Path() + " did not make a module");
        auto application = std::make_shared<MailClientApplication>(mailStore_);
        application->SetExplorersCount(1);
        StartAsMailClient(*module_, std::move(application));
        generation_ = generation;
    }

    void Check(const Envelope& envelope, std::string_view message, int64_t now,
               MilterVerdict& verdict) {
        auto content =
            std::make_shared<mailstore::MessageContent>(mailstore::ParseMessage(message));
        UseEnvelopeRecipients(*content, envelope.recipients);
        const std::string subject = content->subject;
        platform_->SetMessage(kEntryId, std::move(content));
        observer_->Reset();
        windows_.Reset();
        std::shared_ptr<OutlookItem> item = std::make_shared<AuditedItem>(kEntryId, subject);
        int32_t selector = kSelectorItemSend;
        bool cancel = false;
        std::string folderEntryId, folderStoreId;
        module_->YSItemEvent(selector, item, cancel, folderEntryId, folderStoreId);
        const SendResult& result = observer_->Result();
        // A check that failed and asked nothing is no check; but a question
        // a send would have asked is one nobody can answer here, and a rule
        // that failed beside it does not answer it.
        if (windows_.Asked() == 0) {
            if (!result.failure.empty()) throw RuntimeError(0, result.failure);
            return;
        }
        verdict.fired = result.fired;
        for (const SendResult::Evidence& evidence : result.evidence) {
            verdict.evidence.push_back(evidence.text);
        }
        verdict.problem = result.failure;
        const std::string key =
            mailstore::MessageFingerprint(message) + " " + ApprovalOwner(envelope);
        bool approved = false;
        try {
            approved = approvals_->Take(key, verdict.fired, now);
        } catch (const std::exception& e) {
            if (verdict.problem.empty()) {
                verdict.problem = std::string("the approvals could not be read: ") + e.what();
            }
        }
        if (approved) {
            verdict.outcome = MilterOutcome::kApprovedByResend;
            return;
        }
        verdict.outcome = MilterOutcome::kRejected;
        // A refusal stands whatever becomes of its approval; only its line
        // must not promise a resend that cannot go.
        bool kept = true;
        try {
            approvals_->Offer(key, verdict.fired, now);
        } catch (const std::exception& e) {
            kept = false;
            // The first failure says most: usually the store itself is away.
            if (verdict.problem.empty()) {
                verdict.problem = std::string("the approval could not be kept: ") + e.what();
            }
        }
        verdict.reply = RefusalLine(verdict.fired, verdict.evidence, kept);
    }

    void Log(const std::string& record, int level) {
        try {
            base_.NewEngineHelper()->LogEvent(record, level, "postwarden");
            base_.FlushLog();
        } catch (const std::exception&) {
        }
    }

  private:
    static constexpr const char* kEntryId = "milter-message";

    void Stop() {
        try {
            if (module_) module_->YSShutdown();
        } catch (const std::exception&) {
        }
        module_.reset();
        observer_.reset();
        platform_.reset();
    }

    ModuleLibrary& library_;
    LinuxPlatform base_;  // the log; the registry for the keys the module reads itself
    AnsweringWindows& windows_;
    std::shared_ptr<mailstore::MaildirStore> store_;
    std::string mailStore_;
    std::unique_ptr<MilterApprovals> approvals_;
    std::unique_ptr<AuditPlatform> platform_;
    std::unique_ptr<ResultRecorder> observer_;
    std::unique_ptr<IModuleAPI> module_;  // made with observer_, so ended before it
    uint64_t generation_ = 0;
};

MessageChecker::MessageChecker(ModuleLibrary& library, MilterSetup setup)
    : library_(library), setup_(std::move(setup)) {
    if (setup_.workers == 0) setup_.workers = std::max(1u, std::thread::hardware_concurrency());
    if (!setup_.approvals) {
        const std::string registry = setup_.home + "/" + kRegistryFileName;
        setup_.approvals = [registry] { return LocalApprovals(registry); };
    }
    settings_ = std::make_shared<const SettingsCopy>();
}

MessageChecker::~MessageChecker() = default;

bool MessageChecker::ReloadSettings(std::string& error) {
    try {
        bool stored = false;
        auto settings = std::make_shared<const SettingsCopy>(
            StoredSettings(setup_.home + "/" + kRegistryFileName, stored));
        std::lock_guard lock(mutex_);
        settings_ = std::move(settings);
        ++generation_;
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

std::unique_ptr<MessageChecker::Worker> MessageChecker::Acquire() {
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [this] { return !idle_.empty() || made_ < setup_.workers; });
    std::unique_ptr<Worker> worker;
    if (!idle_.empty()) {
        worker = std::move(idle_.back());
        idle_.pop_back();
    } else {
        ++made_;
    }
    const uint64_t generation = generation_;
    const std::shared_ptr<const SettingsCopy> settings = settings_;
    lock.unlock();
    try {
        if (!worker) worker = std::make_unique<Worker>(library_, setup_);
        if (worker->Generation() != generation) worker->Start(*settings, generation);
    } catch (...) {
        // The place stays free for the next message to try again.
        lock.lock();
        --made_;
        freed_.notify_one();
        throw;
    }
    return worker;
}

void MessageChecker::Release(std::unique_ptr<Worker> worker) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(worker));
    freed_.notify_one();
}

MilterVerdict MessageChecker::Check(const Envelope& envelope, std::string_view message,
                                    int64_t now) {
    MilterVerdict verdict;
    std::unique_ptr<Worker> worker;
    try {
        worker = Acquire();
        worker->Check(envelope, message, now, verdict);
    } catch (const RuntimeError& e) {
        verdict.outcome = MilterOutcome::kUnchecked;
        verdict.problem = e.Description();
    } catch (const std::exception& e) {
        verdict.outcome = MilterOutcome::kUnchecked;
        verdict.problem = e.what();
    }
    if (verdict.outcome == MilterOutcome::kUnchecked) {
        verdict.reply.clear();
        verdict.tempfail = setup_.tempfailOnFailure;
    }
    const std::string record = MilterRecord(verdict, envelope, message);
    if (worker) {
        worker->Log(record, verdict.outcome == MilterOutcome::kUnchecked);
        Release(std::move(worker));
    } else {
        Log(record, 1);
    }
    return verdict;
}

void MessageChecker::Log(const std::string& record, int level) {
    // Rare (start, refresh, a worker that could not be made): a platform of its own.
    LinuxPlatform platform({setup_.home + "/" + kLogFileName, "", setup_.mailStore},
                           std::make_unique<AnsweringWindows>());
    try {
        platform.NewEngineHelper()->LogEvent(record, level, "postwarden");
        platform.FlushLog();
    } catch (const std::exception&) {
    }
}

}  // namespace postwarden::host
