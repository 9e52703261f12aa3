// The own sector-image format ("ZRVTDSK1"): chunks stored compressed, plain or left
// out, indexed by a footer.
#pragma once

#include "storage/images/disk_image.h"

namespace ZV {

class DiskImageZorvant : public DiskImage {
public:
    explicit DiskImageZorvant(const std::shared_ptr<ByteStream> &stream);
    uint32_t sectorSize() override;
    uint64_t numSectors() override;
    uint64_t imageSize() override;
    bool verify() override;
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;
};

} // namespace ZV
