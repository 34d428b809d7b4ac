// The times a person gives `postwarden log --since`, as record timestamps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/engine/LogRecord.h"

namespace postwarden {
namespace {

// Sets the local time zone for one test and puts the old one back.
class LocalZone {
  public:
    explicit LocalZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~LocalZone() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    std::optional<std::string> old_;
};

TEST(LogTimeTest, DatesAndTimesBecomeUtcTimestamps) {
    // Central European time: UTC+1 in winter, UTC+2 in summer.
    const LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const struct {
        const char* given;
        const char* stamp;
    } cases[] = {
        {"2026-12-06", "2026-12-05T23:00:00.000Z"},
        {"2026-12-06T14:30", "2026-12-06T13:30:00.000Z"},
        {"2026-12-06 14:30:05", "2026-12-06T13:30:05.000Z"},
        {"2026-07-01T12:00", "2026-07-01T10:00:00.000Z"},  // summer time
        {"2026-12-06T12:34:56.789Z", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56.7Z", "2026-12-06T12:34:56.700Z"},
        {"2026-12-06T12:34:56.78919Z", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56,5Z", "2026-12-06T12:34:56.500Z"},
        {"2026-12-06T14:30+01:00", "2026-12-06T13:30:00.000Z"},
        {"2026-12-06T07:30-0500", "2026-12-06T12:30:00.000Z"},
        {"2026-12-06T00:30+02", "2026-12-05T22:30:00.000Z"},
        {"2024-02-29T00:00Z", "2024-02-29T00:00:00.000Z"},
    };
    for (const auto& c : cases) EXPECT_EQ(TimestampOf(c.given), std::string(c.stamp)) << c.given;
}

TEST(LogTimeTest, AnythingElseIsRefused) {
    for (const char* bad : {"",
                            "yesterday",
                            "2026",
                            "2026-12",
                            "2026-12-6",
                            "26-12-06",
                            "2026-13-01",
                            "2026-00-10",
                            "2026-02-29",
                            "2026-04-31",
                            "2026-12-32",
                            "2026-12-06T",
                            "2026-12-06T14",
                            "2026-12-06T24:00",
                            "2026-12-06T12:60",
                            "2026-12-06T12:30:61",
                            "2026-12-06T12:30:00.",
                            "2026-12-06T12:30+25:00",
                            "2026-12-06T12:30Zulu",
                            "2026-12-06T12:30 ",
                            " 2026-12-06",
                            "2026-12-06T12:30:00.5x"}) {
        EXPECT_EQ(TimestampOf(bad), std::nullopt) << bad;
    }
}

TEST(LogTimeTest, OnlyARecordsOwnStampIsTakenForOne) {
    const struct {
        std::string line;
        std::string stamp;
    } cases[] = {
        {"2026-12-06T12:34:56.789Z\ttrace\t0\tA\tB\tC", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56.789Z", "2026-12-06T12:34:56.789Z"},
        {"2026-12-06T12:34:56.789Zx\ttrace", ""},
        {"2026-12-06 12:34:56.789Z\ttrace", ""},
        {"continued text of no record", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(LineTimestamp(c.line), c.stamp) << c.line;
}

}  // namespace
}  // namespace postwarden
