#pragma once

// host/milter/: `postwarden milter`, the check on the mail server, where
// nobody can be asked: a message a rule flags is refused with one line saying
// why, and the same message sent again by the same sender within the resend
// window goes through once.
//   MessageChecker.h/.cpp   one message of an SMTP session through the rules:
//                           workers with a module object each, the verdict,
//                           the refusal line and the log's record
//   MilterApprovals.h/.cpp  the resend approvals: the home's registry, or a
//                           PostgreSQL database shared by several servers,
//                           which also holds their shared refresh state
//   MilterCommand.cpp       `postwarden milter`: options, libmilter's callbacks,
//                           the settings refresh and the signals

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/audit/AuditPlatform.h"
#include "host/milter/MilterApprovals.h"

namespace postwarden::host {

class ModuleLibrary;

// What the SMTP session said of one message besides its header and body.
struct Envelope {
    std::string sender;                   // MAIL FROM, without its angle brackets; empty for <>
    std::string authUser;                 // the SASL login ({auth_authen}); empty when none
    std::string queueId;                  // the mail server's queue ID; empty when unknown
    std::vector<std::string> recipients;  // every RCPT TO, without angle brackets
};

// Whom an approval belongs to: the SASL login when there is one, else the
// envelope sender, without regard to case.
std::string ApprovalOwner(const Envelope& envelope);

enum class MilterOutcome {
    kAccepted,          // nothing flagged it
    kRejected,          // a rule flagged it, nobody can be asked: 550 5.7.1
    kApprovedByResend,  // flagged, but sent again within the window: accepted
    kUnchecked,         // the check failed: accepted, or 451 4.7.1 with tempfail
};

// How the message ends, and what the mail server is told.
struct MilterVerdict {
    MilterOutcome outcome = MilterOutcome::kAccepted;
    bool tempfail = false;  // kUnchecked under --on-failure tempfail
    std::string reply;      // the reply's text for a refusal; empty otherwise
    std::string problem;    // kUnchecked: what failed; else what failed beside the check
    std::vector<std::string> fired;
    std::vector<std::string> evidence;
};

// The one line a refused message's sender is shown: "Postwarden: not sent:
// <the rules and what they found>; send the same message again within 10
// minutes to send it". Printable ASCII only (anything else is written \xHH),
// '%' doubled as libmilter wants it, and the evidence shortened with "..." so
// that the line keeps within an SMTP reply line (kMaxReplyText). When the
// approval could not be kept (`approvable` false) it ends with kNoResendHint.
std::string RefusalLine(const std::vector<std::string>& fired,
                        const std::vector<std::string>& evidence, bool approvable = true);
inline constexpr std::string_view kResendHint =
    "; send the same message again within 10 minutes to send it";
inline constexpr std::string_view kNoResendHint =
    "; it cannot be approved by sending it again now, ask the mail server's administrator";
inline constexpr size_t kMaxReplyText = 400;

// The log's record of the message: the send's record, with the verdict in the
// milter's words and the SMTP session's sender, login and queue ID.
std::string MilterRecord(const MilterVerdict& verdict, const Envelope& envelope,
                         std::string_view message);

struct MilterSetup {
    std::string home;       // the registry (settings, approvals) and the log
    std::string mailStore;  // its distribution lists count as at a send
    bool tempfailOnFailure = false;
    unsigned workers = 0;  // module objects at most; 0: one per core
    // Makes the approvals of one worker; they are used by one thread at a time.
    std::function<std::unique_ptr<MilterApprovals>()> approvals;
};

// Checks messages with the rules stored in the home's registry, in as many
// module objects as there are workers, each used by one thread at a time: a
// check waits for a free one. Settings are read from the store by
// ReloadSettings() only, never per message. Thread-safe.
class MessageChecker {
  public:
    // `library` must remain live while this checker is in use.
    MessageChecker(ModuleLibrary& library, MilterSetup setup);
    ~MessageChecker();
    MessageChecker(const MessageChecker&) = delete;
    MessageChecker& operator=(const MessageChecker&) = delete;

    // Reads the settings from the store anew; the workers take them up at
    // their next message. False, with `error` set, when the store cannot be
    // read: the settings already read stay.
    bool ReloadSettings(std::string& error);

    // Judges one message at `now` (seconds since the epoch) and writes its
    // record to the log. Never throws: a failure is kUnchecked.
    MilterVerdict Check(const Envelope& envelope, std::string_view message, int64_t now);

    // Writes a record to the home's log as the milter's own.
    void Log(const std::string& record, int level);

  private:
    class Worker;
    std::unique_ptr<Worker> Acquire();
    void Release(std::unique_ptr<Worker> worker);

    ModuleLibrary& library_;
    MilterSetup setup_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Worker>> idle_;
    unsigned made_ = 0;  // workers in existence, idle or busy
    std::shared_ptr<const SettingsCopy> settings_;
    uint64_t generation_ = 0;
};

}  // namespace postwarden::host
