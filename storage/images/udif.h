// UDIF images: a data fork of chunks (raw, zero, ignored, zlib, bzip2) described by
// "mish" block tables in an XML property list that the "koly" trailer points to.
//
// The constructor loads and checks the trailer and all block tables (see
// udif_format.h) and throws std::invalid_argument("invalid disk image") when
// anything is wrong; a constructed reader reads any sector a chunk covers.
// Sectors are 512 bytes. One decompressed chunk is kept, so consecutive
// sectors of a chunk cost one copy each; zero and ignored chunks never
// touch the file.
//
// Not promised: verify (the format's checksums are not checked: false), and
// reads of sectors that no chunk covers (they fail).
#pragma once

#include <vector>

#include "foundation/buffer.h"
#include "storage/images/disk_image.h"
#include "storage/images/udif_format.h"

namespace ZV {

class DiskImageUDIF : public DiskImage {
public:
    explicit DiskImageUDIF(const std::shared_ptr<ByteStream> &stream);
    uint32_t sectorSize() override;
    uint64_t numSectors() override;
    uint64_t imageSize() override;
    bool verify() override;
    bool readSector(uint64_t sector, void *destination, uint32_t size) override;

    // The block tables as loaded, in the order of the property list.
    const std::vector<UDIFBlockTable> &tables() const { return tables_; }
    // The readable chunks sorted by first sector.
    const std::vector<UDIFRun> &runs() const { return runs_; }

private:
    // Reads a sector known to be inside the image.
    bool readUDIFSector_(uint64_t sector, void *destination);
    // Fills the chunk buffer with the decompressed (or copied) run.
    bool readChunk_(const UDIFRun &run);
    // Decompress the run's stored bytes into the chunk buffer; *produced
    // gets the bytes written. True only when the stream ended.
    bool inflateChunk_(const UDIFRun &run, uint64_t *produced);
    bool bunzipChunk_(const UDIFRun &run, uint64_t *produced);

    std::shared_ptr<ByteStream> stream_;
    uint64_t numSectors_ = 0;
    uint64_t imageSize_ = 0;
    std::vector<UDIFBlockTable> tables_;
    std::vector<UDIFRun> runs_;  // disjoint, sorted by first sector
    Buffer chunk_;               // the last chunk read, decompressed
    long cachedRun_ = -1;        // the run whose bytes chunk_ holds, or -1
    long lastRun_ = -1;          // the run the last read found, or -1
};

} // namespace ZV
