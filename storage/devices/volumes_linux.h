// The Linux side of the volume list (volumes.h), split so that the rules can
// be run over a made-up mount table and made-up devices.
//
// A volume is a mount of a block device:
//   - the mount's device number (mountinfo field 3) is a block device that
//     sysfs knows (/sys/dev/block/MAJ:MIN), or
//   - its source names a block node (btrfs and some FUSE mounts report an
//     anonymous 0:N number but give "/dev/sdb1" as their source).
// Everything else (proc, tmpfs, overlay, network and image-file mounts) is
// no volume, and is never asked for its free space, so a dead network mount
// cannot stall the list.
//
// One record per block device: its first mount of the whole file system
// (root field "/"); a device mounted only through a bind mount of a
// subfolder or a subvolume gets its first mount. Later bind mounts and
// second mounts of the same device are left out, so the record of a device
// does not depend on which of its mounts comes last.
//
// Per record:
//   root      the mount point (no trailing "/", except "/" itself)
//   name      the label (libblkid probe; without access to the device, the
//             udev database's ID_FS_LABEL_ENC when udevd runs; else "")
//   fs code   from the mount's type (volumeFsCode)
//   read-only "ro" among the per-mount or the super options
//   capacity  sysfs "size" x 512 (the partition's or the disk's length)
//   used      capacity - total free (statvfs f_bfree x f_frsize), 0 when
//             the free space cannot be read
//   disk path "/dev/<whole disk>", as in the drive descriptions
//   offset    sysfs "start" x 512 for a partition, 0 for a whole disk
//   icons     theme names: media-optical, media-flash,
//             drive-removable-media or drive-harddisk
// Records of capacity 0 are dropped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/devices/disk_description.h"
#include "storage/mountinfo_linux.h"

namespace ZV {

// What sysfs tells about one block device.
struct VolumeDevice {
    std::string node;        // "/dev/<kernel name>" of the device itself
    std::string diskPath;    // "/dev/<kernel name of the whole disk>"
    int64_t startingOffset = 0; // bytes from the start of the disk
    int64_t size = 0;        // bytes
    bool removable = false;  // the disk's "removable" flag
    bool flash = false;      // an SD/MMC card (mmcblk)
    bool optical = false;    // an optical drive (sr)
};

// The machine as the volume list sees it. The Linux one reads sysfs, the
// device nodes and statvfs; tests give their own.
class VolumeSystem {
public:
    virtual ~VolumeSystem() = default;
    // Fills device for a block device number; false when sysfs has no such
    // block device.
    virtual bool describe(dev_t number, VolumeDevice *device) = 0;
    // The device number of a block node; false when path is no block node.
    virtual bool blockNode(const std::string &path, dev_t *number) = 0;
    // The volume label; "" when there is none or it cannot be read.
    virtual std::string label(dev_t number, const VolumeDevice &device) = 0;
    // The first 512 bytes of the volume; false when they cannot be read.
    virtual bool bootSector(const VolumeDevice &device, uint8_t sector[512]) = 0;
    // Free bytes of the mounted file system, reserved blocks included.
    virtual bool totalFreeBytes(const std::string &mountPoint, int64_t *bytes) = 0;
};

// The machine's own.
VolumeSystem &linuxVolumeSystem();

// The volume records of a mount table; numbers, when given, receives the
// device number of each record.
std::vector<VolumeInfo> volumesFromMounts(const std::vector<MountInfoEntry> &mounts, VolumeSystem &system,
                                          std::vector<dev_t> *numbers = nullptr);

// The file-system code of a mount type:
//   ntfs, ntfs3 -> NTFS; exfat -> exFAT; hfs, hfsplus -> HFS; iso9660 -> CDFS;
//   vfat, msdos -> FAT32 when the boot sector's 16-bit sectors-per-FAT
//     (offset 22) is 0, else FAT (FAT without a readable boot sector);
//   fuseblk (fuseblk or fuseblk.<name>) -> from the boot sector: OEM name
//     "NTFS    " or "EXFAT   ", else a FAT boot sector as above, else 0;
//   anything else -> 0.
// bootSector holds 512 bytes, or is NULL when it could not be read.
int32_t volumeFsCode(const std::string &fsType, const uint8_t *bootSector);

// The mount point of the mount that holds an absolute, canonical path
// (mountinfo_mount_for_path), without trailing "/"; "" when none.
std::string mountPointForPath(const std::vector<MountInfoEntry> &mounts, const std::string &canonical);

// The record of the volume that holds a canonical path: the record of the
// block device behind the mount that holds it. So a path under a bind mount
// or a second mount of a device gets that device's record (whose root is the
// device's first mount), and a path on a mount that covers a volume's mount
// point gets no record of the covered volume. An empty record when the mount
// has no block device behind it.
VolumeInfo volumeInfoForMounts(const std::vector<MountInfoEntry> &mounts, VolumeSystem &system,
                               const std::string &canonical);

// path made absolute and canonical: "." and ".." resolved, symbolic links of
// the part that exists resolved, the rest kept as written. "" for "".
std::string canonicalVolumePath(const std::string &path);

// Undoes udev's "\xNN" escapes (ID_FS_LABEL_ENC).
std::string udevUnescape(const std::string &text);

} // namespace ZV
