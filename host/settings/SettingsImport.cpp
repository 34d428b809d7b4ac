#include "host/settings/SettingsImport.h"

#include <exception>
#include <memory>
#include <string_view>
#include <vector>

#include "host/Home.h"
#include "host/ModuleLoader.h"
#include "host/send/ClientObjects.h"
#include "module/IModuleAPI.h"
#include "module/PlatformWrapper.h"
#include "module/SettingKeys.h"
#include "platform/LinuxPlatform.h"
#include "platform/TerminalText.h"
#include "platform/windows/NoWindowSystem.h"
#include "util/Text.h"

namespace postwarden::host {

namespace {

// The sources of the lines that say how a refresh from a file went.
constexpr std::string_view kFileSource = "FetchSettingsFromNetworkLocation";
constexpr std::string_view kReadResult = "Read settings successfully: ";
// An error report of the settings routines: "Postwarden.ReadSettingsFromXML" and the like.
constexpr std::string_view kErrorSourcePrefix = "Postwarden.";
// The refused document itself, which follows the reason; not for the terminal.
constexpr std::string_view kContentsLine = "XML Contents:";

class ImportPlatform;

class NotedLogger final : public EngineLogger {
  public:
    NotedLogger(ImportPlatform& platform, std::unique_ptr<EngineLogger> inner)
        : platform_(platform), inner_(std::move(inner)) {}
    void WriteLog(std::string_view app, std::string_view source, std::string_view message,
                  int16_t level) override;

  private:
    ImportPlatform& platform_;
    std::unique_ptr<EngineLogger> inner_;
};

class NotedHelper final : public EngineHelper {
  public:
    NotedHelper(ImportPlatform& platform, std::unique_ptr<EngineHelper> inner)
        : platform_(platform), inner_(std::move(inner)) {}
    std::string SettingsAppName() override { return inner_->SettingsAppName(); }
    void LogEvent(std::string_view message, int32_t level, std::string_view source) override;
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override {
        return inner_->MatchesEntry(value, entry);
    }
    void PrepareForm(FormObject& form) override { inner_->PrepareForm(form); }

  private:
    ImportPlatform& platform_;
    std::unique_ptr<EngineHelper> inner_;
};

// The home's platform, with the document to import as the only central source,
// noting from the refresh's own lines whether it read the document and why not.
class ImportPlatform final : public PlatformWrapper {
  public:
    // `target` must remain live while this platform is in use.
    ImportPlatform(Platform& target, std::string documentPath)
        : PlatformWrapper(target), documentPath_(std::move(documentPath)) {}

    std::unique_ptr<EngineLogger> NewEngineLogger() override {
        return std::make_unique<NotedLogger>(*this, PlatformWrapper::NewEngineLogger());
    }
    std::unique_ptr<EngineHelper> NewEngineHelper() override {
        return std::make_unique<NotedHelper>(*this, PlatformWrapper::NewEngineHelper());
    }
    std::string GetSetting(std::string_view app, std::string_view section, std::string_view key,
                           std::string_view defaultValue) override {
        if (section == kSettingsSection) {
            const std::string name = LCase(key);
            if (name == LCase(keys::kFetchSettingsExchangePublicFolder)) {
                return std::string(defaultValue);
            }
            if (name == LCase(keys::kFetchSettingsNetworkLocation)) return documentPath_;
        }
        return PlatformWrapper::GetSetting(app, section, key, defaultValue);
    }

    void NoteTrace(std::string_view source, std::string_view message) {
        if (source == kFileSource && message.starts_with(kReadResult)) {
            imported_ = message.substr(kReadResult.size()) == BoolText(true);
        }
    }
    void NoteEvent(std::string_view source, std::string_view message) {
        if (source.starts_with(kErrorSourcePrefix) && !message.starts_with(kContentsLine)) {
            problems_.emplace_back(message);
        }
    }

    bool Imported() const { return imported_; }
    const std::vector<std::string>& Problems() const { return problems_; }

  private:
    std::string documentPath_;
    bool imported_ = false;
    std::vector<std::string> problems_;
};

void NotedLogger::WriteLog(std::string_view app, std::string_view source, std::string_view message,
                           int16_t level) {
    platform_.NoteTrace(source, message);
    inner_->WriteLog(app, source, message, level);
}

void NotedHelper::LogEvent(std::string_view message, int32_t level, std::string_view source) {
    platform_.NoteEvent(source, message);
    inner_->LogEvent(message, level, source);
}

}  // namespace

bool RefreshFromCentralSource(ModuleLibrary& library, Platform& platform,
                              const std::string& mailStore) {
    std::unique_ptr<IModuleAPI> module = library.Create(platform);
    if (!module) return false;
    StartAsMailClient(*module, std::make_shared<MailClientApplication>(mailStore));
    module->YSShutdown();
    return true;
}

int ImportSettings(const GlobalOptions& options, const std::string& source) {
    if (const std::string error = MakeFolders(options.home); !error.empty()) {
        PrintError(error);
        return kExitFailure;
    }
    ModuleLibrary library(options.modulePath);
    if (!library.Loaded()) {
        PrintError(library.Error() +
                   "; install it beside postwarden or in ../lib/postwarden/ from it, or name it "
                   "with --module PATH");
        return kExitNotInstalled;
    }
    LinuxPlatform platform({options.home + "/" + kLogFileName,
                            options.home + "/" + kRegistryFileName, options.mailStore},
                           std::make_unique<NoWindowSystem>());
    // The file is read by the module as a shared settings file is, size limit
    // and all; /dev/stdin makes standard input such a file.
    ImportPlatform imported(platform, source == "-" ? "/dev/stdin" : source);
    try {
        if (!RefreshFromCentralSource(library, imported, options.mailStore)) {
            PrintError(library.Path() + " did not make a module");
            return kExitNotInstalled;
        }
    } catch (const std::exception& e) {
        PrintError(std::string("settings import: ") + e.what());
        return kExitFailure;
    }
    if (imported.Imported()) return kExitOk;
    const std::string shownSource = source == "-" ? "standard input" : source;
    std::string reasons;
    for (const std::string& problem : imported.Problems()) {
        reasons += (reasons.empty() ? ": " : "; ") + problem;
    }
    if (reasons.empty()) reasons = ": the module did not say why";
    PrintError(
        EscapeForTerminal("settings import: " + shownSource + " was not imported" + reasons));
    return kExitFailure;
}

}  // namespace postwarden::host
