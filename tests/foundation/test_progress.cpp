#include "foundation/engine_status.h"
#include "foundation/progress.h"
#include "support/test_support.h"

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

// Leaves the process-wide status as a fresh process has it.
void resetStatus()
{
    progress_pop_to(0), clear_run_flags();
    set_stop_enabled(0), set_abort_enabled(0), set_engine_state(0);
}

// Every test starts and ends with the status of a fresh process.
class ProgressTest : public testing::Test {
protected:
    void SetUp() override { resetStatus(); }
    void TearDown() override { resetStatus(); }
};
using ProgressExpansion = ProgressTest;
using ProgressStack = ProgressTest;
using ProgressPhases = ProgressTest;
using EngineFlags = ProgressTest;
using ProgressThreads = ProgressTest;

EngineProgress poll()
{
    EngineProgress record;
    return progress_get(record), record;
}

// Checks the whole record: fractions and texts, overall then task.
void expectRecord(const EngineProgress &r, double overall, const char *overall_text, double task, const char *task_text)
{
    EXPECT_DOUBLE_EQ(r.overall_fraction, overall);
    EXPECT_EQ(r.overall_text, overall_text);
    EXPECT_DOUBLE_EQ(r.task_fraction, task);
    EXPECT_EQ(r.task_text, task_text);
}

std::string expandOne(const char *tmpl) { return progress_set_text(tmpl), poll().task_text; }

// Every placeholder and the dollar rules; number texts never follow the user's locale, even one not installed.
TEST_F(ProgressExpansion, EveryPlaceholderAndTheDollarRulesInAnyLocale)
{
    for (const char *locale : {"C", "xx_XX.UTF-8"}) {
        SCOPED_TRACE(locale);
        zvtest::ScopedEnv lang("LANG", locale), all("LC_ALL", locale);
        std::setlocale(LC_ALL, "");
        resetStatus();
        progress_push(-5, -1);
        progress_set_block(1234567), progress_set_block_count(9876543);
        progress_set_code(0x61626320); // "abc "
        progress_set_var(0, 1048575), progress_set_var(3, -1), progress_set_remaining(230.9);
        const struct { const char *tmpl, *expected; } rows[] = {
            {"$z of $Z", "0 bytes of 0 bytes"}, // negative sizes show as 0
            {"$p/$P", "0/0"}, // negative counts show as 0
            {"Block $b of $B (phase $e of $E).", "Block 1,234,567 of 9,876,543 (phase 1 of 0)."},
            {"Current module: $t.", "Current module: abc."},
            {"$v0 $V0 $v3 $V3", "1,048,575 1,024 KB 0 0 bytes"},
            {"$$p.jpg $x $v4 $V $q end$", "$p.jpg $x $v4 $V $q end$"},
            {"$", "$"},
            {"left: $R", "left: About 4 minutes"},
        };
        for (const auto &row : rows)
            EXPECT_EQ(expandOne(row.tmpl), row.expected) << row.tmpl;

        progress_set_done_total(1048575, 1);
        EXPECT_EQ(expandOne("$z|$Z"), "1,024 KB|1 byte");
        const double inf = std::numeric_limits<double>::infinity();
        for (double bad : {inf, -inf, std::nan(""), -1.0}) { // undefined for the duration text: shown empty
            progress_set_remaining(bad);
            EXPECT_EQ(expandOne("[$R]"), "[]") << bad;
        }
        EXPECT_EQ(progress_escape_name(nullptr), ""); // fault guarded: a "$" in a file name was expanded
        EXPECT_EQ(expandOne(("Copying " + progress_escape_name("$p.jpg a$$b$") + " ($p)").c_str()),
                  "Copying $p.jpg a$$b$ (1,048,575)");
        progress_set_code(0x4A00FF41); // a zero byte ends the code early
        EXPECT_EQ(expandOne("$t"), "J");
        progress_set_code(0xE9202009); // bytes above 0x7F stay valid UTF-8; blanks and tabs go
        EXPECT_EQ(expandOne("$t"), "\xC3\xA9");
    }
    std::setlocale(LC_ALL, "C");
}

