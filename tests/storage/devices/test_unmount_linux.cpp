#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "storage/devices/disks_manager_platform.h"
#include "storage/devices/device_test_support.h"

namespace {

bool mounted(const std::string &dir)
{
    struct stat inside, parent;
    return ::stat(dir.c_str(), &inside) == 0 && ::stat((dir + "/..").c_str(), &parent) == 0 &&
           inside.st_dev != parent.st_dev;
}

// Undoes what a test left mounted, before its folders go.
class MountGuard {
public:
    explicit MountGuard(std::vector<std::string> dirs) : dirs_(std::move(dirs)) {}
    ~MountGuard()
    {
        for (const std::string &dir : dirs_)
            while (mounted(dir) && (::umount2(dir.c_str(), 0) == 0 || ::umount2(dir.c_str(), MNT_DETACH) == 0)) {
            }
    }

private:
    std::vector<std::string> dirs_;
};

void mountExt4(const std::string &device, const std::string &dir)
{
    if (::mount(device.c_str(), dir.c_str(), "ext4", 0, nullptr) != 0)
        throw std::runtime_error("mount " + device + " on " + dir + ": " + strerror(errno));
}

TEST(UnmountVolumes, TwoPartitionsBusyNothingMountedAndNoDevice)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "needs root for loop devices and mounts";
    zvtest::requireTool("mkfs.ext4");
    zvtest::TempDir dir;
    zvtest::makePartitionedImage(dir / "card.img");
    zvtest::TestLoop loop(dir / "card.img");
    loop.addPartitions();
    zvtest::mustRun("mkfs.ext4 -q -F '" + loop.partition(1) + "'");
    zvtest::mustRun("mkfs.ext4 -q -F '" + loop.partition(2) + "'");
    const std::string p1 = dir / "p1", p2 = dir / "dir with space";
    ::mkdir(p1.c_str(), 0755);
    ::mkdir(p2.c_str(), 0755);
    MountGuard guard({p1, p2});
    ZV::DiskDescription disk;
    disk.setDevicePath(loop.path());

    // p2 first: mounts are undone newest first, so p1 goes before p2.
    mountExt4(loop.partition(2), p2);
    mountExt4(loop.partition(1), p1);
    EXPECT_TRUE(ZV::DisksManagerPlatform::unmountVolumes(disk));
    EXPECT_FALSE(mounted(p1));
    EXPECT_FALSE(mounted(p2));

    // A file held open on p2: p1 is unmounted, p2 stays, and the answer is false.
    mountExt4(loop.partition(2), p2);
    mountExt4(loop.partition(1), p1);
    const int fd = ::open((p2 + "/held").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(ZV::DisksManagerPlatform::unmountVolumes(disk));
    EXPECT_FALSE(mounted(p1));
    EXPECT_TRUE(mounted(p2));
    ::close(fd);

    // A bind mount of the partition's folder counts as a mount of it.
    zvtest::TempDir other;
    MountGuard guard2({other.path()});
    zvtest::Mount bind = zvtest::Mount::bind(p2, other.path());
    EXPECT_TRUE(ZV::DisksManagerPlatform::unmountVolumes(disk));
    EXPECT_FALSE(mounted(p2));
    EXPECT_FALSE(mounted(other.path()));

    EXPECT_TRUE(ZV::DisksManagerPlatform::unmountVolumes(disk)) << "nothing mounted";
    ZV::DiskDescription file;
    file.setDevicePath(dir / "card.img");
    EXPECT_FALSE(ZV::DisksManagerPlatform::unmountVolumes(file));
    EXPECT_FALSE(ZV::DisksManagerPlatform::unmountVolumes(ZV::DiskDescription()));
}

} // namespace
