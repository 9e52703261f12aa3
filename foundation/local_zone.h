// Local wall-clock time to time stamp, at a cost that does not depend on
// which times are asked for.
//
// FAT and other media keep local wall-clock times. Converting one needs the
// zone's offset from UTC at that moment; asking mktime for every time costs
// a look at the zone file each call when TZ is unset. The zone's offset
// changes only at its transitions, so they are found once per year of the
// times asked for (by probing localtime_r, so the C library's own view of
// the zone is used, from TZ or /etc/localtime) and each conversion is a
// binary search over them.
#pragma once

#include <cstdint>

namespace ZV {

// The time stamp (seconds since 1970, UTC) of a local wall-clock time given
// as the seconds since 1970 that the same calendar fields would be in UTC
// (what timegm gives for them). The answer is mktime's with tm_isdst -1:
// - a time that exists once converts with the offset in effect then;
// - a time skipped by a forward change (the hour lost in spring) converts
//   with the offset in effect before the change (02:30 becomes 03:30 of the
//   new offset), or, where the zone's daylight flag is set before the change
//   and not after it (Europe/Dublin's winter time), with the offset after it;
// - a time that exists twice after a backward change converts to the
//   earlier of the two instants, the offset before the change. (mktime's
//   own choice there depends on what it converted last; this is its answer
//   when its previous conversion lay before the change.)
// Times whose year lies outside 1900-2199, or a zone the C library cannot
// convert, go to mktime directly.
//
// The zone is read again when TZ changes (compared on every call) and when
// the zone file (TZ's, or /etc/localtime when TZ is unset) was replaced
// (looked at once a second). Each thread keeps its own table.
int64_t localWallToTime(int64_t wall);

// The seconds timegm gives for calendar fields read as UTC (month 0-11,
// day 1-31): fields outside their range carry over as timegm carries them
// (month 12 is January of the next year, day 0 the last of the month
// before, hour 24 the next day). The wall time localWallToTime takes.
int64_t civilSeconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second);

// Holds the zone for the conversions of one piece of work on this thread
// (a walk of a volume): opening the scope looks at TZ and the zone file at
// once, so a zone changed since the last walk is read again, and until the
// scope closes the conversions look at neither (a zone changed during the
// scope is not looked for; it may show in years not converted before).
class LocalZoneScope {
public:
    LocalZoneScope();
    ~LocalZoneScope();
    LocalZoneScope(const LocalZoneScope &) = delete;
    LocalZoneScope &operator=(const LocalZoneScope &) = delete;
};

} // namespace ZV
