// Unmount of a drive's volumes, found in the mount table
// (storage/mountinfo_linux.h). A mount belongs to the drive when its
// major:minor is the disk's or one of its partitions', or, for file systems
// that report an anonymous device (major 0, as btrfs does), when its source
// is one of their nodes.
#include "storage/devices/unmount_linux.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/console_log.h"
#include "storage/mountinfo_linux.h"
#include "storage/sysfs_block_linux.h"

namespace ZV {

bool unmountDiskVolumes(const std::string &sysfs_root, const std::string &device_path)
{
    struct stat info;
    if (device_path.empty() || ::stat(device_path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
        ZV::log(2, "unmountVolumes: not a block device: %s", device_path.c_str());
        return false;
    }
    const std::vector<BlockNode> nodes = sysfsDiskAndPartitions(sysfs_root, info.st_rdev);
    auto ours = [&nodes](dev_t number) {
        return std::any_of(nodes.begin(), nodes.end(), [number](const BlockNode &node) { return node.number == number; });
    };

    std::vector<MountInfoEntry> mounts;
    if (mountinfo_read(nullptr, &mounts) != 0) {
        ZV::log(1, "unmountVolumes: can't read the mount table");
        return false;
    }
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        bool match = ours(makedev(it->major, it->minor));
        struct stat source;
        if (!match && it->major == 0 && !it->source.empty() && it->source[0] == '/' &&
            ::stat(it->source.c_str(), &source) == 0 && S_ISBLK(source.st_mode))
            match = ours(source.st_rdev);
        if (!match)
            continue;
        // Never MNT_DETACH: a lazy detach reports success while the file
        // system is still in use.
        if (::umount2(it->mount_point.c_str(), 0) != 0) {
            ZV::log(1, "unmountVolumes: can't unmount %s: %s", it->mount_point.c_str(), std::strerror(errno));
            return false;
        }
    }

    // Partitions first, the disk last. Each is closed at once: an exclusive
    // open of a partition also claims its disk against other exclusive
    // openers, the disk's own check included.
    for (size_t i = nodes.size(); i-- > 0;) {
        if (nodes[i].path.empty())
            continue;
        const int fd = ::open(nodes[i].path.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
        } else if (errno == EBUSY) {
            ZV::log(1, "unmountVolumes: %s is still in use", nodes[i].path.c_str());
            return false;
        }
        // Any other failure (a node missing from /dev, no medium) says
        // nothing about mounts, which were looked at above.
    }
    return true;
}

} // namespace ZV
