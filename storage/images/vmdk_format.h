// VMDK on-disk structures: the hosted sparse extent header, the text
// descriptor, and the grain directory and grain tables of a sparse extent.
// Internal to the VMDK reader (storage/images/vmdk.h); tests and the fuzz
// target call the pure parsers directly.
//
// Hosted sparse extent header: the first 512 bytes of an extent file,
// little-endian.
//
//   offset size field
//      0    4  magic "KDMV" (0x564D444B)
//      4    4  version: 1 plain; 2 adds zeroed-grain table entries; 3 is the
//              stream-optimized layout (compressed grains and markers)
//      8    4  flags (not used)
//     12    8  capacity in sectors
//     20    8  grain size in sectors (even, at least 8)
//     28    8  embedded descriptor offset in sectors
//     36    8  embedded descriptor size in sectors (0: none)
//     44    4  entries per grain table (512)
//     48    8  redundant grain directory offset in sectors (not used)
//     56    8  grain directory offset in sectors
//     64    8  overhead in sectors (not used)
//     72    1  unclean shutdown (not used)
//     73    4  line-end check "\n", " ", "\r", "\n": a file passed through a
//              text-mode line-end conversion has lost its "\r"
//     77    2  compression algorithm (0: none)
//
// Grain directory: ceil(capacity / (grain size x 512)) 32-bit sector numbers,
// one per grain table; 0 for a table never allocated (its grains all read as
// zeros). Grain table: 512 32-bit sector numbers, one per grain; 0 or 1 for
// a grain that reads as zeros.
//
// Descriptor: text lines. "key=value" pairs (createType="monolithicSparse"),
// comments ("# Disk DescriptorFile" heads every descriptor written), and
// extent lines such as
//     RW 4194304 SPARSE "disk-s001.vmdk"
// (access, size in sectors, type, quoted file name, optional offset; blanks
// inside double quotes do not separate fields).
//
// Implementation notes
//   - A capacity that is not a multiple of the grain size is accepted: image
//     converters write the exact size of their source (a card dump of
//     132000 sectors with 128-sector grains). The directory count is rounded
//     up, and the last grain is read only as far as the capacity reaches.
//   - The descriptor text ends at its first NUL byte (descriptors are padded
//     with NULs to whole sectors), and a last line without a line feed is a
//     line like any other.
//   - Everything the header places in the file (embedded descriptor, grain
//     directory) must lie inside the file, and every size that drives an
//     allocation has a named cap below; a header that breaks either is
//     refused. A directory entry pointing outside the file refuses the
//     extent; a grain table entry pointing outside it fails the reads of
//     that grain only (the rest of a damaged image stays readable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/byte_stream.h"

// --- limits ---------------------------------------------------------------------

constexpr uint32_t VMDK_SECTOR_SIZE = 512;
constexpr uint32_t VMDK_HEADER_SIZE = 512;
constexpr uint32_t VMDK_MAGIC = 0x564D444B; // "KDMV" read little-endian
constexpr uint32_t VMDK_TABLE_ENTRIES = 512; // entries per grain table, the only value written
constexpr uint32_t VMDK_TABLE_BYTES = VMDK_TABLE_ENTRIES * 4;
constexpr uint64_t VMDK_MIN_GRAIN_SECTORS = 8;
// Writers use 64 KiB grains (128 sectors); 64 MiB is a thousand times that
// and bounds the grain buffer.
constexpr uint64_t VMDK_MAX_GRAIN_SECTORS = (64u << 20) / VMDK_SECTOR_SIZE;
// An embedded descriptor is 10 KiB in the files written today; it is read
// whole, so its size is capped.
constexpr uint64_t VMDK_MAX_EMBEDDED_DESCRIPTOR = 1u << 20;
// A descriptor file must be smaller than this (a descriptor of a few hundred
// extents is a few dozen KiB). Larger files are not descriptors.
constexpr uint64_t VMDK_MAX_DESCRIPTOR_FILE = 102400;
// Directory entries are read whole at open, and each gets a slot for its
// table: 2^20 entries (4 MiB) in all the extents of an image cover 2 TiB, the
// largest hosted sparse disk, even at the smallest grain (4 KiB).
constexpr uint64_t VMDK_MAX_DIRECTORY_ENTRIES = 1u << 20;
// Split images hold one open file per extent: 1024 extents of 2 GiB cover
// the 2 TiB of the largest cards.
constexpr size_t VMDK_MAX_EXTENTS = 1024;
// Sector counts stay below this so that byte sizes fit a signed 64-bit value.
constexpr uint64_t VMDK_MAX_SECTORS = INT64_MAX / VMDK_SECTOR_SIZE;

// --- results --------------------------------------------------------------------

