// Daily peaks over hand-made timelines, in a zone with daylight-saving changes.

#include <history/history.h>

#include <QDateTime>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace history;

namespace {

// Local days are those of Berlin: 2026-03-29 has 23 hours, 2026-10-25 has 25.
const bool zoneSet = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
}();

std::int64_t At(const char *date, int h, int m = 0)
{
    return QDateTime(QDate::fromString(QString::fromLatin1(date), Qt::ISODate), QTime(h, m))
        .toMSecsSinceEpoch();
}

QDate D(const char *date)
{
    return QDate::fromString(QString::fromLatin1(date), Qt::ISODate);
}

TSpan S(int code, int host, std::int64_t start, std::int64_t end)
{
    return TSpan{code, host, start, end};
}

struct Want {
    const char *day;
    int code;
    int host;
    int peak;
    double hours;
    int clients;
};

struct Case {
    const char *name;
    std::vector<TSpan> spans;
    const char *from;
    const char *to;
    bool byHost;
    std::int64_t openUntil;
    std::vector<Want> want;
};

TEST(Peaks, HandMadeTimelines)
{
    ASSERT_TRUE(zoneSet);
    const std::vector<Case> cases = {
        {"overlapping instances",
         {S(83, 0, At("2026-03-02", 9), At("2026-03-02", 12)),
          S(83, 1, At("2026-03-02", 10), At("2026-03-02", 11)),
          S(83, 0, At("2026-03-02", 11, 30), At("2026-03-02", 13)),
          S(83, 2, At("2026-03-02", 11, 45), At("2026-03-02", 11, 50))},
         "2026-03-02",
         "2026-03-02",
         false,
         0,
         {{"2026-03-02", 83, -1, 3, 3 + 1 + 1.5 + 5.0 / 60, 3}}},
        {"one starts as another ends",
         {S(10, 0, At("2026-03-02", 9), At("2026-03-02", 10)),
          S(10, 1, At("2026-03-02", 10), At("2026-03-02", 11))},
         "2026-03-02",
         "2026-03-02",
         false,
         0,
         {{"2026-03-02", 10, -1, 1, 2, 2}}},
        {"across midnight, counted on both days",
         {S(93, 0, At("2026-03-02", 22), At("2026-03-03", 2)),
          S(93, 1, At("2026-03-03", 1), At("2026-03-03", 3))},
         "2026-03-02",
         "2026-03-03",
         false,
         0,
         {{"2026-03-02", 93, -1, 1, 2, 1}, {"2026-03-03", 93, -1, 2, 4, 2}}},
        {"ending at midnight is not in the next day",
         {S(93, 0, At("2026-03-02", 20), At("2026-03-03", 0)),
          S(93, 1, At("2026-03-03", 0), At("2026-03-03", 1))},
         "2026-03-02",
         "2026-03-04",
         false,
         0,
         {{"2026-03-02", 93, -1, 1, 4, 1}, {"2026-03-03", 93, -1, 1, 1, 1}}},
        {"a day of 23 hours",
         {S(97, 0, At("2026-03-28", 12), At("2026-03-30", 12)),
          S(97, 1, At("2026-03-29", 1), At("2026-03-29", 4))},
         "2026-03-29",
         "2026-03-29",
         false,
         0,
         // 01:00 to 04:00 on that night is two hours: 02:00 does not exist.
         {{"2026-03-29", 97, -1, 2, 23 + 2, 2}}},
        {"a day of 25 hours",
         {S(97, 0, At("2026-10-24", 12), At("2026-10-26", 12)),
          S(97, 1, At("2026-10-25", 1), At("2026-10-25", 4))},
         "2026-10-25",
         "2026-10-25",
         false,
         0,
         {{"2026-10-25", 97, -1, 2, 25 + 4, 2}}},
        {"still open at the report's end",
         {S(83, 0, At("2026-03-02", 8), -1), S(83, 1, At("2026-03-02", 9), At("2026-03-09", 9))},
         "2026-03-01",
         "2026-03-02",
         false,
         At("2026-03-02", 15),
         {{"2026-03-02", 83, -1, 2, 7 + 15, 2}}},
        {"applications apart, and by host",
         {S(83, 0, At("2026-03-02", 9), At("2026-03-02", 10)),
          S(83, 0, At("2026-03-02", 9), At("2026-03-02", 11)),
          S(83, 1, At("2026-03-02", 9), At("2026-03-02", 10)),
          S(10, 1, At("2026-03-02", 9), At("2026-03-02", 10))},
         "2026-03-02",
         "2026-03-02",
         true,
         0,
         {{"2026-03-02", 10, 1, 1, 1, 1}, {"2026-03-02", 83, 0, 2, 3, 1}, {"2026-03-02", 83, 1, 1, 1, 1}}},
        {"nothing inside the range",
         {S(83, 0, At("2026-03-02", 9), At("2026-03-02", 10)),
          S(83, 0, At("2026-03-05", 9), At("2026-03-05", 9))},
         "2026-03-03",
         "2026-03-06",
         false,
         0,
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto rows = ComputePeaks(c.spans, D(c.from), D(c.to), c.byHost, c.openUntil);
        ASSERT_EQ(rows.size(), c.want.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Want &w = c.want[i];
            EXPECT_EQ(rows[i].day, D(w.day)) << i;
            EXPECT_EQ(rows[i].code, w.code) << i;
            EXPECT_EQ(rows[i].host, w.host) << i;
            EXPECT_EQ(rows[i].peak, w.peak) << i;
            EXPECT_NEAR(rows[i].instanceHours, w.hours, 1e-9) << i;
            EXPECT_EQ(rows[i].clients, w.clients) << i;
        }
    }
}

TEST(Peaks, DaysFollowTheZone)
{
    EXPECT_EQ(DayStart(D("2026-03-30")) - DayStart(D("2026-03-29")), 23 * 3600000LL);
    EXPECT_EQ(DayStart(D("2026-10-26")) - DayStart(D("2026-10-25")), 25 * 3600000LL);
    EXPECT_TRUE(
        ComputePeaks({S(83, 0, 0, At("2026-03-02", 1))}, D("2026-03-02"), D("2026-03-01"), false, 0).empty());
}

TEST(Series, MostRunningInEachSlice)
{
    const std::int64_t t0 = At("2026-03-02", 0);
    const std::int64_t h = 3600000;
    // Four slices of six hours.
    const auto series = ComputeSeries({S(83, 0, t0 + 1 * h, t0 + 7 * h), S(83, 1, t0 + 2 * h, t0 + 3 * h),
                                       S(83, 2, t0 + 6 * h, t0 + 6 * h + 1), S(10, 0, t0 + 20 * h, -1)},
                                      t0, t0 + 24 * h, 4, t0 + 30 * h);
    ASSERT_EQ(series.size(), 2u);
    EXPECT_EQ(series[0].code, 10);
    EXPECT_EQ(series[0].peaks, (std::vector<int>{0, 0, 0, 1}));
    EXPECT_EQ(series[1].code, 83);
    EXPECT_EQ(series[1].peaks, (std::vector<int>{2, 2, 0, 0}));
}

} // namespace
