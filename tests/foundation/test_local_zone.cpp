// Local wall-clock times to time stamps against the C library's mktime,
// around every change of offset of real zones (summer time, half-hour and
// quarter-hour zones, a skipped day, changes of standard time) and with TZ
// unset, the zone read from /etc/localtime; what a conversion costs the C
// library, whatever the times asked for; and when a changed zone is seen.
#include "foundation/clock.h"
#include "foundation/local_zone.h"
#include "foundation/sysutil.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

#include <dlfcn.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {
std::atomic<long> g_mktime_calls{0};
std::atomic<long> g_localtime_calls{0};
} // namespace

// The C library's mktime and localtime_r, counted: the conversion must not
// need mktime, and localtime_r only to learn a zone's changes once.
extern "C" time_t mktime(struct tm *fields) noexcept
{
    static const auto real = reinterpret_cast<time_t (*)(struct tm *)>(dlsym(RTLD_NEXT, "mktime"));
    g_mktime_calls++;
    return real(fields);
}

extern "C" struct tm *localtime_r(const time_t *__restrict when, struct tm *__restrict out) noexcept
{
    static const auto real =
        reinterpret_cast<struct tm *(*)(const time_t *, struct tm *)>(dlsym(RTLD_NEXT, "localtime_r"));
    g_localtime_calls++;
    return real(when, out);
}

namespace {

constexpr int64_t kDay = 86400;

struct tm fieldsOf(int64_t wall)
{
    const time_t t = static_cast<time_t>(wall);
    struct tm fields {};
    gmtime_r(&t, &fields);
    return fields;
}

int64_t utc(int year, int month, int day)
{
    struct tm f {};
    f.tm_year = year - 1900, f.tm_mon = month - 1, f.tm_mday = day;
    return timegm(&f);
}

// For a child that mounts zone files over /etc/localtime: a mount
// namespace of its own, so that nothing it mounts reaches the machine.
bool ownMountNamespace(const zvtest::ChildNotes &note)
{
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return true;
    note(std::string("no mount namespace: ") + strerror(errno));
    return false;
}

// mktime's answer for a wall time (tm_isdst -1) right after it converted
// the same time a day earlier: its answer for an hour that exists twice
// depends on what it converted last, and this is the history under which
// the conversion promises to agree (the offset before the change).
int64_t mktimeAfterTheDayBefore(int64_t wall)
{
    struct tm before = fieldsOf(wall - kDay);
    before.tm_isdst = -1;
    mktime(&before);
    struct tm fields = fieldsOf(wall);
    fields.tm_isdst = -1;
    return mktime(&fields);
}

uint16_t fatDate(const struct tm &f)
{
    return static_cast<uint16_t>((f.tm_year + 1900 - 1980) << 9 | (f.tm_mon + 1) << 5 | f.tm_mday);
}

uint16_t fatTime(const struct tm &f)
{
    return static_cast<uint16_t>(f.tm_hour << 11 | f.tm_min << 5 | f.tm_sec / 2);
}

// Wall times within 30 hours of every change of the current zone's offset
// in the year, every quarter hour, plus the seconds at the edges of the
// hour skipped or repeated. The changes are found by stepping localtime_r a
// quarter hour at a time (zones change on quarter hours since 1980).
std::vector<int64_t> wallsAroundChanges(int year, int *changes)
{
    std::vector<int64_t> walls;
    *changes = 0;
    const time_t start = utc(year, 1, 1), end = utc(year + 1, 1, 1);
    struct tm f {};
    localtime_r(&start, &f);
    long before = f.tm_gmtoff;
    for (time_t t = start + 900; t <= end; t += 900) {
        localtime_r(&t, &f);
        const long after = f.tm_gmtoff;
        if (after == before)
            continue;
        ++*changes;
        const int64_t first = std::min<int64_t>(t - 900 + before, t + after) - 30 * 3600;
        const int64_t last = std::max<int64_t>(t + before, t + after) + 30 * 3600;
        for (int64_t wall = first - first % 900; wall <= last; wall += 900)
            walls.push_back(wall);
        for (int64_t edge : {(int64_t)t + before, (int64_t)t + after})
            for (int64_t d : {-2, 0, 2})
                walls.push_back(edge + d);
        before = after;
    }
    return walls;
}

// The walls whose conversion differs from mktime's, described (at most
// five), or "" when all agree.
std::string differences(const std::vector<int64_t> &walls)
{
    std::string out;
    int count = 0;
    for (int64_t wall : walls) {
        const struct tm f = fieldsOf(wall);
        const int64_t ours = ZV::dosDateTimeToTime(fatDate(f), fatTime(f));
        const int64_t expected = mktimeAfterTheDayBefore(wall);
        if (ours == expected)
            continue;
        if (++count <= 5) {
            char line[160];
            std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d: %lld, mktime %lld\n", f.tm_year + 1900,
                          f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, (long long)ours,
                          (long long)expected);
            out += line;
        }
    }
    return count == 0 ? "" : out + std::to_string(count) + " of " + std::to_string(walls.size()) + " differ";
}

