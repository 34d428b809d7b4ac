#include "host/SendCheck.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <cstring>
#include <exception>

#include "host/Home.h"
#include "host/MailClient.h"
#include "host/ModuleLoader.h"
#include "host/PromptRecorder.h"
#include "module/CPostwarden.h"
#include "module/RuntimeError.h"
#include "platform/LinuxPlatform.h"
#include "platform/windows/ChooseWindowSystem.h"

namespace postwarden::host {

// Joins the questions a person refused into one line.
std::string DescribeRefusal(const CheckOutcome& outcome) {
    std::string text;
    for (const std::string& question : outcome.refused) {
        if (!text.empty()) text += "; ";
        text += "\"" + question + "\"";
    }
    return text.empty() ? "the prompt was closed" : "No to " + text;
}

bool ReadAllStdin(std::string& bytes, std::string& error) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot read the message: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) return true;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

namespace {

// Writes a failure the module let reach the host into the log, as the engine's
// own error report; a log that cannot be written is left at that.
void LogHostFailure(LinuxPlatform& platform, const std::string& what) {
    try {
        platform.NewEngineHelper()->LogEvent(what, 1, "postwarden");
    } catch (const std::exception&) {
    }
}

}  // namespace

CheckOutcome CheckMessage(const GlobalOptions& options, const CheckOptions& check,
                          const std::string& message, bool& usable) {
    CheckOutcome outcome;
    usable = true;

    std::unique_ptr<WindowSystem> windows;
    try {
        windows = ChooseWindowSystem(check.answers);
    } catch (const std::invalid_argument& e) {
        usable = false;
        outcome.problem = e.what();
        return outcome;
    }
    auto recorderOwner = std::make_unique<PromptRecorder>(std::move(windows));
    PromptRecorder& recorder = *recorderOwner;

    // The home folder and its own mail store are ours to create; a store named
    // with --mail-store is the user's and is used only as it is.
    std::string error = MakeFolders(options.home);
    if (error.empty() && options.mailStore == options.home + "/" + kMailFolderName) {
        error = MakeFolders(options.mailStore);
    }
    if (!error.empty()) outcome.problem = error;
    LinuxPlatform platform({options.home + "/" + kLogFileName,
                            options.home + "/" + kRegistryFileName, options.mailStore},
                           std::move(recorderOwner));
    ModuleLibrary library(options.modulePath);
    if (!library.Loaded()) {
        outcome.problem = library.Error();
        return outcome;
    }
    try {
        std::unique_ptr<IModuleAPI> module = library.Create(platform);
        if (!module) {
            outcome.problem = "the module could not be created";
            return outcome;
        }
        auto application = std::make_shared<MailClientApplication>(options.mailStore);
        if (!check.clientVersion.empty()) application->SetVersion(check.clientVersion);
        application->SetExplorersCount(1);
        std::shared_ptr<Engine> engine = std::make_shared<HostEngine>(application);
        module->YSStartup(engine);
        try {
            module->YSExplorerOpen(nullptr);
        } catch (const RuntimeError& e) {
            LogHostFailure(platform, "YSExplorerOpen failed: " + e.Description());
        }

        auto mailItem = std::make_shared<OutgoingMailItem>(options.mailStore, message);
        std::shared_ptr<OutlookItem> item = mailItem;
        int32_t selector = kSelectorItemSend;
        bool cancel = false;
        std::string folderEntryId, folderStoreId;
        module->YSItemEvent(selector, item, cancel, folderEntryId, folderStoreId);
        mailItem->RemoveDraft();
        module->YSShutdown();
        outcome.mayGo = !cancel;
    } catch (const std::exception& e) {
        // Whatever went wrong, the message is not held back for it.
        outcome.mayGo = true;
        outcome.problem = e.what();
    }
    for (const PromptRecord& prompt : recorder.Prompts()) {
        for (const std::string& q : prompt.questions) outcome.asked.push_back(q);
        if (prompt.answer == "cmdNo" || prompt.answer == "close") {
            outcome.refused = prompt.questions;
        }
    }
    return outcome;
}

}  // namespace postwarden::host
