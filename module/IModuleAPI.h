#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace postwarden {

class Engine;
class OutlookItem;
class Platform;

// Stands for an explorer or inspector window of the mail client; the module
// does not look inside.
class HostWindow {
  public:
    virtual ~HostWindow() = default;
};

// The host's interface to a module, in slot order. The host calls every member
// on one thread.
class IModuleAPI {
  public:
    virtual ~IModuleAPI() = default;
    virtual std::string RegistryName() = 0;
    virtual std::string FriendlyName() = 0;
    virtual int32_t YSStartup(std::shared_ptr<Engine>& Engine) = 0;
    virtual int32_t YSShutdown() = 0;
    virtual std::string YSSendMessage(std::string& theMessage) = 0;
    // May throw: the host logs the failure and goes on.
    virtual int32_t YSExplorerOpen(HostWindow* explorer) = 0;
    virtual int32_t YSExplorerClose(HostWindow* explorer) = 0;
    virtual int32_t YSExplorerActivate(HostWindow* explorer) = 0;
    virtual int32_t YSExplorerDeactivate(HostWindow* explorer) = 0;
    virtual int32_t YSInspectorOpen(HostWindow* inspector) = 0;
    virtual int32_t YSInspectorClose(HostWindow* inspector) = 0;
    virtual int32_t YSInspectorActivate(HostWindow* inspector) = 0;
    virtual int32_t YSInspectorDeactivate(HostWindow* inspector) = 0;
    virtual int32_t YSButtonAction(int32_t& buttonId, bool& CancelDefault) = 0;
    virtual int32_t YSMenuAction(int32_t& menuId, bool& CancelDefault) = 0;
    virtual int32_t YSHotkeyAction(int32_t& lp) = 0;
    // Selector 4 is "item about to be sent"; Cancel true stops the send.
    virtual int32_t YSItemEvent(int32_t& EventSelector, std::shared_ptr<OutlookItem>& item,
                                bool& Cancel, std::string& folderEntryId,
                                std::string& folderStoreId) = 0;
    virtual std::string Version() = 0;
};

inline constexpr int32_t kSelectorItemSend = 4;

}  // namespace postwarden

// The one symbol the module's shared library exports: creates the module for
// `platform`, which must outlive it; the caller owns the result and deletes it
// through IModuleAPI's virtual destructor. Returns null when creation fails.
extern "C" postwarden::IModuleAPI* PostwardenCreateModule(postwarden::Platform* platform);

inline constexpr const char* kModuleEntryPoint = "PostwardenCreateModule";
