// Monotonic clock and time stamp conversions.
//
// The counter is CLOCK_MONOTONIC read in nanoseconds, so its frequency is
// 10^9 counts per second once the clock is known to work. The frequency is
// kept the way a counter with a variable rate would need it: read once at
// start-up, 0 meaning "no counter". Failures go to the class layer's console
// log at level 7, which is traced but not shown.

#include "foundation/clock.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "foundation/console_log.h"
#include "foundation/local_zone.h"

namespace {

// Counts per second of the monotonic counter; 0 when it cannot be read.
std::atomic<int64_t> g_frequency{0};

constexpr int64_t kNanosecondsPerSecond = 1000000000;
constexpr int kClockLogLevel = 7;

// Seconds between 1601-01-01 (file time origin) and 1970-01-01.
constexpr int64_t kEpochDelta1601 = 11644473600;
constexpr int64_t kFileTimeTicksPerSecond = 10000000;

} // namespace

void ZVClockInit()
{
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
        ZV::log(kClockLogLevel, "%s: QPF failed: %lu", "ZVClockInit", static_cast<unsigned long>(errno));
        g_frequency.store(0);
        return;
    }
    g_frequency.store(kNanosecondsPerSecond);
}

namespace {
// Reads the frequency among the static initialisers, like any counter set-up.
const bool g_clock_initialised = (ZVClockInit(), true);
} // namespace

double ZVClockGet()
{
    // A static initialiser of another file may get here before ours has run.
    static const bool initialised_here = (g_clock_initialised || (ZVClockInit(), true));
    (void)initialised_here;
    int64_t frequency = g_frequency.load(std::memory_order_relaxed);
    if (frequency == 0)
        return 0.0; // no counter; ZVClockInit has logged why
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        ZV::log(kClockLogLevel, "%s: QPC failed: %lu", "ZVClockGet", static_cast<unsigned long>(errno));
        return 0.0;
    }
    int64_t counts = static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
    return static_cast<double>(counts) / static_cast<double>(frequency);
}

namespace ZV {

int64_t dosDateTimeToTime(uint16_t date, uint16_t time)
{
    // The fields as mktime would take them (month 0-based, nothing clamped),
    // read as UTC, then converted by the zone's transitions: with TZ unset
    // mktime looks at /etc/localtime again on every call, which costs more
    // than the rest of a FAT walk together.
    const int64_t wall = civilSeconds(1980 + (date >> 9), ((date >> 5) & 15) - 1, date & 31, time >> 11,
                                      (time >> 5) & 63, (time & 31) * 2);
    return localWallToTime(wall);
}

int64_t timeToFileTime(int64_t seconds)
{
    // Clamp instead of overflowing: the widest stamps (about 29,000 years
    // from 1601 either way) fit; beyond them a signed overflow would be
    // undefined.
    constexpr int64_t kMaxSeconds = INT64_MAX / kFileTimeTicksPerSecond - kEpochDelta1601;
    constexpr int64_t kMinSeconds = INT64_MIN / kFileTimeTicksPerSecond - kEpochDelta1601;
    if (seconds > kMaxSeconds)
        return INT64_MAX;
    if (seconds < kMinSeconds)
        return INT64_MIN;
    return (seconds + kEpochDelta1601) * kFileTimeTicksPerSecond;
}

} // namespace ZV
