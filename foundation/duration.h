// The short, rounded remaining-time text of the progress display:
// "A few seconds", "About 20 seconds", "About a minute", "About 3 minutes",
// "15 minutes", "1 hour, 2 minutes", "2 hours", "1 day", "3 days, 5 hours"
// and so on.
#pragma once

#include <string>

namespace ZV {

// Whole seconds (the fraction is truncated: 59.9 counts as 59) as one of
// thirteen English patterns, looked up in the engine string table so that a
// translation may reword or reorder it, then filled in with the numbers.
//
// Under two and a half minutes each text stays within a factor of 1.25 of
// the time: below 10 s "A few seconds"; below 55 s "About %u seconds", the
// seconds rounded to 5 below 30 s and to 10 above; below 75 s "About a
// minute"; below 105 s "About 90 seconds"; below 150 s "About 2 minutes".
// Then below 15 minutes the seconds round to the nearest minute ("About %u
// minutes" when rounded up, "%u minutes" when down); from 15 minutes on they
// are dropped ("%u minutes"). With hours, 30 or more
// seconds round the minutes up and a single minute is not shown; with days,
// 30 or more minutes round the hours up and a single hour is not shown.
// Rounding may give "2 hours, 60 minutes" or "1 day, 24 hours".
//
// Any input gives a defined text: NaN and negative values count as 0
// ("A few seconds"); +infinity and values past 4,294,967,295 days count as
// that many days (the largest day count the patterns can print).
// A translation is used only when its conversions match the pattern's
// (the same number of %u, or %1$u..%n$u each used once); otherwise the
// English pattern is used, so a bad table never reaches printf.
std::string durationString(double seconds);

} // namespace ZV
