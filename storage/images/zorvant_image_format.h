// The own sector-image format ("ZRVTDSK1"): on-disk layout, parsing and the
// checks that make its numbers safe to use.
//
// All numbers are little-endian. File layout (L = file length, N = index
// entries):
//
//   position          size    content
//   0                    8    magic "ZRVTDSK1"
//   8                    4    chunk size: bytes of image data per chunk
//   12                   1    compression: 0 zlib, 1 bzip2
//   13                   1    sector size code: 0 for 512, 1 for 4096
//   14                   2    zero
//   16                   ...  the chunks' stored bytes, in index order
//   L - 12 - 4N         4N    the index: N entries of 4 bytes
//   L - 12               8    sector count of the image
//   L - 4                4    N
//
// Index entry: bits 28-31 the chunk's kind (0 empty: reads as zeros, 1
// compressed with the header's compression, 2 stored plain), bits 0-27 its
// stored length. The stored bytes of entry i begin at 16 + the sum of the
// stored lengths of entries 0 to i - 1. Chunk i holds sectors i x S to
// i x S + S - 1, S = chunk size / sector size.
//
// Implementation notes (what is refused at open, so that reading never
// leaves its buffers or the index):
// - the chunk size is a non-zero multiple of the sector size and at most
//   kZorvantMaxChunkSize;
// - the index and footer lie after the header (16 + 4N + 12 <= L) and N is
//   at most kZorvantMaxIndexEntries;
// - every stored length is at most the chunk size, and the stored bytes of
//   all entries end at or before the index;
// - the sector count is not 0 and at most N x S, so every sector has an
//   index entry.
// A stored or decompressed chunk shorter than the chunk size is accepted:
// the rest of the chunk reads as zeros (a writer may cut the last chunk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZV {

constexpr uint8_t kZorvantMagic[8] = {'Z', 'R', 'V', 'T', 'D', 'S', 'K', '1'};
constexpr uint32_t kZorvantHeaderSize = 16;
constexpr uint32_t kZorvantFooterSize = 12;
constexpr uint32_t kZorvantEntrySize = 4;
// Largest chunk size accepted. The reader keeps one chunk's stored bytes and
// twice its size for decompression; writers use chunks of 1 MiB or less.
constexpr uint32_t kZorvantMaxChunkSize = 64u << 20;
// Most index entries accepted: 64 Mi chunks (4 TiB of image at 64 KiB per
// chunk). The reader keeps 12 bytes per entry, 768 MiB at this bound.
constexpr uint32_t kZorvantMaxIndexEntries = 1u << 26;

constexpr uint8_t kZorvantCompressionZlib = 0;
constexpr uint8_t kZorvantCompressionBzip2 = 1;

constexpr uint32_t kZorvantChunkEmpty = 0;
constexpr uint32_t kZorvantChunkCompressed = 1;
constexpr uint32_t kZorvantChunkPlain = 2;
constexpr uint32_t kZorvantKindShift = 28;
constexpr uint32_t kZorvantLengthMask = (1u << kZorvantKindShift) - 1;

inline uint32_t zorvant_entry_kind(uint32_t entry) { return entry >> kZorvantKindShift; }
inline uint32_t zorvant_entry_length(uint32_t entry) { return entry & kZorvantLengthMask; }

struct ZorvantHeader {
    uint32_t chunkSize = 0;        // bytes of image data per chunk
    uint8_t compression = 0;       // kZorvantCompressionZlib or ...Bzip2
    uint32_t sectorSize = 0;       // 512 or 4096
    uint32_t sectorsPerChunk = 0;  // chunk size / sector size
};

struct ZorvantFooter {
    uint64_t sectorCount = 0;      // sectors of the image
    uint32_t entryCount = 0;       // N
    uint64_t indexOffset = 0;      // file position of the index: L - 12 - 4N
};

// The index as walked so far: entry i and the file offset of its stored
// bytes. Built by zorvant_index_append from an empty ZorvantIndex.
struct ZorvantIndex {
    std::vector<uint32_t> entries;
    std::vector<uint64_t> offsets;
    uint64_t nextOffset = kZorvantHeaderSize; // where the next entry's bytes begin
    uint32_t largestStored = 0;               // longest stored length of a chunk that is read
};

// Parses and checks the 16 header bytes (see the notes above). False, with
// *header untouched, when size is short or a field is not accepted.
bool zorvant_header_parse(const uint8_t *data, size_t size, ZorvantHeader *header);

// Parses and checks the 12 footer bytes of a file of fileLength bytes whose
// header is header. False, with *footer untouched, when they are refused.
bool zorvant_footer_parse(const uint8_t *data, size_t size, uint64_t fileLength, const ZorvantHeader &header,
                          ZorvantFooter *footer);

// Appends the entries in size bytes (a multiple of 4) of the index to
// *index, checking each entry's kind and stored length and that its stored
// bytes end at or before footer.indexOffset. False at the first refused
// entry; *index then holds the entries before it.
bool zorvant_index_append(const uint8_t *data, size_t size, const ZorvantHeader &header,
                          const ZorvantFooter &footer, ZorvantIndex *index);

} // namespace ZV
