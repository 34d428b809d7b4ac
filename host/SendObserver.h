#pragma once

#include <memory>
#include <string>
#include <vector>

#include "module/PlatformWrapper.h"

namespace postwarden::host {

// What a send's own trace and error lines told the host.
struct SendTrace {
    int recipients = -1;  // the count the send started from; -1 when it did not get that far
    // The rules whose violation lines read True, in the order traced
    // ("Outside Domains", "Keywords", ...).
    std::vector<std::string> fired;
    // The rules that reported a failure of their own (a question that could not
    // be shown ends a rule that way), named as the violation lines name them.
    std::vector<std::string> failedRules;
    // The first failure the send driver or a rule reported, as "source: message";
    // empty when there was none.
    std::string checkFailure;
    // What the rules that fired found, one short text per rule in rule order
    // ("keyword \"x\" in the subject"), as the driver's "Evidence of <rule>
    // Rule: " lines give it; the rules that find nothing more give none.
    std::vector<std::string> evidence;
    // The rule of each text of `evidence`, at the same place, named as the
    // violation lines name it.
    std::vector<std::string> evidenceRules;
};

// The platform the host hands the module, noting from the send's own trace and
// error lines what the host needs to say afterwards. Every call still reaches
// the platform beneath unchanged.
class SendObserver final : public PlatformWrapper {
  public:
    explicit SendObserver(Platform& target) : PlatformWrapper(target) {}

    std::unique_ptr<EngineLogger> NewEngineLogger() override;
    std::unique_ptr<EngineHelper> NewEngineHelper() override;

    const SendTrace& Trace() const { return trace_; }
    // Forgets what earlier sends traced, so that one platform serves a send after another.
    void Reset() { trace_ = SendTrace{}; }

    // Take one trace line or error report (public for the objects it hands out).
    void NoteTrace(std::string_view source, std::string_view message);
    void NoteEvent(std::string_view source, std::string_view message);

  private:
    SendTrace trace_;
};

}  // namespace postwarden::host
