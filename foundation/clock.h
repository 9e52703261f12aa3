// Time helpers: a monotonic clock in seconds (for rates and remaining-time
// estimates), the FAT date/time to time stamp conversion and the time stamp to
// Windows file time conversion.
#pragma once

#include <cstdint>

// Reads the monotonic counter's frequency once; runs among the static
// initialisers. On failure it logs "ZVClockInit: QPF failed: <errno>" at
// level 7 and leaves the frequency 0, after which ZVClockGet returns 0.0.
void ZVClockInit();
// Seconds since an arbitrary start (CLOCK_MONOTONIC: never steps back, not
// even when the wall clock is set). 0.0 when the counter cannot be read.
double ZVClockGet();

namespace ZV {

// Local-time stamp (seconds since 1970) of a FAT date word and time word:
// seconds (time & 31) * 2, minutes (time >> 5) & 63, hours time >> 11, day
// date & 31, month (date >> 5) & 15, year 1980 + (date >> 9). The answer is
// mktime's with daylight saving left to the zone (tm_isdst -1), at a cost
// that does not depend on the time (see foundation/local_zone.h, also for
// the hour a change skips or repeats); out-of-range fields are normalised
// as mktime normalises them (a date word of 0 is 30 November 1979).
int64_t dosDateTimeToTime(uint16_t date, uint16_t time);

// Windows file time (100-ns steps since 1601-01-01 UTC) of a time stamp in
// seconds since 1970: (seconds + 11644473600) * 10^7. Stamps whose file time
// does not fit in 64 signed bits are clamped to the nearest end.
int64_t timeToFileTime(int64_t seconds);

} // namespace ZV
