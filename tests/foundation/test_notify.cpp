// Notification centre with real threads. Names are process-wide, so every test uses names of its own.
#include "foundation/notify.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Call { std::string name; std::uintptr_t arg; void *ctx; };
std::mutex g_m;
std::vector<Call> g_calls;
void record(const char *name, std::uintptr_t arg, void *ctx) { std::lock_guard<std::mutex> l(g_m); g_calls.push_back({name, arg, ctx}); }
void reset() { std::lock_guard<std::mutex> l(g_m); g_calls.clear(); }

void repost(const char *name, std::uintptr_t arg, void *ctx)
{
    record(name, arg, ctx);
    notification_post("n.self", 2);  // its own name, same thread: dropped
    notification_post("n.other", 3); // another name: delivered at once
}
void removeBoth(const char *name, std::uintptr_t arg, void *ctx)
{
    record(name, arg, ctx);
    notification_remove_observer(name, record, ctx);     // later in this round
    notification_remove_observer(name, removeBoth, ctx); // itself, inside its call
}
void throws(const char *, std::uintptr_t, void *) { throw std::runtime_error("observer failed"); }

// A callback that, on its first call, signals `entered` and blocks until released.
struct Gate { std::mutex m; std::condition_variable cv; bool entered = false, released = false, done = false; };
Gate *g_gate;
void blocking(const char *name, std::uintptr_t arg, void *ctx)
{
    record(name, arg, ctx);
    std::unique_lock<std::mutex> l(g_gate->m);
    if (g_gate->entered)
        return;
    g_gate->entered = true;
    g_gate->cv.notify_all();
    g_gate->cv.wait(l, [] { return g_gate->released; });
    g_gate->done = true;
}
void waitEntered(Gate &g) { std::unique_lock<std::mutex> l(g.m); g.cv.wait(l, [&] { return g.entered; }); }
void release(Gate &g) { { std::lock_guard<std::mutex> l(g.m); g.released = true; } g.cv.notify_all(); }

// Short-lived context: a call after its removal is a use-after-free (ASan) or sees alive == 0.
struct Temp { std::atomic<int> alive{1}; ~Temp() { alive = 0; } };
void touch(const char *, std::uintptr_t, void *ctx) { EXPECT_EQ(static_cast<Temp *>(ctx)->alive.load(), 1); }

} // namespace

// Duplicates, order, unobserved and NULL names, re-entrant posts, removal, throwing observers; fault guarded:
// a pointer argument was cut to 32 bits.
TEST(Notify, DeliveryRules)
{
    reset();
    int a = 0, b = 0;
    const char *path = "/dev/sdz";
    notification_add_observer("n.dup", record, &a);
    notification_add_observer("n.dup", record, &a); // equal triple: ignored
    notification_add_observer("n.dup", record, &b);
    notification_add_observer(nullptr, record, &a);
    notification_post("n.dup", reinterpret_cast<std::uintptr_t>(path));
    notification_post("n.nobody", 1);
    notification_post(nullptr, 1);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].ctx, &a);
    EXPECT_EQ(g_calls[1].ctx, &b);
    EXPECT_EQ(reinterpret_cast<const char *>(g_calls[1].arg), path);

    reset();
    notification_add_observer("n.self", repost, nullptr);
    notification_add_observer("n.other", record, nullptr);
    notification_post("n.self", 1);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].name, "n.other");

    reset(); // fault guarded: observers could not be removed (a dead engine was called)
    int ctx = 0;
    notification_add_observer("n.rm", removeBoth, &ctx);
    notification_add_observer("n.rm", record, &ctx);
    notification_post("n.rm", 1);
    notification_post("n.rm", 2);
    EXPECT_EQ(g_calls.size(), 1u);

    reset(); // a throwing observer stops no other
    notification_add_observer("n.throw", throws, nullptr);
    notification_add_observer("n.throw", record, nullptr);
    notification_post("n.throw", 1);
    notification_post("n.throw", 2);
    EXPECT_EQ(g_calls.size(), 2u);
}

// Fault guarded: a post while another thread delivers the name was lost; an observer added meanwhile joins.
TEST(NotifyThreads, BusyNamePostIsNotLost)
{
    reset();
    Gate gate;
    g_gate = &gate;
    int late = 0;
    notification_add_observer("n.busy", blocking, nullptr);
    std::thread a([] { notification_post("n.busy", 1); });
    waitEntered(gate);
    notification_post("n.busy", 2);
    notification_add_observer("n.busy", record, &late);
    release(gate);
    a.join();
    notification_remove_observer("n.busy", blocking, nullptr); // a repeated run starts afresh
    notification_remove_observer("n.busy", record, &late);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[1].arg, 2u);
    EXPECT_EQ(g_calls[2].ctx, &late);
}

TEST(NotifyThreads, RemovalWaitsForCallUnderWay)
{
    Gate gate;
    g_gate = &gate;
    notification_add_observer("n.wait", blocking, &gate);
    std::thread poster([] { notification_post("n.wait", 1); });
    waitEntered(gate);
    std::atomic<bool> removed{false};
    std::thread remover([&] { notification_remove_observer("n.wait", blocking, &gate); removed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    release(gate);
    remover.join();
    EXPECT_TRUE(gate.done);
    poster.join();
}

// Posts from four threads while two add and remove observers freed right after removal: each argument
// reaches the steady observer once, a removed one is never called.
TEST(NotifyThreads, PostsAndObserverChurn)
{
    constexpr int kPosters = 4, kPosts = 200;
    reset();
    int steady = 0;
    notification_add_observer("n.storm", record, &steady);
    std::atomic<bool> stop{false};
    std::vector<std::thread> churn, posters;
    for (int c = 0; c < 2; ++c)
        churn.emplace_back([&] {
            while (!stop) {
                auto temp = std::make_unique<Temp>();
                notification_add_observer("n.storm", touch, temp.get());
                notification_remove_observer("n.storm", touch, temp.get());
            }
        });
    for (int t = 0; t < kPosters; ++t)
        posters.emplace_back([t] {
            for (int i = 0; i < kPosts; ++i)
                notification_post("n.storm", (std::uintptr_t(t) << 32) | std::uintptr_t(i));
        });
    for (auto &p : posters)
        p.join();
    stop = true;
    for (auto &t : churn)
        t.join();
    notification_remove_observer("n.storm", record, &steady);
    std::set<std::uintptr_t> args;
    for (const Call &call : g_calls)
        args.insert(call.arg);
    EXPECT_EQ(args.size(), size_t(kPosters * kPosts));
    EXPECT_EQ(g_calls.size(), args.size());
}
