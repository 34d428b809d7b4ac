#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace postwarden {

class EngineHelper;

// The two lines a procedure's handler writes when a step fails:
// "Error occurred.  Reason: <description>", and, in procedures that keep a
// progress number, "Error occurred at line <line>.  Reason: <description>".
// The two blanks after each full stop are part of the text.
std::string FailureText(std::string_view description);
std::string FailureText(int32_t line, std::string_view description);

// Writes a failure line through the engine helper's LogEvent, at `level` under
// `source`. A failure to write it reaches the caller.
void ReportFailure(EngineHelper& helper, std::string_view source, int32_t level,
                   const std::string& text);

}  // namespace postwarden