// The differences around the changes of the years given, with the number
// of changes found (a year without one would test nothing).
std::string zoneDifferences(const std::vector<int> &years)
{
    std::string out;
    for (int year : years) {
        int changes = 0;
        const std::vector<int64_t> walls = wallsAroundChanges(year, &changes);
        if (changes == 0)
            out += std::to_string(year) + ": no change of offset found\n";
        const std::string diff = differences(walls);
        if (!diff.empty())
            out += std::to_string(year) + ":\n" + diff + "\n";
    }
    return out;
}

std::string zoneFile(const std::string &zone)
{
    return "/usr/share/zoneinfo/" + zone;
}

TEST(LocalZone, AgreesWithMktimeAroundEveryChange)
{
    struct Case {
        const char *zone;
        std::vector<int> years;
    };
    const Case cases[] = {
        {"Europe/Berlin", {1981, 1996, 2021, 2090}},     // summer time; 2090 from the zone's rule
        {"America/New_York", {1987, 2007, 2021, 2060}},  // summer time, its rules changed twice
        {"Australia/Lord_Howe", {1990, 2021, 2070}},     // half an hour of summer time, southern
        {"Pacific/Apia", {2011}},                        // 30 December 2011 skipped
        {"America/Caracas", {2007, 2016}},               // standard time moved by half an hour
        {"Europe/Moscow", {2011, 2014}},                 // standard time moved by an hour
        {"Asia/Kathmandu", {1985}},                      // +05:30 to +05:45 (1986 local)
        {"Europe/Dublin", {1990, 2015, 2021}},           // winter time is the daylight flag's side
        {"Africa/Casablanca", {2019, 2021}},             // the same, around Ramadan
        {"CET-1CEST,M3.5.0,M10.5.0/3", {2021, 2100}},    // a rule, no zone file
    };
    for (const Case &c : cases) {
        const std::string zone = c.zone;
        if (zone.find(',') == std::string::npos) {
            struct stat st {};
            ASSERT_EQ(stat(zoneFile(zone).c_str(), &st), 0) << "zone file missing (package tzdata): " << zone;
        }
        zvtest::ScopedEnv tz("TZ", c.zone);
        EXPECT_EQ(zoneDifferences(c.years), "") << c.zone;
    }
}

