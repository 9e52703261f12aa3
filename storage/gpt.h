// ZV::GPT: reading and writing a GUID partition table on a disk seen as a
// ZV::ByteStream. LBAs are sectors of the stream's block size.
//
// On-disk layout (all little-endian):
//   LBA 0       protective MBR: one entry of type 0xEE covering the disk
//   LBA 1       primary header, 92 bytes, the rest of the sector zero:
//                 0 "EFI PART"   8 revision 0x00010000   12 header size (92)
//                16 CRC-32 of the header (computed with this field 0)
//                20 reserved 0   24 this header's LBA    32 the other header's LBA
//                40 first usable LBA   48 last usable LBA   56 disk GUID
//                72 LBA of the entry array   80 number of entries
//                84 entry size   88 CRC-32 of the entry array
//   LBA 2...    entry array, each entry:
//                 0 type GUID  16 unique GUID  32 first LBA  40 last LBA
//                 (inclusive)  48 attributes (64-bit)  56 name, 36 UTF-16LE
//                 units, zero-padded
//   end         backup entry array, then the backup header in the last LBA
//
// The CRC-32 is zlib's (IEEE polynomial, reflected, pre- and post-inverted).
//
// Reading: the disk must carry a protective MBR (a valid ZV::MBR with the
// size check on and a record of type 0xEE). The primary header at LBA 1 is
// accepted on its signature, revision and size (its own CRC is not checked,
// so a header with a stale CRC still opens); its entry array must start at
// LBA 2, be made of entries of at least 128 bytes and a multiple of 8, fit
// in maxEntryArrayBytes, and match the entry-array CRC. Entries whose first
// and last LBA are non-zero with first <= last are listed. The backup copy
// at the primary's alternate LBA is read the same way (wherever its entries
// are) into a second list; it does not affect validity. Damaged tables never
// throw: they read as invalid, and no partial list is kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/byte_stream.h"
#include "storage/guid.h"

namespace ZV {

class GPTPartition {
public:
    // Both GUIDs zero, both LBAs 0, empty name.
    GPTPartition() = default;
    GPTPartition(const Guid &type, const Guid &unique, uint64_t first, uint64_t last, const std::string &name)
        : type(type), unique(unique), first(first), last(last), name(name) {}

    Guid type;          // partition type
    Guid unique;        // this partition's own GUID
    uint64_t first = 0; // first LBA
    uint64_t last = 0;  // last LBA, inclusive
    std::string name;   // UTF-8, at most 36 UTF-16 units on disk

    bool operator==(const GPTPartition &o) const
    {
        return type == o.type && unique == o.unique && first == o.first && last == o.last && name == o.name;
    }
    bool operator!=(const GPTPartition &o) const { return !(*this == o); }
};

// The fields of one header as read.
struct GPTHeader {
    bool present = false;       // signature, revision and size were right
    uint32_t headerSize = 0;
    uint32_t headerCrc = 0;     // as stored, not checked
    uint64_t thisLba = 0;
    uint64_t otherLba = 0;
    uint64_t firstUsable = 0;
    uint64_t lastUsable = 0;
    Guid diskGuid;
    uint64_t entryLba = 0;
    uint32_t entryCount = 0;
    uint32_t entrySize = 0;
    uint32_t entryCrc = 0;
};

class GPT {
public:
    // Largest entry array a read header may announce (entries x entry
    // size). The writer's array is 16 KiB; tools allow a few hundred KiB at
    // most, and this bound keeps a damaged count from driving a huge read.
    static constexpr uint64_t maxEntryArrayBytes = 1u << 20;
    static constexpr uint32_t minEntrySize = 128;
    static constexpr uint32_t headerBytes = 92;
    static constexpr uint32_t nameUnits = 36;
    // The table the writer lays: 128 entries of 128 bytes.
    static constexpr uint32_t writeEntryCount = 128;
    static constexpr uint32_t writeEntrySize = 128;
    static constexpr uint32_t writeArrayBytes = writeEntryCount * writeEntrySize;

    // Reads the table from an open stream (see above).
    explicit GPT(std::shared_ptr<ByteStream> stream);

    bool isValid() const { return valid_; }
    uint32_t blockSize() const { return blockSize_; }
    // A copy of the primary list (empty when invalid).
    std::vector<GPTPartition> partitions() const { return primaryEntries_; }
    const GPTHeader &primaryHeader() const { return primary_; }
    // The backup copy: valid when its header and entry CRC were right.
    bool backupValid() const { return backupValid_; }
    std::vector<GPTPartition> backupPartitions() const { return backupEntries_; }
    const GPTHeader &backupHeader() const { return backup_; }

    // Lays a new table with a protective MBR over the whole disk of an
    // open stream (mode 3 for files: mode 2 would have emptied the file).
    // With bs the block size and total the disk's sectors:
    //   es = ceil(16384 / bs) entry-array sectors; the table needs 2 es + 3;
    //   primary header at 1, entries at 2; backup entries at total - 1 - es,
    //   backup header at total - 1; usable LBAs es + 2 .. total - es - 2.
    // Partition i becomes entry i; a zero unique GUID is replaced by a new
    // random one, and so is the disk GUID; names are cut at 36 UTF-16 units
    // (never inside a surrogate pair). The headers and the protective MBR
    // are written as whole zero-padded sectors, the entry array padded to
    // es sectors.
    // False without writing anything when: the stream is not open; the
    // block size is not a power of two from 512 to 65536; the disk is too
    // small; more than 128 partitions are given; or a partition has
    // first > last, lies outside the usable LBAs, or overlaps another.
    // False as well when a seek or write fails part-way (what was written
    // stays). Nothing is flushed: the caller closes or syncs the stream.
    static bool write(std::shared_ptr<ByteStream> stream, const std::vector<GPTPartition> &partitions);

private:
    // Reads the header at lba and its entry array. False (with the header
    // still filled in when it parsed) when the header or array is unusable.
    static bool readTable(ByteStream &stream, uint32_t blockSize, uint64_t lba, bool primary, GPTHeader *header,
                          std::vector<GPTPartition> *entries);

    uint32_t blockSize_ = 512;
    GPTHeader primary_;
    std::vector<GPTPartition> primaryEntries_;
    GPTHeader backup_;
    std::vector<GPTPartition> backupEntries_;
    bool valid_ = false;
    bool backupValid_ = false;
};

} // namespace ZV
