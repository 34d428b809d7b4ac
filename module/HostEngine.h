#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace postwarden {

class IModuleAPI;
class OutlookApplication;

// Anything the engine may be asked to prepare before it is shown (the two
// confirmation forms).
class FormObject {
  public:
    virtual ~FormObject() = default;
    // The form's name, e.g. "frmYesNoPrompt".
    virtual std::string_view FormName() const = 0;
};

// The host's engine object, handed to the module at start-up. Every call may
// throw RuntimeError.
class Engine {
  public:
    virtual ~Engine() = default;
    // The mail client's application object; never null (throws instead).
    virtual std::shared_ptr<OutlookApplication> Application() = 0;
    // Records that `module` wants the events of `selector`. The result means
    // nothing to the module.
    virtual int32_t RegisterModule(IModuleAPI& module, int32_t selector, std::string_view a,
                                   std::string_view b) = 0;
};

// The engine library's per-thread helper. Every call may throw RuntimeError.
class EngineHelper {
  public:
    virtual ~EngineHelper() = default;
    // Application name under which every setting is read and written.
    virtual std::string SettingsAppName() = 0;
    // Appends one error report to the log.
    virtual void LogEvent(std::string_view message, int32_t level, std::string_view source) = 0;
    // 1 when the whole `value` matches the glob `entry`, else 0.
    virtual int32_t MatchesEntry(std::string_view value, std::string_view entry) = 0;
    // Gives the engine a chance to adjust a form before it is shown.
    virtual void PrepareForm(FormObject& form) = 0;
};

// Writes one trace record; a new object is made for every record.
class EngineLogger {
  public:
    virtual ~EngineLogger() = default;
    virtual void WriteLog(std::string_view app, std::string_view source, std::string_view message,
                          int16_t level) = 0;
};

// Reads a key of the per-user registry.
class RegistryAccess {
  public:
    virtual ~RegistryAccess() = default;
    // 0 when the key was opened, 2 when it does not exist.
    virtual int32_t OpenKey(std::string_view path, uint32_t hive, int32_t access) = 0;
    // The named value of the open key as a number; throws when there is no open
    // key, no such value, or the value is not a number.
    virtual int32_t QueryValue(std::string_view name, int32_t reserved) = 0;
    virtual void CloseKey() = 0;
};

inline constexpr uint32_t kHiveCurrentUser = 0x80000001u;

}  // namespace postwarden