// Fields out of their range carry over into the next (or previous) ones as
// mktime carries them, also into an hour a change skips.
TEST(LocalZone, FieldsOutOfRangeCarryOverAsMktimeCarriesThem)
{
    zvtest::ScopedEnv tz("TZ", "Europe/Berlin");
    struct Row {
        unsigned year, month, day, hour, minute, seconds2;
    };
    const Row rows[] = {
        {41, 0, 15, 12, 0, 0},   // month 0: December of the year before
        {41, 13, 1, 12, 0, 0},   // months 13 to 15: the next year
        {41, 15, 31, 23, 59, 29},
        {41, 4, 0, 12, 0, 0},    // day 0: the last day of March
        {41, 4, 31, 12, 0, 0},   // 31 April: 1 May
        {41, 2, 29, 12, 0, 0},   // 29 February 2021: 1 March
        {41, 3, 27, 26, 30, 0},  // hour 26 of 27 March: 02:30 on the 28th, skipped by the change
        {41, 10, 30, 26, 30, 0}, // 02:30 on 31 October, repeated by the change
        {41, 3, 28, 1, 63, 31},  // minute 63 and second 62: 02:04:02, skipped
        {41, 12, 31, 31, 0, 0},  // hour 31 of New Year's Eve
        {0, 0, 0, 0, 0, 0},      // the date word 0: 30 November 1979
        {127, 12, 31, 23, 59, 29},
    };
    for (const Row &r : rows) {
        const uint16_t date = static_cast<uint16_t>(r.year << 9 | r.month << 5 | r.day);
        const uint16_t time = static_cast<uint16_t>(r.hour << 11 | r.minute << 5 | r.seconds2);
        struct tm f {};
        f.tm_year = 1980 + (int)r.year - 1900, f.tm_mon = (int)r.month - 1, f.tm_mday = (int)r.day;
        f.tm_hour = (int)r.hour, f.tm_min = (int)r.minute, f.tm_sec = 2 * (int)r.seconds2;
        const int64_t wall = timegm(&f); // normalised as mktime normalises
        EXPECT_EQ(ZV::dosDateTimeToTime(date, time), mktimeAfterTheDayBefore(wall))
            << "date " << date << " time " << time;
    }
}

// The cost of a conversion does not depend on which times are asked for:
// a card whose times spread over thirty years asks the C library for the
// zone's changes once per year, and never for mktime.
TEST(LocalZone, TimesSpreadOverDecadesCostTheZoneOncePerYear)
{
    zvtest::ScopedEnv tz("TZ", "Europe/Paris"); // a zone no other case here has loaded
    const int64_t from = utc(2000, 1, 1), span = utc(2030, 1, 1) - from;
    auto wallOf = [&](uint64_t i) { return from + (int64_t)(i * 2654435761u % (uint64_t)span); };
    const long mktimes = g_mktime_calls.load(), probes = g_localtime_calls.load();
    for (uint64_t i = 0; i < 20000; ++i) {
        const struct tm f = fieldsOf(wallOf(i));
        ZV::dosDateTimeToTime(fatDate(f), fatTime(f));
    }
    EXPECT_EQ(g_mktime_calls.load() - mktimes, 0);
    // 32 years (the window of a time reaches a day or two into 1999 and
    // 2030), each about 370 probes and 20 per change.
    const long firstPass = g_localtime_calls.load() - probes;
    EXPECT_LE(firstPass, 32 * 450);
    // Other times of the same years: the zone is known already.
    for (uint64_t i = 20000; i < 40000; ++i) {
        const struct tm f = fieldsOf(wallOf(i));
        ZV::dosDateTimeToTime(fatDate(f), fatTime(f));
    }
    EXPECT_EQ(g_localtime_calls.load() - probes, firstPass);
    EXPECT_EQ(g_mktime_calls.load() - mktimes, 0);
    // And they agree with mktime.
    std::vector<int64_t> walls;
    for (uint64_t i = 0; i < 40000; i += 97)
        walls.push_back(wallOf(i) & ~(int64_t)1);
    EXPECT_EQ(differences(walls), "");
}

