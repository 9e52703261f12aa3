#include "foundation/clock.h"
#include "foundation/log.h"
#include "foundation/power.h"
#include "foundation/sysutil.h"
#include "support/test_support.h"

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

int64_t utc_stamp(int year, int month, int day, int hour, int minute, int second)
{
    struct tm f {};
    f.tm_year = year - 1900, f.tm_mon = month - 1, f.tm_mday = day, f.tm_hour = hour, f.tm_min = minute;
    f.tm_sec = second;
    return timegm(&f);
}

using Calls = std::vector<std::string>;

// Records what Power asks of the platform.
struct FakePowerImp : ZV::PowerImp {
    explicit FakePowerImp(Calls *calls) : calls(calls) {}
    void keepAwake() override { calls->push_back("awake"); }
    void letSleep() override { calls->push_back("sleep"); }
    Calls *calls;
};

TEST(MonotonicClock, NeverGoesBackAndFollowsASleep)
{
    double previous = ZVClockGet();
    EXPECT_GT(previous, 0.0);
    for (int i = 0; i < 10000; i++) {
        double now = ZVClockGet();
        ASSERT_GE(now, previous);
        previous = now;
    }
    zv_usleep(5000);
    EXPECT_GE(ZVClockGet() - previous, 0.005); // lower bound only
}

TEST(TimeConversion, FatDateTimeInTheLocalZoneAndFileTime)
{
    const uint16_t jan1 = 0x4A21, jul1 = (37 << 9) | (7 << 5) | 1, noon = 0x6000; // 2017, 12:00:00
    const char *cet = "CET-1CEST,M3.5.0,M10.5.0/3"; // summer time decided by the zone's rules
    struct Row { const char *zone; uint16_t date, time; int64_t expected; };
    const Row rows[] = {
        {"UTC0", jan1, noon, utc_stamp(2017, 1, 1, 12, 0, 0)},
        {"UTC0", jan1, noon | 31, utc_stamp(2017, 1, 1, 12, 1, 2)}, // 62 s, normalised
        {"UTC0", 0, 0, utc_stamp(1979, 11, 30, 0, 0, 0)},           // day 0 of month -1
        {cet, jan1, noon, utc_stamp(2017, 1, 1, 11, 0, 0)},
        {cet, jul1, noon, utc_stamp(2017, 7, 1, 10, 0, 0)},
    };
    for (const Row &row : rows) {
        zvtest::ScopedEnv zone("TZ", row.zone);
        EXPECT_EQ(ZV::dosDateTimeToTime(row.date, row.time), row.expected) << row.zone << " " << row.date;
    }
    EXPECT_EQ(ZV::timeToFileTime(0), 116444736000000000LL);
    EXPECT_EQ(ZV::timeToFileTime(-11644473600LL), 0);
    EXPECT_EQ(ZV::timeToFileTime(INT64_MAX), INT64_MAX); // clamped, not overflowed (UBSan)
    EXPECT_EQ(ZV::timeToFileTime(INT64_MIN), INT64_MIN);
}

TEST(PowerHold, NestedHoldsShareOnePlatformHold)
{
    Calls calls;
    {
        ZV::Power power(std::make_unique<FakePowerImp>(&calls));
        power.hold();
        power.hold();
        power.release();
        EXPECT_EQ(calls, Calls{"awake"});
        power.release();
        EXPECT_EQ(calls, (Calls{"awake", "sleep"}));
        power.release(); // without a hold: nothing, now or at destruction
    }
    EXPECT_EQ(calls, (Calls{"awake", "sleep"}));
    calls.clear();
    {
        ZV::Power power(std::make_unique<FakePowerImp>(&calls));
        power.hold();
    }
    EXPECT_EQ(calls, (Calls{"awake", "sleep"})); // released on destruction
}

TEST(PowerHold, LinuxImplementationLogsOnce)
{
    zvtest::TempDir dir;
    std::string path = dir / "ScanEngineLog.txt";
    log_open(path.c_str());
    {
        ZV::Power power; // the factory's implementation
        for (int i = 0; i < 2; i++) {
            power.hold();
            power.release();
        }
    }
    log_close();
    std::string log = zvtest::readFile(path);
    size_t first = log.find("holds are counted only");
    EXPECT_TRUE(first != std::string::npos && log.find("holds are counted only", first + 1) == std::string::npos)
        << log;
}

} // namespace
