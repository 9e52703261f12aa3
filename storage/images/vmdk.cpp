// VMDK images of hosted sparse extents: one monolithic sparse file, or a text
// descriptor listing sparse extent files (split sparse).
#include "storage/images/vmdk.h"

#include <stdexcept>

namespace ZV {

DiskImageVMDK::DiskImageVMDK(const zorvant::u8string &)
{
    throw std::invalid_argument("invalid disk image");
}
uint32_t DiskImageVMDK::sectorSize() { return 512; }
uint64_t DiskImageVMDK::numSectors() { return 0; }
uint64_t DiskImageVMDK::imageSize() { return 0; }
bool DiskImageVMDK::verify() { return false; }
bool DiskImageVMDK::readSector(uint64_t, void *, uint32_t) { return false; }

} // namespace ZV
