// The UDIF reader on arbitrary bytes seen as an image file in memory.
// Checked besides memory safety and termination: a refused image throws
// std::invalid_argument only (anything else escapes and is a finding); a
// loaded one presents at least one sector, its chunk index is sorted,
// disjoint, inside the image and within the chunk cap, and sectors past its
// end are refused.
//
// Seeds (corpus/udif/), written by the UDIF tests from the test writer:
//   two_tables        raw and zlib chunks; comment, zero, bzip2 and raw;
//   zlib_ignore       one table of 8-sector zlib chunks and ignored ones;
//   relative_offsets  two_tables with a data offset per table.
#include <algorithm>
#include <cstdint>

#include "fuzz_support.h"
#include "storage/images/udif.h"

namespace {

using fuzzsupport::require;

// Runs read per input: a chunk may decompress to kUDIFMaxChunkBytes.
constexpr size_t kRunsRead = 16;
constexpr uint64_t kLeadingSectors = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::ImageOverBytes<ZV::DiskImageUDIF> opened(data, size);
    if (!opened.image)
        return 0;
    ZV::DiskImageUDIF *image = opened.image.get();
    const uint64_t sectors = image->numSectors();
    require(sectors > 0 && image->sectorSize() == 512);
    const std::vector<ZV::UDIFRun> &runs = image->runs();
    for (size_t i = 0; i < runs.size(); i++) {
        const ZV::UDIFRun &run = runs[i];
        require(run.sectorCount > 0 && run.sectorCount <= ZV::kUDIFMaxChunkSectors);
        require(run.firstSector < sectors && run.sectorCount <= sectors - run.firstSector);
        require(i == 0 || runs[i - 1].firstSector + runs[i - 1].sectorCount <= run.firstSector);
    }
    uint8_t sector[512];
    for (uint64_t s = 0; s < std::min(sectors, kLeadingSectors); s++)
        (void)image->readSector(s, sector, sizeof sector);
    for (size_t i = 0; i < std::min(runs.size(), kRunsRead); i++) {
        const ZV::UDIFRun &run = runs[runs.size() - 1 - i];
        (void)image->readSector(run.firstSector + run.sectorCount - 1, sector, sizeof sector);
        (void)image->readSector(run.firstSector, sector, sizeof sector);
    }
    require(!image->readSector(sectors, sector, sizeof sector));
    require(!image->readSector(0, sector, 4096));
    return 0;
}
