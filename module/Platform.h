#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "module/HostEngine.h"
#include "module/MailClient.h"
#include "module/MapiSession.h"
#include "module/RuntimeError.h"
#include "module/WindowSystem.h"

namespace postwarden {

// Everything outside the module: the host engine library, the per-user settings
// store and registry, the MAPI session component, files and the window system.
// The module reaches the world only through the Platform it is created with.
//
// Every operation reports failure by throwing RuntimeError; an implementation
// never lets another exception out. A Platform must remain live while any
// module created with it is in use, and is used from one thread at a time.
class Platform {
  public:
    Platform() : serial_(NextSerial()) {}
    virtual ~Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // Tells platforms apart even when one is created where an old one was.
    uint64_t Serial() const { return serial_; }

    // Host engine library.
    virtual std::unique_ptr<EngineHelper> NewEngineHelper() = 0;
    virtual std::unique_ptr<EngineLogger> NewEngineLogger() = 0;
    virtual std::unique_ptr<DelimitedList> NewDelimitedList() = 0;
    virtual std::unique_ptr<RegistryAccess> NewRegistryAccess() = 0;

    // The per-user settings store. A key that does not exist reads as
    // `defaultValue`; one that exists reads as stored, also when empty. A write
    // creates the key or overwrites it.
    virtual std::string GetSetting(std::string_view app, std::string_view section,
                                   std::string_view key, std::string_view defaultValue) = 0;
    virtual void SaveSetting(std::string_view app, std::string_view section, std::string_view key,
                             std::string_view value) = 0;

    // Creates an outside object by its programmatic identifier; only the MAPI
    // session component ("PWOutlook.PWRDOSession") is known. Throws "Can't
    // create object" for any other name.
    virtual std::shared_ptr<MapiSession> CreateMapiSession(std::string_view progId) = 0;

    // The whole content of a text file, its bytes as they are. A file larger
    // than limits::kMaxSettingsDocumentBytes is refused (the settings document
    // is the only text file the module reads).
    virtual std::string ReadTextFile(std::string_view path) = 0;

    virtual WindowSystem& Windows() = 0;

  private:
    static uint64_t NextSerial() {
        static std::atomic<uint64_t> next{1};
        return next++;
    }

    uint64_t serial_;
};

}  // namespace postwarden
