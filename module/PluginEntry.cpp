// The module library's first exported entry point; the second, which draws a
// form, is prompts/ShowForm.cpp. Everything else in the library is local.
#include <new>

#include "module/CPostwarden.h"

extern "C" postwarden::IModuleAPI* PostwardenCreateModule(postwarden::Platform* platform) {
    if (platform == nullptr) return nullptr;
    return new (std::nothrow) postwarden::CPostwarden(*platform);
}
