#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "foundation/progress.h"
#include "storage/devices/disks_manager.h"
#include "storage/devices/disks_manager_platform.h"
#include "storage/media.h"
#include "storage/media_test_support.h"
#include "storage/devices/disks_manager_support.h"
#include "storage/images/zorvant_image_writer.h"
#include "storage/images/fake_disk_image.h"
#include "storage/images/image_file.h"

namespace {

using diskstest::description;
using diskstest::FakeSource;

// The tests' prescan: partition 2 of the test image holds a FAT32 volume.
int prescanPartition2(Media *m)
{
    if (m->start_pos != diskstest::kPart2Start)
        return -1;
    m->fs_type = 4;
    m->fs_subtype = 3;
    return 0;
}

class DisksManagerTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        media_free_all();
        media_set_prescan_hook(nullptr);
    }

    int mediaCount()
    {
        int count = 0;
        media_for_each([&](Media *) { return ++count, true; });
        return count;
    }

    mediatest::LogCapture log;
    zvtest::TempDir dir;
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();
};

bool dropAll(HV::Disk *, void *context)
{
    ++*static_cast<int *>(context);
    return true;
}

TEST_F(DisksManagerTest, NoDrivesGivesAnEmptyListAndLeavesNoProgressTask) {
    HV::DisksManager manager(source);
    const size_t depth = progress_depth();
    manager.reload();
    EXPECT_TRUE(manager.disks().empty());
    EXPECT_EQ(progress_depth(), depth);
}

// Bus codes above 11 become 0 with a warning; the device filter sees the
// entry (progress counted, named) before any Media is made for it.
TEST_F(DisksManagerTest, DeviceFilterRunsBeforeAttachAndSeesTheFilledEntry) {
    std::string image = diskstest::makePartitionedImage(dir / "card.img");
    ZV::DiskDescription named = description(image, "", "", 12);
    named.setFriendlyName("$p card");
    named.setWriteProtected(0);
    named.setRemovable(1);
    named.setIcons(ZV::themeIcons("media-flash"));
    source->descriptions = {named, description(image, "Generic-", "SD/MMC", 11)};

    struct Seen {
        int32_t bus;
        std::string name, path, progressText;
        double fraction;
        uint8_t writeProtected, removable;
        const ZV::Icon *icon;
    };
    std::vector<Seen> seen;
    HV::DisksManager manager(source);
    manager.setDeviceFilter(
        [](HV::Disk *disk, void *context) {
            EngineProgress progress;
            progress_get(progress);
            static_cast<std::vector<Seen> *>(context)->push_back(
                {disk->busType(), disk->name(), disk->path(), progress.task_text, progress.task_fraction,
                 disk->writeProtected(), disk->isRemovable(), disk->smallIcon()});
            return true;
        },
        &seen);
    manager.reload();

    EXPECT_TRUE(manager.disks().empty());
    EXPECT_EQ(mediaCount(), 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bus, 0);
    EXPECT_EQ(seen[0].name, "$p card");
    EXPECT_EQ(seen[0].progressText, "$p card"); // a name is no template
    EXPECT_DOUBLE_EQ(seen[0].fraction, 0.5);
    EXPECT_EQ(seen[0].path, image);
    EXPECT_EQ(seen[0].writeProtected, 0);
    EXPECT_EQ(seen[0].removable, 1);
    ASSERT_NE(seen[0].icon, nullptr);
    EXPECT_EQ(seen[0].icon->themeName, "media-flash");
    EXPECT_EQ(seen[1].bus, 11);
    EXPECT_EQ(seen[1].name, "Generic- SD/MMC");
    EXPECT_DOUBLE_EQ(seen[1].fraction, 1.0);
    EXPECT_TRUE(log.has("[W] Unknown bus: 12"));
    EXPECT_FALSE(log.has("Unknown bus: 11"));
}

