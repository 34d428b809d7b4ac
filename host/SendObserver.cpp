#include "host/SendObserver.h"

#include <algorithm>
#include <charconv>

namespace postwarden::host {

namespace {

class ObservedLogger final : public EngineLogger {
  public:
    ObservedLogger(SendObserver& observer, std::unique_ptr<EngineLogger> inner)
        : observer_(observer), inner_(std::move(inner)) {}
    void WriteLog(std::string_view app, std::string_view source, std::string_view message,
                  int16_t level) override {
        observer_.NoteTrace(source, message);
        inner_->WriteLog(app, source, message, level);
    }

  private:
    SendObserver& observer_;
    std::unique_ptr<EngineLogger> inner_;
};

class ObservedHelper final : public EngineHelper {
  public:
    ObservedHelper(SendObserver& observer, std::unique_ptr<EngineHelper> inner)
        : observer_(observer), inner_(std::move(inner)) {}
    std::string SettingsAppName() override { return inner_->SettingsAppName(); }
    void LogEvent(std::string_view message, int32_t level, std::string_view source) override {
        observer_.NoteEvent(source, message);
        inner_->LogEvent(message, level, source);
    }
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override {
        return inner_->MatchesEntry(value, entry);
    }
    void PrepareForm(FormObject& form) override { inner_->PrepareForm(form); }

  private:
    SendObserver& observer_;
    std::unique_ptr<EngineHelper> inner_;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::unique_ptr<EngineLogger> SendObserver::NewEngineLogger() {
    return std::make_unique<ObservedLogger>(*this, PlatformWrapper::NewEngineLogger());
}

std::unique_ptr<EngineHelper> SendObserver::NewEngineHelper() {
    return std::make_unique<ObservedHelper>(*this, PlatformWrapper::NewEngineHelper());
}

void SendObserver::NoteTrace(std::string_view source, std::string_view message) {
    // The send driver's own lines: "Starting recipients count: N", one
    // "Violated <rule> Rule: True|False" per rule, and one "Evidence of <rule>
    // Rule: <what it found>" per rule that fired and found something.
    if (source != "ProcessItem") return;
    constexpr std::string_view kCount = "Starting recipients count: ";
    constexpr std::string_view kViolated = "Violated ";
    constexpr std::string_view kFiredEnd = " Rule: True";
    constexpr std::string_view kEvidence = "Evidence of ";
    constexpr std::string_view kEvidenceEnd = " Rule: ";
    if (StartsWith(message, kEvidence)) {
        const size_t end = message.find(kEvidenceEnd, kEvidence.size());
        if (end != std::string_view::npos && end + kEvidenceEnd.size() < message.size()) {
            trace_.evidence.emplace_back(message.substr(end + kEvidenceEnd.size()));
            trace_.evidenceRules.emplace_back(
                message.substr(kEvidence.size(), end - kEvidence.size()));
        }
    } else if (StartsWith(message, kCount)) {
        const std::string_view digits = message.substr(kCount.size());
        int count = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), count);
        if (error == std::errc() && end == digits.data() + digits.size()) trace_.recipients = count;
    } else if (StartsWith(message, kViolated) &&
               message.size() > kViolated.size() + kFiredEnd.size() &&
               message.substr(message.size() - kFiredEnd.size()) == kFiredEnd) {
        trace_.fired.emplace_back(
            message.substr(kViolated.size(), message.size() - kViolated.size() - kFiredEnd.size()));
    }
}

void SendObserver::NoteEvent(std::string_view source, std::string_view message) {
    static const std::pair<std::string_view, std::string_view> kRules[] = {
        // Each domain rule reports its failures under two spellings, one per part of it.
        {"Postwarden.CheckOutsideDomains", "Outside Domains"},
        {"Postwarden.CheckOutsideDomain", "Outside Domains"},
        {"Postwarden.CheckEmailAddressesDomains", "Email Addresses Domains"},
        {"Postwarden.CheckEmailAddressesDomain", "Email Addresses Domains"},
        {"Postwarden.CheckKeywords", "Keywords"},
        {"Postwarden.CheckNumberOfRecipients", "Max Number Of Recipients"},
        {"Postwarden.CheckBlankSubject", "Blank Subject"},
        {"Postwarden.CheckAnySend", "Any Send"},
    };
    for (const auto& [procedure, rule] : kRules) {
        const bool known = std::find(trace_.failedRules.begin(), trace_.failedRules.end(), rule) !=
                           trace_.failedRules.end();
        if (source == procedure && !known) trace_.failedRules.emplace_back(rule);
    }
    // A failure of the driver or of a rule means the check did not run to its
    // end; failures elsewhere (a central settings source) do not.
    if (!trace_.checkFailure.empty()) return;
    // The driver's "message not found" report has no source.
    if (source == "Postwarden.ProcessItem" || StartsWith(source, "Postwarden.Check") ||
        (source.empty() && StartsWith(message, "Error occurred."))) {
        trace_.checkFailure = std::string(source) + ": " + std::string(message);
    }
}

}  // namespace postwarden::host
