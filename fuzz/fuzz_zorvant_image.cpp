// The own sector-image reader on arbitrary bytes seen as an image file in
// memory. Checked besides memory safety and termination: an accepted image
// has sectors of 512 or 4096 bytes and at least one, reads of another size
// or past the end fail, and the sectors of each chunk read the same twice
// (the one-chunk cache serves nothing the chunk does not hold). Reads are
// capped per input: the sectors near both ends one by one, the middle in
// halving steps, at most kMostReads sectors.
//
// Seeds (corpus/zorvant_image/), made by the test writer (tests/storage/
// images/zorvant_image_writer.h, written by the test
// Zorvant.FuzzCorpusIsWhatTheWriterMakes):
//   zlib512      16 KiB of zeros, text and noise in 4 KiB zlib chunks;
//   bzip2_512    the same in bzip2 chunks;
//   zlib4096     the same with 4096-byte sectors in 8 KiB chunks;
//   placed       plain chunks of stored lengths 100, 0 and 50;
//   empty        one empty chunk of 128 zero sectors;
//   short_last   a last chunk stored with fewer bytes than the chunk size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "storage/images/zorvant_image.h"

namespace {

constexpr uint64_t kMostReads = 512;

using fuzzsupport::require;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::ImageOverBytes<ZV::DiskImageZorvant> opened(data, size);
    if (!opened.image)
        return 0;
    ZV::DiskImageZorvant *image = opened.image.get();
    const uint32_t sectorSize = image->sectorSize();
    const uint64_t sectors = image->numSectors();
    require(sectorSize == 512 || sectorSize == 4096);
    require(sectors > 0);
    require(image->imageSize() == size);
    std::vector<uint8_t> first(2 * sectorSize), again(sectorSize);
    require(!image->readSector(sectors, first.data(), sectorSize));
    require(!image->readSector(0, first.data(), sectorSize / 2));
    require(!image->readSector(0, first.data(), 2 * sectorSize));
    require(!image->readSector(0, nullptr, sectorSize));
    uint64_t reads = 0;
    for (uint64_t n = 0; n < sectors && reads < kMostReads; ++reads) {
        const bool ok = image->readSector(n, first.data(), sectorSize);
        const uint64_t other = n + 1 < sectors ? n + 1 : 0;
        image->readSector(other, again.data(), sectorSize);
        // Read back after another sector was read: the same result and bytes.
        if (ok) {
            require(image->readSector(n, again.data(), sectorSize));
            require(std::memcmp(first.data(), again.data(), sectorSize) == 0);
        } else {
            require(!image->readSector(n, again.data(), sectorSize));
        }
        n = n < 64 || sectors - n < 64 ? n + 1 : n + (sectors - n) / 2;
    }
    return 0;
}
