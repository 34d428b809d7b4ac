#include "host/send/ResendApprovals.h"

#include <algorithm>
#include <charconv>

#include "module/HostEngine.h"
#include "platform/registry/Registry.h"

namespace postwarden::host {

namespace {

// The host's own keys, apart from the module's settings.
constexpr const char* kHostKey = "Software\\Postwarden Host";
constexpr const char* kApprovalsKey = "Software\\Postwarden Host\\Resend Approvals";
constexpr const char* kLastRefusalName = "LastRefusal";

// An approval is stored as "SECONDS;RULE;RULE...": when the message was held,
// and the rules that fired then (rule names hold no ';').
struct Approval {
    int64_t heldAt = 0;
    std::vector<std::string> rules;
};

std::optional<Approval> Parse(const Registry::Value& value) {
    const std::string text = value.AsText();
    Approval approval;
    const size_t end = std::min(text.find(';'), text.size());
    const auto [stop, error] = std::from_chars(text.data(), text.data() + end, approval.heldAt);
    if (error != std::errc() || stop != text.data() + end) return std::nullopt;
    for (size_t at = end; at < text.size();) {
        const size_t next = std::min(text.find(';', at + 1), text.size());
        approval.rules.push_back(text.substr(at + 1, next - at - 1));
        at = next;
    }
    return approval;
}

// Held no later than `now`, and no longer ago than the window.
bool Current(const Approval& approval, int64_t now, int64_t window) {
    return approval.heldAt <= now && now - approval.heldAt <= window;
}

}  // namespace

bool ResendApprovals::Take(const std::string& fingerprint, const std::vector<std::string>& fired,
                           int64_t now) {
    const std::optional<Registry::Value> value =
        registry_.ReadValue(kHiveCurrentUser, kApprovalsKey, fingerprint);
    if (!value) return false;
    const std::optional<Approval> approval = Parse(*value);
    const bool current = approval && Current(*approval, now, windowSeconds_);
    const bool covered =
        current && std::all_of(fired.begin(), fired.end(), [&](const std::string& rule) {
            return std::find(approval->rules.begin(), approval->rules.end(), rule) !=
                   approval->rules.end();
        });
    // Whoever deletes it has it: two sends of the same message at once get one
    // approval between them.
    return registry_.DeleteValue(kHiveCurrentUser, kApprovalsKey, fingerprint) && current &&
           covered;
}

void ResendApprovals::Offer(const std::string& fingerprint, const std::vector<std::string>& fired,
                            int64_t now) {
    AnyPending(now);
    std::string text = std::to_string(now);
    for (const std::string& rule : fired) text += ";" + rule;
    registry_.WriteText(kHiveCurrentUser, kApprovalsKey, fingerprint, text);
}

bool ResendApprovals::Pending(const std::string& fingerprint, int64_t now) {
    const std::optional<Registry::Value> value =
        registry_.ReadValue(kHiveCurrentUser, kApprovalsKey, fingerprint);
    if (!value) return false;
    const std::optional<Approval> approval = Parse(*value);
    return approval && Current(*approval, now, windowSeconds_);
}

void ResendApprovals::Withdraw(const std::string& fingerprint) {
    registry_.DeleteValue(kHiveCurrentUser, kApprovalsKey, fingerprint);
}

bool ResendApprovals::AnyPending(int64_t now) {
    bool any = false;
    for (const auto& [name, value] : registry_.ListValues(kHiveCurrentUser, kApprovalsKey)) {
        const std::optional<Approval> approval = Parse(value);
        if (approval && Current(*approval, now, windowSeconds_)) {
            any = true;
        } else {
            registry_.DeleteValue(kHiveCurrentUser, kApprovalsKey, name);
        }
    }
    return any;
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
