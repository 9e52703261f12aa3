// The on-disk structures of UDIF images, parsed and checked: the "koly"
// trailer, the "mish" block tables inside the XML property list, and the
// index of chunks by sector that the reader searches.
//
// Trailer: the last 512 bytes of the file, big-endian. Fields used:
//     0  4  signature "koly"            4  4  version (4)
//     8  4  header size (512)         216  8  XML offset (from file start)
//   224  8  XML length              492  8  sector count
//
// Property list at the XML offset: root dictionary -> "resource-fork"
// (dictionary) -> "blkx" (array) -> each element a dictionary whose "Data"
// holds one block table.
//
// Block table ("mish"), big-endian: a 204-byte header and 40-byte entries.
//     0  4  signature "mish"            4  4  version (not checked)
//     8  8  first sector               16  8  sector count
//    24  8  data offset (file position the stored offsets are relative to)
//    32 168 buffers needed, descriptors, reserved, checksum (not used)
//   200  4  chunk count               204  40 x count chunk entries
// Chunk entry:
//     0  4  type                        4  4  comment (not used)
//     8  8  first sector (relative to the table's)
//    16  8  sector count               24  8  stored offset (relative to the data offset)
//    32  8  stored length
//
// Everything a number read here will drive -- an allocation, a read, a
// search -- is checked when the image is loaded, so reading a sector never
// meets an unchecked value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZV {

// Chunk types.
constexpr uint32_t kUDIFChunkZero = 0x00000000;    // 512 zero bytes per sector
constexpr uint32_t kUDIFChunkRaw = 0x00000001;     // the stored bytes
constexpr uint32_t kUDIFChunkIgnore = 0x00000002;  // read as zeros
constexpr uint32_t kUDIFChunkComment = 0x7FFFFFFE; // never read
constexpr uint32_t kUDIFChunkADC = 0x80000004;     // refused
constexpr uint32_t kUDIFChunkZlib = 0x80000005;
constexpr uint32_t kUDIFChunkBzip2 = 0x80000006;
constexpr uint32_t kUDIFChunkEnd = 0xFFFFFFFF;     // never read

constexpr uint32_t kUDIFSectorSize = 512;
constexpr uint32_t kUDIFTrailerSize = 512;
constexpr uint32_t kUDIFTableHeaderSize = 204;
constexpr uint32_t kUDIFChunkEntrySize = 40;

// Largest property list read. Real lists hold a few tables of a few KiB
// each (about 1 KiB of base64 per 20 chunks); 64 MiB leaves room for images
// of millions of chunks and bounds what a damaged trailer can make us read.
constexpr uint64_t kUDIFMaxXMLLength = 64ull << 20;
// Largest chunk once decompressed, in bytes: the chunk buffer holds one
// whole chunk. Imaging tools write chunks of 1 MiB or less.
constexpr uint64_t kUDIFMaxChunkBytes = 64ull << 20;
constexpr uint64_t kUDIFMaxChunkSectors = kUDIFMaxChunkBytes / kUDIFSectorSize;
// Largest sector count: the image's length in bytes must fit 64 bits.
constexpr uint64_t kUDIFMaxSectors = UINT64_MAX / kUDIFSectorSize;

// Results of the parsers.
constexpr int kUDIFOk = 0;
constexpr int kUDIFNotMine = 1; // no trailer signature: not a UDIF file
constexpr int kUDIFInvalid = -1;

struct UDIFTrailer {
    uint64_t xmlOffset = 0;   // where the property list starts
    uint64_t xmlLength = 0;   // its length in bytes
    uint64_t sectorCount = 0; // sectors the image presents
};

struct UDIFChunk {
    uint32_t type = 0;
    uint64_t firstSector = 0;  // relative to the table's first sector
    uint64_t sectorCount = 0;
    uint64_t storedOffset = 0; // relative to the table's data offset
    uint64_t storedLength = 0; // bytes in the file
};

struct UDIFBlockTable {
    uint64_t firstSector = 0;
    uint64_t sectorCount = 0;
    uint64_t dataOffset = 0;
    std::vector<UDIFChunk> chunks;
};

// One readable chunk in the sector index: absolute sectors, and the file
// range of its stored bytes (raw, zlib and bzip2 chunks).
struct UDIFRun {
    uint64_t firstSector = 0;  // absolute
    uint64_t sectorCount = 0;  // > 0
    uint32_t type = 0;         // zero, raw, ignore, zlib or bzip2
    uint64_t fileOffset = 0;   // table data offset + stored offset
    uint64_t storedLength = 0;
    uint32_t table = 0;        // index of its table, for messages
};

// Parses the 512 trailer bytes. kUDIFNotMine without the "koly" signature;
// kUDIFInvalid when a field breaks a rule of the layout or the XML does
// not lie inside the file before the trailer (fileLength is the whole
// file's) or is longer than kUDIFMaxXMLLength.
int udif_trailer_parse(const uint8_t *data, size_t size, uint64_t fileLength, UDIFTrailer *trailer);

// Parses one block table. kUDIFInvalid when it is shorter than its header,
// lacks the signature, its length is not exactly header + entries, or an
// entry has a type this reader cannot read (ADC and unknown types are
// logged at level 2).
int udif_block_table_parse(const uint8_t *data, size_t size, UDIFBlockTable *table);

// The block tables of a property list's text. kUDIFInvalid when the list
// does not parse, lacks the resource-fork/blkx path, or a table is refused.
int udif_tables_from_xml(const uint8_t *xml, size_t size, std::vector<UDIFBlockTable> *tables);

// Checks the tables against the image and each other and builds the index
// of readable chunks sorted by first sector. kUDIFInvalid when a table does
// not lie inside sectorCount, a chunk not inside its table, a readable
// chunk has no sectors or more than kUDIFMaxChunkSectors, a raw chunk
// stores more than its sectors hold, stored bytes lie outside the file, or
// two readable chunks share a sector. Comment and end entries are not
// indexed and their fields are not checked.
int udif_index_build(const std::vector<UDIFBlockTable> &tables, uint64_t sectorCount, uint64_t fileLength,
                     std::vector<UDIFRun> *runs);

// The index of the run holding sector in runs (sorted, disjoint), or -1.
long udif_index_find(const std::vector<UDIFRun> &runs, uint64_t sector);

} // namespace ZV
