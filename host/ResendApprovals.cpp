#include "host/ResendApprovals.h"

#include <charconv>

#include "module/HostEngine.h"
#include "platform/registry/Registry.h"

namespace postwarden::host {

namespace {

// The host's own keys, apart from the module's settings.
constexpr const char* kHostKey = "Software\\Postwarden Host";
constexpr const char* kApprovalsKey = "Software\\Postwarden Host\\Resend Approvals";
constexpr const char* kLastRefusalName = "LastRefusal";

std::optional<int64_t> HeldAt(const Registry::Value& value) {
    const std::string text = value.AsText();
    int64_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return seconds;
}

}  // namespace

bool ResendApprovals::Take(const std::string& fingerprint, int64_t now) {
    const std::optional<Registry::Value> value =
        registry_.ReadValue(kHiveCurrentUser, kApprovalsKey, fingerprint);
    if (!value) return false;
    const std::optional<int64_t> heldAt = HeldAt(*value);
    const bool current = heldAt && *heldAt <= now && now - *heldAt <= windowSeconds_;
    // Whoever deletes it has it: two sends of the same message at once get one
    // approval between them.
    return registry_.DeleteValue(kHiveCurrentUser, kApprovalsKey, fingerprint) && current;
}

void ResendApprovals::Offer(const std::string& fingerprint, int64_t now) {
    for (const auto& [name, value] : registry_.ListValues(kHiveCurrentUser, kApprovalsKey)) {
        const std::optional<int64_t> heldAt = HeldAt(value);
        if (!heldAt || now - *heldAt > windowSeconds_) {
            registry_.DeleteValue(kHiveCurrentUser, kApprovalsKey, name);
        }
    }
    registry_.WriteText(kHiveCurrentUser, kApprovalsKey, fingerprint, std::to_string(now));
}

void ResendApprovals::SaveLastRefusal(const std::string& text) {
    registry_.WriteText(kHiveCurrentUser, kHostKey, kLastRefusalName, text);
}

std::optional<std::string> ResendApprovals::LastRefusal() {
    const std::optional<Registry::Value> value =
        registry_.ReadValue(kHiveCurrentUser, kHostKey, kLastRefusalName);
    if (!value) return std::nullopt;
    return value->AsText();
}

}  // namespace postwarden::host
