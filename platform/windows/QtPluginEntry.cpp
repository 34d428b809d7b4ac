// The Qt window plugin's one exported entry point; everything else in it is local.
#include <new>
#include <string>

#include "platform/windows/QtWindowSystem.h"
#include "platform/windows/WindowPlugin.h"

extern "C" postwarden::PluginWindowSystem* PostwardenCreateQtWindowSystem(std::string* failure) {
    using postwarden::QtWindowSystem;
    if (!QtWindowSystem::Available()) {
        if (failure != nullptr) *failure = "no display accepts Qt's windows";
        return nullptr;
    }
    auto* windows = new (std::nothrow) QtWindowSystem();
    if (windows == nullptr && failure != nullptr) *failure = "out of memory";
    return windows;
}
