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
// Asking may wait. The kernel answers LOOP_GET_STATUS64 with a getattr of
// the file behind the device, and on a FUSE file system whose attributes
// have expired that getattr waits on the server: a stopped server holds
// the caller for good. The path lookup waits the same way (FUSE asks the
// server to revalidate an expired entry), whatever the stat's flags. So a
// caller that needs only some loops first sorts them by what can be read
// without asking anyone: loopListings gives each bound loop's sysfs texts,
// and loopBackingPlace tells from the backing file's path and the mount
// table which file system holds that file (the MAJ:MIN of its mount) or
// whether it is a device node; loopAsk then asks only the loops that can
// matter. loopBinding and loopBindings ask every loop they give.
//
// Threads: the functions keep no state; any thread may call them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/mountinfo_linux.h"

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

// A bound loop device as sysfs lists it: nothing asked of the device or of
// the file behind it.
struct LoopListing {
    dev_t loop = 0;           // the loop device's number
    std::string folder;       // its sysfs folder (under block/)
    std::string name;         // its kernel name ("loop3")
    std::string backing_file; // the file's path as sysfs gives it, " (deleted)" taken off; may be ""
    bool deleted = false;     // sysfs says the file was unlinked
    uint64_t offset = 0;      // where in the file the device starts, bytes
    uint64_t size = 0;        // the bytes the device maps (from offset on)
};

// Where the file behind a listed loop lies, told from texts alone.
struct LoopBackingPlace {
    bool known = false;       // the path is absolute and a mount of the table holds it
    dev_t mount_device = 0;   // MAJ:MIN of the mount that holds the path
    bool device_node = false; // the path lies below /dev or on a devtmpfs mount: a loop over a device
};

// Every bound loop device the kernel lists (at most kSysfsMaxFolderEntries),
// in the order sysfs lists them, from sysfs texts only.
std::vector<LoopListing> loopListings(const std::string &sysfs_root);

// The place of the listing's backing file in the mount table (as
// mountinfo_read gives it). The path sysfs gives is the kernel's own,
// without links; the mount's MAJ:MIN is what the files of a block-device
// file system carry as st_dev, and of the others (btrfs, FUSE, overlay)
// the device of the mount, compared with the mount that holds a file by
// its path (see the caller).
LoopBackingPlace loopBackingPlace(const LoopListing &listing, const std::vector<MountInfoEntry> &mounts);

// What the listed loop maps, asked of the device (or looked up by its path;
// see the top of this file, and for the waits it may meet). False when
// neither tells.
bool loopAsk(const LoopListing &listing, LoopBinding *binding);

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
