// UDIF images: a data fork of chunks (raw, zero, ignored, zlib, bzip2) described by
// "mish" block tables in an XML property list that the "koly" trailer points to.
#include "storage/images/udif.h"

#include <stdexcept>

namespace ZV {

DiskImageUDIF::DiskImageUDIF(const std::shared_ptr<ByteStream> &)
{
    throw std::invalid_argument("invalid disk image");
}
uint32_t DiskImageUDIF::sectorSize() { return 512; }
uint64_t DiskImageUDIF::numSectors() { return 0; }
uint64_t DiskImageUDIF::imageSize() { return 0; }
bool DiskImageUDIF::verify() { return false; }
bool DiskImageUDIF::readSector(uint64_t, void *, uint32_t) { return false; }

} // namespace ZV
