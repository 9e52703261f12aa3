// VMDK images of hosted sparse extents: one monolithic sparse file, or a text
// descriptor listing sparse extent files (split sparse).
#pragma once

#include "storage/images/disk_image.h"

namespace ZV {

class DiskImageVMDK : public DiskImage {
public:
    explicit DiskImageVMDK(const zorvant::u8string &path);
    uint32_t sectorSize() override;
    uint64_t numSectors() override;
    uint64_t imageSize() override;
    bool verify() override;
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;
};

} // namespace ZV
