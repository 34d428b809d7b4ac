// The module library's exported entry points; everything else in it is local.
#include <exception>
#include <new>

#include "module/CPostwarden.h"
#include "module/RuntimeError.h"
#include "module/ShowForm.h"
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

}  // namespace

extern "C" postwarden::IModuleAPI* PostwardenCreateModule(postwarden::Platform* platform) {
    if (platform == nullptr) return nullptr;
    return new (std::nothrow) postwarden::CPostwarden(*platform);
}

extern "C" int32_t PostwardenShowForm(postwarden::Platform* platform,
                                      const postwarden::Globals* fired, const char* question,
                                      std::string* failure) {
    using namespace postwarden;
    if (platform == nullptr) {
        if (failure != nullptr) *failure = "no platform to show the form on";
        return kShowFormFailed;
    }
    int32_t answer = kShowFormFailed;
    try {
        if (fired != nullptr) {
            const FixedRuleFlags flags(*fired);
            frmYesNoPrompt form(*platform, flags);
            answer = form.Ask(kPromptValues, kPromptFriendlyName, false);
        } else {
            frmSimpleYesNoPrompt form(*platform);
            form.SetConfirmationMessage(question != nullptr ? question : "");
            answer = form.Ask(kPromptValues, kPromptFriendlyName, false);
        }
    } catch (const std::exception& e) {
        // A RuntimeError's what() is its description.
        if (failure != nullptr) *failure = e.what();
    }
    ThreadObjects::ReleaseFor(*platform);
    return answer;
}
