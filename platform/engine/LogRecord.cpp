#include "platform/engine/LogRecord.h"

#include <cctype>
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

namespace {

constexpr size_t kTimestampSize = 24;  // 2026-12-06T12:34:56.789Z

// `millis` is 0 to 999. A send to many recipients stamps thousands of records
// within one second: its date and time are worked out once per thread.
void AppendTimestamp(std::string& out, time_t seconds, int millis) {
    thread_local time_t cachedSeconds = 0;
    thread_local char cached[40];
    thread_local size_t cachedSize = 0;
    if (cachedSize == 0 || seconds != cachedSeconds) {
        tm utc{};
        gmtime_r(&seconds, &utc);
        cachedSize = strftime(cached, sizeof cached, "%Y-%m-%dT%H:%M:%S", &utc);
        cachedSeconds = seconds;
    }
    out.append(cached, cachedSize);
    const char fraction[] = {'.', static_cast<char>('0' + millis / 100),
                             static_cast<char>('0' + millis / 10 % 10),
                             static_cast<char>('0' + millis % 10), 'Z'};
    out.append(fraction, sizeof fraction);
}

std::string FormatTimestamp(time_t seconds, int millis) {
    std::string out;
    AppendTimestamp(out, seconds, millis);
    return out;
}

void AppendCurrentTimestamp(std::string& out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    AppendTimestamp(out, now.tv_sec, static_cast<int>(now.tv_nsec / 1000000));
}

// Reads exactly `count` digits at `at` into `value`, moving `at` past them.
bool Digits(std::string_view text, size_t& at, size_t count, int& value) {
    if (text.size() - at < count) return false;
    value = 0;
    for (size_t end = at + count; at < end; ++at) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) return false;
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

bool Expect(std::string_view text, size_t& at, char c) {
    if (at == text.size() || text[at] != c) return false;
    ++at;
    return true;
}

}  // namespace

std::string CurrentTimestamp() {
    std::string out;
    AppendCurrentTimestamp(out);
    return out;
}

std::optional<std::string> TimestampOf(std::string_view text) {
    tm fields{};
    size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
    if (!Digits(text, at, 4, year) || !Expect(text, at, '-') || !Digits(text, at, 2, month) ||
        !Expect(text, at, '-') || !Digits(text, at, 2, day)) {
        return std::nullopt;
    }
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!Digits(text, at, 2, hour) || !Expect(text, at, ':') || !Digits(text, at, 2, minute)) {
            return std::nullopt;
        }
        if (Expect(text, at, ':')) {
            if (!Digits(text, at, 2, second)) return std::nullopt;
            if (Expect(text, at, '.') || Expect(text, at, ',')) {
                const size_t start = at;
                int scale = 100;
                for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
                     ++at) {
                    millis += (text[at] - '0') * scale;
                    scale /= 10;
                }
                if (at == start) return std::nullopt;
            }
        }
    }
    // What is left is the zone: none (local time), "Z", or an offset from UTC.
    bool utc = false;
    int offsetMinutes = 0;
    if (Expect(text, at, 'Z')) {
        utc = true;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!Digits(text, at, 2, hours)) return std::nullopt;
        const bool colon = Expect(text, at, ':');
        if ((colon || at < text.size()) && !Digits(text, at, 2, minutes)) return std::nullopt;
        if (hours > 23 || minutes > 59) return std::nullopt;
        utc = true;
        offsetMinutes = sign * (hours * 60 + minutes);
    }
    if (at != text.size()) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
        year < 1900) {
        return std::nullopt;
    }
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    tm asGiven = fields;
    const time_t seconds = utc ? timegm(&fields) : mktime(&fields);
    // Both normalise a day past the month's end into the next month; such a
    // date names no day at all.
    if (seconds == static_cast<time_t>(-1) || fields.tm_mday != asGiven.tm_mday ||
        fields.tm_mon != asGiven.tm_mon) {
        return std::nullopt;
    }
    return FormatTimestamp(seconds - static_cast<time_t>(offsetMinutes) * 60, millis);
}

std::string_view LineTimestamp(std::string_view line) {
    if (line.size() < kTimestampSize ||
        (line.size() > kTimestampSize && line[kTimestampSize] != '\t')) {
        return {};
    }
    const std::string_view stamp = line.substr(0, kTimestampSize);
    // Every position but the separators is a digit.
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
    for (size_t i = 0; i < kTimestampSize; ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(stamp[i]));
        if (kShape[i] == 'd' ? !digit : stamp[i] != kShape[i]) return {};
    }
    return stamp;
}

void AppendRecordLine(std::string& out, std::string_view kind, int32_t level, std::string_view app,
                      std::string_view source, std::string_view message) {
    AppendCurrentTimestamp(out);
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
