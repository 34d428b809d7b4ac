#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace postwarden {
class Registry;
}

namespace postwarden::host {

// Messages held because nobody could be asked, kept in the registry so that
// sending the same message again within the window sends it: the way a person
// whose mail client cannot show a question (aerc) confirms the send. Each
// approval works once. Every call may throw RuntimeError.
class ResendApprovals {
  public:
    // `registry` must remain live while this object is in use.
    ResendApprovals(Registry& registry, int64_t windowSeconds)
        : registry_(registry), windowSeconds_(windowSeconds) {}

    // Whether the message with `fingerprint` was held within the window before
    // `now` (seconds since the epoch); a true answer uses the approval up.
    bool Take(const std::string& fingerprint, int64_t now);
    // Remembers that the message was held at `now`; drops approvals that have
    // run out.
    void Offer(const std::string& fingerprint, int64_t now);

    // The description of the last send that was held, for `postwarden last`.
    void SaveLastRefusal(const std::string& text);
    std::optional<std::string> LastRefusal();

  private:
    Registry& registry_;
    int64_t windowSeconds_;
};

}  // namespace postwarden::host