// Fault guarded: setters and pop with an empty stack dereferenced null.
TEST_F(ProgressStack, EmptyStackSettersDoNothing)
{
    progress_pop(), progress_set_text("x"), progress_printf_text("%d", 1);
    progress_set_done(1), progress_set_done_total(1, 2), progress_increment(), progress_add(5);
    progress_set_block(1), progress_set_block_count(1), progress_set_code(1);
    progress_set_remaining(1), progress_set_var(0, 1);
    EXPECT_EQ(progress_get_var(0), 0);
    EXPECT_THROW(progress_set_var(4, 1), std::out_of_range);
    std::string what;
    try {
        progress_get_var(-1);
    } catch (const std::out_of_range &e) {
        what = e.what();
    }
    EXPECT_EQ(what, "bad v index");
    EngineProgress record;
    record.task_text = record.overall_text = "stale"; // the record is written whole
    progress_get(record);
    expectRecord(record, -1.0, "", -1.0, "");
}

// Without phases the current task is shown; faults guarded: a done count past the total showed more than 100%,
// and an early return left stale tasks.
TEST_F(ProgressStack, CurrentTaskWithoutPhasesAndTheGuard)
{
    progress_push(1, 4), progress_set_text("outer $p");
    {
        ZV::ProgressStackGuard guard;
        progress_push(0, 0);
        progress_push(3, 4), progress_set_text("inner $p");
        progress_add(-2);
        expectRecord(poll(), 0.25, "inner 1", 0.25, "inner 1");
        progress_add(10);
        expectRecord(poll(), 1.0, "inner 11", 1.0, "inner 11");
        progress_pop();
        EXPECT_EQ(poll().task_fraction, -1.0); // total 0
        EXPECT_EQ(progress_depth(), 2u);
    }
    EXPECT_EQ(progress_depth(), 1u);
    EXPECT_EQ(poll().task_text, "outer 1");
}

// With phases the bottom task is shown and the fraction never goes back (nor past 1); clear_run_flags resets
// task and ratchet, not the enabled flags.
TEST_F(ProgressPhases, BottomTaskRatchetClampAndClearRunFlags)
{
    progress_set_phases(3);
    progress_set_overall_text("Phase $e of $E: $p");
    expectRecord(poll(), 0.0, "Phase 1 of 3: 0", -1.0, ""); // no task: against the empty task
    // Fault guarded: the empty task's total of -1 showed as 18,446,744,073,709,551,615 (a thorough scan's
    // last phase runs with no task).
    progress_set_overall_text("Reconstructed $p of $P files (phase $e of $E).");
    expectRecord(poll(), 0.0, "Reconstructed 0 of 0 files (phase 1 of 3).", -1.0, "");
    progress_set_overall_text("Phase $e of $E: $p");

    progress_next_phase();
    progress_push(5, 10), progress_set_text("bottom $p");
    progress_push(1, 1), progress_set_text("top");
    expectRecord(poll(), 0.5, "Phase 2 of 3: 5", 0.5, "bottom 5");
    progress_pop();
    progress_set_done(2); // would be 0.4
    expectRecord(poll(), 0.5, "Phase 2 of 3: 2", 0.2, "bottom 2");
    progress_set_done(100); // ten times the total, and one phase too many
    progress_next_phase(), progress_next_phase();
    EXPECT_DOUBLE_EQ(poll().overall_fraction, 1.0);

    set_stop_enabled(1), set_abort_enabled(1), progress_set_var(2, 9);
    clear_run_flags();
    EXPECT_EQ(progress_depth(), 1u); // not popped
    EXPECT_EQ(progress_get_var(2), 0);
    EXPECT_TRUE(stop_enabled() == 1 && abort_enabled() == 1);
    expectRecord(poll(), -1.0, "", -1.0, ""); // phases gone: the reset current task is shown
    progress_set_phases(2), progress_set_done_total(1, 10);
    EXPECT_DOUBLE_EQ(poll().overall_fraction, 0.05); // the ratchet was reset
}

