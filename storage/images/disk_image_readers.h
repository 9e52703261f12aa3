// The readers the disk-image opener tries, as a table (disk_image.cpp).
// DiskImage::open runs the opener's steps over the real readers; tests put
// readers of their own in their places to see the order and the fallbacks.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "storage/images/disk_image.h"

namespace ZV {

struct DiskImageReaders {
    // Tried in this order over one read-only stream of the file, each from
    // position 0; a reader refuses by throwing (or by returning nothing).
    std::vector<std::function<std::shared_ptr<DiskImage>(const std::shared_ptr<ByteStream> &)>> stream;
    // Tried last, with the path, whether or not the file could be opened.
    std::function<std::shared_ptr<DiskImage>(const zorvant::u8string &)> path;
};

// UDIF, DiskCopy 4.2 and the own format over the stream; VMDK by path.
const DiskImageReaders &disk_image_readers();

// The opener's steps (see DiskImage::open) with the readers given: the first
// reader that accepts the file and whose image passes
// disk_image_geometry_ok wins; empty when none does, with *unsupported
// (when given) set to the reason of the first reader that threw
// DiskImageUnsupported. Never throws.
std::shared_ptr<DiskImage> disk_image_open_with(const zorvant::u8string &path, const DiskImageReaders &readers,
                                                std::string *unsupported = nullptr);

// Whether an image's geometry can be presented as a flat run of bytes: a
// sector size that is a power of two from 512 to 65536, at least one
// sector, and numSectors x sectorSize no larger than INT64_MAX (file sizes
// and positions are signed 64-bit).
bool disk_image_geometry_ok(DiskImage &image);

} // namespace ZV
