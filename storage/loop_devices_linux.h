// Loop devices and what they map: the file (or block device) behind each
// bound loop device, told by its device and inode numbers, and the window
// of it the loop device shows.
//
// Layout read here (root = "/sys" on a live system), on top of the device
// folders of storage/sysfs_block_linux.h:
//
//   block/loop<N>/dev           "MAJ:MIN"
//   block/loop<N>/size          the bytes the device maps, in 512-byte sectors
//   block/loop<N>/loop/         present only while the device is bound
//     backing_file              the file's path as it was given to losetup,
//                               " (deleted)" appended once it is unlinked
//     offset                    where in the file the device starts, bytes
//
// The file is told by the numbers the kernel holds for it, not by that
// path: the path may name a file deleted (or replaced) since, or reach the
// file through another bind mount or mount namespace than the caller's.
// They come from the device itself: LOOP_GET_STATUS64 on /dev/loop<N> (the
// node checked to be that device) gives lo_device and lo_inode, the st_dev
// and st_ino of the file, lo_rdevice, its st_rdev (the device a loop over a
// block device maps; 0 for a regular file), and lo_offset. Where the node
// cannot be opened (a container without it), the sysfs path is looked up
// with a stat that asks no FUSE server (AT_STATX_DONT_SYNC); a deleted file
// is then not found.
//
// Threads: the functions keep no state; any thread may call them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ZV {

// A bound loop device and what it maps.
struct LoopBinding {
    dev_t loop = 0;        // the loop device's number (its partitions are found in sysfs)
    dev_t file_device = 0; // st_dev of the file behind it
    ino_t file_inode = 0;  // st_ino of that file
    dev_t file_rdev = 0;   // st_rdev of that file: the block device it is, else 0
    uint64_t offset = 0;   // where in the file the device starts, bytes
    uint64_t size = 0;     // the bytes the device maps (from offset on)
};

// What loop device number `device` maps. False when it is no whole loop
// device (a partition of one is not), is bound to nothing, or neither its
// node nor its sysfs path tells the file.
bool loopBinding(const std::string &sysfs_root, dev_t device, LoopBinding *binding);

// Every bound loop device the kernel lists (at most kSysfsMaxFolderEntries),
// in the order sysfs lists them.
std::vector<LoopBinding> loopBindings(const std::string &sysfs_root);

// Whether the loop maps the file of that st_dev and st_ino.
bool loopMapsFile(const LoopBinding &binding, dev_t device, ino_t inode);

// Whether the loop maps block device number device (the loop is over the
// device's node).
bool loopMapsDevice(const LoopBinding &binding, dev_t device);

} // namespace ZV
