// The own sector-image format ("ZRVTDSK1"): the image cut into chunks of a
// fixed size, each stored compressed (zlib or bzip2), stored plain or left
// out, indexed by a footer (layout and checks in zorvant_image_format.h).
//
// One chunk is kept decoded: consecutive sectors of a chunk are served
// without reading the file again. A chunk that fails to load is not kept,
// and the chunk held before it is forgotten, since loading reuses its
// buffers.
#pragma once

#include <memory>

#include "storage/images/disk_image.h"
#include "storage/images/zorvant_image_format.h"

namespace ZV {

class DiskImageZorvant : public DiskImage {
public:
    // Checks the header of a stream opened for reading, then loads the
    // footer and the index; throws std::invalid_argument "invalid disk
    // image" when either is refused.
    explicit DiskImageZorvant(const std::shared_ptr<ByteStream> &stream);
    // 512 or 4096, from the header.
    uint32_t sectorSize() override;
    // The footer's sector count.
    uint64_t numSectors() override;
    // The file's length.
    uint64_t imageSize() override;
    // false: the format has no checksum.
    bool verify() override;
    // Reads sector (below numSectors) into destination; size must be the
    // sector size. False when the sector's chunk cannot be read or
    // decompressed.
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;

private:
    static constexpr uint64_t kNoChunk = UINT64_MAX;

    // Reads (and decompresses) chunk into the buffers and holds it.
    bool loadChunk(uint64_t chunk);
    bool decompress(uint32_t storedLength);

    std::shared_ptr<ByteStream> stream_;
    ZorvantHeader header_;
    ZorvantFooter footer_;
    ZorvantIndex index_;
    uint64_t imageSize_ = 0;
    std::unique_ptr<uint8_t[]> input_;   // stored bytes, index_.largestStored bytes, made on first use
    std::unique_ptr<uint8_t[]> output_;  // decompressed bytes, twice the chunk size, made on first use
    uint64_t heldChunk_ = kNoChunk;      // the chunk whose data the buffers hold
    const uint8_t *heldData_ = nullptr;  // its bytes (input_ or output_; null for an empty chunk)
    uint32_t heldBytes_ = 0;             // how many it has (at most the chunk size; the rest are zeros)
};

} // namespace ZV