// Fault guarded: a Cancel made while no command runs aborted the next one.
TEST_F(EngineFlags, StateEnabledFlagsAndTheRunRule)
{
    EXPECT_TRUE(set_engine_state(12) == 0 && engine_is_busy() == 1);
    EXPECT_TRUE(set_engine_state(0) == 12 && engine_is_busy() == 0);
    for (int argument : {1, 2, -1, 1, 0}) { // only 1 sets a flag
        set_abort_enabled(argument), set_stop_enabled(argument);
        EXPECT_TRUE(abort_enabled() == (argument == 1) && stop_enabled() == (argument == 1)) << argument;
    }

    EXPECT_EQ(request_abort(), 0); // no run open: dropped
    EXPECT_EQ(begin_run_flags(), 0);
    EXPECT_EQ(abort_requested(), 0);
    EXPECT_EQ(request_stop(), 0); // stop not enabled
    EXPECT_EQ(stop_requested(), 0);
    set_stop_enabled(1);
    EXPECT_EQ(request_stop(), 0);
    EXPECT_EQ(request_stop(), 1);
    EXPECT_EQ(clear_stop_request(), 1);
    EXPECT_EQ(stop_requested(), 0);

    EXPECT_EQ(request_abort(), 0);
    EXPECT_EQ(request_abort(), 1);
    EXPECT_EQ(request_stop(), 0);
    EXPECT_EQ(abort_requested(), 1);
    clear_run_flags(); // clears both requests
    EXPECT_TRUE(abort_requested() == 0 && stop_requested() == 0 && run_flags_open() == 0);
    EXPECT_EQ(request_stop(), 0); // enabled, but no run
    EXPECT_EQ(stop_requested(), 0);
}

double g_fake_now = 0;
double fakeClock() { return g_fake_now; }

// Fault guarded: u64 wrap-around when the position goes back or past the total.
TEST(RemainingTimeEstimator, MeasuredRateWrapAroundAndStall)
{
    ZV::RemainingTimeEstimator estimator(&fakeClock);
    const double none = std::numeric_limits<double>::infinity(); // no estimate yet: $R shows nothing
    const struct { double now; uint64_t position, total; double expected; } steps[] = {
        {100, 0, 1000, none},      // first reading only records
        {100, 50, 1000, none},     // same clock: unchanged
        {101, 100, 1000, none},    // past 3%: the base moves here, nothing measured yet
        {102, 200, 1000, none},    // 1 s since the base: too short to measure
        {103, 300, 1000, 7.0},     // 200 in 2 s since the base
        {104, 200, 1000, 7.0},     // went back: a new base, the estimate kept
        {106, 400, 1000, 6.0},     // 200 in 2 s since the new base
        {107, 1200, 1000, 0.0},    // past the total: nothing left
    };
    for (const auto &s : steps) {
        g_fake_now = s.now;
        EXPECT_DOUBLE_EQ(estimator.update(s.position, s.total), s.expected) << s.now;
    }
    estimator.reset();
    g_fake_now = 106, estimator.update(10, 20), g_fake_now = 109;
    EXPECT_TRUE(std::isinf(estimator.update(10, 20))); // stalled: $R shows nothing
    g_fake_now = 109.0000001; // a tiny step must not overflow the rate
    EXPECT_GE(estimator.update(UINT64_MAX - 1, UINT64_MAX), 0.0);
}