// A walk's scope reads the zone afresh when it opens; outside a scope a
// changed TZ is seen at once.
TEST(LocalZone, ChangedTzSeenAtOnceOrByTheNextScope)
{
    const uint16_t july = (37 << 9) | (7 << 5) | 1, noon = 12 << 11; // 1 July 2017, 12:00
    const int64_t noonUtc = utc(2017, 7, 1) + 12 * 3600;
    zvtest::ScopedEnv berlin("TZ", "Europe/Berlin");
    EXPECT_EQ(ZV::dosDateTimeToTime(july, noon), noonUtc - 2 * 3600);
    {
        ZV::LocalZoneScope walk;
        EXPECT_EQ(ZV::dosDateTimeToTime(july, noon), noonUtc - 2 * 3600);
        zvtest::ScopedEnv newYork("TZ", "America/New_York");
        ZV::LocalZoneScope next;
        EXPECT_EQ(ZV::dosDateTimeToTime(july, noon), noonUtc + 4 * 3600);
    }
    zvtest::ScopedEnv lordHowe("TZ", "Australia/Lord_Howe");
    EXPECT_EQ(ZV::dosDateTimeToTime(july, noon), noonUtc - 10 * 3600 - 1800);
}

// With TZ unset the zone is /etc/localtime: in a child with a mount
// namespace of its own, zone files are mounted over it. A replacement is
// seen when the next walk's scope opens, and outside a scope within a
// second.
TEST(LocalZone, TzUnsetFollowsEtcLocaltime)
{
    zvtest::ScopedEnv unset("TZ", nullptr);
    const zvtest::ChildOutcome outcome = zvtest::runInChild([](const zvtest::ChildNotes &note) {
        if (!ownMountNamespace(note))
            return 2;
        const uint16_t july = (37 << 9) | (7 << 5) | 1, noon = 12 << 11;
        const int64_t noonUtc = utc(2017, 7, 1) + 12 * 3600;
        zvtest::Mount berlin = zvtest::Mount::bind(zoneFile("Europe/Berlin"), "/etc/localtime");
        ZV::LocalZoneScope first;
        const std::string diff = zoneDifferences({1996, 2021});
        if (!diff.empty()) {
            note("Berlin:\n" + diff);
            return 3;
        }
        zvtest::Mount newYork = zvtest::Mount::bind(zoneFile("America/New_York"), "/etc/localtime");
        ZV::LocalZoneScope second;
        if (ZV::dosDateTimeToTime(july, noon) != noonUtc + 4 * 3600) {
            note("New York not seen by the next scope");
            return 4;
        }
        const std::string nyDiff = zoneDifferences({2021});
        if (!nyDiff.empty()) {
            note("New York:\n" + nyDiff);
            return 5;
        }
        return 0;
    });
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.status, 0) << outcome.notes;

    const zvtest::ChildOutcome later = zvtest::runInChild([](const zvtest::ChildNotes &note) {
        if (!ownMountNamespace(note))
            return 2;
        const uint16_t july = (37 << 9) | (7 << 5) | 1, noon = 12 << 11;
        const int64_t noonUtc = utc(2017, 7, 1) + 12 * 3600;
        zvtest::Mount berlin = zvtest::Mount::bind(zoneFile("Europe/Berlin"), "/etc/localtime");
        { ZV::LocalZoneScope walk; } // read now, whatever the parent had read
        if (ZV::dosDateTimeToTime(july, noon) != noonUtc - 2 * 3600) {
            note("Berlin not read");
            return 3;
        }
        zvtest::Mount lordHowe = zvtest::Mount::bind(zoneFile("Australia/Lord_Howe"), "/etc/localtime");
        zv_usleep(1100 * 1000); // the zone file is looked at again once a second
        if (ZV::dosDateTimeToTime(july, noon) != noonUtc - 10 * 3600 - 1800) {
            note("Lord Howe not seen outside a scope");
            return 4;
        }
        return 0;
    });
    EXPECT_TRUE(later.finished);
    EXPECT_EQ(later.status, 0) << later.notes;
}

} // namespace