// A drive with an MBR of two partitions: one entry with two children at the
// map's offsets; the volume whose starting offset is partition 2's goes to
// child 2 with its icons, volumes of other disks go nowhere.
TEST_F(DisksManagerTest, DriveGetsPartitionsAndTheirVolumes) {
    media_set_prescan_hook(prescanPartition2);
    std::string image = diskstest::makePartitionedImage(dir / "card.img");
    source->descriptions = {description(image, "Generic-", "SD/MMC", 1)};
    ZV::VolumeInfo mounted;
    mounted.setPath("/media/CARD");
    mounted.setName("CARD");
    mounted.setDevicePath(image);
    mounted.setStartingOffset(diskstest::kPart2Start);
    mounted.setCapacity(diskstest::kPart2End - diskstest::kPart2Start);
    mounted.setIcons(ZV::themeIcons("media-flash"));
    ZV::VolumeInfo elsewhere = mounted;
    elsewhere.setPath("/media/OTHER");
    elsewhere.setDevicePath("/dev/other");
    source->mounted = {elsewhere, mounted};

    int filtered = 0;
    HV::DisksManager manager(source);
    manager.setDiskFilter(
        [](HV::Disk *disk, void *context) {
            // Runs on the finished entry.
            EXPECT_EQ(disk->childCount(), 2u);
            EXPECT_TRUE(disk->child(1)->volumeInfo().isValid());
            ++*static_cast<int *>(context);
            return false;
        },
        &filtered);
    manager.reload();
    EXPECT_EQ(filtered, 1);

    std::vector<std::shared_ptr<HV::Disk>> disks = manager.disks();
    ASSERT_EQ(disks.size(), 1u);
    const HV::Disk &drive = *disks[0];
    EXPECT_EQ(drive.name(), "Generic- SD/MMC");
    EXPECT_EQ(drive.path(), image);
    EXPECT_EQ(drive.busType(), 1);
    EXPECT_GT(drive.id(), 0);
    EXPECT_EQ(drive.partitionScheme(), 3);
    EXPECT_EQ(drive.typeString(), "MBR");
    EXPECT_EQ(drive.size(), diskstest::kImageSize);
    EXPECT_EQ(drive.endOffset(), diskstest::kImageSize);
    ASSERT_EQ(drive.childCount(), 2u);

    struct {
        int64_t start, end;
        const char *name;
        int32_t fs;
        bool volume;
    } expected[] = {{diskstest::kPart1Start, diskstest::kPart1End, "Partition 1", 0, false},
                    {diskstest::kPart2Start, diskstest::kPart2End, "Partition 2", 67, true}};
    for (size_t i = 0; i < 2; i++) {
        std::shared_ptr<HV::Disk> child = drive.child(i);
        EXPECT_EQ(child->startOffset(), expected[i].start) << i;
        EXPECT_EQ(child->endOffset(), expected[i].end) << i;
        EXPECT_EQ(child->size(), expected[i].end - expected[i].start) << i;
        EXPECT_EQ(child->name(), expected[i].name) << i;
        EXPECT_EQ(child->fsType(), expected[i].fs) << i;
        EXPECT_EQ(child->path(), image) << i;
        EXPECT_EQ(child->busType(), 1) << i;
        EXPECT_EQ(child->blockSize(), 512) << i;
        EXPECT_EQ(child->writeProtected(), 1) << i;
        EXPECT_NE(child->id(), drive.id()) << i;
        EXPECT_EQ(child->volumeInfo().isValid(), expected[i].volume) << i;
    }
    EXPECT_EQ(drive.child(1)->volumePath().str(), "/media/CARD");
    EXPECT_EQ(drive.child(1)->volumeName().str(), "CARD");
    ASSERT_NE(drive.child(1)->smallIcon(), nullptr);
    EXPECT_EQ(drive.child(1)->smallIcon(), mounted.icons().small.get());
    EXPECT_EQ(drive.child(0)->smallIcon(), nullptr);

    // A disk filter that drops everything leaves the list empty.
    manager.setDiskFilter(dropAll, &filtered);
    manager.reload();
    EXPECT_TRUE(manager.disks().empty());
    EXPECT_EQ(filtered, 2);
}

