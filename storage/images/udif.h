// UDIF images: a data fork of chunks (raw, zero, ignored, zlib, bzip2) described by
// "mish" block tables in an XML property list that the "koly" trailer points to.
#pragma once

#include "storage/images/disk_image.h"

namespace ZV {

class DiskImageUDIF : public DiskImage {
public:
    explicit DiskImageUDIF(const std::shared_ptr<ByteStream> &stream);
    uint32_t sectorSize() override;
    uint64_t numSectors() override;
    uint64_t imageSize() override;
    bool verify() override;
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;
};

} // namespace ZV
