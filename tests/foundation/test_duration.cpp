// Remaining-time texts: every pattern boundary, inputs that no integer can hold, and translations
// (reordered, malformed).
#include <clocale>
#include <initializer_list>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "foundation/duration.h"
#include "foundation/strings.h"
#include "support/test_support.h"

using ZV::durationString;

namespace {

constexpr double kMinute = 60, kHour = 3600, kDay = 86400;

struct Case {
    double seconds;
    const char *text;
};

void expectTexts(std::initializer_list<Case> cases)
{
    for (const Case &c : cases)
        EXPECT_EQ(durationString(c.seconds), c.text) << c.seconds << " s";
}

void expectBoundaries()
{
    expectTexts({
        // Under 150 s no text is more than 1.25 times off the time, and
        // "A few seconds" means under 10.
        {0, "A few seconds"}, {9.99, "A few seconds"}, {10, "About 10 seconds"}, {12.9, "About 10 seconds"},
        {13, "About 15 seconds"}, {27, "About 25 seconds"}, {28, "About 30 seconds"}, {34, "About 30 seconds"},
        {35, "About 40 seconds"}, {54.9, "About 50 seconds"}, {55, "About a minute"}, {74.9, "About a minute"},
        {75, "About 90 seconds"}, {104, "About 90 seconds"}, {105, "About 2 minutes"}, {149, "About 2 minutes"},
        {150, "About 3 minutes"}, {180, "3 minutes"}, {209, "3 minutes"}, {210, "About 4 minutes"},
        {14 * kMinute + 29, "14 minutes"}, {14 * kMinute + 40, "About 15 minutes"},
        {15 * kMinute + 40, "15 minutes"}, {kHour - 1, "59 minutes"},
        {kHour, "1 hour"}, {kHour + 89, "1 hour"}, // 1 min 29 s: a single minute is not shown
        {kHour + 90, "1 hour, 2 minutes"}, {2 * kHour + kMinute, "2 hours"},
        {2 * kHour + 59 * kMinute + 45, "2 hours, 60 minutes"}, {kDay - 1, "23 hours, 60 minutes"},
        {kDay, "1 day"}, {kDay + kHour, "1 day"}, // a single hour is not shown
        {kDay + kHour + 29 * kMinute, "1 day"}, {kDay + kHour + 30 * kMinute, "1 day, 2 hours"},
        {kDay + 23 * kHour + 30 * kMinute, "1 day, 24 hours"},
        {2 * kDay + kHour + 29 * kMinute, "2 days"}, {3 * kDay + 5 * kHour, "3 days, 5 hours"},
    });
}

} // namespace

TEST(Duration, PatternBoundaries)
{
    expectBoundaries();
}

TEST(Duration, PatternBoundariesLocaleNotInstalled)
{
    zvtest::ScopedEnv lang("LANG", "xx_XX.UTF-8"), all("LC_ALL", "xx_XX.UTF-8");
    const std::string old = setlocale(LC_ALL, nullptr);
    EXPECT_EQ(setlocale(LC_ALL, ""), nullptr);
    expectBoundaries();
    setlocale(LC_ALL, old.c_str());
}

// The estimator yields +infinity while nothing moves; converting that, a NaN or a negative value
// to an integer would be undefined: they are clamped.
TEST(Duration, InputsNoIntegerHolds)
{
    const double inf = std::numeric_limits<double>::infinity();
    expectTexts({
        {std::numeric_limits<double>::quiet_NaN(), "A few seconds"}, {-1, "A few seconds"},
        {-inf, "A few seconds"}, {-1e300, "A few seconds"},
        {inf, "4294967295 days"}, {1e300, "4294967295 days"},
        {std::numeric_limits<double>::max(), "4294967295 days"}, {4294967295.0 * kDay, "4294967295 days"},
        {4294967294.0 * kDay + 5 * kHour, "4294967294 days, 5 hours"},
    });
}

// A translation is used as a format only when its conversions match the key's; otherwise the key.
TEST(Duration, Translations)
{
    const std::string table = "\"%u days, %u hours\" = \"%2$u Stunden und %1$u Tage\";\n"
                              "\"1 day\" = \"1 Tag\";\n"
                              "\"%u hours\" = \"%u Std. (100%%)\";\n"
                              "\"About a minute\" = \"Etwa 100% eine Minute\";\n"
                              // Malformed: each would read an argument that was never passed.
                              "\"%u minutes\" = \"%s Minuten\";\n"
                              "\"About %u minutes\" = \"Etwa %u bis %u Minuten\";\n"
                              "\"1 hour, %u minutes\" = \"1 Std. %1$u oder %1$u Min.\";\n"
                              "\"1 day, %u hours\" = \"1 Tag, %5u Std.\";\n"
                              "\"%u hours, %u minutes\" = \"%u Std., %2$u Min.\";\n"
                              "\"%u days\" = \"%u Tage %\";\n";
    ASSERT_TRUE(load_strings(table.data(), static_cast<int>(table.size())));
    expectTexts({
        {3 * kDay + 5 * kHour, "5 Stunden und 3 Tage"}, {kDay, "1 Tag"}, {2 * kHour, "2 Std. (100%)"},
        {60, "Etwa 100% eine Minute"}, // no arguments: not a format
        {20 * kMinute, "20 minutes"}, {150, "About 3 minutes"}, {kHour + 5 * kMinute, "1 hour, 5 minutes"},
        {kDay + 5 * kHour, "1 day, 5 hours"}, {2 * kHour + 5 * kMinute, "2 hours, 5 minutes"},
        {4 * kDay, "4 days"},
    });
    ASSERT_TRUE(load_strings(nullptr, 0));
    EXPECT_EQ(durationString(kDay), "1 day");
}
