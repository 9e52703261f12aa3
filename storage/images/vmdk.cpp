// VMDK images of hosted sparse extents: one monolithic sparse file, or a text
// descriptor listing sparse extent files (split sparse). The reading is done
// by vmdk_image (vmdk_image.h); this class presents it as a ZV::DiskImage.
#include "storage/images/vmdk.h"

#include <stdexcept>

#include "foundation/console_log.h"
#include "storage/images/vmdk_image.h"

namespace ZV {

namespace {
// Refusals are traced, not shown: the opener tries VMDK last, on every file
// no other reader took.
constexpr int kLogLevel = 7;
} // namespace

DiskImageVMDK::DiskImageVMDK(const zorvant::u8string &path) : image_(new vmdk_image)
{
    const int status = vmdk_image_open(path, image_.get());
    if (status != VMDK_OK) {
        ZV::log(kLogLevel, "%s: %s: %s", "ZV::DiskImageVMDK::DiskImageVMDK", path.c_str(), vmdk_status_text(status));
        throw std::invalid_argument("invalid disk image");
    }
}

DiskImageVMDK::~DiskImageVMDK() = default;

uint32_t DiskImageVMDK::sectorSize() { return VMDK_SECTOR_SIZE; }
uint64_t DiskImageVMDK::numSectors() { return image_->sectors; }
uint64_t DiskImageVMDK::imageSize() { return image_->image_size; }
bool DiskImageVMDK::verify() { return false; }

bool DiskImageVMDK::readSector(uint64_t sector, void *destination, uint32_t size)
{
    if (destination == nullptr || size != VMDK_SECTOR_SIZE)
        return false;
    return vmdk_image_read_sector(image_.get(), sector, static_cast<uint8_t *>(destination));
}

} // namespace ZV
