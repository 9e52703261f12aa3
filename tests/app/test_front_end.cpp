// The front end's disk filter over the disks manager's entries, and its
// wait for a queued operation on a real engine.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/front_end.h"
#include "foundation/engine_status.h"
#include "scan/fat_image_support.h"
#include "storage/devices/disks_manager_support.h"

namespace {

// Hidden: a virtual bus (loop devices, device-mapper), more than 256 GiB,
// or no file behind the entry and not removable (a fixed disk).
TEST(DiskFilter, HidesVirtualHugeAndFixedDisks)
{
    const int64_t limit = int64_t(1) << 38;
    struct Case {
        const char *what;
        int32_t bus;
        int64_t size;
        const char *file;
        uint8_t removable;
        bool hidden;
    };
    const Case cases[] = {
        {"card in a USB reader", HV::kDiskBusUSB, 32ll << 30, "", 1, false},
        {"SD slot", HV::kDiskBusSD, limit, "", 1, false},
        {"card of more than 256 GiB", HV::kDiskBusSD, limit + 1, "", 1, true},
        {"loop device", HV::kDiskBusVirtual, 64ll << 20, "", 0, true},
        {"removable virtual disk", HV::kDiskBusVirtual, 64ll << 20, "", 1, true},
        {"fixed SATA disk", HV::kDiskBusSATA, 100ll << 30, "", 0, true},
        {"image file", HV::kDiskBusDiskImage, 1ll << 30, "/tmp/card.dmg", 0, false},
        {"plain file", HV::kDiskBusFile, 1ll << 30, "/tmp/card.img", 0, false},
        {"image file above 256 GiB", HV::kDiskBusDiskImage, limit * 2, "/tmp/big.img", 0, true},
    };
    for (const Case &c : cases) {
        HV::Disk disk;
        disk.setBusType(c.bus);
        disk.setSize(c.size);
        disk.setFilePath(zorvant::u8string(c.file));
        disk.setRemovable(c.removable);
        EXPECT_EQ(zvapp::disk_hidden(disk), c.hidden) << c.what;
    }
}

// Drives from the test; a reload waits in disks() until released.
class HeldSource : public diskstest::FakeSource {
public:
    std::vector<ZV::DiskDescription> disks() override
    {
        {
            std::unique_lock<std::mutex> lock(hold_mutex_);
            released_.wait(lock, [&] { return !held_; });
        }
        return FakeSource::disks();
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(hold_mutex_);
            held_ = false;
        }
        released_.notify_all();
    }

private:
    std::mutex hold_mutex_;
    std::condition_variable released_;
    bool held_ = true;
};

// A reload (as the reload timer queues one) that ends while the program
// waits for its scan does not end that wait: the wait gives the scan's own
// result. The reload is held until the wait runs: the wait's first round
// asks for an early stop (a time limit of almost 0), which releases it.
TEST(FrontEndWait, EndsWithItsOwnCommandOnly)
{
    zvtest::TempDir dir;
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 16, 16384);
    zvtest::fatPut(image, "A.BIN", zvtest::patternBytes(3000, 1));
    auto source = std::make_shared<HeldSource>();
    auto callbacks = std::make_shared<zvapp::Callbacks>();
    HV::EngineConfig config;
    config.application_name = "ZorvantTest";
    config.home_folder = dir.path();
    config.callbacks = callbacks;
    config.disks_source = source;
    std::string error;
    std::shared_ptr<HVEngine> engine = HVEngine::create(config, &error);
    ASSERT_NE(engine, nullptr) << error;
    uint32_t id = 0;
    ASSERT_EQ(engine->addMediaPath(image, &id), 0);
    ASSERT_EQ(engine->reloadMedia(), 0);
    ASSERT_EQ(engine->scanMedia(id, SCX_TYPE_QUICK), 0);
    set_stop_enabled(1);
    std::thread releaser([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (stop_requested() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        source->release();
    });
    const HV::CommandResult scan = callbacks->wait(*engine, HV::Command::Scan, false, 1e-9);
    releaser.join();
    EXPECT_EQ(scan.status, 0) << scan.error_text;
    EXPECT_EQ(scan.keyref, keyref_scan(1));
    // The reload's own wait still sees the reload.
    EXPECT_EQ(callbacks->wait(*engine, HV::Command::ReloadMedia, false).status, 0);
    engine.reset();
    set_stop_enabled(0);
}

} // namespace
