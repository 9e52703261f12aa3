// Local wall-clock time to time stamp through a table of the zone's
// transitions.
//
// Implementation notes
// - The table holds, per UTC year probed, the offset at the year's first
//   second and every transition inside the year: the second at which the
//   offset changes and the offset from then on. A year is probed on the
//   first conversion that needs it: localtime_r one day apart over the year
//   (about 370 calls), and each change found pinned to its second by
//   bisection. A change undone within the same day would be missed; no
//   zone has had one. A change is a change of the offset (tm_gmtoff): of
//   the daylight flag or the abbreviation alone it moves no time. The
//   daylight flag of each offset is kept for the times a forward change
//   skips (below).
// - A conversion looks at the transitions within two days either side of
//   the wall time (no zone's offset reaches a day and a half), which lie in
//   at most two years. The offsets in effect there cut the time line into
//   segments; the wall time minus a segment's offset is a solution when it
//   falls inside that segment. The first solution is the earliest instant;
//   none means the wall time fell into a forward change's gap. There
//   mktime answers with the wall time less one of the two offsets, taking
//   the instant whose local time carries the daylight flag when just one
//   of them does: the offset before the change where summer time begins,
//   the offset after it where the zone's winter time is its daylight time
//   (Europe/Dublin).
// - The zone is keyed by the TZ value and by the identity (device, inode,
//   size, modification time) of the zone file the C library reads for it.
//   TZ is compared on every call, the file looked at again at most once a
//   second (a stat costs ten conversions). Within a LocalZoneScope (a walk
//   of a volume) neither is looked at after the scope's start: getenv
//   alone costs as much as the rest of a conversion. On a change tzset
//   makes the C library read the zone again, and the table starts empty.
#include "foundation/local_zone.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Half-width of the window of transitions a conversion looks at.
constexpr int64_t kWindow = 2 * kSecondsPerDay;
// Years the table covers (FAT times run from 1979 to 2108).
constexpr int64_t kFirstYear = 1900;
constexpr int kYears = 300;
// How often (seconds) the zone file is checked for a replacement.
constexpr int64_t kRecheckSeconds = 1;

constexpr int64_t floor_div(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Days from 1970-01-01 to a proleptic Gregorian date (month 1-12, day 1-31).
constexpr int64_t days_from_civil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = floor_div(year, 400);
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

constexpr int64_t year_start(int64_t year)
{
    return days_from_civil(year, 1, 1) * kSecondsPerDay;
}

// The first second of each year the table covers, and of the year after.
struct YearStarts {
    int64_t at[kYears + 1];
};

constexpr YearStarts make_year_starts()
{
    YearStarts starts{};
    for (int i = 0; i <= kYears; ++i)
        starts.at[i] = year_start(kFirstYear + i);
    return starts;
}

constexpr YearStarts kYearStarts = make_year_starts();
constexpr int64_t kFirstSecond = kYearStarts.at[0];
constexpr int64_t kEndSecond = kYearStarts.at[kYears];
constexpr int64_t kAverageYear = 31556952; // 365.2425 days

// The table index of the year holding t (kFirstSecond <= t < kEndSecond).
int year_index(int64_t t)
{
    int64_t index = std::min<int64_t>((t - kFirstSecond) / kAverageYear, kYears - 1);
    while (t < kYearStarts.at[index])
        --index;
    while (t >= kYearStarts.at[index + 1])
        ++index;
    return static_cast<int>(index);
}

bool offset_at(int64_t when, int64_t *offset, bool *daylight = nullptr)
{
    const time_t t = static_cast<time_t>(when);
    struct tm fields {};
    if (localtime_r(&t, &fields) == nullptr)
        return false;
    *offset = fields.tm_gmtoff;
    if (daylight != nullptr)
        *daylight = fields.tm_isdst > 0;
    return true;
}

// mktime's own answer, for what the table does not cover.
int64_t mktime_of_wall(int64_t wall)
{
    const time_t t = static_cast<time_t>(wall);
    struct tm fields {};
    if (gmtime_r(&t, &fields) == nullptr)
        return -1;
    fields.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&fields));
}

struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified_s = 0, modified_ns = 0;

    bool operator==(const FileIdentity &o) const
    {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified_s == o.modified_s && modified_ns == o.modified_ns;
    }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }
};

// The file the C library reads for a TZ value: /etc/localtime when unset,
// else the value (without a leading ':') as an absolute path or under
// TZDIR (default /usr/share/zoneinfo); an empty value names "Universal".
FileIdentity zone_file_identity(const char *tz)
{
    std::string path;
    if (tz == nullptr) {
        path = "/etc/localtime";
    } else {
        if (*tz == ':')
            ++tz;
        const std::string name = *tz != '\0' ? tz : "Universal";
        if (name[0] == '/') {
            path = name;
        } else {
            const char *dir = secure_getenv("TZDIR");
            path = std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + name;
        }
    }
    FileIdentity id;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return id; // a POSIX rule such as "CET-1CEST,M3.5.0,M10.5.0/3": TZ alone names it
    id.exists = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.modified_s = st.st_mtim.tv_sec;
    id.modified_ns = st.st_mtim.tv_nsec;
    return id;
}

int64_t coarse_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}

struct Transition {
    int64_t at;    // first second (UTC) of the new offset
    int64_t after; // the offset from then on (seconds east of UTC)
    bool daylight; // the daylight flag at `at`
};

enum YearState : uint8_t { kUnprobed, kProbed, kUnusable };

