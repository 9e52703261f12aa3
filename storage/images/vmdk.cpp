// VMDK images of hosted sparse extents: one monolithic sparse file, or a text
// descriptor listing sparse extent files (split sparse). The reading is done
// by vmdk_image (vmdk_image.h); this class presents it as a ZV::DiskImage.
// Stream-optimized, flat and zeroed-grain images are VMDK images all the
// same: they are refused as unsupported kinds (DiskImageUnsupported), so
// they are reported rather than read as the file's own bytes.
#include "storage/images/vmdk.h"

#include <stdexcept>
#include <string>

#include "foundation/console_log.h"
#include "storage/images/vmdk_image.h"

namespace ZV {

namespace {
// Refusals are traced, not shown: the opener tries VMDK last, on every file
// no other reader took.
constexpr int kLogLevel = 7;

// What to do with an image of a kind that is not read.
constexpr const char *kConvertAdvice =
    "; convert it to a raw image (for example with qemu-img convert -O raw) and scan that";

// The user's message for a refusal that names a VMDK kind this reader does
// not read (the file is a VMDK image: it must not be read as its own
// bytes); empty for a file that is no VMDK or a damaged one.
std::string unsupported_kind(int status)
{
    switch (status) {
    case VMDK_ERROR_COMPRESSED:
        return std::string("stream-optimized VMDK images are not supported") + kConvertAdvice;
    case VMDK_ERROR_FLAT:
        return std::string("flat VMDK images are not supported") + kConvertAdvice;
    case VMDK_ERROR_ZEROED_GRAINS:
        return std::string("VMDK images with zeroed-grain tables (version 2) are not supported") + kConvertAdvice;
    default:
        return std::string();
    }
}
} // namespace

DiskImageVMDK::DiskImageVMDK(const zorvant::u8string &path) : image_(new vmdk_image)
{
    const int status = vmdk_image_open(path, image_.get());
    if (status != VMDK_OK) {
        ZV::log(kLogLevel, "%s: %s: %s", "ZV::DiskImageVMDK::DiskImageVMDK", path.c_str(), vmdk_status_text(status));
        const std::string kind = unsupported_kind(status);
        if (!kind.empty())
            throw DiskImageUnsupported(kind);
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
