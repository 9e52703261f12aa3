// The mount-table reader and the volume rules above it. Input: mountinfo text. Checked besides memory safety:
// unescaping never grows a field, every record belongs to a parsed block-device mount, no device gets two
// records, and the mount that holds a path is one whose mount point is a leading part of it.
#include <sys/sysmacros.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "storage/mountinfo_linux.h"
#include "storage/devices/volumes_linux.h"

namespace {

using fuzzsupport::require;

// Every device with an odd minor number is a block device; nothing on the machine is touched.
class MadeUpSystem : public ZV::VolumeSystem {
public:
    bool describe(dev_t number, ZV::VolumeDevice *device) override
    {
        if (minor(number) % 2 == 0)
            return false;
        device->node = "/dev/b" + std::to_string(minor(number));
        device->diskPath = "/dev/b" + std::to_string(major(number));
        device->startingOffset = minor(number) * 512;
        device->size = major(number) * 4096;
        return true;
    }
    bool blockNode(const std::string &path, dev_t *number) override
    {
        if (path.size() < 6 || path.compare(0, 6, "/dev/b") != 0)
            return false;
        *number = makedev(static_cast<unsigned>(path.size()), 1);
        return true;
    }
    std::string label(dev_t, const ZV::VolumeDevice &) override { return "L"; }
    bool bootSector(const ZV::VolumeDevice &, uint8_t sector[512]) override
    {
        std::memset(sector, 0, 512);
        return true;
    }
    bool totalFreeBytes(const std::string &, int64_t *bytes) override
    {
        *bytes = 4096;
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    require(mountinfo_unescape(text, size).size() <= size);

    std::vector<MountInfoEntry> mounts;
    mountinfo_parse(text, size, &mounts);
    for (const MountInfoEntry &mount : mounts)
        require(!mount.mount_point.empty() && !mount.fs_type.empty() && mount.mount_point.size() <= size);

    MadeUpSystem system;
    std::vector<dev_t> numbers;
    const std::vector<ZV::VolumeInfo> volumes = ZV::volumesFromMounts(mounts, system, &numbers);
    require(numbers.size() == volumes.size() && volumes.size() <= mounts.size());
    require(std::set<dev_t>(numbers.begin(), numbers.end()).size() == numbers.size());
    for (const ZV::VolumeInfo &volume : volumes)
        require(volume.isValid() && volume.capacity() > 0 && volume.used() >= 0);

    for (const char *path : {"/", "/media/card/x", "/a b/c"}) {
        const MountInfoEntry *mount = mountinfo_mount_for_path(mounts, path);
        const std::string point = ZV::mountPointForPath(mounts, path);
        require((mount == nullptr) == point.empty());
        if (mount != nullptr)
            require(point == "/" || std::string(path).compare(0, point.size(), point) == 0);
        ZV::volumeInfoForMounts(mounts, system, path);
    }
    return 0;
}
