// Unmount of a drive's volumes. The mount table is /proc/self/mountinfo,
// one mount per line:
//
//   36 35 8:17 / /media/my\040card rw,noatime shared:1 - ext4 /dev/sdb1 rw
//   ^id ^parent ^major:minor ^root ^mount point ... "-" fs type, source, options
//
// Blanks, tabs, line feeds and backslashes in the mount point and the
// source are written as octal escapes (\040 \011 \012 \134). A mount
// belongs to the drive when its major:minor is the disk's or one of its
// partitions', or, for file systems that report an anonymous device
// (major 0, as btrfs does), when its source is one of their nodes.
#include "storage/devices/unmount_linux.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "foundation/console_log.h"
#include "storage/devices/sysfs_disks_linux.h"

namespace ZV {

namespace {

struct MountLine {
    dev_t device;
    std::string target; // mount point, unescaped
    std::string source; // unescaped
};

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

std::string unescape(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] <= '3' && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Reads the mount table; false when it cannot be read. Lines that do not
// parse are skipped.
bool readMounts(std::vector<MountLine> *mounts)
{
    std::ifstream in("/proc/self/mountinfo");
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        std::string word;
        while (fields >> word)
            words.push_back(word);
        const auto dash = std::find(words.begin(), words.end(), "-");
        // Six fields at least before the separator, fs type and source after it.
        if (dash == words.end() || dash - words.begin() < 6 || words.end() - dash < 3)
            continue;
        unsigned major_number = 0, minor_number = 0;
        char tail = 0;
        if (std::sscanf(words[2].c_str(), "%u:%u%c", &major_number, &minor_number, &tail) != 2)
            continue;
        mounts->push_back(MountLine{makedev(major_number, minor_number), unescape(words[4]), unescape(dash[2])});
    }
    return !in.bad();
}

} // namespace

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

    std::vector<MountLine> mounts;
    if (!readMounts(&mounts)) {
        ZV::log(1, "unmountVolumes: can't read the mount table");
        return false;
    }
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        bool match = ours(it->device);
        struct stat source;
        if (!match && major(it->device) == 0 && !it->source.empty() && it->source[0] == '/' &&
            ::stat(it->source.c_str(), &source) == 0 && S_ISBLK(source.st_mode))
            match = ours(source.st_rdev);
        if (!match)
            continue;
        // Never MNT_DETACH: a lazy detach reports success while the file
        // system is still in use.
        if (::umount2(it->target.c_str(), 0) != 0) {
            ZV::log(1, "unmountVolumes: can't unmount %s: %s", it->target.c_str(), std::strerror(errno));
            return false;
        }
    }

    // Partitions first, the disk last; all closed on return.
    std::vector<int> held;
    bool result = true;
    for (size_t i = nodes.size(); i-- > 0 && result;) {
        if (nodes[i].path.empty())
            continue;
        const int fd = ::open(nodes[i].path.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            held.push_back(fd);
        } else if (errno == EBUSY) {
            ZV::log(1, "unmountVolumes: %s is still in use", nodes[i].path.c_str());
            result = false;
        }
        // Any other failure (a node missing from /dev, no medium) says
        // nothing about mounts, which were looked at above.
    }
    for (int fd : held)
        ::close(fd);
    return result;
}

} // namespace ZV
