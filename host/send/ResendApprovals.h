#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace postwarden {
class Registry;
}

namespace postwarden::host {

// Messages held because nobody could be asked, kept in the registry so that
// sending the same message again within the window sends it: the way a person
// whose mail client cannot show a question (aerc) confirms the send. An
// approval covers the rules that fired when the message was held, and is used
// up by the next send of the same message, whatever that send's answer: a
// resend with nobody to ask goes on it; a Yes, a No or a send that asked
// nothing ends it. Every call may throw RuntimeError.
class ResendApprovals {
  public:
    // `registry` must remain live while this object is in use.
    ResendApprovals(Registry& registry, int64_t windowSeconds)
        : registry_(registry), windowSeconds_(windowSeconds) {}

    // Whether the message with `fingerprint` was held within the window before
    // `now` (seconds since the epoch) for at least the rules in `fired`. The
    // approval is used up whatever the answer.
    bool Take(const std::string& fingerprint, const std::vector<std::string>& fired, int64_t now);
    // Remembers that the message was held at `now` for the rules in `fired`;
    // drops approvals that have run out.
    void Offer(const std::string& fingerprint, const std::vector<std::string>& fired, int64_t now);
    // Whether the message with `fingerprint` was held within the window before
    // `now`; unlike Take, the approval stays.
    bool Pending(const std::string& fingerprint, int64_t now);
    // Ends the approval of the message, if there is one.
    void Withdraw(const std::string& fingerprint);
    // Whether any approval is still within the window at `now`; drops those
    // that have run out. A send whose message may have none need not be
    // fingerprinted.
    bool AnyPending(int64_t now);

    // The description of the last send that was held, for `postwarden last`.
    void SaveLastRefusal(const std::string& text);
    std::optional<std::string> LastRefusal();

  private:
    Registry& registry_;
    int64_t windowSeconds_;
};

}  // namespace postwarden::host
