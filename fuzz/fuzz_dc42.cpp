// The DiskCopy 4.2 reader on arbitrary bytes seen as an image file in
// memory. Checked besides memory safety and termination: an accepted header
// gives 512-byte sectors of one of the four floppy sizes, a sector reads
// exactly when all its bytes are in the file, no read past the sectors or of
// another size succeeds, and verify fails when a sector is missing.
//
// Seeds (corpus/dc42/), made by the test writer (tests/storage/images/
// dc42_writer.h, written by the test DC42.FuzzCorpusIsWhatTheWriterMakes):
//   full400      a whole 400 KiB image without tags;
//   cut800tags   the first 16 sectors of an 800 KiB image with tags;
//   cut1440      the first 4 sectors of a 1440 KiB image;
//   header720    the header of a 720 KiB image alone.
#include <cstdint>

#include "fuzz_support.h"
#include "storage/images/dc42.h"

using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::ImageOverBytes<ZV::DiskImageDC42> opened(data, size);
    if (!opened.image)
        return 0;
    ZV::DiskImageDC42 *image = opened.image.get();
    const uint64_t sectors = image->numSectors();
    require(image->sectorSize() == 512);
    require(sectors == 800 || sectors == 1600 || sectors == 1440 || sectors == 2880);
    require(image->imageSize() >= 84 + sectors * 512);
    uint8_t sector[1024];
    for (uint64_t n = 0; n < sectors; ++n)
        require(image->readSector(n, sector, 512) == (84 + (n + 1) * 512 <= size));
    require(!image->readSector(sectors, sector, 512));
    require(!image->readSector(0, sector, 1024));
    require(!image->readSector(0, nullptr, 512));
    const bool verified = image->verify();
    require(!verified || 84 + sectors * 512 <= size);
    return 0;
}
