// The volume list on Linux: the mount table, sysfs and the device nodes
// (see volumes_linux.h for the rules).
//
// Implementation notes:
// - sysfs gives a partition as a subfolder of its disk
//   (storage/sysfs_block_linux.h) holding "partition" (its number), "start"
//   and "size" in 512-byte units whatever the device's sector size; a whole
//   disk has "size" and "removable".
// - The label comes from a libblkid probe of the node (superblocks only,
//   no cache), which needs read access to the device.
#include "storage/devices/volumes.h"
#include "storage/devices/volumes_linux.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "foundation/console_log.h"
#include "foundation/fileops.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "storage/sysfs_block_linux.h"

namespace ZV {

namespace {

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

uint16_t le16(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

bool isPowerOfTwo(unsigned value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// A FAT boot sector: the boot signature, a sector size of 512 to 4096
// bytes, a power-of-two cluster, reserved sectors and at least one FAT.
bool looksLikeFatBootSector(const uint8_t *sector)
{
    const unsigned bytesPerSector = le16(sector + 11);
    return sector[510] == 0x55 && sector[511] == 0xAA && bytesPerSector >= 512 && bytesPerSector <= 4096 &&
           isPowerOfTwo(bytesPerSector) && isPowerOfTwo(sector[13]) && le16(sector + 14) != 0 && sector[16] != 0;
}

int32_t fatCode(const uint8_t *bootSector)
{
    // FAT32 keeps its FAT size in a 32-bit field further on and leaves the
    // 16-bit one at 0.
    return bootSector != nullptr && le16(bootSector + 22) == 0 ? kVolumeFsFAT32 : kVolumeFsFAT;
}

bool needsBootSector(const std::string &fsType)
{
    return fsType == "vfat" || fsType == "msdos" || fsType == "fuseblk" || startsWith(fsType, "fuseblk.");
}

// Reads a udev database entry ("E:KEY=value" lines) for one key.
std::string udevProperty(dev_t number, const char *key)
{
    const std::string text =
        readTextFile(ZV::format("/run/udev/data/b%u:%u", major(number), minor(number)));
    const std::string prefix = std::string("E:") + key + "=";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, prefix.size(), prefix) == 0)
            return text.substr(start + prefix.size(), end - start - prefix.size());
        start = end + 1;
    }
    return std::string();
}

class LinuxVolumeSystem : public VolumeSystem {
public:
    bool describe(dev_t number, VolumeDevice *device) override
    {
        std::string folder, diskFolder;
        if (!sysfsBlockFolders("/sys", number, &folder, &diskFolder))
            return false;
        uint64_t start = 0, sectors = 0;
        if (folder != diskFolder && !sysfsNumber(folder + "/start", &start))
            return false;
        if (!sysfsNumber(folder + "/size", &sectors))
            return false;
        uint64_t removable = 0;
        sysfsNumber(diskFolder + "/removable", &removable);
        const std::string disk = path_basename(diskFolder.c_str());
        // sysfs counts in 512-byte units; a count past INT64_MAX / 512 is no
        // real device.
        if (start > INT64_MAX / 512 || sectors > INT64_MAX / 512)
            return false;
        device->node = sysfsDevicePath(path_basename(folder.c_str()));
        device->diskPath = sysfsDevicePath(disk);
        device->startingOffset = static_cast<int64_t>(start * 512);
        device->size = static_cast<int64_t>(sectors * 512);
        device->removable = removable == 1;
        device->flash = startsWith(disk, "mmcblk");
        device->optical = startsWith(disk, "sr");
        return true;
    }

    bool blockNode(const std::string &path, dev_t *number) override
    {
        struct stat info;
        if (utf8_stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode))
            return false;
        *number = info.st_rdev;
        return true;
    }

    std::string label(dev_t number, const VolumeDevice &device) override
    {
        std::string label;
        bool probed = false;
        blkid_probe probe = blkid_new_probe_from_filename(device.node.c_str());
        if (probe != nullptr) {
            blkid_probe_enable_superblocks(probe, 1);
            blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
            const char *value = nullptr;
            size_t length = 0;
            if (blkid_do_safeprobe(probe) == 0) {
                probed = true;
                if (blkid_probe_lookup_value(probe, "LABEL", &value, &length) == 0 && value != nullptr)
                    label.assign(value, ::strnlen(value, length));
            }
            blkid_free_probe(probe);
        }
        if (!probed && ::access("/run/udev/control", F_OK) == 0)
            label = udevUnescape(udevProperty(number, "ID_FS_LABEL_ENC"));
        return label;
    }