// The seconds a remaining-time text stands for ("About 40 seconds": 40, "1 hour, 5 minutes": 3900); 0 for
// "A few seconds", -1 for a text that is none of them.
double secondsOfText(const std::string &text)
{
    unsigned a = 0, b = 0;
    char rest[32] = {};
    if (text == "A few seconds")
        return 0;
    if (text == "About a minute")
        return 60;
    if (text == "1 hour")
        return 3600;
    if (std::sscanf(text.c_str(), "About %u second%31s", &a, rest) == 2 && std::string(rest) == "s")
        return a;
    if (std::sscanf(text.c_str(), "About %u minute%31s", &a, rest) == 2 && std::string(rest) == "s")
        return a * 60.0;
    if (std::sscanf(text.c_str(), "1 hour, %u minutes", &a) == 1)
        return 3600 + a * 60.0;
    if (std::sscanf(text.c_str(), "%u hours, %u minutes", &a, &b) == 2)
        return a * 3600.0 + b * 60.0;
    if (std::sscanf(text.c_str(), "%u hour%31s", &a, rest) == 2 && std::string(rest) == "s")
        return a * 3600.0;
    if (std::sscanf(text.c_str(), "%u minute%31s", &a, rest) == 2 && std::string(rest) == "s")
        return a * 60.0;
    return -1;
}

// Fault guarded: a medium read at a steady 1.3 MB/s for 48 s said "About a minute" at 0.5%, "A few seconds"
// at 1.2%, "About a minute" at 1.8% and "A few seconds" from 29% on with 35 s left. Scans of steady media of
// several lengths are fed as the thorough scan feeds the estimator (a reading every 256 blocks of 512
// bytes), smoothly and in the bursts of a read-ahead reader (a 256 KB buffer handed over at once, then the
// wait for the next), with a start served from the cache. Once an estimate is shown, the text $R makes of
// it stays within a factor of 1.5 of the time really left, and says "A few seconds" only under about 10 s;
// an estimate under 150 s is within a factor of 1.25.
TEST(RemainingTimeEstimator, SteadyMediumTextsStayNearTheTimeLeft)
{
    const double kRate = 1.3e6; // bytes a second
    const uint64_t kBlock = 512, kEvery = 256;
    for (const double seconds : {48.0, 150.0, 1000.0, 3 * 3600.0})
        for (const bool bursty : {false, true}) {
            SCOPED_TRACE(std::to_string(seconds) + (bursty ? " s, bursty" : " s, smooth"));
            ZV::RemainingTimeEstimator estimator(&fakeClock);
            const uint64_t count = uint64_t(seconds * kRate) / kBlock; // blocks
            const uint64_t cached = count / 100;                      // the first 1% from the cache
            progress_push(0, 1);
            progress_set_text("$R");
            size_t shown = 0, checked = 0;
            for (uint64_t number = kEvery; number <= count; number += kEvery) {
                // The bytes read by now, at the medium's steady rate after the cache.
                const double read = number <= cached ? 0.0 : double(number - cached) * kBlock;
                double at = 1000 + 0.01 * double(number) / double(cached == 0 ? 1 : cached);
                if (number > cached) {
                    // A burst hands over a whole buffer (two readings) when its last byte has been read.
                    const double buffer = 2.0 * kEvery * kBlock;
                    at = 1000.01 + (bursty ? std::ceil(read / buffer) * buffer : read) / kRate;
                }
                g_fake_now = at;
                const double estimate = estimator.update(number, count);
                if (!std::isfinite(estimate)) {
                    EXPECT_EQ(shown, 0u) << "the estimate went away at block " << number;
                    continue;
                }
                shown++;
                progress_set_remaining(estimate);
                const std::string text = poll().task_text;
                const double left = double(count - number) * kBlock / kRate;
                if (estimate < 150 && left >= 1) {
                    EXPECT_LE(estimate, left * 1.25) << "at block " << number;
                    EXPECT_GE(estimate, left / 1.25) << "at block " << number;
                }
                const double stands_for = secondsOfText(text);
                ASSERT_GE(stands_for, 0) << text;
                if (stands_for == 0) {
                    EXPECT_LT(left, 12.0) << "\"" << text << "\" at block " << number << " of " << count;
                } else if (left >= 1) {
                    EXPECT_LE(stands_for, left * 1.5) << text << " with " << left << " s left";
                    EXPECT_GE(stands_for, left / 1.5) << text << " with " << left << " s left";
                    checked++;
                }
            }
            progress_pop_to(0);
            // An estimate is shown from a few per cent on: most of the scan has one.
            EXPECT_GT(shown, count / kEvery * 8 / 10);
            EXPECT_GT(checked, 0u);
        }
}

