#pragma once

// module/ holds the module's contract with its host and the outside world, and
// the module class itself; it includes nothing but util/ besides itself:
//   IModuleAPI.h      the host's interface and the plugin's first entry point
//   ShowForm.h        the plugin's second entry point, drawing one form
//                     (made in prompts/ShowForm.cpp)
//   PluginEntry.cpp   the first entry point; exports.map keeps all but the two local
//   CPostwarden.h     the module class; its send-time procedures are defined in
//                     validation/, its settings routines in settings/
//   Platform.h        everything outside, handed to the module at creation: only
//                     effects (the engine's log and helper, settings store,
//                     registry, mail store, fetches, windows); its parts:
//                     HostEngine.h (the engine library), MapiSession.h (the mail
//                     store), MailClient.h (the mail client's objects),
//                     WindowSystem.h (the windows)
//   SendResult.h      how a send's check went, handed back to the host
//   PlatformWrapper.h, WindowWrapper.h  forwarding bases for hosts and tests
//   Rules.h           every rule, one row each
//   SettingKeys.h     every setting, one row each
//   Evidence.h        what made the rules fire, and the thread's flags and evidence
//   ThreadObjects.h   the per-thread helper and forms (made in prompts/)
//   FailureReport.h   the lines reporting a failure
// util/ holds the pure logic every layer calls directly: texts, run-time
// errors, limits, lists, the glob match and the keyword search.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/IModuleAPI.h"
#include "module/SendResult.h"

namespace postwarden {

class Engine;
class EngineHelper;
class KeywordSearch;
class MapiMessage;
class MapiSession;
class OutlookItem;
class Platform;
struct Rule;

// The module: serves the host's interface, checks every send against the rules,
// keeps the settings. Its procedures live in the folder of the subsystem they
// belong to (validation/, settings/); this folder holds the host contract.
class CPostwarden final : public IModuleAPI {
  public:
    // `platform` must remain live while this object is in use.
    explicit CPostwarden(Platform& platform);
    ~CPostwarden() override;
    CPostwarden(const CPostwarden&) = delete;
    CPostwarden& operator=(const CPostwarden&) = delete;

    std::string RegistryName() override;
    std::string FriendlyName() override;
    int32_t YSStartup(std::shared_ptr<Engine>& Engine) override;
    int32_t YSShutdown() override;
    std::string YSSendMessage(std::string& theMessage) override;
    int32_t YSExplorerOpen(HostWindow* explorer) override;
    int32_t YSExplorerClose(HostWindow* explorer) override;
    int32_t YSExplorerActivate(HostWindow* explorer) override;
    int32_t YSExplorerDeactivate(HostWindow* explorer) override;
    int32_t YSInspectorOpen(HostWindow* inspector) override;
    int32_t YSInspectorClose(HostWindow* inspector) override;
    int32_t YSInspectorActivate(HostWindow* inspector) override;
    int32_t YSInspectorDeactivate(HostWindow* inspector) override;
    int32_t YSButtonAction(int32_t& buttonId, bool& CancelDefault) override;
    int32_t YSMenuAction(int32_t& menuId, bool& CancelDefault) override;
    int32_t YSHotkeyAction(int32_t& lp) override;
    int32_t YSItemEvent(int32_t& EventSelector, std::shared_ptr<OutlookItem>& item, bool& Cancel,
                        std::string& folderEntryId, std::string& folderStoreId) override;
    std::string Version() override;

    // Whether the module currently holds an engine (between start-up and shut-down).
    bool HasEngine() const { return m_engine != nullptr; }

  private:
    // Writes YSItemEvent's failure line; a failure to write it is dropped.
    void ReportItemEventFailure(const std::string& description);
    // Writes a handler's failure line through the helper; a failure to write it
    // reaches the caller.
    void ReportFailure(const char* source, int32_t level, const std::string& text);
    // Trace line through a new EngineLogger; a logger failure reaches the caller.
    void Log(const std::string& source, const std::string& message, int16_t level);
    // The engine library's helper of the calling thread, made on first use.
    EngineHelper& Helper();
    // Settings of this module's section, under the helper's application name
    // (asked afresh for every read and write).
    std::string GetSetting(const std::string& key, const std::string& defaultValue);
    void SaveSetting(const std::string& key, const std::string& value);

