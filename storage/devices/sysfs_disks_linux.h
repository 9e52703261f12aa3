// Drives and partitions as sysfs shows them (the Linux layer under
// ZV::DisksManagerPlatform). Internal to storage/devices.
//
// Layout read here (root = "/sys" on a live system, a copy in tests), on top
// of the device folders of storage/sysfs_block_linux.h:
//
//   block/<name>                  symlink to the disk's folder under devices/
//     size                        length in 512-byte sectors (0: no medium)
//     removable, ro, hidden       "0" or "1"
//     diskseq                     media sequence number, new for every medium
//     queue/logical_block_size    bytes per sector
//     device/type                 SCSI peripheral type ("0" disk, "5" CD-ROM)
//                                 or, for MMC, "SD" / "MMC" / "SDIO"
//     device/vendor, device/model SCSI inquiry texts (blank padded); NVMe
//                                 has only model, MMC has device/name
//     loop/backing_file           loop devices: the file behind them
//     dm/name                     device-mapper devices: their name
//   class/ata_link/link<N>/sata_spd  present when ATA port N is SATA
//
// The bus code comes from the disk folder's real path, so USB card readers
// (SCSI over USB) are told from plain SCSI by their "/usb" component.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/devices/disk_description.h"
#include "storage/sysfs_block_linux.h"

namespace ZV {

struct SysfsRoots {
    std::string sysfs = "/sys"; // where block/, dev/ and class/ are
    std::string dev = "/dev";   // device nodes, opened to revalidate empty removable drives
};

struct SysfsDisk {
    DiskDescription description;
    uint64_t diskseq = 0; // 0 when the kernel has no media sequence numbers
};

// The whole disks with a medium, in name order with optical drives (sr*)
// last. Hidden disks and disks of size 0 are left out; a removable disk of
// size 0 is first opened read-only without blocking (and closed), which
// makes the kernel look for a new medium.
std::vector<SysfsDisk> sysfsListDisks(const SysfsRoots &roots);

// The size in bytes and media sequence number of disk name now. False when
// the disk is not in sysfs.
bool sysfsDiskState(const SysfsRoots &roots, const std::string &name, int64_t *size, uint64_t *diskseq);

} // namespace ZV
