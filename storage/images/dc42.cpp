// DiskCopy 4.2 floppy images: an 84-byte header, the raw sectors, optional tags.
#include "storage/images/dc42.h"

#include <stdexcept>

namespace ZV {

DiskImageDC42::DiskImageDC42(const std::shared_ptr<ByteStream> &)
{
    throw std::invalid_argument("invalid disk image");
}
uint32_t DiskImageDC42::sectorSize() { return 512; }
uint64_t DiskImageDC42::numSectors() { return 0; }
uint64_t DiskImageDC42::imageSize() { return 0; }
bool DiskImageDC42::verify() { return false; }
bool DiskImageDC42::readSector(uint64_t, void *, uint32_t) { return false; }

} // namespace ZV
