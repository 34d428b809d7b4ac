#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace postwarden {

// One record of the log: a line of six TAB-separated fields,
//   TIMESTAMP KIND LEVEL APP SOURCE MESSAGE
// with `\`, TAB, CR, LF and other control characters escaped in the text fields
// so that no text can break a record or forge another.
struct LogRecord {
    std::string timestamp;  // UTC, 2026-12-06T12:34:56.789Z
    std::string kind;       // "trace" or "event"
    int32_t level = 0;
    std::string app;
    std::string source;
    std::string message;
};

inline constexpr std::string_view kKindTrace = "trace";
inline constexpr std::string_view kKindEvent = "event";

// Appends `text` to `out` with `\` as `\\`, TAB `\t`, CR `\r`, LF `\n` and other
// control characters (below 0x20, and 0x7F) as `\xHH`.
void AppendEscaped(std::string& out, std::string_view text);

// The inverse of AppendEscaped; nullopt for a malformed escape.
std::optional<std::string> Unescape(std::string_view text);

// The current time as a record timestamp.
std::string CurrentTimestamp();

// The record timestamp of the instant a person names as an ISO 8601 date
// ("2026-12-06", its midnight) or date and time ("2026-12-06T14:30",
// "2026-12-06 14:30:05.5"), in local time unless it ends in "Z" or an offset
// ("+01:00", "-0500"). Fractions finer than a millisecond are cut. Nothing when
// `text` is none of these or names no real date or time ("2026-02-30").
std::optional<std::string> TimestampOf(std::string_view text);

// The timestamp of a record's `line`: its first field when that has the form
// records are stamped with; empty otherwise. Timestamps of that form compare
// as texts in time order.
std::string_view LineTimestamp(std::string_view line);

// The record's line, ending in LF.
std::string FormatRecord(const LogRecord& record);
// Appends the line of a record stamped now to `out`.
void AppendRecordLine(std::string& out, std::string_view kind, int32_t level, std::string_view app,
                      std::string_view source, std::string_view message);

// Reads one line (without its LF) back into a record; nullopt when it is not one.
std::optional<LogRecord> ParseRecord(std::string_view line);

}  // namespace postwarden
