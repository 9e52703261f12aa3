// Remaining-time texts. See duration.h.
//
// Implementation notes
// - The seconds arrive as a double from the remaining-time estimator, which
//   yields +infinity while nothing moves. Converting a NaN, negative or
//   out-of-range double to an integer is undefined, so the value is clamped
//   first: NaN and negatives to 0, anything from kMaxSeconds on (infinity
//   included) to kMaxSeconds.
// - The looked-up pattern is used as a printf format. A translation whose
//   conversions differ from the English pattern's would read arguments that
//   were never passed, so such a translation is ignored in favour of the
//   English pattern (see conversionsMatch).
#include "foundation/duration.h"

#include <cstdint>

#include "foundation/strings.h"
#include "foundation/text.h"

namespace ZV {
namespace {

constexpr uint64_t kSecondsPerDay = 86400;
// Days are printed as 32-bit numbers: 4,294,967,295 days is the longest
// time the patterns can show (about 11.7 million years).
constexpr uint64_t kMaxSeconds = uint64_t{0xFFFFFFFF} * kSecondsPerDay;

uint64_t clampedSeconds(double seconds)
{
    if (!(seconds > 0.0)) // NaN, zero and negatives
        return 0;
    if (seconds >= static_cast<double>(kMaxSeconds))
        return kMaxSeconds;
    return static_cast<uint64_t>(seconds);
}

// True when text has exactly `count` %u conversions: either all plain "%u",
// or all positional "%1$u".."%count$u" with each position used once (a
// translation may put the numbers in another order). "%%" is a literal
// percent sign. Any other conversion, flag or width rejects the text.
bool conversionsMatch(const std::string &text, unsigned count)
{
    unsigned plain = 0;
    unsigned positionalMask = 0;
    bool positional = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        ++i;
        if (i < text.size() && text[i] == '%')
            continue;
        if (i + 2 < text.size() && text[i] >= '1' && text[i] <= '9' && text[i + 1] == '$') {
            unsigned position = static_cast<unsigned>(text[i] - '0');
            if (position > count || (positionalMask & (1u << position)))
                return false;
            positionalMask |= 1u << position;
            positional = true;
            i += 2;
        } else {
            ++plain;
        }
        if (i >= text.size() || text[i] != 'u')
            return false;
    }
    if (positional)
        return plain == 0 && positionalMask == ((1u << (count + 1)) - 2);
    return plain == count;
}

// The translation of pattern if it can be trusted as its format, else the
// English pattern.
std::string checkedPattern(const char *pattern, unsigned count)
{
    std::string text = localize_string(pattern).str();
    return conversionsMatch(text, count) ? text : std::string(pattern);
}

std::string plainText(const char *pattern)
{
    return localize_string(pattern).str();
}

// The formats below are checked by conversionsMatch, not by the compiler.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string withOne(const char *pattern, uint32_t a)
{
    return format(checkedPattern(pattern, 1).c_str(), a);
}

std::string withTwo(const char *pattern, uint32_t a, uint32_t b)
{
    return format(checkedPattern(pattern, 2).c_str(), a, b);
}
#pragma GCC diagnostic pop

} // namespace

std::string durationString(double seconds)
{
    const uint64_t total = clampedSeconds(seconds);
    const uint32_t days = static_cast<uint32_t>(total / kSecondsPerDay);
    const uint64_t rest = total % kSecondsPerDay;
    uint32_t hours = static_cast<uint32_t>(rest / 3600);
    uint32_t minutes = static_cast<uint32_t>((rest % 3600) / 60);
    const uint32_t secs = static_cast<uint32_t>(rest % 60);

    if (days != 0) {
        if (minutes >= 30)
            ++hours;
        if (hours > 1)
            return days > 1 ? withTwo("%u days, %u hours", days, hours)
                            : withOne("1 day, %u hours", hours);
        return days > 1 ? withOne("%u days", days) : plainText("1 day");
    }
    if (hours != 0) {
        if (secs >= 30)
            ++minutes;
        if (minutes > 1)
            return hours > 1 ? withTwo("%u hours, %u minutes", hours, minutes)
                             : withOne("1 hour, %u minutes", minutes);
        return hours > 1 ? withOne("%u hours", hours) : plainText("1 hour");
    }
    if (total >= 150) {
        if (secs >= 30 && minutes < 15)
            return withOne("About %u minutes", minutes + 1);
        return withOne("%u minutes", minutes);
    }
    // Under two and a half minutes the steps are close enough that the text
    // stays within a factor of 1.25 of the time it stands for: "A few seconds"
    // is said below 10 s only.
    if (total < 10)
        return plainText("A few seconds");
    if (total < 55) // to 5 s below half a minute, to 10 s above
        return withOne("About %u seconds",
                       static_cast<uint32_t>(total < 30 ? (total + 2) / 5 * 5 : (total + 5) / 10 * 10));
    if (total < 75)
        return plainText("About a minute");
    if (total < 105)
        return withOne("About %u seconds", 90);
    return withOne("About %u minutes", 2);
}

} // namespace ZV