TEST(DisksManager, VolumeMatches) {
    constexpr int64_t kSize = 100000000; // 0.01 % = 10000 bytes
    struct Case {
        int64_t volumeOffset, entryOffset;
        const char *volumePath, *volumeName;
        int64_t capacity;
        bool match;
    } cases[] = {
        {4096, 4096, "/dev/other", "OTHER", 1, true},          // equal known offsets decide alone
        {4096, 8192, "/dev/sdb", "CARD", kSize, true},         // unequal offsets: path, name and size
        {-1, 4096, "/dev/sdb", "CARD", kSize, true},
        {-1, 4096, "/dev/sdb", "CARD", kSize - 40000, true},   // 0.04 % smaller
        {-1, 4096, "/dev/sdb", "CARD", kSize + 40000, true},   // 0.04 % of the larger
        {-1, 4096, "/dev/sdb", "CARD", kSize - 60000, false},  // 0.06 %
        {-1, 4096, "/dev/sdb", "CARD", kSize + 60000, false},
        {-1, 4096, "/dev/sdc", "CARD", kSize, false},          // other disk
        {-1, 4096, "/dev/sdb", "card", kSize, false},          // names compare exactly
        {-1, 0, "/dev/sdb", "CARD", 0, false},                 // the entry has a size, the volume none
    };
    for (const Case &c : cases) {
        ZV::VolumeInfo volume;
        volume.setStartingOffset(c.volumeOffset);
        volume.setDevicePath(c.volumePath);
        volume.setName(c.volumeName);
        volume.setCapacity(c.capacity);
        HV::Disk entry;
        entry.setStartOffset(c.entryOffset);
        entry.setPath("/dev/sdb");
        entry.setName("CARD");
        entry.setSize(kSize);
        EXPECT_EQ(HV::DisksManager::volumeMatches(volume, entry), c.match)
            << c.volumeOffset << " " << c.volumePath << " " << c.volumeName << " " << c.capacity;
    }
}

// Added files: a plain file lists its partitions, a file that is no image is
// refused, a vanished file is listed with size 0; a reload drops them all.
TEST_F(DisksManagerTest, AddedFilesAndImagesUntilTheNextReload) {
    std::string image = diskstest::makePartitionedImage(dir / "card.img");
    zvtest::writeFile(dir / "noise.img", mediatest::pattern(1 << 20, 7));
    HV::DisksManager manager(source);

    manager.addFileDisk(zorvant::u8string(image));
    EXPECT_FALSE(manager.addImageDisk(zorvant::u8string(dir / "noise.img")));
    std::vector<std::shared_ptr<HV::Disk>> disks = manager.disks();
    ASSERT_EQ(disks.size(), 1u);
    const HV::Disk &file = *disks[0];
    EXPECT_EQ(file.busType(), 12);
    EXPECT_EQ(file.blockSize(), 1);
    EXPECT_EQ(file.size(), diskstest::kImageSize);
    EXPECT_EQ(file.name(), "card.img");
    EXPECT_EQ(file.path(), image);
    EXPECT_EQ(file.filePath().str(), image);
    EXPECT_GT(file.id(), 0);
    EXPECT_EQ(file.partitionScheme(), 3);
    ASSERT_EQ(file.childCount(), 2u);
    EXPECT_EQ(file.child(0)->startOffset(), diskstest::kPart1Start);
    EXPECT_EQ(file.child(1)->startOffset(), diskstest::kPart2Start);
    EXPECT_EQ(file.child(1)->busType(), 12);

    manager.addFileDisk(zorvant::u8string(dir / "gone.img"));
    disks = manager.disks();
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[1]->size(), 0);
    EXPECT_EQ(disks[1]->id(), -1);
    EXPECT_TRUE(log.has("Can't get size for " + (dir / "gone.img")));

    manager.reload();
    EXPECT_TRUE(manager.disks().empty());
}

// An image the readers accept is listed with bus 13 and 512-byte blocks and
// read through the image layer (its partitions found inside the image).
TEST_F(DisksManagerTest, AddImageDiskListsTheImageAndItsPartitions) {
    zvtest::requireTool("qemu-img");
    std::string raw = diskstest::makePartitionedImage(dir / "card.img");
    zvtest::mustRun("qemu-img convert -f raw -O vmdk '" + raw + "' '" + (dir / "card.vmdk") + "'");
    HV::DisksManager manager(source);
    ASSERT_TRUE(manager.addImageDisk(zorvant::u8string(dir / "card.vmdk")));
    std::vector<std::shared_ptr<HV::Disk>> disks = manager.disks();
    ASSERT_EQ(disks.size(), 1u);
    const HV::Disk &entry = *disks[0];
    EXPECT_EQ(entry.busType(), 13);
    EXPECT_EQ(entry.blockSize(), 512);
    EXPECT_EQ(entry.size(), diskstest::kImageSize);
    EXPECT_EQ(entry.name(), "card.vmdk");
    EXPECT_EQ(entry.filePath().str(), dir / "card.vmdk");
    EXPECT_GT(entry.id(), 0);
    EXPECT_EQ(entry.partitionScheme(), 3);
    ASSERT_EQ(entry.childCount(), 2u);
    EXPECT_EQ(entry.child(1)->startOffset(), diskstest::kPart2Start);
    EXPECT_EQ(entry.child(1)->busType(), 13);
}