// Fault guarded: the average of per-update rates followed the fast updates of a read-ahead reader (a buffer
// handed over at once, then a wait for the next), so a 100-second scan said "A few seconds" throughout. The
// card: 1,000,000 blocks at 10,000 a second, in bursts of two updates (1,000 blocks in 0.2 ms, then 1,000
// after a 199.8 ms wait), the first 2% from the cache in 0.1 s. Once a few per cent are read the estimate
// follows the measured rate.
TEST(RemainingTimeEstimator, BurstyReaderFollowsTheMeasuredRate)
{
    ZV::RemainingTimeEstimator estimator(&fakeClock);
    const uint64_t total = 1000000;
    g_fake_now = 50;
    estimator.update(0, total);
    g_fake_now += 0.1;
    estimator.update(20000, total); // the cached start
    double at_half = 0, at_tenth = 0, at_nine_tenths = 0;
    for (uint64_t position = 20000; position < total;) {
        position += 1000, g_fake_now += 0.0002;
        estimator.update(position, total);
        position += 1000, g_fake_now += 0.1998;
        const double estimate = estimator.update(position, total);
        if (position == 100000)
            at_tenth = estimate;
        if (position == 500000)
            at_half = estimate;
        if (position == 900000)
            at_nine_tenths = estimate;
    }
    EXPECT_NEAR(at_tenth, 90.0, 2.0);
    EXPECT_NEAR(at_half, 50.0, 1.0);
    EXPECT_NEAR(at_nine_tenths, 10.0, 0.5);
    progress_push(0, 1), progress_set_remaining(at_half);
    EXPECT_EQ(expandOne("$R remaining."), "About 50 seconds remaining.");
    progress_set_remaining(at_tenth);
    EXPECT_EQ(expandOne("$R remaining."), "About 90 seconds remaining.");
    progress_pop_to(0);
}

// Fault guarded: the rate was measured since the start, so on a 16 GB card whose last tenth reads at 1% of
// the speed it said "About 90 seconds" with 50 minutes left. The card is fed as the thorough scan feeds the
// estimator (a reading every 256 blocks of 512 bytes), at 50 MB/s and 0.5 MB/s, the slow part last or first:
// from a minute after the change of speed on, every estimate is within 1.5 times the time really left.
TEST(RemainingTimeEstimator, ChangeOfSpeedShowsWithinAMinute)
{
    const double kTotal = 16e9, kFast = 50e6, kSlow = 0.5e6, kStep = 256 * 512;
    for (const bool slow_last : {true, false}) {
        SCOPED_TRACE(slow_last ? "slow last tenth" : "slow first tenth");
        ZV::RemainingTimeEstimator estimator(&fakeClock);
        const double change = kTotal * (slow_last ? 0.9 : 0.1);
        const double first = slow_last ? kFast : kSlow, then = slow_last ? kSlow : kFast;
        const double changed_at = 1000 + change / first, end = changed_at + (kTotal - change) / then;
        size_t checked = 0, wrong = 0;
        std::string first_wrong;
        for (double position = 0; position < kTotal; position = std::min(position + kStep, kTotal)) {
            g_fake_now = position <= change ? 1000 + position / first : changed_at + (position - change) / then;
            const double estimate = estimator.update(uint64_t(position), uint64_t(kTotal));
            const double left = end - g_fake_now;
            if (g_fake_now < changed_at + 60 || left < 1)
                continue;
            checked++;
            if (!(estimate <= left * 1.5 && estimate >= left / 1.5) && wrong++ == 0)
                first_wrong = std::to_string(estimate) + " s estimated with " + std::to_string(left) + " s left";
        }
        EXPECT_GT(checked, 1000u);
        EXPECT_EQ(wrong, 0u) << "first: " << first_wrong;
    }
}