// Results of the parsers and loaders: VMDK_OK, VMDK_NOT_SPARSE (not this
// structure, no error) or a refusal below 0. vmdk_status_text names each.
enum : int {
    VMDK_OK = 0,
    VMDK_NOT_SPARSE = 1,            // no "KDMV" magic: not a sparse extent
    VMDK_ERROR_READ = -1,           // a read failed or fell short
    VMDK_ERROR_FILE = -2,           // a file is missing, cannot be opened or is not a regular file
    VMDK_ERROR_VERSION = -3,        // sparse extent version other than 1, 2 and 3
    VMDK_ERROR_ZEROED_GRAINS = -4,  // version 2 (zeroed-grain table entries)
    VMDK_ERROR_COMPRESSED = -5,     // version 3 or compressed grains (stream-optimized)
    VMDK_ERROR_HEADER = -6,         // capacity, grain size or table size out of range
    VMDK_ERROR_LINE_ENDS = -7,      // line-end check characters damaged
    VMDK_ERROR_LAYOUT = -8,         // metadata outside the file or above its cap
    VMDK_ERROR_DESCRIPTOR = -9,     // not a disk descriptor
    VMDK_ERROR_EXTENT_TYPE = -10,   // an extent type other than SPARSE and FLAT
    VMDK_ERROR_FLAT = -11,          // a FLAT extent (raw data files are not read)
    VMDK_ERROR_LIMIT = -12,         // too many extents, or too many sectors in all
    VMDK_ERROR_EMPTY = -13,         // no sectors at all
    VMDK_ERROR_EXTENT_FILE = -14,   // a listed extent file is not a sparse extent
};

// A fixed English text for a result; "unknown VMDK result" for others.
const char *vmdk_status_text(int status);

// --- sparse extent header -------------------------------------------------------

struct vmdk_header {
    uint32_t version = 0;
    uint64_t capacity = 0;          // sectors
    uint64_t grain_sectors = 0;     // sectors per grain
    uint64_t descriptor_offset = 0; // sectors
    uint64_t descriptor_sectors = 0;
    uint32_t table_entries = 0;     // entries per grain table
    uint64_t directory_offset = 0;  // sectors
    uint16_t compression = 0;
};

// Parses and checks the header in data (size bytes, at least 512 needed).
// VMDK_NOT_SPARSE for a short buffer or a wrong magic. Checks every field
// the reader relies on except the layout, which needs the file's length.
int vmdk_header_parse(const uint8_t *data, size_t size, vmdk_header *header);

// Checks that the embedded descriptor and the grain directory of a parsed
// header lie inside a file of file_length bytes and within their caps, and
// gives the number of directory entries. VMDK_OK or VMDK_ERROR_LAYOUT.
int vmdk_header_check_layout(const vmdk_header &header, uint64_t file_length, uint64_t *directory_entries);

// --- descriptor -----------------------------------------------------------------

struct vmdk_extent_line {
    std::string access;    // "RW" or "RDONLY"
    std::string type;      // "SPARSE" or "FLAT"
    std::string file_name; // the fourth field, double quotes removed
};

struct vmdk_descriptor {
    bool signature = false;                           // a "# Disk DescriptorFile" line
    std::unordered_map<std::string, std::string> keys; // the last value of each key
    std::vector<vmdk_extent_line> extents;            // in text order
};

// Parses descriptor text (up to size bytes, ending early at a NUL). VMDK_OK,
// VMDK_ERROR_EXTENT_TYPE for an extent line of another type, or
// VMDK_ERROR_LIMIT past VMDK_MAX_EXTENTS extent lines. Any text parses: an
// OK result alone does not make the text a descriptor.
int vmdk_descriptor_parse(const char *text, size_t size, vmdk_descriptor *descriptor);

// True when a parsed text is a disk descriptor: it has the "# Disk
// DescriptorFile" line or a createType key, and at least one extent line.
bool vmdk_descriptor_is_disk(const vmdk_descriptor &descriptor);

// --- sparse extent --------------------------------------------------------------

// One sparse extent: its header, directory and open file. Grain tables are
// fetched one at a time on demand (vmdk_extent_read_table), not at open.
struct vmdk_extent {
    vmdk_header header;
    std::shared_ptr<ZV::ByteStream> stream; // the extent file, open for reading
    uint64_t file_length = 0;               // bytes, when loaded
    std::vector<uint32_t> directory;        // table sector numbers, 0 = none
};

// Loads the header, checks the embedded descriptor (it must parse) and reads
// the grain directory of the extent in stream. VMDK_OK, VMDK_NOT_SPARSE, or a
// refusal.
int vmdk_extent_load(const std::shared_ptr<ZV::ByteStream> &stream, vmdk_extent *extent);

// Reads grain table `index` into table (VMDK_TABLE_ENTRIES entries). 0 with
// the table all zeros for an unallocated table, 1 when read, -1 when the read
// fails. index must be below the directory size.
int vmdk_extent_read_table(vmdk_extent *extent, size_t index, uint32_t *table);

// Reads `sectors` sectors (at most a grain) of the grain at sector `grain`
// of the extent file into buffer, sized to them. False, with buffer left
// as it was, when they do not lie inside the file; false too when the read
// falls short.
bool vmdk_extent_read_grain(vmdk_extent *extent, uint32_t grain, uint64_t sectors, std::vector<uint8_t> *buffer);
