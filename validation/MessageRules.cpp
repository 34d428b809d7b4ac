// The rules on the message as a whole: too many recipients, a blank subject,
// and the question before every send.
#include <string>

#include "module/CPostwarden.h"
#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "module/SettingKeys.h"
#include "module/ThreadObjects.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "util/RuntimeError.h"
#include "util/Text.h"
#include "validation/Globals.h"

namespace postwarden {

bool CPostwarden::CheckNumberOfRecipients(const bool& separatePromptsWanted,
                                          const int32_t& recipientCount) {
    bool result = true;
    try {
        const int32_t limit =
            ToLong(GetSetting(keys::kMaxNumberOfRecipients, fallback::kMaxNumberOfRecipients));
        Log("CheckNumberOfRecipients",
            "Comparing recipient counts (user vs email): " + std::to_string(limit) + " vs " +
                std::to_string(recipientCount),
            0);
        if (recipientCount > limit) {
            ThreadEvidence().count = recipientCount;
            ThreadEvidence().maximum = limit;
            result = ConfirmFiredRule(separatePromptsWanted, kNumberOfRecipientsRule);
            ThreadGlobals().*kNumberOfRecipientsRule.flag = true;
        }
        return result;
    } catch (const RuntimeError& e) {
        ReportRuleFailure(kNumberOfRecipientsRule, "Postwarden.CheckNumberOfRecipients", 1,
                          FailureText(e.Description()));
        return result;
    }
}

bool CPostwarden::CheckBlankSubject(const bool& separatePromptsWanted, const std::string& subject) {
    bool result = true;
    try {
        // Only the space character counts as blank: a tab makes a subject.
        if (subject.find_first_not_of(' ') == std::string::npos) {
            result = ConfirmFiredRule(separatePromptsWanted, kBlankSubjectRule);
            ThreadGlobals().*kBlankSubjectRule.flag = true;
        }
        return result;
    } catch (const RuntimeError& e) {
        ReportRuleFailure(kBlankSubjectRule, "Postwarden.CheckBlankSubject", 1,
                          FailureText(e.Description()));
        return result;
    }
}

bool CPostwarden::CheckAnySend(const bool& separatePromptsWanted) {
    bool result = true;
    try {
        if (separatePromptsWanted) {
            const std::string message =
                GetSetting(kAnySendRule.questionKey, kAnySendRule.DefaultQuestion());
            frmSimpleYesNoPrompt& form = ThreadObjects::For(platform_).SimpleYesNoPrompt();
            form.SetConfirmationMessage(message, &kAnySendRule);
            // With no explorer window open the form must keep the thread's
            // messages flowing itself, as it does when Word is the editor.
            const int32_t NoExplorersPresent =
                errors::Require(errors::Require(m_engine).Application()).ExplorersCount() == 0 ? -1
                                                                                               : 0;
            Log("ProcessItem",
                std::string("UsingWordAsEmailEditor: ") +
                    std::string(BoolText(UsingWordAsEmailEditor)),
                0);
            Log("ProcessItem", "NoExplorersPresent: " + std::to_string(NoExplorersPresent), 0);
            const bool forceManualModal = UsingWordAsEmailEditor || NoExplorersPresent != 0;
            const int32_t answer = form.Ask(kPromptValues, kPromptFriendlyName, forceManualModal);
            m_SendResult.answers.push_back(answer);
            if (answer == kAnswerNo) result = false;
        }
        ThreadGlobals().*kAnySendRule.flag = true;
        return result;
    } catch (const RuntimeError& e) {
        ReportRuleFailure(kAnySendRule, "Postwarden.CheckAnySend", 1, FailureText(e.Description()));
        return result;
    }
}

}  // namespace postwarden
