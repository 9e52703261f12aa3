// Loop devices and what they map, told by device and inode numbers: a loop
// device over a whole file and one over a window of it, the file's path
// changed or gone, a loop device over another one, and what is no loop
// device; what sysfs and the mount table tell of a loop before it is asked.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/loop_devices_linux.h"
#include "support/test_support.h"

namespace {

using zvtest::LoopDevice;
using zvtest::mustRun;

// A loop device made with losetup's own options; detached on destruction.
class OptionsLoop {
public:
    OptionsLoop(const std::string &options, const std::string &file)
    {
        path_ = mustRun("losetup --find --show " + options + " '" + file + "'");
        while (!path_.empty() && (path_.back() == '\n' || path_.back() == ' '))
            path_.pop_back();
    }
    ~OptionsLoop() { zvtest::run("losetup -d '" + path_ + "' 2>/dev/null"); }
    OptionsLoop(const OptionsLoop &) = delete;
    OptionsLoop &operator=(const OptionsLoop &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

struct stat statOf(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw std::runtime_error("stat failed: " + path);
    return st;
}

// The binding of device as the listing of every bound loop gives it and
// asking it tells (its loop field 0 when none). Only that device is asked:
// another loop of the machine may lie over a stopped FUSE server, whose
// asking would wait for good.
ZV::LoopBinding listed(dev_t device)
{
    ZV::LoopBinding binding;
    for (const ZV::LoopListing &listing : ZV::loopListings("/sys"))
        if (listing.loop == device && ZV::loopAsk(listing, &binding))
            return binding;
    return ZV::LoopBinding();
}

TEST(LoopDevices, WholeFileAndWindowAreToldByTheFilesNumbers)
{
    ASSERT_TRUE(LoopDevice::available()) << "loop devices need root";
    zvtest::TempDir dir;
    const std::string file = dir / "card.img";
    mustRun("truncate -s 4M '" + file + "'");
    const struct stat image = statOf(file);
    LoopDevice whole(file);
    OptionsLoop window("-o 1048576 --sizelimit 524288", file);
    const dev_t whole_number = statOf(whole.path()).st_rdev, window_number = statOf(window.path()).st_rdev;

    for (const ZV::LoopBinding &b : {listed(whole_number), listed(window_number)}) {
        ASSERT_NE(b.loop, 0u) << "not listed";
        EXPECT_TRUE(ZV::loopMapsFile(b, image.st_dev, image.st_ino));
        EXPECT_FALSE(ZV::loopMapsFile(b, image.st_dev, image.st_ino + 1));
        EXPECT_FALSE(ZV::loopMapsDevice(b, image.st_dev));
        EXPECT_EQ(b.file_rdev, 0u);
    }
    ZV::LoopBinding b;
    ASSERT_TRUE(ZV::loopBinding("/sys", whole_number, &b));
    EXPECT_EQ(b.loop, whole_number);
    EXPECT_EQ(b.offset, 0u);
    EXPECT_EQ(b.size, 4u << 20);
    ASSERT_TRUE(ZV::loopBinding("/sys", window_number, &b));
    EXPECT_EQ(b.offset, 1u << 20);
    EXPECT_EQ(b.size, 512u << 10);

    // Renamed, then unlinked (sysfs now says "... (deleted)" of a path that
    // names nothing): still the same file by its numbers.
    const std::string moved = dir / "moved.img";
    ASSERT_EQ(std::rename(file.c_str(), moved.c_str()), 0);
    ASSERT_TRUE(ZV::loopBinding("/sys", whole_number, &b));
    EXPECT_TRUE(ZV::loopMapsFile(b, image.st_dev, image.st_ino));
    ASSERT_EQ(::unlink(moved.c_str()), 0);
    const std::string name = whole.path().substr(whole.path().rfind('/') + 1);
    const std::string backing = zvtest::readFile("/sys/block/" + name + "/loop/backing_file");
    EXPECT_NE(backing.find("(deleted)"), std::string::npos) << backing;
    ASSERT_TRUE(ZV::loopBinding("/sys", whole_number, &b));
    EXPECT_TRUE(ZV::loopMapsFile(b, image.st_dev, image.st_ino));
}

TEST(LoopDevices, LoopOverALoopDeviceMapsThatDevice)
{
    ASSERT_TRUE(LoopDevice::available()) << "loop devices need root";
    zvtest::TempDir dir;
    const std::string file = dir / "card.img";
    mustRun("truncate -s 2M '" + file + "'");
    LoopDevice lower(file);
    OptionsLoop upper("-o 4096", lower.path());
    const dev_t lower_number = statOf(lower.path()).st_rdev;
    ZV::LoopBinding b;
    ASSERT_TRUE(ZV::loopBinding("/sys", statOf(upper.path()).st_rdev, &b));
    EXPECT_EQ(b.file_rdev, lower_number);
    EXPECT_TRUE(ZV::loopMapsDevice(b, lower_number));
    EXPECT_FALSE(ZV::loopMapsDevice(b, lower_number + 1));
    EXPECT_EQ(b.offset, 4096u);
    EXPECT_EQ(b.size, (2u << 20) - 4096);
    const struct stat image = statOf(file);
    EXPECT_FALSE(ZV::loopMapsFile(b, image.st_dev, image.st_ino)); // through the device, not the file
}

// What sysfs and the mount table tell of a loop without asking the device
// or the file (what a stopped FUSE server behind the file cannot hold up):
// the file's path (" (deleted)" taken off once it is unlinked), the device
// of the mount that holds it, whether it is a device
// node; asked, the listing gives what loopBinding gives.
TEST(LoopDevices, ListingsTellWhereTheFileLiesFromTextsAlone)
{
    ASSERT_TRUE(LoopDevice::available()) << "loop devices need root";
    zvtest::TempDir dir;
    const std::string file = dir / "card.img";
    mustRun("truncate -s 2M '" + file + "'");
    const struct stat image = statOf(file);
    OptionsLoop window("-o 4096", file);
    OptionsLoop upper("", window.path());
    std::vector<MountInfoEntry> mounts;
    ASSERT_EQ(mountinfo_read(nullptr, &mounts), 0);
    const MountInfoEntry *holder = mountinfo_mount_for_path(mounts, file);
    ASSERT_NE(holder, nullptr);
    const dev_t holder_device = makedev(holder->major, holder->minor);
    auto listing = [](dev_t device) {
        for (const ZV::LoopListing &l : ZV::loopListings("/sys"))
            if (l.loop == device)
                return l;
        return ZV::LoopListing();
    };
    const dev_t window_number = statOf(window.path()).st_rdev;

    ZV::LoopListing l = listing(window_number);
    EXPECT_EQ(l.backing_file, file);
    EXPECT_FALSE(l.deleted);
    EXPECT_EQ(l.offset, 4096u);
    EXPECT_EQ(l.size, (2u << 20) - 4096);
    ZV::LoopBackingPlace place = ZV::loopBackingPlace(l, mounts);
    EXPECT_TRUE(place.known);
    EXPECT_EQ(place.mount_device, holder_device);
    EXPECT_FALSE(place.device_node);
    ZV::LoopBinding asked, bound;
    ASSERT_TRUE(ZV::loopAsk(l, &asked));
    ASSERT_TRUE(ZV::loopBinding("/sys", window_number, &bound));
    EXPECT_TRUE(ZV::loopMapsFile(asked, image.st_dev, image.st_ino));
    EXPECT_EQ(asked.loop, bound.loop);
    EXPECT_EQ(asked.offset, bound.offset);
    EXPECT_EQ(asked.size, bound.size);

    const ZV::LoopListing over = listing(statOf(upper.path()).st_rdev);
    EXPECT_EQ(over.backing_file, window.path());
    EXPECT_TRUE(ZV::loopBackingPlace(over, mounts).device_node);

    ASSERT_EQ(::unlink(file.c_str()), 0);
    l = listing(window_number);
    EXPECT_EQ(l.backing_file, file);
    EXPECT_TRUE(l.deleted);
    EXPECT_EQ(ZV::loopBackingPlace(l, mounts).mount_device, holder_device);
    EXPECT_EQ(ZV::loopBackingPlace(ZV::LoopListing(), mounts).known, false); // no path
}

TEST(LoopDevices, WhatIsNoBoundLoopDeviceMapsNothing)
{
    ASSERT_TRUE(LoopDevice::available()) << "loop devices need root";
    zvtest::requireTool("sfdisk");
    zvtest::requireTool("partx");
    zvtest::TempDir dir;
    const std::string file = dir / "card.img";
    mustRun("truncate -s 4M '" + file + "'");
    mustRun("printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q '" + file + "'");
    LoopDevice loop(file); // removes the partitions partx adds
    mustRun("partx -a '" + loop.path() + "'");
    const std::string partition = loop.path() + "p1";
    for (int i = 0; i < 2000 && ::access(partition.c_str(), F_OK) != 0; ++i)
        usleep(5000);
    ZV::LoopBinding b;
    EXPECT_FALSE(ZV::loopBinding("/sys", statOf(partition).st_rdev, &b)); // a partition of one
    EXPECT_FALSE(ZV::loopBinding("/sys", makedev(1, 3), &b)); // major 1 is the RAM disk's, if any
    EXPECT_FALSE(ZV::loopBinding("/sys", makedev(0, 0), &b)); // no device at all
    EXPECT_EQ(listed(statOf(partition).st_rdev).loop, 0u);
}

} // namespace
