#pragma once

// host/send/: one send through the module, and the commands that make one.
//   SendCheck.h/.cpp        one send: load, start, explorer window, send event,
//                           shut-down, the verdict and the log's record
//   CheckCommand.cpp        `postwarden check`: the message in a file or on stdin
//   SendmailCommand.cpp     `postwarden sendmail`: the check, then the real sendmail
//   LastCommand.cpp         `postwarden last`: why the last held send was held
//   ClientObjects.h/.cpp    the mail client's objects the module is handed
//   ResultRecorder.h        the platform that keeps the result the module hands back
//   PromptRecorder.h/.cpp   the windows that note what was asked and the answer
//   ResendApprovals.h/.cpp  a message held for nobody to ask, let through when
//                           sent again within the window

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Command.h"
#include "host/send/PromptRecorder.h"
#include "module/SendResult.h"
#include "platform/DiskCopy.h"

namespace postwarden::host {

// A message that CheckMessage kept on disk, in place of its string: its own
// bytes are copy->Bytes().substr(from). No copy for a message kept in memory.
struct KeptMessage {
    std::unique_ptr<DiskCopy> copy;
    size_t from = 0;
};

// What the person (or the script) wants for one send.
struct CheckOptions {
    std::string answers;        // --answers: "yes,no,close"; empty for a real prompt
    std::string clientVersion;  // --client-version; empty for the default
    // Recipients given on the command line besides the message's own header
    // fields (sendmail's recipient arguments); each is checked as a Bcc.
    std::vector<std::string> envelopeRecipients;
};

// How one send through the module ended.
enum class SendVerdict {
    kNothingAsked,      // no rule fired; the send goes
    kYes,               // every question was answered Yes
    kNo,                // a question was answered No
    kClosed,            // a question's window was closed without an answer
    kNotAsked,          // a rule fired and nobody could be asked: held
    kApprovedByResend,  // held once for nobody to ask, now sent again: goes
    kUnchecked,         // the check could not be run; the send goes
    kNotInstalled,      // the module cannot be loaded: held, exit 69
    kCancelled,         // the send was let go, then taken back in the countdown: held
};

// The verdict in a word or two, as the Thunderbird add-on is answered and the
// log's send record begins: "yes", "not asked", "approved by resend", ...
const char* VerdictName(SendVerdict verdict);

struct CheckOutcome {
    SendVerdict verdict = SendVerdict::kNothingAsked;
    std::vector<std::string> asked;     // the questions shown, in order
    std::vector<std::string> refused;   // the questions of the prompt answered No
    std::vector<std::string> fired;     // the rules that fired, as the send traced them
    int recipients = -1;                // as the send counted them; -1 when unknown
    std::vector<std::string> evidence;  // what the rules found, one short text each
    std::string nobodyToAsk;            // kNotAsked: why nobody could be asked
    std::string problem;                // what failed on the way, if anything
    bool approvalKept = true;           // kNotAsked: a resend will be let through

    bool MayGo() const {
        return verdict == SendVerdict::kNothingAsked || verdict == SendVerdict::kYes ||
               verdict == SendVerdict::kApprovedByResend || verdict == SendVerdict::kUnchecked;
    }
};

// Plays the mail client for one send of `message` (its raw bytes): loads the
// module, starts it, opens an explorer window, raises the send event and shuts
// the module down again. A send that may go then counts SendDelaySeconds down
// where a window or a terminal can show it, and Cancel there holds it as a No
// does. Never throws. A No stays a No whatever fails after
// it; a rule that fired with nobody to ask holds the message, unless the same
// message was held that way within the last ten minutes (then it goes, once);
// any other failure lets the send go ahead and is described in `problem`.
// One record of the send goes to the log. Returns false in `usable` when the
// options themselves are wrong (then `problem` says why and nothing was run),
// or when a message kept on disk could not be read back whole (then `message`
// is empty and must not be sent).
//
// `message` is worked on in place (see OutgoingMailItem) and is as it came
// when this returns; with OutgoingMailItem::FieldRoom(check.envelopeRecipients)
// bytes of spare capacity it is never copied. One of kKeepOnDiskFrom bytes or
// more waits in a private file in the home folder while it is checked, its
// string freed, so that the texts the rules search do not stand beside it;
// with `kept` given, that file is handed over in `kept` instead of being read
// back, and `message` stays empty.
CheckOutcome CheckMessage(const GlobalOptions& options, const CheckOptions& check,
                          std::string& message, bool& usable, KeptMessage* kept = nullptr);

// Below this a message stays in memory while it is checked: holding it twice
// over costs less than writing and reading it back, and stays far under the
// memory a large one may take (twice its size and 40 MB).
inline constexpr size_t kKeepOnDiskFrom = size_t{16} << 20;

// Settles how a send ended from the prompts shown and the check's result:
// a No or a closed window holds the message whatever else happened (`ran`
// false: the send event failed part-way); a question nobody saw or answered is
// not a Yes; a send that could not be checked goes.
void SettleVerdict(const std::vector<PromptRecord>& prompts, const SendResult& result, bool cancel,
                   bool ran, CheckOutcome& outcome);

// The whole of standard input, byte for byte, with capacity for `spare` bytes
// more.
bool ReadAllStdin(std::string& bytes, std::string& error, size_t spare = 0);

// Why the send was held, in one line safe to print on a terminal: the questions
// refused, or the rules nobody could be asked about and how to send anyway;
// then, after "; why: ", what the rules found.
std::string DescribeRefusal(const CheckOutcome& outcome);

// The log's record of one send: "Send: VERDICT; rules fired: ...; recipients:
// N; Message-ID: ...; Subject: ...", then each of `more` as "; NAME: VALUE",
// and what the rules found last. `recipients` -1 reads "unknown".
std::string SendRecordText(const std::string& verdict, const std::vector<std::string>& fired,
                           int recipients, const std::string& messageId, const std::string& subject,
                           const std::vector<std::pair<std::string, std::string>>& more,
                           const std::vector<std::string>& evidence);

// The rule named as the send traces it ("Outside Domains") in words for a
// person ("recipients outside the company's domains").
std::string RuleInWords(const std::string& tracedName);

// How long a message held for nobody to ask may be sent again as it is.
inline constexpr int kResendWindowSeconds = 600;

}  // namespace postwarden::host
