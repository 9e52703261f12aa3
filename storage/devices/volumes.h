// Mounted volumes of the machine, read afresh from /proc/self/mountinfo on
// every call: one ZV::VolumeInfo per block device that holds a mounted file
// system of non-zero size.
#pragma once

#include <vector>

#include "foundation/u8string.h"
#include "storage/devices/disk_description.h"

namespace ZV {

std::vector<VolumeInfo> Volumes();

// The mount point of the volume that holds path; "" when none is found.
std::string volumePathForPath(const zorvant::u8string &path);

// A copy of the record of the volume that holds path, or an empty record.
VolumeInfo volumeInfoForPath(const zorvant::u8string &path);

} // namespace ZV
