// VMDK images of hosted sparse extents: one monolithic sparse file, or a text
// descriptor listing sparse extent files (split sparse).
#pragma once

#include <memory>

#include "storage/images/disk_image.h"

struct vmdk_image;

namespace ZV {

class DiskImageVMDK : public DiskImage {
public:
    // Throws DiskImageUnsupported for a stream-optimized, flat or
    // zeroed-grain image, std::invalid_argument for anything else it does
    // not read.
    explicit DiskImageVMDK(const zorvant::u8string &path);
    ~DiskImageVMDK() override;
    uint32_t sectorSize() override;
    uint64_t numSectors() override;
    uint64_t imageSize() override;
    bool verify() override;
    // Exactly 512 bytes of a sector below numSectors().
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;

private:
    std::unique_ptr<vmdk_image> image_;
};

} // namespace ZV
