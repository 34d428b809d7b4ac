#include "module/CPostwarden.h"

#include <exception>

#include "module/FailureReport.h"
#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "module/ModuleVersion.h"
#include "module/Platform.h"
#include "module/SettingKeys.h"
#include "module/ThreadObjects.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {
constexpr const char* kAppName = "Postwarden";
}  // namespace

CPostwarden::CPostwarden(Platform& platform) : platform_(platform) {}
CPostwarden::~CPostwarden() {
    ThreadObjects::ReleaseFor(platform_);
}

std::string CPostwarden::RegistryName() {
    return "Postwarden";
}
std::string CPostwarden::FriendlyName() {
    return "Post Warden";
}

std::string CPostwarden::Version() {
    return FormatVersion(kVersionMajor, kVersionMinor, kVersionRevision);
}

int32_t CPostwarden::YSStartup(std::shared_ptr<Engine>& Engine) {
    try {
        if (!m_engine) m_engine = Engine;
    } catch (const RuntimeError& e) {
        try {
            ReportFailure("Postwarden.Startup", 0, FailureText(e.Description()));
        } catch (const RuntimeError&) {
        }
    }
    return 0;
}

int32_t CPostwarden::YSShutdown() {
    try {
        if (m_engine) {
            Log("Shutdown", "Postwarden is stopping", 0);
            m_engine.reset();
        }
    } catch (const RuntimeError&) {
        // Shut-down goes on whatever the log says.
    }
    return 0;
}

std::string CPostwarden::YSSendMessage(std::string& /*theMessage*/) {
    return "noerror";
}

int32_t CPostwarden::YSExplorerOpen(HostWindow* /*explorer*/) {
    EnsureDefaultSettings();
    if (!m_engine) throw errors::ObjectNotSet();
    m_engine->RegisterModule(*this, kSelectorItemSend, "", "");
    const std::string version = m_engine->Application()->Version();
    UsingWordAsEmailEditor = UsingWordAsEditor(version);
    return 0;
}

int32_t CPostwarden::YSExplorerClose(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSExplorerActivate(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSExplorerDeactivate(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSInspectorOpen(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSInspectorClose(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSInspectorActivate(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSInspectorDeactivate(HostWindow*) {
    return 0;
}
int32_t CPostwarden::YSButtonAction(int32_t&, bool&) {
    return 0;
}
int32_t CPostwarden::YSMenuAction(int32_t&, bool&) {
    return 0;
}
int32_t CPostwarden::YSHotkeyAction(int32_t&) {
    return 0;
}

int32_t CPostwarden::YSItemEvent(int32_t& EventSelector, std::shared_ptr<OutlookItem>& item,
                                 bool& Cancel, std::string& /*folderEntryId*/,
                                 std::string& /*folderStoreId*/) {
    try {
        if (EventSelector != kSelectorItemSend) return 0;
        if (!item) throw errors::ObjectNotSet();
        if (item->Submitted()) return 0;
        if (item->TypeName() == "MailItem") {
            Cancel = !ProcessItem(item);
        } else {
            Cancel = false;
        }
    } catch (const RuntimeError& e) {
        ReportItemEventFailure(e.Description());
    } catch (const std::exception& e) {
        // Not an outside failure (memory, say), but the host must not see it
        // either: the send goes ahead as with any other failure.
        ReportItemEventFailure(e.what());
    }
    return 0;
}

void CPostwarden::ReportItemEventFailure(const std::string& description) {
    try {
        ReportFailure("Postwarden.YSItemEvent", 0, FailureText(description));
    } catch (const std::exception&) {
        // Nothing is left to report the failure with; the send goes ahead.
    }
}

void CPostwarden::ReportFailure(const char* source, int32_t level, const std::string& text) {
    postwarden::ReportFailure(Helper(), source, level, text);
}

void CPostwarden::Log(const std::string& source, const std::string& message, int16_t level) {
    std::unique_ptr<EngineLogger> logger = platform_.NewEngineLogger();
    logger->WriteLog(kAppName, source, message, level);
}

EngineHelper& CPostwarden::Helper() {
    return ThreadObjects::For(platform_).Helper();
}

std::string CPostwarden::GetSetting(const std::string& key, const std::string& defaultValue) {
    const std::string app = Helper().SettingsAppName();
    return platform_.GetSetting(app, kSettingsSection, key, defaultValue);
}

void CPostwarden::SaveSetting(const std::string& key, const std::string& value) {
    const std::string app = Helper().SettingsAppName();
    platform_.SaveSetting(app, kSettingsSection, key, value);
}

}  // namespace postwarden