struct Zone {
    bool ready = false;
    bool tz_set = false;
    std::string tz;
    FileIdentity file;
    int64_t checked_at = 0;
    int scopes = 0; // LocalZoneScope objects open on this thread
    YearState years[kYears] = {};
    int64_t start_offset[kYears] = {}; // offset at the year's first second
    bool start_daylight[kYears] = {};  // and the daylight flag then
    std::vector<Transition> transitions; // of the probed years, by time

    void load(const char *value)
    {
        file = zone_file_identity(value); // before tzset: a later replacement is seen next time
        tzset();
        tz_set = value != nullptr;
        tz = value != nullptr ? value : "";
        checked_at = coarse_seconds();
        std::fill(std::begin(years), std::end(years), kUnprobed);
        transitions.clear();
        ready = true;
    }

    // Keeps the table when the zone is still the one it was made for: TZ
    // is compared on every call, the zone file once a second, both at once
    // when forced. Inside a scope nothing is looked at but when forced.
    void refresh(bool force)
    {
        if (ready && scopes > 0 && !force)
            return;
        const char *value = getenv("TZ");
        if (!ready || (value == nullptr ? tz_set : (!tz_set || tz != value))) {
            load(value);
            return;
        }
        const int64_t now = coarse_seconds();
        if (!force && now - checked_at < kRecheckSeconds)
            return;
        checked_at = now;
        if (zone_file_identity(value) != file)
            load(value);
    }

    bool probe(int index)
    {
        if (years[index] != kUnprobed)
            return years[index] == kProbed;
        years[index] = kUnusable;
        const int64_t start = kYearStarts.at[index], last = kYearStarts.at[index + 1] - 1;
        int64_t before = 0, offset = 0;
        bool daylight = false;
        if (!offset_at(start - 1, &before) || !offset_at(start, &offset, &daylight))
            return false;
        start_offset[index] = offset;
        start_daylight[index] = daylight;
        std::vector<Transition> found;
        if (before != offset)
            found.push_back(Transition{start, offset, daylight});
        for (int64_t t = start; t < last;) {
            const int64_t next = std::min(t + kSecondsPerDay, last);
            int64_t probed = 0;
            if (!offset_at(next, &probed))
                return false;
            if (probed == offset) {
                t = next;
                continue;
            }
            int64_t same = t, changed = next; // offset at same is `offset`, at changed not
            while (changed - same > 1) {
                const int64_t middle = same + (changed - same) / 2;
                int64_t at_middle = 0;
                if (!offset_at(middle, &at_middle))
                    return false;
                (at_middle == offset ? same : changed) = middle;
            }
            if (!offset_at(changed, &offset, &daylight))
                return false;
            found.push_back(Transition{changed, offset, daylight});
            t = changed;
        }
        const auto at = std::lower_bound(transitions.begin(), transitions.end(), start,
                                         [](const Transition &x, int64_t when) { return x.at < when; });
        transitions.insert(at, found.begin(), found.end());
        years[index] = kProbed;
        return true;
    }

    // The table's answer; false when a year of the window cannot be probed.
    bool convert(int64_t wall, int64_t *out)
    {
        const int64_t low = wall - kWindow, high = wall + kWindow;
        const int low_year = year_index(low), high_year = year_index(high);
        for (int year = low_year; year <= high_year; ++year)
            if (!probe(year))
                return false;
        auto it = std::upper_bound(transitions.begin(), transitions.end(), low,
                                   [](int64_t when, const Transition &x) { return when < x.at; });
        // The offset at `low`: the last transition before it when that lies
        // in low's year (earlier ones may be of a year far before), else the
        // offset the year starts with.
        const bool in_year = it != transitions.begin() && std::prev(it)->at >= kYearStarts.at[low_year];
        int64_t offset = in_year ? std::prev(it)->after : start_offset[low_year];
        bool daylight = in_year ? std::prev(it)->daylight : start_daylight[low_year];
        int64_t segment_start = INT64_MIN;
        for (;; ++it) {
            const bool last = it == transitions.end() || it->at > high;
            const int64_t segment_end = last ? INT64_MAX : it->at;
            const int64_t candidate = wall - offset;
            if (candidate >= segment_start && candidate < segment_end) {
                *out = candidate;
                return true;
            }
            if (last)
                break;
            if (candidate >= segment_end && wall - it->after < it->at) {
                // Skipped by a forward change: wall - offset lies after it
                // (the new daylight flag), wall - it->after before it.
                *out = !it->daylight && daylight ? wall - it->after : candidate;
                return true;
            }
            segment_start = it->at;
            offset = it->after;
            daylight = it->daylight;
        }
        return false;
    }
};

Zone &this_thread_zone()
{
    thread_local Zone zone;
    return zone;
}

} // namespace

namespace ZV {

int64_t localWallToTime(int64_t wall)
{
    if (wall < kFirstSecond + kWindow || wall >= kEndSecond - kWindow)
        return mktime_of_wall(wall);
    Zone &zone = this_thread_zone();
    zone.refresh(false);
    int64_t stamp = 0;
    return zone.convert(wall, &stamp) ? stamp : mktime_of_wall(wall);
}

LocalZoneScope::LocalZoneScope()
{
    Zone &zone = this_thread_zone();
    zone.refresh(true);
    zone.scopes++;
}

LocalZoneScope::~LocalZoneScope()
{
    this_thread_zone().scopes--;
}

int64_t civilSeconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second)
{
    year += floor_div(month, 12);
    month -= floor_div(month, 12) * 12;
    return (days_from_civil(year, month + 1, 1) + day - 1) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

} // namespace ZV