    bool bootSector(const VolumeDevice &device, uint8_t sector[512]) override
    {
        const int fd = utf8_open(device.node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
        if (fd < 0)
            return false;
        const ssize_t got = pread_eintr(fd, sector, 512, 0);
        ::close(fd);
        return got == 512;
    }

    bool totalFreeBytes(const std::string &mountPoint, int64_t *bytes) override
    {
        struct statvfs info;
        if (::statvfs(mountPoint.c_str(), &info) != 0 || info.f_frsize == 0 ||
            info.f_bfree > static_cast<uint64_t>(INT64_MAX) / info.f_frsize)
            return false;
        *bytes = static_cast<int64_t>(info.f_bfree * info.f_frsize);
        return true;
    }
};

// The block device behind a mount, or false.
bool mountDevice(const MountInfoEntry &mount, VolumeSystem &system, dev_t *number, VolumeDevice *device)
{
    if (mount.major != 0 && system.describe(makedev(mount.major, mount.minor), device)) {
        *number = makedev(mount.major, mount.minor);
        return true;
    }
    dev_t fromSource;
    if (!mount.source.empty() && mount.source[0] == '/' && system.blockNode(mount.source, &fromSource) &&
        system.describe(fromSource, device)) {
        *number = fromSource;
        return true;
    }
    return false;
}

const char *iconName(const VolumeDevice &device, int32_t fsCode)
{
    if (device.optical || fsCode == kVolumeFsCDFS)
        return "media-optical";
    if (device.flash)
        return "media-flash";
    if (device.removable)
        return "drive-removable-media";
    return "drive-harddisk";
}

std::string withoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The mount that stands for a block device in the volume list.
struct MountChoice {
    const MountInfoEntry *mount;
    dev_t number;
    VolumeDevice device;
};

// One mount per block device, in the order the devices first show (see
// volumes_linux.h for which mount is picked).
std::vector<MountChoice> chooseMounts(const std::vector<MountInfoEntry> &mounts, VolumeSystem &system)
{
    std::vector<MountChoice> chosen;
    std::map<dev_t, size_t> byDevice;
    for (const MountInfoEntry &mount : mounts) {
        MountChoice choice{&mount, 0, VolumeDevice()};
        if (!mountDevice(mount, system, &choice.number, &choice.device))
            continue;
        auto known = byDevice.find(choice.number);
        if (known == byDevice.end()) {
            byDevice.emplace(choice.number, chosen.size());
            chosen.push_back(std::move(choice));
        } else if (chosen[known->second].mount->root != "/" && mount.root == "/") {
            chosen[known->second] = std::move(choice);
        }
    }
    return chosen;
}

// The record of a chosen mount; false for a device of size 0.
bool volumeRecord(const MountChoice &choice, VolumeSystem &system, VolumeInfo *out)
{
    const MountInfoEntry &mount = *choice.mount;
    const VolumeDevice &device = choice.device;
    if (device.size == 0)
        return false;
    uint8_t sector[512];
    const bool haveSector = needsBootSector(mount.fs_type) && system.bootSector(device, sector);
    const int32_t fsCode = volumeFsCode(mount.fs_type, haveSector ? sector : nullptr);
    if (fsCode == kVolumeFsUnknown)
        ZV::log(7, "%s: Unknown fs: %s", "ZV::VolumesPlatform_", mount.fs_type.c_str());

    VolumeInfo volume;
    volume.setPath(withoutTrailingSlash(mount.mount_point));
    volume.setName(system.label(choice.number, device));
    volume.setFsCode(fsCode);
    volume.setReadOnly(mountinfo_has_option(mount.mount_options, "ro") || mountinfo_has_option(mount.super_options, "ro")
                           ? 1
                           : 0);
    volume.setCapacity(device.size);
    volume.setDevicePath(device.diskPath);
    volume.setStartingOffset(device.startingOffset);
    int64_t freeBytes = 0;
    if (system.totalFreeBytes(volume.path(), &freeBytes))
        volume.setUsed(freeBytes < device.size ? device.size - freeBytes : 0);
    volume.setIcons(themeIcons(iconName(device, fsCode)));
    *out = std::move(volume);
    return true;
}

} // namespace

VolumeSystem &linuxVolumeSystem()
{
    static LinuxVolumeSystem system;
    return system;
}

