#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/file.h"
#include "foundation/notify.h"
#include "foundation/prefs.h"
#include "storage/devices/drive_monitor.h"
#include "support/test_support.h"

namespace {

const char *const kSection = "Drive Failure Detection";

struct Read {
    const char *name;
    int64_t position;
    uint32_t milliseconds;
};

class DriveMonitorTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(prefs_set_dir(dir_.path().c_str()), 0);
        prefs_load();
    }
    void TearDown() override { file_set_slow_read_threshold(0); }

    static void set(const char *key, int64_t value) { ASSERT_EQ(prefs_set_int(kSection, key, value), 0); }
    static void prefsChanged() { notification_post("PrefsChanged", 0); }

    // Sets the monitor up with a callback that notes "name@position".
    void setUp(HV::DriveMonitor &monitor)
    {
        monitor.registerPrefs([this](const std::string &name, int64_t position, uint32_t milliseconds) {
            reports_.push_back(name + "@" + std::to_string(position));
            lastMilliseconds_ = milliseconds;
        });
    }
    std::vector<std::string> take()
    {
        std::vector<std::string> taken;
        taken.swap(reports_);
        return taken;
    }

    zvtest::TempDir dir_;
    std::vector<std::string> reports_;
    uint32_t lastMilliseconds_ = 0;
};

using Strings = std::vector<std::string>;
using DriveMonitorThreads = DriveMonitorTest;

TEST_F(DriveMonitorTest, SlowReadsAreCountedPerDriveAndDistinctPosition)
{
    const struct {
        int minimum;
        std::vector<std::pair<std::vector<Read>, Strings>> steps; // reads, then the reports they give
    } cases[] = {
        {3,
         {{{{"/dev/sdb", 10, 3000}, {"/dev/sdb", 10, 3000}, {"/dev/sdb", 20, 3000}}, {}},
          {{{"/dev/sdb", 30, 3000}}, {"/dev/sdb@30"}},
          {{{"/dev/sdb", 10, 3000}}, {"/dev/sdb@10"}}}},
        {0,
         {{{{"/dev/sdb", 10, 1}, {"/dev/sdb", 10, 1}}, {"/dev/sdb@10", "/dev/sdb@10"}},
          {{{"/dev/sdb", 0, 4999}, {"", 5, 9000}, {"/dev/sdb", 5, 0}}, {}},
          {{{"/dev/sdb", 0, 5000}}, {"/dev/sdb@0"}}}},
        {2,
         {{{{"/dev/sdb", 1, 10}, {"/dev/sdc", 1, 10}, {"/dev/sdb", 1, 10}}, {}},
          {{{"/dev/sdc", 2, 10}}, {"/dev/sdc@2"}},
          {{{"/dev/sdb", 2, 10}, {"/dev/sdc", 9, 10}}, {"/dev/sdb@2", "/dev/sdc@9"}}}},
        {1, {{{{"/dev/sdb", 0, 4999}}, {}}, {{{"/dev/sdb", 0, 5000}}, {"/dev/sdb@0"}}}},
    };
    for (const auto &c : cases) {
        set("slow_read_suppress_count", c.minimum);
        HV::DriveMonitor monitor;
        setUp(monitor);
        EXPECT_TRUE(monitor.enabled());
        EXPECT_EQ(monitor.minimumSlowReads(), c.minimum);
        int step = 0;
        for (const auto &s : c.steps) {
            for (const Read &read : s.first)
                monitor.onSlowRead(read.name, read.position, read.milliseconds);
            EXPECT_EQ(take(), s.second) << "minimum " << c.minimum << ", step " << step;
            ++step;
        }
    }
}

TEST_F(DriveMonitorTest, PrefsChangedSwitchesReportsButNotTheMinimum)
{
    set("slow_read_suppress_count", 0);
    HV::DriveMonitor monitor;
    HV::DriveMonitor idle; // never set up: disabled
    idle.onSlowRead("/dev/sdb", 10, 9000);
    EXPECT_FALSE(idle.enabled());
    setUp(monitor);
    monitor.onSlowRead("/dev/sdb", 10, 3000);
    EXPECT_EQ(take(), Strings{"/dev/sdb@10"});

    set("slow_detection_enabled", 0);
    set("slow_read_suppress_count", 5);
    prefsChanged();
    EXPECT_FALSE(monitor.enabled());
    monitor.onSlowRead("/dev/sdb", 20, 3000);
    EXPECT_EQ(take(), Strings{});

    set("slow_detection_enabled", 1);
    prefsChanged();
    monitor.onSlowRead("/dev/sdb", 30, 3000);
    EXPECT_EQ(take(), Strings{"/dev/sdb@30"}); // the minimum is still 0
    EXPECT_EQ(monitor.minimumSlowReads(), 0);
}

