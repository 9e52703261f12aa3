// Unmounting every volume of a drive before it is formatted or tested.
// Internal to storage/devices (ZV::DisksManagerPlatform::unmountVolumes).
#pragma once

#include <string>

namespace ZV {

// Unmounts every mount (bind mounts too) of the disk at device_path and of
// its partitions, in reverse order of /proc/self/mountinfo so that mounts
// inside others go first, never lazily. Then opens the partitions and the
// disk exclusively, which fails while anything still mounts them. False at
// the first failure (mounts undone before it stay undone), when the mount
// table cannot be read, or when device_path is no block device.
//
// Not promised: a real lock. The exclusive opens are closed again on
// return, and they keep out only mounts and other exclusive openers.
bool unmountDiskVolumes(const std::string &sysfs_root, const std::string &device_path);

} // namespace ZV
