// Block devices as sysfs shows them: a device's folder, the whole disk
// behind a partition, a disk's partitions and their device numbers.
//
// Layout read here (root = "/sys" on a live system, a copy in tests):
//
//   dev/block/<major>:<minor>     symlink to the folder of any block device
//                                 (../../devices/.../block/<disk> for a disk,
//                                 .../block/<disk>/<partition> for a partition)
//   <folder>/dev                  "MAJ:MIN\n"
//   <folder>/partition            present in each partition's folder only
//   <disk>/<partition>/           a partition is a subfolder of its disk
//
// Kernel names with "!" stand for "/" in /dev ("cciss!c0d0" is
// /dev/cciss/c0d0).
//
// Threads: the functions keep no state; any thread may call them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ZV {

// Bound on the entries read from one sysfs folder (a machine has a few
// dozen disks, a disk at most a few hundred partitions).
constexpr int kSysfsMaxFolderEntries = 4096;

// A sysfs attribute, trimmed; "" when absent.
std::string sysfsAttribute(const std::string &path);

// A decimal attribute (digits only, trimmed); false when absent, not a plain
// number or beyond 64 bits.
bool sysfsNumber(const std::string &path, uint64_t *value);

// The "dev" attribute of a sysfs block folder ("MAJ:MIN", digits only);
// false when absent or malformed.
bool sysfsDevNumber(const std::string &folder, dev_t *number);

// Names in folder (dot entries left out), at most kSysfsMaxFolderEntries,
// in the order the folder lists them.
std::vector<std::string> sysfsFolderNames(const std::string &folder);

// path with every symbolic link resolved; "" when it does not exist.
std::string sysfsRealPath(const std::string &path);

// "/dev/" + the kernel name ("!" in a kernel name stands for "/").
std::string sysfsDevicePath(const std::string &kernel_name);

// The real folder of block device number device and that of its whole disk
// (the same folder for a disk). False when sysfs has no such device.
bool sysfsBlockFolders(const std::string &sysfs_root, dev_t device, std::string *folder, std::string *disk_folder);

// "/dev/<kernel name of the whole disk>" of a block device number (a
// partition gives its disk); "" when the number is no block device.
std::string sysfsDevicePathForDevNum(const std::string &sysfs_root, dev_t device);

struct BlockNode {
    dev_t number;
    std::string path;   // "/dev/<kernel name>"; "" when sysfs does not know the number
    std::string folder; // its real sysfs folder; "" likewise
};

// The disk of device number disk followed by its partitions, in the order
// sysfs lists them (an unknown number gives the number alone, with an empty
// path and folder).
std::vector<BlockNode> sysfsDiskAndPartitions(const std::string &sysfs_root, dev_t disk);

} // namespace ZV
