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
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/console_log.h"

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
    // mktime reads the time zone from TZ on its own; calling tzset once up
    // front keeps the first conversion from paying for it mid-scan.
    static std::once_flag tz_once;
    std::call_once(tz_once, [] { tzset(); });

    struct tm fields {};
    fields.tm_sec = (time & 31) * 2;
    fields.tm_min = (time >> 5) & 63;
    fields.tm_hour = time >> 11;
    fields.tm_mday = date & 31;
    fields.tm_mon = ((date >> 5) & 15) - 1;
    fields.tm_year = 1980 + (date >> 9) - 1900;
    fields.tm_isdst = -1; // let the zone rules decide

    // With TZ unset the C library looks at /etc/localtime again on every
    // mktime, which costs more than the rest of a FAT walk together. The
    // zone's offset changes only on hour boundaries, so it is asked once per
    // local hour (and again whenever TZ changes) and kept per thread.
    constexpr size_t kMaxCachedHours = 4096;
    thread_local std::unordered_map<uint32_t, int64_t> offsets;
    thread_local std::string zone;
    const char *tz = getenv("TZ");
    const std::string current = tz != nullptr ? std::string("=") + tz : std::string();
    if (current != zone || offsets.size() >= kMaxCachedHours) {
        offsets.clear();
        zone = current;
    }
    const uint32_t key = (uint32_t)date << 5 | (uint32_t)(time >> 11);
    auto found = offsets.find(key);
    if (found == offsets.end()) {
        struct tm hour = fields;
        hour.tm_min = 0;
        hour.tm_sec = 0;
        struct tm utc = hour;
        const time_t local = mktime(&hour);
        const time_t plain = timegm(&utc);
        if (local == (time_t)-1 || plain == (time_t)-1)
            return static_cast<int64_t>(mktime(&fields)); // outside what the zone rules cover
        found = offsets.emplace(key, static_cast<int64_t>(local) - static_cast<int64_t>(plain)).first;
    }
    struct tm utc = fields;
    return static_cast<int64_t>(timegm(&utc)) + found->second;
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
