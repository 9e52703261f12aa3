// DiskCopy 4.2 floppy images: an 84-byte header, the raw sectors, optional tags.
#pragma once

#include "storage/images/disk_image.h"

namespace ZV {

class DiskImageDC42 : public DiskImage {
public:
    explicit DiskImageDC42(const std::shared_ptr<ByteStream> &stream);
    uint32_t sectorSize() override;
    uint64_t numSectors() override;
    uint64_t imageSize() override;
    bool verify() override;
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;
};

} // namespace ZV
