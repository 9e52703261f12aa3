// Loop devices and the files behind them. See loop_devices_linux.h for what
// is read and why the numbers come from the device.
#include "storage/loop_devices_linux.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

#include "foundation/paths.h"
#include "storage/sysfs_block_linux.h"

namespace ZV {

namespace {

constexpr uint64_t kSectorBytes = 512;
const char kDeleted[] = " (deleted)";

// A device number as the loop driver hands it out (the kernel's
// new_encode_dev: minor bits 0-7, major bits 8-19, the rest of the minor
// from bit 20 on).
dev_t decodedDevice(uint64_t value)
{
    const unsigned int major_number = (unsigned int)((value >> 8) & 0xfff);
    const unsigned int minor_number = (unsigned int)((value & 0xff) | ((value >> 12) & 0xfff00));
    return makedev(major_number, minor_number);
}

// The numbers of the file behind the loop device from the device itself:
// its node opened (and checked to be the device) and asked.
bool askDevice(const std::string &node, dev_t device, LoopBinding *binding)
{
    const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    struct loop_info64 info;
    std::memset(&info, 0, sizeof info);
    const bool asked = ::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device &&
                       ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    ::close(fd);
    if (!asked)
        return false;
    binding->file_device = decodedDevice(info.lo_device);
    binding->file_inode = (ino_t)info.lo_inode;
    binding->file_rdev = decodedDevice(info.lo_rdevice);
    binding->offset = info.lo_offset;
    return true;
}

// The same from the path sysfs names, where the node cannot be asked. The
// stat asks no FUSE server for the file's attributes (the lookup of the path
// may still: see the header).
bool askPath(const LoopListing &listing, LoopBinding *binding)
{
    const std::string &path = listing.backing_file;
    if (path.empty() || path[0] != '/' || listing.deleted)
        return false; // gone from its path: nothing there to compare
    struct statx st;
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &st) != 0)
        return false;
    binding->file_device = makedev(st.stx_dev_major, st.stx_dev_minor);
    binding->file_inode = (ino_t)st.stx_ino;
    binding->file_rdev = S_ISBLK(st.stx_mode) ? makedev(st.stx_rdev_major, st.stx_rdev_minor) : 0;
    binding->offset = listing.offset;
    return true;
}

// The listing of the loop device of sysfs folder `folder` (named `name`);
// false when it is no loop device or bound to nothing.
bool listingOf(const std::string &folder, const std::string &name, dev_t device, LoopListing *listing)
{
    struct stat st;
    if (::stat((folder + "/loop").c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false; // no loop device, or bound to nothing
    LoopListing found;
    found.loop = device;
    found.folder = folder;
    found.name = name;
    uint64_t sectors = 0;
    if (sysfsNumber(folder + "/size", &sectors) && sectors <= UINT64_MAX / kSectorBytes)
        found.size = sectors * kSectorBytes;
    sysfsNumber(folder + "/loop/offset", &found.offset);
    found.backing_file = sysfsAttribute(folder + "/loop/backing_file");
    const size_t deleted = sizeof kDeleted - 1;
    if (found.backing_file.size() > deleted &&
        found.backing_file.compare(found.backing_file.size() - deleted, deleted, kDeleted) == 0) {
        found.backing_file.resize(found.backing_file.size() - deleted);
        found.deleted = true;
    }
    *listing = found;
    return true;
}

} // namespace

std::vector<LoopListing> loopListings(const std::string &sysfs_root)
{
    std::vector<LoopListing> out;
    const std::string block = sysfs_root + "/block";
    for (const std::string &name : sysfsFolderNames(block)) {
        if (name.compare(0, 4, "loop") != 0)
            continue;
        const std::string folder = block + "/" + name;
        dev_t device;
        LoopListing listing;
        if (sysfsDevNumber(folder, &device) && listingOf(folder, name, device, &listing))
            out.push_back(listing);
    }
    return out;
}

LoopBackingPlace loopBackingPlace(const LoopListing &listing, const std::vector<MountInfoEntry> &mounts)
{
    LoopBackingPlace place;
    const std::string &path = listing.backing_file;
    if (path.empty() || path[0] != '/')
        return place;
    const MountInfoEntry *mount = mountinfo_mount_for_path(mounts, path);
    if (mount == nullptr)
        return place;
    place.known = true;
    place.mount_device = makedev(mount->major, mount->minor);
    place.device_node = mount->fs_type == "devtmpfs" || path.compare(0, 5, "/dev/") == 0;
    return place;
}

bool loopAsk(const LoopListing &listing, LoopBinding *binding)
{
    LoopBinding found;
    found.loop = listing.loop;
    found.size = listing.size;
    if (!askDevice(sysfsDevicePath(listing.name), listing.loop, &found) && !askPath(listing, &found))
        return false;
    *binding = found;
    return true;
}

bool loopBinding(const std::string &sysfs_root, dev_t device, LoopBinding *binding)
{
    std::string folder, disk;
    LoopListing listing;
    if (!sysfsBlockFolders(sysfs_root, device, &folder, &disk) || folder != disk ||
        !listingOf(folder, path_basename(folder.c_str()), device, &listing))
        return false;
    return loopAsk(listing, binding);
}

std::vector<LoopBinding> loopBindings(const std::string &sysfs_root)
{
    std::vector<LoopBinding> out;
    for (const LoopListing &listing : loopListings(sysfs_root)) {
        LoopBinding binding;
        if (loopAsk(listing, &binding))
            out.push_back(binding);
    }
    return out;
}

bool loopMapsFile(const LoopBinding &binding, dev_t device, ino_t inode)
{
    return binding.file_device == device && binding.file_inode == inode;
}

bool loopMapsDevice(const LoopBinding &binding, dev_t device)
{
    return binding.file_rdev != 0 && binding.file_rdev == device;
}

} // namespace ZV
