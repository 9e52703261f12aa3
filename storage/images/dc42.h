// DiskCopy 4.2 floppy images: an 84-byte header, the raw sectors, optional
// tags (layout in dc42_format.h). Sectors are 512 bytes; the image's data
// checksum is what verify checks.
//
// Opening checks the header only: a file whose data area is cut short still
// opens, and reading a sector that is not in the file fails.
#pragma once

#include "storage/images/disk_image.h"

namespace ZV {

class DiskImageDC42 : public DiskImage {
public:
    // Reads and checks the header of a stream opened for reading; throws
    // std::invalid_argument "invalid disk image" when it is not accepted.
    explicit DiskImageDC42(const std::shared_ptr<ByteStream> &stream);
    // 512.
    uint32_t sectorSize() override;
    // Data size / 512.
    uint64_t numSectors() override;
    // 84 + data size + tag size.
    uint64_t imageSize() override;
    // Whether the checksum of all sectors equals the stored one; false when
    // a sector cannot be read.
    bool verify() override;
    // Reads sector (below numSectors) into destination; size must be 512.
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;

private:
    std::shared_ptr<ByteStream> stream_;
    uint64_t numSectors_ = 0;
    uint64_t imageSize_ = 0;
    uint32_t dataChecksum_ = 0;  // as stored in the header
};

} // namespace ZV
