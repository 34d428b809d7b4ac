#include "host/settings/HistoryImport.h"

#include <array>
#include <charconv>

#include "host/audit/AuditSources.h"
#include "platform/history/RecipientHistory.h"
#include "platform/mailstore/AddressList.h"
#include "platform/mailstore/MimeMessage.h"
#include "util/RuntimeError.h"
#include "util/Text.h"

namespace postwarden::host {

namespace {

constexpr std::string_view kBlanks = " \t";

bool IsField(std::string_view name, std::string_view wanted) {
    return name.size() == wanted.size() && StartsWithNoCase(name, wanted);
}

// The fields of the header block in order, each as NAME and its unfolded
// value; `visit` is called for every one.
template <class Visit>
void ForEachField(std::string_view bytes, Visit visit) {
    size_t at = mailstore::HeaderStart(bytes);
    std::string_view name;
    std::string value;
    bool open = false;
    const auto finish = [&] {
        if (open) visit(name, std::string_view(value));
        open = false;
    };
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        std::string_view line = bytes.substr(at, end - at);
        at = end;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.empty()) break;  // the end of the header block
        if (line.front() == ' ' || line.front() == '\t') {
            if (open) value += line;
            continue;
        }
        finish();
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;  // no field: skipped
        name = Trim(line.substr(0, colon), kBlanks);
        value.assign(line.substr(colon + 1));
        open = true;
    }
    finish();
}

// Reads a number of `minDigits` to `maxDigits` digits at `text`'s front.
std::optional<int> TakeNumber(std::string_view& text, size_t minDigits, size_t maxDigits) {
    size_t n = 0;
    while (n < text.size() && n < maxDigits && text[n] >= '0' && text[n] <= '9') ++n;
    if (n < minDigits) return std::nullopt;
    int value = 0;
    std::from_chars(text.data(), text.data() + n, value);
    text.remove_prefix(n);
    return value;
}

void SkipBlanks(std::string_view& text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
}

std::string_view TakeWord(std::string_view& text) {
    size_t n = 0;
    while (n < text.size() &&
           ((text[n] >= 'a' && text[n] <= 'z') || (text[n] >= 'A' && text[n] <= 'Z'))) {
        ++n;
    }
    const std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The offset from UTC in minutes of a zone written as a name.
std::optional<int> NamedZone(std::string_view name) {
    static constexpr std::array<std::pair<std::string_view, int>, 10> kZones = {{
        {"UT", 0},
        {"GMT", 0},
        {"Z", 0},
        {"EST", -5 * 60},
        {"EDT", -4 * 60},
        {"CST", -6 * 60},
        {"CDT", -5 * 60},
        {"MST", -7 * 60},
        {"MDT", -6 * 60},
        {"PST", -8 * 60},
    }};
    for (const auto& [zone, offset] : kZones) {
        if (IsField(name, zone)) return offset;
    }
    if (IsField(name, "PDT")) return -7 * 60;
    // Other military zones are read as UTC, as the format's errata advise.
    if (name.size() == 1) return 0;
    return std::nullopt;
}

}  // namespace

std::optional<int64_t> ParseMailDate(std::string_view text) {
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SkipBlanks(text);
    // The day of the week, which says nothing the date does not.
    if (const size_t comma = text.find(','); comma != std::string_view::npos && comma <= 10) {
        text.remove_prefix(comma + 1);
        SkipBlanks(text);
    }
    const std::optional<int> day = TakeNumber(text, 1, 2);
    SkipBlanks(text);
    const std::string_view monthName = TakeWord(text);
    int month = 0;
    for (int i = 0; i < 12; ++i) {
        if (IsField(monthName, kMonths[i])) month = i + 1;
    }
    SkipBlanks(text);
    std::optional<int> year = TakeNumber(text, 2, 4);
    SkipBlanks(text);
    const std::optional<int> hour = TakeNumber(text, 2, 2);
    if (!day || month == 0 || !year || !hour || text.empty() || text.front() != ':') {
        return std::nullopt;
    }
    text.remove_prefix(1);
    const std::optional<int> minute = TakeNumber(text, 2, 2);
    std::optional<int> second = 0;
    if (!text.empty() && text.front() == ':') {
        text.remove_prefix(1);
        second = TakeNumber(text, 2, 2);
    }
    SkipBlanks(text);
    if (!minute || !second) return std::nullopt;
    // A two-digit year as the format's obsolete syntax reads it.
    if (*year < 50) {
        *year += 2000;
    } else if (*year < 1000) {
        *year += 1900;
    }
    int offset = 0;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        const int sign = text.front() == '-' ? -1 : 1;
        text.remove_prefix(1);
        const std::optional<int> zone = TakeNumber(text, 4, 4);
        if (!zone) return std::nullopt;
        offset = sign * ((*zone / 100) * 60 + *zone % 100);
    } else {
        const std::optional<int> named = NamedZone(TakeWord(text));
        if (!named) return std::nullopt;
        offset = *named;
    }
    if (*day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    return DaysFromCivil(*year, month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second -
           offset * 60;
}

SentMessage ReadSentMessage(std::string_view bytes) {
    SentMessage message;
    ForEachField(bytes, [&message](std::string_view name, std::string_view value) {
        if (IsField(name, "To") || IsField(name, "Cc") || IsField(name, "Bcc")) {
            for (mailstore::RawMailbox& mailbox : mailstore::SplitAddressList(value)) {
                message.addresses.push_back(std::move(mailbox.address));
            }
        } else if (IsField(name, "Date") && !message.date) {
            message.date = ParseMailDate(value);
        } else if (IsField(name, "Message-ID") && message.messageId.empty()) {
            message.messageId = std::string(Trim(value, kBlanks));
        }
    });
    return message;
}

HistoryImportReport ImportHistory(const std::string& historyPath,
                                  const std::vector<std::string>& sources, int64_t now) {
    HistoryImportReport report;
    const AuditSources found = ListSources(sources);
    report.unreadableSources = found.unreadable.size();
    for (const SourceProblem& problem : found.unreadable) {
        report.problems.push_back(problem.source + ": " + problem.reason);
    }
    for (const SourceProblem& problem : found.notRead) {
        report.problems.push_back(problem.source + ": " + problem.reason);
    }
    std::vector<RecipientHistory::Send> sends;
    sends.reserve(found.messages.size());
    for (const AuditMessage& stored : found.messages) {
        ++report.messages;
        SentMessage message;
        try {
            message = ReadSentMessage(stored.Bytes());
        } catch (const RuntimeError& e) {
            report.problems.push_back(stored.name + ": " + e.Description());
            continue;
        }
        sends.push_back({std::move(message.addresses), message.date.value_or(now),
                         std::move(message.messageId)});
    }
    // Nothing to read makes no history.
    if (sends.empty()) return report;
    RecipientHistory history(historyPath);
    const RecipientHistory::Counts counts = history.Record(sends);
    report.recorded = counts.recorded;
    report.already = counts.repeated;
    report.noMailbox = counts.nobody;
    return report;
}

}  // namespace postwarden::host