int32_t volumeFsCode(const std::string &fsType, const uint8_t *bootSector)
{
    if (fsType == "ntfs" || fsType == "ntfs3")
        return kVolumeFsNTFS;
    if (fsType == "exfat")
        return kVolumeFsExFAT;
    if (fsType == "hfs" || fsType == "hfsplus")
        return kVolumeFsHFS;
    if (fsType == "iso9660")
        return kVolumeFsCDFS;
    if (fsType == "vfat" || fsType == "msdos")
        return fatCode(bootSector);
    if (fsType == "fuseblk" || startsWith(fsType, "fuseblk.")) {
        if (bootSector == nullptr)
            return kVolumeFsUnknown;
        if (std::memcmp(bootSector + 3, "NTFS    ", 8) == 0)
            return kVolumeFsNTFS;
        if (std::memcmp(bootSector + 3, "EXFAT   ", 8) == 0)
            return kVolumeFsExFAT;
        if (looksLikeFatBootSector(bootSector))
            return fatCode(bootSector);
    }
    return kVolumeFsUnknown;
}

std::vector<VolumeInfo> volumesFromMounts(const std::vector<MountInfoEntry> &mounts, VolumeSystem &system,
                                          std::vector<dev_t> *numbers)
{
    std::vector<VolumeInfo> volumes;
    for (const MountChoice &choice : chooseMounts(mounts, system)) {
        VolumeInfo volume;
        if (!volumeRecord(choice, system, &volume))
            continue;
        volumes.push_back(std::move(volume));
        if (numbers != nullptr)
            numbers->push_back(choice.number);
    }
    return volumes;
}

std::string mountPointForPath(const std::vector<MountInfoEntry> &mounts, const std::string &canonical)
{
    const MountInfoEntry *mount = mountinfo_mount_for_path(mounts, canonical);
    return mount != nullptr ? withoutTrailingSlash(mount->mount_point) : std::string();
}

VolumeInfo volumeInfoForMounts(const std::vector<MountInfoEntry> &mounts, VolumeSystem &system,
                               const std::string &canonical)
{
    const MountInfoEntry *mount = mountinfo_mount_for_path(mounts, canonical);
    dev_t number;
    VolumeDevice device;
    if (mount == nullptr || !mountDevice(*mount, system, &number, &device))
        return VolumeInfo();
    // Only the record asked for: the others would each probe their device
    // for a label and ask for its free space.
    VolumeInfo volume;
    for (const MountChoice &choice : chooseMounts(mounts, system))
        if (choice.number == number && volumeRecord(choice, system, &volume))
            return volume;
    return VolumeInfo();
}

std::string canonicalVolumePath(const std::string &path)
{
    if (path.empty())
        return std::string();
    const std::string normal = withoutTrailingSlash(normalizePath(path));
    // Resolve the longest part that exists; keep the rest as written.
    std::string head = normal, tail;
    for (;;) {
        char *real = ::realpath(head.c_str(), nullptr);
        if (real != nullptr) {
            std::string resolved = real;
            std::free(real);
            if (!tail.empty() && resolved == "/")
                resolved.clear();
            return resolved + tail;
        }
        const size_t slash = head.find_last_of('/');
        if (slash == std::string::npos || head == "/")
            return normal;
        tail = head.substr(slash) + tail;
        head = slash == 0 ? std::string("/") : head.substr(0, slash);
    }
}

std::string udevUnescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexDigitValue(text[i + 2]) >= 0 &&
            hexDigitValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexDigitValue(text[i + 2]) * 16 + hexDigitValue(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// --- volumes.h ---------------------------------------------------------------------

std::vector<VolumeInfo> Volumes()
{
    std::vector<MountInfoEntry> mounts;
    if (mountinfo_read(nullptr, &mounts) != 0)
        return std::vector<VolumeInfo>();
    return volumesFromMounts(mounts, linuxVolumeSystem());
}

std::string volumePathForPath(const zorvant::u8string &path)
{
    const std::string canonical = canonicalVolumePath(path.str());
    std::vector<MountInfoEntry> mounts;
    if (canonical.empty() || mountinfo_read(nullptr, &mounts) != 0)
        return std::string();
    return mountPointForPath(mounts, canonical);
}

VolumeInfo volumeInfoForPath(const zorvant::u8string &path)
{
    const std::string canonical = canonicalVolumePath(path.str());
    std::vector<MountInfoEntry> mounts;
    if (canonical.empty() || mountinfo_read(nullptr, &mounts) != 0)
        return VolumeInfo();
    return volumeInfoForMounts(mounts, linuxVolumeSystem(), canonical);
}

} // namespace ZV