// An image of 4096-byte sectors is as large as its sectors (not 512 bytes
// each); its entry still reads in 512-byte blocks.
std::atomic<int> g_image_opens{0};

// Every file is an image of 2048 sectors of the tests' own format.
std::shared_ptr<ZV::DiskImage> countingOpen(const zorvant::u8string &)
{
    ++g_image_opens;
    return std::make_shared<zvtest::FakeDiskImage>(512, 2048, mediatest::pattern(1 << 20, 4));
}

// An image is opened only through the image file type, and an image added
// again at each reload is read once while its file stays the same: the entry
// reuses the image the first addition opened.
TEST_F(DisksManagerTest, AnUnchangedImageIsOpenedOnceAcrossReloads) {
    zvtest::writeFile(dir / "again.img", "no reader of a real format takes this");
    const zorvant::u8string path(dir / "again.img");
    image_file_set_opener(&countingOpen);
    g_image_opens = 0;
    HV::DisksManager manager(source);
    for (int reload = 0; reload < 3; reload++) {
        manager.reload();
        EXPECT_TRUE(manager.addImageDisk(path));
    }
    image_file_set_opener(nullptr);
    EXPECT_EQ(g_image_opens.load(), 1);
    ASSERT_EQ(manager.disks().size(), 1u);
    EXPECT_EQ(manager.disks()[0]->size(), 1 << 20);
}

TEST_F(DisksManagerTest, ImageSizeCountsItsOwnSectorSize) {
    zvtest::ZorvantWriterOptions options;
    options.sectorSize = 4096;
    const std::string data = mediatest::pattern(1 << 20, 3);
    zvtest::writeFile(dir / "card.zvi", zvtest::zorvantImage(data, options));
    HV::DisksManager manager(source);
    ASSERT_TRUE(manager.addImageDisk(zorvant::u8string(dir / "card.zvi")));
    ASSERT_EQ(manager.disks().size(), 1u);
    EXPECT_EQ(manager.disks()[0]->size(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(manager.disks()[0]->blockSize(), 512);
}

// Arrival and removal become log lines and notifications; the removed path
// stays readable through the posted address after the post returned, and a
// destroyed manager gets no more events.
TEST_F(DisksManagerTest, DeviceEventsBecomeNotificationsUntilTheManagerIsGone) {
    diskstest::Notifications notifications;
    // Long enough that the text lives on the heap, not inside a string object.
    const std::string path = "/dev/disk/by-id/usb-Generic-_SD_MMC_20120501030900000-0:0";
    ZV::DiskDescription removed = description(path, "Generic-", "SD/MMC", 1);
    auto manager = std::make_unique<HV::DisksManager>(source);

    source->notifyRemoved(removed);
    manager->deviceAdded(ZV::DiskDescription());
    std::vector<diskstest::Notifications::Post> removals = notifications.removalsOf(path);
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(removals[0].argument)), path);
    EXPECT_TRUE(log.has("[I] Generic- SD/MMC disconnected"));
    EXPECT_TRUE(log.has(" connected"));
    {
        std::lock_guard<std::mutex> lock(notifications.mutex);
        bool added = false;
        for (const auto &post : notifications.posts)
            added = added || (post.name == "kDeviceListDeviceAddedEvent" && post.argument == 0);
        EXPECT_TRUE(added);
    }

    manager.reset();
    EXPECT_TRUE(source->observers.empty());
    source->notifyRemoved(removed);
    EXPECT_EQ(notifications.removalsOf(path).size(), 1u);
}

// The real platform: a loop drive with an MBR of two partitions and ext4
// mounted on partition 2 is listed with both partitions and the volume on
// the second; detached, it is reported removed once and the next reload
// drops it.
// The platform's monitor thread starts with the first observer.
class DisksManagerLoopThreads : public DisksManagerTest {};

