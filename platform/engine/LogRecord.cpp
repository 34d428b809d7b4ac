#include "platform/engine/LogRecord.h"

#include <ctime>
#include <vector>

namespace postwarden {

void AppendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t plain = 0;  // start of the run not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F && c != '\\') continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out.append(text.substr(plain));
}

std::optional<std::string> Unescape(std::string_view text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 'x': {
                if (i + 2 >= text.size()) return std::nullopt;
                const int high = hexValue(text[i + 1]);
                const int low = hexValue(text[i + 2]);
                if (high < 0 || low < 0) return std::nullopt;
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

std::string CurrentTimestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char buffer[32];
    const size_t n = strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[16];
    snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(now.tv_nsec / 1000000));
    return std::string(buffer, n) + millis;
}

void AppendRecordLine(std::string& out, std::string_view kind, int32_t level, std::string_view app,
                      std::string_view source, std::string_view message) {
    out += CurrentTimestamp();
    out += '\t';
    out += kind;
    out += '\t';
    out += std::to_string(level);
    out += '\t';
    AppendEscaped(out, app);
    out += '\t';
    AppendEscaped(out, source);
    out += '\t';
    AppendEscaped(out, message);
    out += '\n';
}

std::string FormatRecord(const LogRecord& record) {
    std::string out = record.timestamp;
    out += '\t';
    out += record.kind;
    out += '\t';
    out += std::to_string(record.level);
    out += '\t';
    AppendEscaped(out, record.app);
    out += '\t';
    AppendEscaped(out, record.source);
    out += '\t';
    AppendEscaped(out, record.message);
    out += '\n';
    return out;
}

std::optional<LogRecord> ParseRecord(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == '\t') {
            fields.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    if (fields.size() != 6) return std::nullopt;
    LogRecord record;
    record.timestamp = fields[0];
    record.kind = fields[1];
    if (fields[2].empty()) return std::nullopt;
    try {
        size_t used = 0;
        record.level = std::stoi(std::string(fields[2]), &used);
        if (used != fields[2].size()) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    auto app = Unescape(fields[3]);
    auto source = Unescape(fields[4]);
    auto message = Unescape(fields[5]);
    if (!app || !source || !message) return std::nullopt;
    record.app = std::move(*app);
    record.source = std::move(*source);
    record.message = std::move(*message);
    return record;
}

}  // namespace postwarden
