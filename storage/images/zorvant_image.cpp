// The own sector-image format ("ZRVTDSK1"): chunks stored compressed, plain or left
// out, indexed by a footer.
#include "storage/images/zorvant_image.h"

#include <stdexcept>

namespace ZV {

DiskImageZorvant::DiskImageZorvant(const std::shared_ptr<ByteStream> &)
{
    throw std::invalid_argument("invalid disk image");
}
uint32_t DiskImageZorvant::sectorSize() { return 512; }
uint64_t DiskImageZorvant::numSectors() { return 0; }
uint64_t DiskImageZorvant::imageSize() { return 0; }
bool DiskImageZorvant::verify() { return false; }
bool DiskImageZorvant::readSector(uint64_t, void *, uint32_t) { return false; }

} // namespace ZV
