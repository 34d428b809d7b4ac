#include "module/FailureReport.h"

#include "module/HostEngine.h"

namespace postwarden {

std::string FailureText(std::string_view description) {
    return "Error occurred.  Reason: " + std::string(description);
}

std::string FailureText(int32_t line, std::string_view description) {
    return "Error occurred at line " + std::to_string(line) +
           ".  Reason: " + std::string(description);
}

void ReportFailure(EngineHelper& helper, std::string_view source, int32_t level,
                   const std::string& text) {
    helper.LogEvent(text, level, source);
}

}  // namespace postwarden
