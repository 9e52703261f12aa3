#include "foundation/clock.h"
#include "foundation/power.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "foundation/sysutil.h"

namespace {

// Sets TZ for the life of the object and restores the old setting after.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char *zone) : had(std::getenv("TZ") != nullptr), old(had ? std::getenv("TZ") : "")
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        had ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    bool had;
    std::string old;
};

int64_t utc_stamp(int year, int month, int day, int hour, int minute, int second)
{
    struct tm f {};
    f.tm_year = year - 1900, f.tm_mon = month - 1, f.tm_mday = day;
    f.tm_hour = hour, f.tm_min = minute, f.tm_sec = second;
    return static_cast<int64_t>(timegm(&f));
}

// Records what Power asks of the platform.
struct FakePowerImp : ZV::PowerImp {
    explicit FakePowerImp(std::vector<std::string> *calls) : calls(calls) {}
    void keepAwake() override { calls->push_back("awake"); }
    void letSleep() override { calls->push_back("sleep"); }
    std::vector<std::string> *calls;
};

} // namespace

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
    const uint16_t jan1 = 0x4A21, noon = 0x6000; // 2017-01-01 12:00:00
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_EQ(ZV::dosDateTimeToTime(jan1, noon), utc_stamp(2017, 1, 1, 12, 0, 0));
        EXPECT_EQ(ZV::dosDateTimeToTime(jan1, noon | 31), utc_stamp(2017, 1, 1, 12, 1, 2)); // 62 s
        EXPECT_EQ(ZV::dosDateTimeToTime(0, 0), utc_stamp(1979, 11, 30, 0, 0, 0));          // normalised
    }
    {
        // Summer time is decided by the zone's rules, not assumed off.
        ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(ZV::dosDateTimeToTime(jan1, noon), utc_stamp(2017, 1, 1, 11, 0, 0));
        const uint16_t jul1 = (37 << 9) | (7 << 5) | 1;
        EXPECT_EQ(ZV::dosDateTimeToTime(jul1, noon), utc_stamp(2017, 7, 1, 10, 0, 0));
    }

    EXPECT_EQ(ZV::timeToFileTime(0), 116444736000000000LL);
    EXPECT_EQ(ZV::timeToFileTime(-11644473600LL), 0);
    EXPECT_EQ(ZV::timeToFileTime(INT64_MAX), INT64_MAX); // clamped, not overflowed (UBSan)
    EXPECT_EQ(ZV::timeToFileTime(INT64_MIN), INT64_MIN);
}

TEST(PowerHold, NestedHoldsShareOnePlatformHold)
{
    std::vector<std::string> calls;
    {
        ZV::Power power(std::make_unique<FakePowerImp>(&calls));
        power.hold();
        power.hold();
        power.release();
        EXPECT_EQ(calls, std::vector<std::string>{"awake"});
        power.release();
        EXPECT_EQ(calls, (std::vector<std::string>{"awake", "sleep"}));
        power.release(); // without a hold: nothing, now or at destruction
        EXPECT_EQ(power.holdCount(), 0u);
    }
    EXPECT_EQ(calls.size(), 2u);

    calls.clear();
    {
        ZV::Power power(std::make_unique<FakePowerImp>(&calls));
        power.hold();
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"awake", "sleep"})); // released on destruction
}

TEST(PowerHold, LinuxImplementationLogsOnce)
{
    char pattern[] = "/tmp/zv_power_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string path = std::string(pattern) + "/ScanEngineLog.txt";
    log_open(path.c_str());
    {
        ZV::Power power; // the factory's implementation
        for (int i = 0; i < 2; i++) {
            power.hold();
            power.release();
        }
    }
    log_close();
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string log = text.str();
    size_t first = log.find("holds are counted only");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("holds are counted only", first + 1), std::string::npos) << log;
    std::filesystem::remove_all(pattern);
}
