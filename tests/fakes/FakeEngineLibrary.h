#pragma once

// The engine library's objects over a FakePlatform: the helper and the logger
// write into its log, the list splits at CR LF, the registry reads its keys.

#include <memory>

#include "module/HostEngine.h"

namespace postwarden::fakes {

class FakePlatform;

std::unique_ptr<EngineHelper> NewFakeHelper(FakePlatform& platform);
std::unique_ptr<EngineLogger> NewFakeLogger(FakePlatform& platform);
std::unique_ptr<DelimitedList> NewFakeList(FakePlatform& platform);
std::unique_ptr<RegistryAccess> NewFakeRegistryAccess(FakePlatform& platform);

}  // namespace postwarden::fakes