// Faults guarded: an empty name took a free entry (aliased counters), and pool slices were misaligned.
TEST(DisplayVariables, NamesTablesPoolAndLimit)
{
    void *storage = reinterpret_cast<void *>(1);
    EXPECT_EQ(find_add_display_var("", 6, "ctx", "%lu", &storage), -1);
    EXPECT_EQ(storage, nullptr);
    EXPECT_EQ(find_add_display_var(nullptr, 6, "ctx", "%lu", &storage), -1);

    const std::string long_name(60, 'n');
    void *first = nullptr, *again = nullptr;
    ASSERT_EQ(find_add_display_var(long_name.c_str(), 6, "ctx", "%lu", &first), 0);
    ASSERT_EQ(find_add_display_var(long_name.substr(0, 47).c_str(), -1, "other", "%u", &again), 0);
    EXPECT_EQ(first, again); // stored as its first 47 characters

    void *slice = nullptr, *next = nullptr;
    ASSERT_EQ(find_add_display_var("pool a", -3, "ctx", "%u", &slice), 0);
    ASSERT_EQ(find_add_display_var("pool b", -1008, "ctx", "%u", &next), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(next) % 8, 0u);
    EXPECT_EQ(static_cast<unsigned char *>(next) - static_cast<unsigned char *>(slice), 8);
    EXPECT_EQ(find_add_display_var("pool c", -8, "ctx", "%u", &storage), -1); // 1016 + 8 reaches 1024

    for (int i = 0; i < 17; i++) { // 16 context names, "ctx" holds one
        std::string context = "context " + std::to_string(i);
        int rc = find_add_display_var(("by context " + std::to_string(i)).c_str(), 6, context.c_str(), "%u", &storage);
        EXPECT_EQ(rc, i < 15 ? 0 : -1) << i;
    }
    // 3 + 15 named entries so far; the failed calls left one free entry, taken first.
    int made = 0;
    for (; made < 600; made++) {
        if (find_add_display_var(("var " + std::to_string(made)).c_str(), 6, "ctx", "%u", &storage) != 0)
            break;
        static_cast<uint64_t *>(storage)[0] += 1;
    }
    EXPECT_EQ(storage, nullptr);
    EXPECT_EQ(3 + 15 + made, 512);
}

// The GUI polls and clicks Cancel in tight loops while the command thread pushes, sets, pops and ends runs
// and a helper counts into the current task.
TEST_F(ProgressThreads, PollingSettingAndAbortRacingTheEndOfRuns)
{
    std::atomic<bool> done{false};
    int leaked = 0;
    std::thread poller([&] {
        while (!done)
            EXPECT_LE(poll().overall_fraction, 1.0);
    });
    std::thread helper([&] { while (!done) progress_add(1); });
    std::thread canceller([&] { while (!done) request_abort(); });
    for (int run = 0; run < 2000; run++) {
        leaked += abort_requested(); // a request after the last clear_run_flags was dropped
        begin_run_flags();
        ZV::ProgressStackGuard guard;
        if (run % 3 == 0)
            progress_set_phases(2);
        progress_push(0, 100), progress_set_overall_text("Phase $e of $E");
        for (int i = 0; i < 5; i++) {
            progress_push(i, 5), progress_printf_text("item %d of $P ($z, $R)", i);
            progress_set_remaining(i * 10.0), progress_set_var(i % 4, i);
            progress_pop(), progress_next_phase();
        }
        if (run % 2 == 0) // left on the stack: the guard pops it
            progress_push(1, 2);
        clear_run_flags();
    }
    done = true;
    poller.join(), helper.join(), canceller.join();
    EXPECT_EQ(leaked, 0);
    EXPECT_EQ(progress_depth(), 0u);
}

} // namespace
