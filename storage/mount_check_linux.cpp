// rawdisk_is_mounted: whether the system is using a block device.
//
// Two checks, either of which is enough:
//
// 1. The mount table. Each line of /proc/self/mountinfo reads
//
//      36 35 8:17 / /media/card rw,noatime shared:1 - ext4 /dev/sdb1 rw
//      ^id ^parent ^major:minor of the mounted device (field 3)
//
//    and field 3 is compared with the device number of the device itself
//    and of each of its partitions. The partitions are found in sysfs
//    (sysfsDiskAndPartitions): /sys/dev/block/MAJ:MIN is the device's
//    folder, and each partition is a subfolder holding a "partition" file
//    and a "dev" file ("MAJ:MIN\n").
//    Comparing numbers, not names, catches mounts made through any alias
//    of the device node (/dev/disk/by-id/..., a second node, a bind mount).
//
// 2. An exclusive open (O_EXCL on a block device): the kernel refuses it
//    with EBUSY while a mount, swap or the device mapper holds the device or
//    one of its partitions, or another process holds it open exclusively.
//    This also covers mounts in other mount namespaces and file systems that
//    report an anonymous device number (several-device file systems), which
//    the mount table of this process cannot show.
//
// Not promised: a device used through a plain (not exclusive) open by
// another program counts as free, and a mount made just after the answer is
// not seen.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "foundation/fileops.h"
#include "storage/mountinfo_linux.h"
#include "storage/raw_disk.h"
#include "storage/sysfs_block_linux.h"

namespace {

// True when the mount table lists a mount of one of the devices (its
// major:minor, field 3).
bool listedAsMountSource(const std::vector<ZV::BlockNode> &devices)
{
    std::vector<MountInfoEntry> mounts;
    if (mountinfo_read(nullptr, &mounts) != 0)
        return false;
    for (const MountInfoEntry &mount : mounts)
        for (const ZV::BlockNode &device : devices)
            if (device.number == makedev(mount.major, mount.minor))
                return true;
    return false;
}

} // namespace

int rawdisk_is_mounted(const char *path)
{
    struct stat info;
    if (path == nullptr || utf8_stat(path, &info) != 0 || !S_ISBLK(info.st_mode))
        return -1;
    if (listedAsMountSource(ZV::sysfsDiskAndPartitions("/sys", info.st_rdev)))
        return 1;
    const int fd = utf8_open(path, O_RDONLY | O_EXCL | O_NONBLOCK, 0);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    // Any other failure (no permission, medium gone) tells nothing about use.
    return errno == EBUSY ? 1 : 0;
}
