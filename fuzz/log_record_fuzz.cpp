// The log record encoder: any application name, source and message must come
// back unchanged from the record's line, and a record must be exactly one line
// of six fields, so that no text can break a record or forge another. Lines
// read from a log that someone else wrote must never crash the reader.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/engine/LogRecord.h"

namespace postwarden {
namespace {

bool SameRecord(const LogRecord& a, const LogRecord& b) {
    return a.timestamp == b.timestamp && a.kind == b.kind && a.level == b.level && a.app == b.app &&
           a.source == b.source && a.message == b.message;
}

void CheckLine(std::string_view line) {
    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    FUZZ_CHECK(std::count(line.begin(), line.end(), '\n') == 1);
    FUZZ_CHECK(std::count(line.begin(), line.end(), '\r') == 0);
    FUZZ_CHECK(std::count(line.begin(), line.end(), '\t') == 5);
    for (char c : line.substr(0, line.size() - 1)) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u == '\t' || (u >= 0x20 && u != 0x7F));
    }
}

}  // namespace
}  // namespace postwarden

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace postwarden;
    const std::string_view raw(reinterpret_cast<const char*>(data), size);

    // Whatever is in a log file: reading a line never fails, and a line that
    // reads as a record reads the same once written again.
    if (const auto parsed = ParseRecord(raw)) {
        const std::string again = FormatRecord(*parsed);
        if (parsed->timestamp.find_first_of("\t\n") == std::string::npos &&
            parsed->kind.find_first_of("\t\n") == std::string::npos) {
            const auto reread = ParseRecord(std::string_view(again).substr(0, again.size() - 1));
            FUZZ_CHECK(reread && SameRecord(*reread, *parsed));
        }
    }
    if (const auto unescaped = Unescape(raw)) {
        std::string escaped;
        AppendEscaped(escaped, *unescaped);
        FUZZ_CHECK(Unescape(escaped) == unescaped);
    }

    FuzzedDataProvider provider(data, size);
    LogRecord record;
    record.timestamp = CurrentTimestamp();
    record.kind = provider.ConsumeBool() ? kKindTrace : kKindEvent;
    record.level = provider.ConsumeIntegral<int32_t>();
    record.app = provider.ConsumeRandomLengthString(size);
    record.source = provider.ConsumeRandomLengthString(size);
    record.message = provider.ConsumeRemainingBytesAsString();

    const std::string line = FormatRecord(record);
    CheckLine(line);
    const auto decoded = ParseRecord(std::string_view(line).substr(0, line.size() - 1));
    FUZZ_CHECK(decoded && SameRecord(*decoded, record));

    std::string appended = "earlier line\n";
    AppendRecordLine(appended, record.kind, record.level, record.app, record.source,
                     record.message);
    CheckLine(std::string_view(appended).substr(13));
    const std::string_view appendedLine = std::string_view(appended).substr(13);
    const auto reread = ParseRecord(appendedLine.substr(0, appendedLine.size() - 1));
    FUZZ_CHECK(reread && reread->app == record.app && reread->source == record.source &&
               reread->message == record.message && reread->level == record.level);
    return 0;
}
