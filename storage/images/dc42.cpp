// DiskCopy 4.2 floppy images (see dc42.h and dc42_format.h).
#include "storage/images/dc42.h"

#include <stdexcept>

#include "foundation/console_log.h"
#include "storage/images/dc42_format.h"

namespace ZV {

DiskImageDC42::DiskImageDC42(const std::shared_ptr<ByteStream> &stream) : stream_(stream)
{
    uint8_t bytes[kDC42HeaderSize];
    DC42Header header;
    if (!stream_ || stream_->readAt(0, bytes, kDC42HeaderSize) != int(kDC42HeaderSize) ||
        !dc42_header_parse(bytes, sizeof bytes, &header))
        throw std::invalid_argument("invalid disk image");
    numSectors_ = header.dataSize / kDC42SectorSize;
    imageSize_ = uint64_t(kDC42HeaderSize) + header.dataSize + header.tagSize;
    dataChecksum_ = header.dataChecksum;
}

uint32_t DiskImageDC42::sectorSize() { return kDC42SectorSize; }
uint64_t DiskImageDC42::numSectors() { return numSectors_; }
uint64_t DiskImageDC42::imageSize() { return imageSize_; }

bool DiskImageDC42::readSector(uint64_t sector, void *destination, uint32_t size)
{
    if (destination == nullptr || size != kDC42SectorSize) {
        ZV::log(7, "%s: Invalid input (sector=%llu)", "ZV::DiskImageDC42::readSector", sector);
        return false;
    }
    if (sector >= numSectors_) {
        ZV::log(7, "%s: Invalid sector %llu (numSectors=%llu)", "ZV::DiskImageDC42::readSector", sector,
                numSectors_);
        return false;
    }
    // sector < 2880: the offset cannot overflow.
    if (stream_->readAt(kDC42HeaderSize + sector * kDC42SectorSize, destination, kDC42SectorSize) !=
        int(kDC42SectorSize)) {
        ZV::log(7, "Can't seek to sector offset");
        return false;
    }
    return true;
}

bool DiskImageDC42::verify()
{
    uint32_t sum = 0;
    uint8_t bytes[kDC42SectorSize];
    for (uint64_t sector = 0; sector < numSectors_; ++sector) {
        if (!readSector(sector, bytes, sizeof bytes)) {
            ZV::log(7, "%s: Can't read sector %llu", "ZV::DiskImageDC42::verify", sector);
            return false;
        }
        sum = dc42_checksum_update(sum, bytes, sizeof bytes);
    }
    return sum == dataChecksum_;
}

} // namespace ZV