TEST_F(DriveMonitorTest, MonitorWithoutCallbackReportsNothing)
{
    set("slow_read_suppress_count", 0);
    HV::DriveMonitor monitor;
    monitor.registerPrefs(HV::DriveMonitor::ReportFn());
    EXPECT_NO_THROW(monitor.onSlowRead("/dev/sdb", 10, 3000));
}

// A file type whose every read takes 30 ms: a failing card.
ssize_t slowPread(file_t *f, void *buffer, size_t count, int64_t offset)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return ::pread(f->fd, buffer, count, offset);
}

struct SlowFile {
    explicit SlowFile(const std::string &path)
    {
        zvtest::writeFile(path, std::string(65536, 'c'));
        static vf_ops ops{};
        ops.pread = &slowPread;
        file = file_open_ex(nullptr, path.c_str(), "r", 1, 0, &ops, nullptr, -1);
    }
    ~SlowFile() { file_free(&file); }
    void readAt(int64_t position)
    {
        char buffer[512];
        ASSERT_EQ(file_seek(file, position), 0);
        ASSERT_EQ(file_read(file, buffer, sizeof buffer), 512);
    }
    file_t *file = nullptr;
};

TEST_F(DriveMonitorTest, SlowReadsOfTheFileLayerReachTheReport)
{
    set("slow_read_suppress_count", 2);
    set("slow_duration_ms", 20);
    const std::string path = dir_ / "card.raw";
    SlowFile card(path);
    ASSERT_NE(card.file, nullptr);
    {
        HV::DriveMonitor monitor;
        setUp(monitor);
        card.readAt(0);    // position 0 under 5 s: a drive waking up
        card.readAt(4096); // first slow position
        card.readAt(4096); // the same again
        EXPECT_EQ(take(), Strings{});
        card.readAt(8192);
        EXPECT_EQ(take(), Strings{path + "@8192"});
        EXPECT_GE(lastMilliseconds_, 20u);
        card.readAt(4096);
        EXPECT_EQ(take(), Strings{path + "@4096"});

        // Raising the threshold over the read time silences the file layer.
        set("slow_duration_ms", 600000);
        prefsChanged();
        card.readAt(12288);
        EXPECT_EQ(take(), Strings{});
        set("slow_duration_ms", 20);
        prefsChanged();
    }
    card.readAt(16384); // the monitor is gone, and so is its callback
    EXPECT_EQ(take(), Strings{});
}

// A destroyed monitor is called neither by "PrefsChanged" nor by the file
// layer: its storage, filled with a pattern after destruction, stays as it is.
TEST_F(DriveMonitorTest, DestroyedMonitorIsNotCalled)
{
    set("slow_read_suppress_count", 0);
    set("slow_duration_ms", 20);
    const std::string path = dir_ / "card.raw";
    SlowFile card(path);
    ASSERT_NE(card.file, nullptr);
    alignas(HV::DriveMonitor) unsigned char storage[sizeof(HV::DriveMonitor)];
    HV::DriveMonitor *monitor = new (storage) HV::DriveMonitor;
    setUp(*monitor);
    card.readAt(4096);
    EXPECT_EQ(take(), Strings{path + "@4096"});
    monitor->~DriveMonitor();
    std::memset(storage, 0xAA, sizeof storage);

    prefsChanged();
    card.readAt(8192);
    size_t changed = 0;
    for (unsigned char byte : storage)
        changed += byte != 0xAA;
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(take(), Strings{});
}

// Eight reading threads report slow reads while another switches detection
// on and off through "PrefsChanged".
TEST_F(DriveMonitorThreads, ReadsWhilePrefsToggle)
{
    set("slow_read_suppress_count", 3);
    HV::DriveMonitor monitor;
    std::atomic<uint64_t> reports{0};
    monitor.registerPrefs([&reports](const std::string &, int64_t, uint32_t) { reports.fetch_add(1); });

    std::atomic<bool> done{false};
    std::thread toggler([&done] {
        for (int i = 0; !done.load(); ++i) {
            prefs_set_int(kSection, "slow_detection_enabled", i % 2);
            notification_post("PrefsChanged", 0);
        }
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&monitor, t] {
            std::minstd_rand random(static_cast<unsigned>(t + 1));
            const std::string names[] = {"/dev/sdb", "/dev/sdc", "/dev/mmcblk0", "/dev/loop" + std::to_string(t)};
            for (int i = 0; i < 20000; ++i)
                monitor.onSlowRead(names[random() % 4], static_cast<int64_t>(random() % 64) * 512,
                                   3000 + static_cast<uint32_t>(random() % 3000));
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    done.store(true);
    toggler.join();

    set("slow_detection_enabled", 1);
    prefsChanged();
    const uint64_t before = reports.load();
    monitor.onSlowRead("/dev/sdz", 512, 3000);
    monitor.onSlowRead("/dev/sdz", 1024, 3000);
    EXPECT_EQ(reports.load(), before);
    monitor.onSlowRead("/dev/sdz", 1536, 3000);
    EXPECT_EQ(reports.load(), before + 1);
}

} // namespace
