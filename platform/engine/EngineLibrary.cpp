#include "platform/engine/EngineLibrary.h"

#include "platform/engine/LogFile.h"
#include "platform/engine/LogRecord.h"
#include "util/Glob.h"
#include "util/RuntimeError.h"

namespace postwarden {

void FileEngineLogger::WriteLog(std::string_view app, std::string_view source,
                                std::string_view message, int16_t level) {
    log_.Append(kKindTrace, level, app, source, message);
}

void FileEngineHelper::LogEvent(std::string_view message, int32_t level, std::string_view source) {
    log_.Append(kKindEvent, level, "", source, message);
}

int32_t FileEngineHelper::MatchesEntry(std::string_view value, std::string_view entry) {
    return GlobMatch(value, entry) ? 1 : 0;
}

}  // namespace postwarden
