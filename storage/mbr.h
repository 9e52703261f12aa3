// ZV::MBR: the master boot record of a disk and its chain of extended boot
// records, read into one flat list of partitions.
//
// On-disk layout of an MBR (and of every extended boot record, EBR): the
// first 512 bytes of a sector; four 16-byte entries from offset 446, each
//   0 status (0x00, 0x80 = bootable, 0x40 also accepted; anything else
//     marks the entry unused), 1-3 first CHS, 4 type, 5-7 last CHS,
//   8-11 first sector (LE), 12-15 sector count (LE);
// bytes 510-511 hold 0x55 0xAA.
//
// Sectors are of the stream's block size (512 on most disks, 4096 on 4Kn
// devices); the MBR itself is the first 512 bytes of sector 0.
//
// Extended containers (types 0x05, 0x0F and 0x85) are followed, not listed.
// In an EBR, a record of a container type links to the next EBR at (first
// sector of the outermost container + its first sector); any other record is
// a logical partition whose start is relative to the EBR holding it; only
// the first link of an EBR is followed. The chain is bounded: it stops at an
// EBR sector seen before, and after maxChain EBRs. Absolute starts are
// computed in 64 bits; a logical whose start does not fit 32 bits, or (with
// the size check) which ends past the disk, is dropped.
//
// Damaged tables never throw: they give isValid() false or a shorter list.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/byte_stream.h"

namespace ZV {

// One partition: absolute first sector and sector count, in the stream's
// block size.
struct MBRPartition {
    uint8_t type;
    uint32_t first;
    uint32_t count;
};

inline bool operator==(const MBRPartition &a, const MBRPartition &b)
{
    return a.type == b.type && a.first == b.first && a.count == b.count;
}

class MBR {
public:
    // The longest EBR chain followed: far more logical partitions than
    // partitioning tools create, few enough that a damaged chain costs at
    // most 128 sector reads per container.
    static constexpr int maxChain = 128;

    // Reads the table from an open stream (a null or closed stream reads as
    // invalid). With sizeCheck, entries that end past the disk (the stream's
    // length in sectors) are skipped.
    MBR(std::shared_ptr<ByteStream> stream, bool sizeCheck);

    // True when sector 0 carries the 0x55 0xAA mark and at least one usable
    // primary entry.
    bool isValid() const { return valid_; }
    // A copy of the flat list: primary partitions in entry order, each
    // extended container replaced by the logical partitions of its chain.
    std::vector<MBRPartition> partitions() const { return partitions_; }
    // True when the list holds a record of this type (e.g. 0xEE, protective).
    bool hasType(uint8_t type) const;

    // True for the types followed as extended containers.
    static bool isExtended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

private:
    // Follows one extended container's chain of EBRs, adding its logical
    // partitions.
    void readChain(ByteStream &stream, uint32_t sectorSize, uint64_t limit, uint32_t container);

    std::vector<MBRPartition> partitions_;
    bool valid_ = false;
};

} // namespace ZV
