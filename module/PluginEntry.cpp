#include <new>

#include "module/CPostwarden.h"

extern "C" postwarden::IModuleAPI* PostwardenCreateModule(postwarden::Platform* platform) {
    if (platform == nullptr) return nullptr;
    return new (std::nothrow) postwarden::CPostwarden(*platform);
}
