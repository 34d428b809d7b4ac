// The module library's second exported entry point: one form drawn without a
// send (module/ShowForm.h).
#include "module/ShowForm.h"

#include <exception>
#include <iterator>
#include <string>

#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"

namespace {

// The rules a drawn multi-rule form shows as fired, whatever any send did.
class FixedRuleFlags final : public postwarden::RuleFlags {
  public:
    explicit FixedRuleFlags(const postwarden::Globals& fired) : fired_(fired) {}
    postwarden::Globals Fired() const override { return fired_; }

  private:
    postwarden::Globals fired_;
};

// The evidence a drawn form shows, whatever any send found.
class FixedSendDetails final : public postwarden::SendDetails {
  public:
    explicit FixedSendDetails(const postwarden::SendEvidence* evidence)
        : evidence_(evidence ? *evidence : postwarden::SendEvidence{}) {}
    postwarden::SendEvidence Evidence() const override { return evidence_; }

  private:
    postwarden::SendEvidence evidence_;
};

}  // namespace

extern "C" int32_t PostwardenShowForm(postwarden::Platform* platform,
                                      const postwarden::Globals* fired, const char* question,
                                      int32_t rule, const postwarden::SendEvidence* evidence,
                                      std::string* failure) {
    using namespace postwarden;
    if (platform == nullptr) {
        if (failure != nullptr) *failure = "no platform to show the form on";
        return kShowFormFailed;
    }
    int32_t answer = kShowFormFailed;
    try {
        const FixedSendDetails details(evidence);
        if (fired != nullptr) {
            const FixedRuleFlags flags(*fired);
            frmYesNoPrompt form(*platform, flags, details);
            answer = form.Ask(kPromptValues, kPromptFriendlyName, false);
        } else {
            frmSimpleYesNoPrompt form(*platform, details);
            const bool known = rule >= 0 && static_cast<size_t>(rule) < std::size(kRules);
            form.SetConfirmationMessage(question != nullptr ? question : "",
                                        known ? &kRules[rule] : nullptr);
            answer = form.Ask(kPromptValues, kPromptFriendlyName, false);
        }
    } catch (const std::exception& e) {
        // A RuntimeError's what() is its description.
        if (failure != nullptr) *failure = e.what();
    }
    ThreadObjects::ReleaseFor(*platform);
    return answer;
}
