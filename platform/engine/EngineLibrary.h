#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "module/HostEngine.h"

namespace postwarden {

class LogFile;

// The application name under which the module's settings are kept.
inline constexpr const char* kSettingsAppName = "Postwarden";

// EngineLogger over the process's log file: one "trace" record per call.
class FileEngineLogger final : public EngineLogger {
  public:
    // `log` must remain live while this logger is in use.
    explicit FileEngineLogger(LogFile& log) : log_(log) {}
    void WriteLog(std::string_view app, std::string_view source, std::string_view message,
                  int16_t level) override;

  private:
    LogFile& log_;
};

// EngineHelper over the process's log file: error reports are "event" records.
class FileEngineHelper final : public EngineHelper {
  public:
    // `log` must remain live while this helper is in use.
    explicit FileEngineHelper(LogFile& log) : log_(log) {}
    std::string SettingsAppName() override { return kSettingsAppName; }
    void LogEvent(std::string_view message, int32_t level, std::string_view source) override;
    int32_t MatchesEntry(std::string_view value, std::string_view entry) override;
    void PrepareForm(FormObject&) override {}

  private:
    LogFile& log_;
};

}  // namespace postwarden
