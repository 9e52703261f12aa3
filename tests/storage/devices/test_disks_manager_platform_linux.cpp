#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "storage/devices/device_monitor_linux.h"
#include "storage/devices/device_test_support.h"

namespace {

using Platform = ZV::DisksManagerPlatform;

// Keeps an observer registered for one scope.
class Registered {
public:
    explicit Registered(ZV::DisksManagerObserver *observer) : observer_(observer) { Platform::addObserver(observer); }
    ~Registered() { Platform::removeObserver(observer_); }

private:
    ZV::DisksManagerObserver *observer_;
};

ZV::DiskDescription described(const std::string &path)
{
    ZV::DiskDescription description;
    description.setDevicePath(path);
    return description;
}

bool listed(const std::vector<ZV::DiskDescription> &disks, const std::string &path)
{
    for (const ZV::DiskDescription &d : disks)
        if (d.devicePath() == path)
            return true;
    return false;
}

// Events are machine-wide and handled in order: once the disk's own
// "change" is seen, everything about it before has been delivered.
void drain(zvtest::RecordingObserver &observer, const zvtest::TestLoop &loop)
{
    const size_t before = observer.count('A', loop.path());
    loop.poke();
    ASSERT_TRUE(observer.waitForCount('A', loop.path(), before + 1)) << "no event for " << loop.path();
}

struct OrderObserver : ZV::DisksManagerObserver {
    OrderObserver(std::string *log, char tag) : log(log), tag(tag) {}
    void deviceAdded(const ZV::DiskDescription &d) override
    {
        if (d.devicePath() == "/dev/zv-test")
            *log += tag;
    }
    void deviceRemoved(const ZV::DiskDescription &d) override
    {
        if (d.devicePath() == "/dev/zv-test")
            *log += static_cast<char>(tag - 'a' + 'A');
    }
    std::string *log;
    char tag;
};

TEST(DevicesRegistryThreads, OrderRemovalAndCallsFromObservers)
{
    std::string log;
    OrderObserver a(&log, 'a'), b(&log, 'b'), c(&log, 'c');
    Platform::addObserver(&a);
    Platform::addObserver(&b);
    Platform::addObserver(&c);
    Platform::addObserver(&b); // once only
    Platform::notifyAdded(described("/dev/zv-test"));
    Platform::notifyRemoved(described("/dev/zv-test"));
    EXPECT_EQ(log, "abcABC");
    Platform::removeObserver(&b);
    log.clear();
    Platform::notifyAdded(described("/dev/zv-test"));
    EXPECT_EQ(log, "ac");

    // An observer that removes itself and the next one during a delivery,
    // and enumerates: no deadlock, and the removed one is not called.
    struct Remover : ZV::DisksManagerObserver {
        ZV::DisksManagerObserver *next = nullptr;
        size_t disks = 0;
        void deviceAdded(const ZV::DiskDescription &d) override
        {
            if (d.devicePath() != "/dev/zv-test")
                return;
            Platform::removeObserver(this);
            Platform::removeObserver(next);
            disks = Platform::disks().size() + 1;
        }
        void deviceRemoved(const ZV::DiskDescription &) override {}
    } remover;
    Platform::removeObserver(&c);
    Platform::addObserver(&remover);
    Platform::addObserver(&c);
    remover.next = &c;
    log.clear();
    Platform::notifyAdded(described("/dev/zv-test"));
    EXPECT_EQ(log, "a");
    EXPECT_GT(remover.disks, 0u);
    Platform::removeObserver(&a);
}

TEST(DevicesRegistryThreads, RemovalWaitsForARunningDelivery)
{
    struct Slow : ZV::DisksManagerObserver {
        std::atomic<bool> inside{false}, entered{false}, release{false};
        void deviceAdded(const ZV::DiskDescription &d) override
        {
            if (d.devicePath() != "/dev/zv-slow")
                return;
            inside = true;
            entered = true;
            while (!release)
                std::this_thread::yield();
            inside = false;
        }
        void deviceRemoved(const ZV::DiskDescription &) override {}
    } slow;
    Platform::addObserver(&slow);
    std::thread notifier([] { Platform::notifyAdded(described("/dev/zv-slow")); });
    while (!slow.entered)
        std::this_thread::yield();
    std::atomic<bool> removed{false};
    bool insideWhenReturned = true;
    std::thread remover([&] {
        Platform::removeObserver(&slow);
        insideWhenReturned = slow.inside;
        removed = true;
    });
    // Give the removal time to reach the registry; it must still be waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removed);
    slow.release = true;
    notifier.join();
    remover.join();
    EXPECT_FALSE(insideWhenReturned);
}

// Observers added and removed on several threads while others notify: no
// observer is called after its removal returned.
TEST(DevicesRegistryThreads, AddRemoveWhileNotifying)
{
    struct Counted : ZV::DisksManagerObserver {
        std::atomic<bool> registered{false};
        std::atomic<int> *lateCalls = nullptr;
        void check()
        {
            if (!registered)
                ++*lateCalls;
        }
        void deviceAdded(const ZV::DiskDescription &) override { check(); }
        void deviceRemoved(const ZV::DiskDescription &) override { check(); }
    };
    std::atomic<int> lateCalls{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            Counted observer;
            observer.lateCalls = &lateCalls;
            for (int i = 0; i < 300; ++i) {
                observer.registered = true;
                Platform::addObserver(&observer);
                std::this_thread::yield();
                Platform::removeObserver(&observer);
                observer.registered = false;
            }
        });
    }
    std::vector<std::thread> notifiers;
    for (int t = 0; t < 3; ++t) {
        notifiers.emplace_back([&, t] {
            while (!done) {
                if (t == 0)
                    Platform::notifyRemoved(described("/dev/zv-stress"));
                else
                    Platform::notifyAdded(described("/dev/zv-stress"));
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    done = true;
    for (std::thread &thread : notifiers)
        thread.join();
    EXPECT_EQ(lateCalls, 0);
}

// Real kernel events through the process's instance: attach, partitions,
// their removal, detach.
TEST(DeviceEventsThreads, LoopArrivalPartitionsAndRemoval)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "needs root for loop devices";
    zvtest::TempDir dir;
    zvtest::makePartitionedImage(dir / "card.img");
    zvtest::RecordingObserver observer;
    Registered registered(&observer);
    zvtest::TestLoop loop(dir / "card.img");

    const std::vector<ZV::DiskDescription> disks = Platform::disks();
    const ZV::DiskDescription *mine = nullptr;
    for (const ZV::DiskDescription &d : disks)
        if (d.devicePath() == loop.path())
            mine = &d;
    ASSERT_NE(mine, nullptr) << loop.path() << " not listed";
    EXPECT_EQ(mine->busCode(), 9u);
    EXPECT_EQ(mine->displayName(), "card.img");
    EXPECT_EQ(mine->size(), 64 << 20);
    EXPECT_EQ(mine->blockSize(), 512u);
    EXPECT_EQ(mine->writeProtected(), 0);

    const size_t arrivals = observer.count('A', loop.path());
    loop.addPartitions();
    EXPECT_TRUE(observer.waitForCount('A', loop.path(), arrivals + 1));
    loop.removePartitions();
    drain(observer, loop);
    EXPECT_EQ(observer.count('R', loop.path()), 0u) << "partition removals are no drive removals";

    loop.detach();
    EXPECT_TRUE(observer.waitForCount('R', loop.path(), 1));
    drain(observer, loop);
    EXPECT_EQ(observer.count('R', loop.path()), 1u);
    for (const auto &e : observer.events()) {
        if (e.kind == 'R' && e.path == loop.path()) {
            EXPECT_EQ(e.name, "card.img");
        }
    }
}

// The drive goes between two enumerations, and the monitor handles its
// event only after the second, which no longer lists it: the removal is
// still reported, once.
TEST(DeviceEventsThreads, RemovalBetweenEnumerationAndEvent)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "needs root for loop devices";
    zvtest::TempDir dir;
    zvtest::makePartitionedImage(dir / "card.img");
    zvtest::RecordingObserver observer;
    ZV::DeviceMonitor monitor(ZV::SysfsRoots(), &observer);
    ASSERT_TRUE(monitor.listen());
    zvtest::TestLoop loop(dir / "card.img");
    ASSERT_TRUE(listed(monitor.enumerate(), loop.path()));
    loop.detach();
    ASSERT_FALSE(listed(monitor.enumerate(), loop.path()));
    ASSERT_TRUE(monitor.start());
    EXPECT_TRUE(observer.waitForCount('R', loop.path(), 1));
    drain(observer, loop);
    EXPECT_EQ(observer.count('R', loop.path()), 1u);
    monitor.stop();
}

// Loop devices attached, listed and detached over and over while another
// thread enumerates: every listed medium is reported removed exactly once.
// Removals are counted by the image's name, since other programs may take
// the same loop numbers in between.
TEST(DeviceChurnThreads, EveryListedMediumRemovedOnce)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "needs root for loop devices";
    zvtest::TempDir dir;
    const std::string names[2] = {"zv-churn-a-" + std::to_string(getpid()) + ".img",
                                  "zv-churn-b-" + std::to_string(getpid()) + ".img"};
    zvtest::makePartitionedImage(dir / names[0]);
    zvtest::makePartitionedImage(dir / names[1]);
    zvtest::RecordingObserver observer;
    Registered registered(&observer);
    std::atomic<bool> done{false};
    std::thread enumerator([&] {
        while (!done)
            Platform::disks();
    });
    std::set<std::string> paths;
    const size_t kCycles = 12;
    for (size_t i = 0; i < kCycles; ++i) {
        zvtest::TestLoop a(dir / names[0]);
        zvtest::TestLoop b(dir / names[1]);
        if (i % 2 == 0)
            a.addPartitions();
        const std::vector<ZV::DiskDescription> disks = Platform::disks();
        ASSERT_TRUE(listed(disks, a.path()) && listed(disks, b.path()));
        a.detach();
        b.detach();
        paths.insert(a.path());
        paths.insert(b.path());
        if (i % 3 == 0) {
            EXPECT_TRUE(Platform::unmountVolumes(described(a.path())));
        }
    }
    done = true;
    enumerator.join();
    auto removals = [&observer](const std::string &name) {
        size_t n = 0;
        for (const auto &e : observer.events())
            n += e.kind == 'R' && e.name == name;
        return n;
    };
    EXPECT_TRUE(observer.waitFor([&] { return removals(names[0]) >= kCycles && removals(names[1]) >= kCycles; }));
    for (const std::string &path : paths) {
        const size_t before = observer.count('A', path);
        zvtest::writeFile("/sys/block/" + path.substr(5) + "/uevent", "change");
        ASSERT_TRUE(observer.waitForCount('A', path, before + 1)) << path;
    }
    std::string trace;
    for (const auto &e : observer.events())
        if (paths.count(e.path))
            trace += std::string(1, e.kind) + ":" + e.path + ":" + e.name + "\n";
    EXPECT_EQ(removals(names[0]), kCycles) << trace;
    EXPECT_EQ(removals(names[1]), kCycles);
}

} // namespace