TEST_F(DisksManagerLoopThreads, LoopDriveIsListedWithItsVolumeAndDroppedWhenDetached) {
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    for (const char *tool : {"losetup", "partx", "mkfs.ext4"})
        zvtest::requireTool(tool);
    std::string image = diskstest::makePartitionedImage(dir / "card.img");
    diskstest::Notifications notifications;
    auto manager = std::make_unique<HV::DisksManager>(); // the platform's drives and volumes
    zvtest::TestLoop loop(image);
    loop.addPartitions();
    zvtest::mustRun("mkfs.ext4 -q -F -L VOL '" + loop.partition(2) + "'");
    std::string mountDir = dir / "mount dir";
    ASSERT_EQ(mkdir(mountDir.c_str(), 0700), 0);
    zvtest::BlockMount mounted(loop.partition(2), mountDir);

    manager->reload();
    std::shared_ptr<HV::Disk> drive;
    for (const std::shared_ptr<HV::Disk> &disk : manager->disks())
        if (disk->path() == loop.path())
            drive = disk;
    ASSERT_TRUE(drive) << loop.path() << " not listed";
    EXPECT_EQ(drive->busType(), 9);
    EXPECT_EQ(drive->name(), "card.img");
    EXPECT_EQ(drive->size(), diskstest::kImageSize);
    EXPECT_EQ(drive->blockSize(), 512);
    EXPECT_EQ(drive->partitionScheme(), 3);
    EXPECT_EQ(drive->bootDisk(), 0);
    ASSERT_EQ(drive->childCount(), 2u);
    EXPECT_EQ(drive->child(0)->startOffset(), diskstest::kPart1Start);
    EXPECT_EQ(drive->child(0)->endOffset(), diskstest::kPart1End);
    EXPECT_EQ(drive->child(1)->startOffset(), diskstest::kPart2Start);
    EXPECT_EQ(drive->child(1)->endOffset(), diskstest::kPart2End);
    EXPECT_FALSE(drive->child(0)->volumeInfo().isValid());
    EXPECT_EQ(drive->child(1)->volumePath().str(), mountDir);
    EXPECT_EQ(drive->child(1)->volumeName().str(), "VOL");
    EXPECT_EQ(drive->child(1)->volumeInfo().devicePath(), loop.path());

    const std::string path = loop.path();
    mounted.unmount();
    loop.detach();
    // The monitor thread reports the removal; wait for it, boundedly.
    for (int i = 0; i < 200 && notifications.removalsOf(path).empty(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(notifications.removalsOf(path).size(), 1u);
    EXPECT_TRUE(log.has("card.img disconnected"));
    manager->reload();
    for (const std::shared_ptr<HV::Disk> &disk : manager->disks())
        EXPECT_NE(disk->path(), path);

    // Gone managers get no events.
    manager.reset();
    ZV::DiskDescription removed = description("/dev/zv-test-gone", "", "", 9);
    ZV::DisksManagerPlatform::notifyRemoved(removed);
    EXPECT_TRUE(notifications.removalsOf("/dev/zv-test-gone").empty());
}

// Drives named after the churn test's own image; every other drive of the
// machine is dropped before it is attached.
bool keepChurnDrives(HV::Disk *disk, void *context)
{
    const bool ours = disk->name().rfind("zv-mgr-churn", 0) == 0;
    if (ours)
        ++*static_cast<std::atomic<int> *>(context);
    return !ours;
}

// Loop drives attached, given partitions, mounted and detached over and over
// while one thread reloads the list and another unmounts the drive's volumes:
// the locks of the manager, the device registry, the medium list and the
// unmount never deadlock (every wait bounded), each detached drive is reported
// removed, and the last reload lists none of them.
TEST_F(DisksManagerLoopThreads, ChurnWithReloadsAndUnmountsAtOnce) {
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    for (const char *tool : {"losetup", "partx", "mkfs.ext4"})
        zvtest::requireTool(tool);
    const std::string image =
        diskstest::makePartitionedImage(dir / ("zv-mgr-churn-" + std::to_string(getpid()) + ".img"));
    {
        zvtest::TestLoop first(image);
        first.addPartitions();
        zvtest::mustRun("mkfs.ext4 -q -F '" + first.partition(2) + "'");
    }
    const std::string mountDir = dir / "mount";
    ASSERT_EQ(mkdir(mountDir.c_str(), 0700), 0);
    diskstest::Notifications notifications;
    auto manager = std::make_unique<HV::DisksManager>();
    std::atomic<int> kept{0};
    manager->setDeviceFilter(&keepChurnDrives, &kept);
    manager->setDiskFilter(&keepChurnDrives, &kept);

    std::atomic<bool> done{false};
    std::mutex current_mutex;
    std::string current; // the drive the unmounting thread works on
    auto body = std::async(std::launch::async, [&] {
        std::thread reloader([&] {
            while (!done)
                manager->reload();
        });
        std::thread unmounter([&] {
            while (!done) {
                std::string path;
                {
                    std::lock_guard<std::mutex> lock(current_mutex);
                    path = current;
                }
                if (!path.empty()) {
                    ZV::DiskDescription drive;
                    drive.setDevicePath(path);
                    ZV::DisksManagerPlatform::unmountVolumes(drive);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        std::vector<std::string> detached;
        // A helper that throws (losetup, partx) must not leave the threads
        // joinable: the failure is reported instead of aborting the run.
        auto stop = [&] {
            done = true;
            reloader.join();
            unmounter.join();
        };
        try {
            for (int cycle = 0; cycle < 8; cycle++) {
                zvtest::TestLoop loop(image);
                loop.addPartitions();
                if (::mount(loop.partition(2).c_str(), mountDir.c_str(), "ext4", 0, nullptr) != 0)
                    ADD_FAILURE() << "mount failed: " << strerror(errno);
                {
                    std::lock_guard<std::mutex> lock(current_mutex);
                    current = loop.path();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                {
                    std::lock_guard<std::mutex> lock(current_mutex);
                    current.clear();
                }
                ::umount2(mountDir.c_str(), 0); // when the unmounting thread has not
                detached.push_back(loop.path());
                loop.detach();
            }
        } catch (...) {
            stop();
            throw;
        }
        stop();
        return detached;
    });
    ASSERT_EQ(body.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "deadlock";
    const std::vector<std::string> detached = body.get();
    EXPECT_GT(kept.load(), 0); // the reloads did list and attach the drives
    for (const std::string &path : detached) {
        for (int i = 0; i < 200 && notifications.removalsOf(path).empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_FALSE(notifications.removalsOf(path).empty()) << path;
    }
    manager->reload();
    for (const std::shared_ptr<HV::Disk> &disk : manager->disks())
        EXPECT_NE(disk->name().rfind("zv-mgr-churn", 0), 0u) << disk->path();
}

// disks() runs beside reloads and additions on other threads.
class DisksManagerThreads : public DisksManagerTest {};

TEST_F(DisksManagerThreads, ListReadWhileReloadingAndAdding) {
    std::string image = diskstest::makePartitionedImage(dir / "card.img");
    source->descriptions = {description(image, "Generic-", "SD/MMC", 1), description(image, "", "", 9)};
    HV::DisksManager manager(source);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        size_t seen = 0;
        while (!done.load()) {
            for (const std::shared_ptr<HV::Disk> &disk : manager.disks())
                seen += disk->childCount();
        }
        EXPECT_GE(seen, 0u);
    });
    for (int i = 0; i < 50; i++) {
        manager.reload();
        manager.addFileDisk(zorvant::u8string(image));
    }
    done = true;
    reader.join();
    EXPECT_EQ(manager.disks().size(), 3u);
}

// A removal posted while another thread delivers the same name is queued and
// delivered after its poster returned: the path must still be readable then.
TEST_F(DisksManagerThreads, RemovedPathOutlivesAQueuedPost) {
    diskstest::Notifications notifications;
    static const char kBlocker[] = "held";
    struct Gate {
        std::promise<void> entered, release;
    } gate;
    auto hold = [](const char *, std::uintptr_t argument, void *context) {
        if (argument != reinterpret_cast<std::uintptr_t>(kBlocker))
            return;
        auto *g = static_cast<Gate *>(context);
        g->entered.set_value();
        g->release.get_future().wait_for(std::chrono::seconds(20));
    };
    notification_add_observer("kDeviceListDeviceRemovedEvent", hold, &gate);
    const std::string path = "/dev/disk/by-path/pci-0000:00:14.0-usb-0:2:1.0-scsi-0:0:0:1";
    HV::DisksManager manager(source);

    std::thread poster(
        [] { notification_post("kDeviceListDeviceRemovedEvent", reinterpret_cast<std::uintptr_t>(kBlocker)); });
    ASSERT_EQ(gate.entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    manager.deviceRemoved(description(path, "Generic-", "SD/MMC", 1));
    // The poster has returned; reuse the memory a temporary copy would have had.
    std::vector<std::string> filler(64, std::string(path.size(), 'x'));
    EXPECT_TRUE(notifications.removalsOf(path).empty()); // still queued
    gate.release.set_value();
    poster.join();
    notification_remove_observer("kDeviceListDeviceRemovedEvent", hold, &gate);

    std::vector<diskstest::Notifications::Post> removals = notifications.removalsOf(path);
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(removals[0].argument)), path);
}

} // namespace
