// ZV::Timer and the monotonic timed-wait helpers, with real threads. Time is only checked from below.
#include "foundation/threads.h"
#include "foundation/timer.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// Polls until `done` holds; false after a generous guard against hangs.
bool waitFor(const std::function<bool()> &done)
{
    for (auto end = steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(1ms))
        if (steady_clock::now() > end)
            return false;
    return true;
}

// Counts calls and keeps the time of the last one.
struct Calls {
    std::atomic<int> n{0};
    std::atomic<steady_clock::time_point> at{};
    std::function<void()> fn() { return [this] { at = steady_clock::now(); ++n; }; }
};

} // namespace

// A one-shot fires once, not before its interval, and not after a stop; a repeating one until destroyed;
// destruction mid-wait or from inside its own callback neither fires nor hangs.
TEST(Timer, OneShotRepeatingStopAndDestruction)
{
    Calls calls;
    ZV::Timer timer;
    timer.set(100, calls.fn(), false);
    const auto started = steady_clock::now();
    timer.start();
    ASSERT_TRUE(waitFor([&] { return calls.n == 1; }));
    EXPECT_GE(calls.at.load() - started, 100ms);
    timer.set(500, calls.fn(), false); // wide margin for a slow machine
    timer.start();
    timer.stop();
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(calls.n, 1); // no second call of the first start, none of the stopped one
    {
        ZV::Timer repeating, waiting;
        repeating.set(20, calls.fn(), true);
        waiting.set(3600 * 1000, calls.fn(), false);
        repeating.start();
        waiting.start();
        ASSERT_TRUE(waitFor([&] { return calls.n >= 4; }));
    }
    const int frozen = calls.n;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.n, frozen);

    std::atomic<bool> gone{false};
    auto owned = std::make_unique<ZV::Timer>();
    owned->set(10, [&] { owned.reset(); gone = true; }, false);
    owned->start();
    ASSERT_TRUE(waitFor([&] { return gone.load(); }));
}

// Fault guarded: a start right after a stop let the old countdown go on (also for plain restarts).
TEST(Timer, BurstOfRestartsFiresOnceAfterLastStart)
{
    Calls calls;
    ZV::Timer timer;
    timer.set(250, calls.fn(), false);
    steady_clock::time_point lastStart;
    for (int i = 0; i < 20; ++i) {
        if (i % 2 == 0)
            timer.stop();
        lastStart = steady_clock::now();
        timer.start();
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(waitFor([&] { return calls.n == 1; }));
    EXPECT_GE(calls.at.load() - lastStart, 250ms);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(calls.n, 1);
}

// Faults guarded: a start during the callback was lost; an empty or throwing callback ended the process.
TEST(Timer, StartDuringCallbackFiresAgain)
{
    std::atomic<int> calls{0};
    ZV::Timer timer;
    timer.set(5, nullptr, false);
    timer.start();
    std::this_thread::sleep_for(30ms);
    timer.set(20, [&] {
        if (++calls == 1) {
            timer.start();
            std::this_thread::sleep_for(30ms);
            throw std::runtime_error("reload failed");
        }
    }, false);
    timer.start();
    ASSERT_TRUE(waitFor([&] { return calls == 2; }));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(calls.load(), 2);
}

// Stop/start storms from three threads while a slow callback runs (and restarts itself now and then);
// a last start still fires, and destruction amid a repeating callback joins cleanly.
TEST(TimerThreads, StopStartStormsWhileCallbackRuns)
{
    std::atomic<int> calls{0};
    std::atomic<bool> final{false}, firedAfterFinal{false};
    auto timer = std::make_unique<ZV::Timer>();
    ZV::Timer *t = timer.get();
    t->set(3, [&] {
        bool after = final.load();
        if (++calls % 7 == 0 && !after)
            t->start();
        std::this_thread::sleep_for(2ms);
        firedAfterFinal = firedAfterFinal || after;
    }, false);
    std::vector<std::thread> storm;
    auto guard = steady_clock::now() + 10s;
    for (int k = 0; k < 3; ++k) // bursts with pauses longer than the interval
        storm.emplace_back([&, t, k] {
            for (int i = 0; calls < 20 && steady_clock::now() < guard; ++i) {
                if ((i + k) % 3 != 0)
                    t->stop();
                t->start();
                if (i % 10 == 9)
                    std::this_thread::sleep_for(milliseconds(8 + 2 * k));
            }
        });
    for (auto &s : storm)
        s.join();
    ASSERT_GE(calls.load(), 20);
    final = true;
    t->start();
    ASSERT_TRUE(waitFor([&] { return firedAfterFinal.load(); }));

    t->set(1, [&] { std::this_thread::sleep_for(5ms); ++calls; }, true);
    t->start();
    std::this_thread::sleep_for(30ms);
    timer.reset();
}

// Fault guarded: a deadline over a second past gave EINVAL, not a time-out; bad arguments give EINVAL.
TEST(MonotonicWaitThreads, TimedWaitsAndArguments)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    struct timespec past, now, soon, bad = {0, 1000000000};
    ASSERT_EQ(zv_deadline_after_ms(&past, -1500), 0);
    ASSERT_TRUE(past.tv_nsec >= 0 && past.tv_nsec < 1000000000);
    zv_deadline_after_ms(&now, 0);
    pthread_mutex_lock(&mutex);
    EXPECT_EQ(zv_cond_timedwait(&cond, &mutex, &past), ETIMEDOUT);
    EXPECT_EQ(zv_cond_timedwait(&cond, &mutex, &now), ETIMEDOUT);
    auto before = steady_clock::now();
    zv_deadline_after_ms(&soon, 50);
    int rc;
    while ((rc = zv_cond_timedwait(&cond, &mutex, &soon)) == 0) {} // spurious wakes
    EXPECT_EQ(rc, ETIMEDOUT);
    EXPECT_GE(steady_clock::now() - before, 50ms);
    EXPECT_EQ(zv_cond_timedwait(&cond, &mutex, &bad), EINVAL);
    EXPECT_EQ(zv_cond_timedwait(nullptr, &mutex, &soon), EINVAL);
    pthread_mutex_unlock(&mutex);

    pthread_t thread;
    EXPECT_EQ(zv_thread_create(&thread, nullptr, nullptr), EINVAL);
    pthread_mutex_t rec;
    ASSERT_EQ(zv_mutex_init(&rec, ZV_MUTEX_RECURSIVE), 0);
    EXPECT_EQ(pthread_mutex_lock(&rec), 0);
    EXPECT_EQ(pthread_mutex_lock(&rec), 0);
    pthread_mutex_unlock(&rec);
    pthread_mutex_unlock(&rec);
    pthread_mutex_destroy(&rec);
}
