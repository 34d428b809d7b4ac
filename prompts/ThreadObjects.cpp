#include "module/ThreadObjects.h"

#include "module/Platform.h"
#include "prompts/RuleFlags.h"
#include "prompts/SendDetails.h"
#include "prompts/frmSimpleYesNoPrompt.h"
#include "prompts/frmYesNoPrompt.h"

namespace postwarden {

ThreadObjects::ThreadObjects() = default;
ThreadObjects::~ThreadObjects() = default;

namespace {
thread_local ThreadObjects threadObjects;
}

void ThreadObjects::Reset() {
    // Forms first: they may refer to the helper while they go.
    yesNoPrompt_.reset();
    simpleYesNoPrompt_.reset();
    helper_.reset();
    platform_ = nullptr;
    serial_ = 0;
}

ThreadObjects& ThreadObjects::For(Platform& platform) {
    ThreadObjects& objects = threadObjects;
    if (objects.platform_ != &platform || objects.serial_ != platform.Serial()) {
        objects.Reset();
        objects.platform_ = &platform;
        objects.serial_ = platform.Serial();
    }
    return objects;
}

void ThreadObjects::ReleaseFor(const Platform& platform) {
    ThreadObjects& objects = threadObjects;
    if (objects.platform_ == &platform && objects.serial_ == platform.Serial()) objects.Reset();
}

EngineHelper& ThreadObjects::Helper() {
    if (!helper_) helper_ = platform_->NewEngineHelper();
    return *helper_;
}

frmYesNoPrompt& ThreadObjects::YesNoPrompt() {
    static const ThreadRuleFlags threadFlags;
    static const ThreadSendDetails threadDetails;
    if (!yesNoPrompt_) {
        yesNoPrompt_ = std::make_unique<frmYesNoPrompt>(*platform_, threadFlags, threadDetails);
    }
    return *yesNoPrompt_;
}

frmSimpleYesNoPrompt& ThreadObjects::SimpleYesNoPrompt() {
    static const ThreadSendDetails threadDetails;
    if (!simpleYesNoPrompt_) {
        simpleYesNoPrompt_ = std::make_unique<frmSimpleYesNoPrompt>(*platform_, threadDetails);
    }
    return *simpleYesNoPrompt_;
}

}  // namespace postwarden