    // Send-time validation (validation/).
    bool ProcessItem(std::shared_ptr<OutlookItem>& item);
    bool CheckOutsideDomains(const bool& separatePromptsWanted, const std::string& address);
    bool CheckEmailAddressesDomains(const bool& separatePromptsWanted, const std::string& address);
    bool CheckKeywords(const bool& separatePromptsWanted, std::string_view text);
    bool CheckNumberOfRecipients(const bool& separatePromptsWanted, const int32_t& recipientCount);
    bool CheckBlankSubject(const bool& separatePromptsWanted, const std::string& subject);
    bool CheckAnySend(const bool& separatePromptsWanted);
    std::string StripQuotes(const std::string& text);
    std::string GetSMTPDomain(const std::string& address);
    std::shared_ptr<MapiMessage> FindInDrafts(std::shared_ptr<MapiSession>& session,
                                              const std::string& subject);
    bool UsingWordAsEditor(const std::string& outlookVersion);
    // A fired rule's question: with separate prompts, the single-rule form asks
    // the rule's question; false only when the answer was No.
    bool ConfirmFiredRule(const bool& separatePromptsWanted, const Rule& rule);
    // Fills a rule's cached list from setting `key` while it is empty; false,
    // after reporting `emptyMessage` under `source`, while it stays empty.
    bool LoadRuleList(const Rule& rule, std::string& list, const char* key,
                      const char* fallbackText, const char* emptyMessage, const char* source);
    // The rules after the six, each with a check of its own: runs those
    // `wanted`, in rule order, while none was answered No; false on a No.
    bool CheckOtherRules(const bool& separatePromptsWanted, MapiMessage& message,
                         const std::vector<int32_t>& wanted);
    // Notes a failure of the check for the send's result: the first failure is
    // the reason the send was not fully checked; a failure of `rule` (null for
    // the driver's own) marks that rule as failed.
    void NoteRuleFailure(const Rule* rule, std::string_view source, std::string_view text);
    // A rule's failure line, noted for the send's result first.
    void ReportRuleFailure(const Rule& rule, const char* source, int32_t level,
                           const std::string& text);

    // Settings (settings/).
    void EnsureDefaultSettings();
    bool FetchSettingsFromExchange(const std::string& folderPath);
    bool FetchSettingsFromNetworkLocation(const std::string& filePath);
    bool ReadSettingsFromXML(const std::string& xmlText);

    Platform& platform_;

    std::shared_ptr<Engine> m_engine;
    std::string m_ListOfOutsideDomains;
    bool m_OutsideDomainsPrompted = false;
    std::string m_ListOfEmailAddressesDomains;
    bool m_EmailAddressesDomainsPrompted = false;
    std::string m_ListOfKeywords;
    bool m_KeywordsPrompted = false;
    bool UsingWordAsEmailEditor = false;
    // What CheckKeywords is searching, for the evidence of a keyword it finds:
    // the subject, or a body ending with these attachments' names, and without
    // the parts the store could not read (MapiMessage::UnreadParts).
    bool m_KeywordsInBody = false;
    std::vector<std::string> m_AttachmentNames;
    std::string m_UnreadParts;
    // The keyword rule's searcher, built from m_ListOfKeywords on first need and
    // kept with it (the list text never changes while the object lives).
    std::shared_ptr<const KeywordSearch> m_KeywordSearch;
    // How the current send's check is going, for the host (Platform::SendChecked).
    SendResult m_SendResult;
    // While EnsureDefaultSettings runs, when every fetch from a server must have
    // ended; unset otherwise (a fetch then has its own time limit).
    std::chrono::steady_clock::time_point m_FetchDeadline{};

    // Lets the send-time validation tests and benchmarks call the rules directly.
    friend struct ValidationAccess;
    // Lets the settings tests call the settings routines directly.
    friend struct SettingsAccess;
};

}  // namespace postwarden
