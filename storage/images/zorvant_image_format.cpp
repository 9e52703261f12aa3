// The own sector-image format's header, footer and index (layout and checks
// in zorvant_image_format.h).
#include "storage/images/zorvant_image_format.h"

#include <cstring>

#include "foundation/sysutil.h"

namespace ZV {

namespace {

constexpr uint32_t kSectorSizes[] = {512, 4096}; // by sector size code

} // namespace

bool zorvant_header_parse(const uint8_t *data, size_t size, ZorvantHeader *header)
{
    if (data == nullptr || size < kZorvantHeaderSize || std::memcmp(data, kZorvantMagic, sizeof kZorvantMagic) != 0)
        return false;
    const uint32_t chunkSize = get_le32(data + 8);
    const uint8_t compression = data[12], sectorCode = data[13];
    if (compression != kZorvantCompressionZlib && compression != kZorvantCompressionBzip2)
        return false;
    if (sectorCode >= sizeof kSectorSizes / sizeof kSectorSizes[0] || data[14] != 0 || data[15] != 0)
        return false;
    const uint32_t sectorSize = kSectorSizes[sectorCode];
    if (chunkSize == 0 || chunkSize > kZorvantMaxChunkSize || chunkSize % sectorSize != 0)
        return false;
    header->chunkSize = chunkSize;
    header->compression = compression;
    header->sectorSize = sectorSize;
    header->sectorsPerChunk = chunkSize / sectorSize;
    return true;
}

bool zorvant_footer_parse(const uint8_t *data, size_t size, uint64_t fileLength, const ZorvantHeader &header,
                          ZorvantFooter *footer)
{
    if (data == nullptr || size < kZorvantFooterSize || header.sectorsPerChunk == 0)
        return false;
    const uint64_t sectorCount = get_le64(data);
    const uint32_t entryCount = get_le32(data + 8);
    if (sectorCount == 0 || entryCount == 0 || entryCount > kZorvantMaxIndexEntries)
        return false;
    // 64-bit sums of 32-bit values: no wrap.
    const uint64_t indexBytes = uint64_t(entryCount) * kZorvantEntrySize;
    if (fileLength < kZorvantHeaderSize + indexBytes + kZorvantFooterSize)
        return false;
    // N x S < 2^26 x 2^17: no wrap.
    if (sectorCount > uint64_t(entryCount) * header.sectorsPerChunk)
        return false;
    footer->sectorCount = sectorCount;
    footer->entryCount = entryCount;
    footer->indexOffset = fileLength - kZorvantFooterSize - indexBytes;
    return true;
}

bool zorvant_index_append(const uint8_t *data, size_t size, const ZorvantHeader &header,
                          const ZorvantFooter &footer, ZorvantIndex *index)
{
    if (size % kZorvantEntrySize != 0 || index->entries.size() + size / kZorvantEntrySize > footer.entryCount)
        return false;
    for (size_t at = 0; at < size; at += kZorvantEntrySize) {
        const uint32_t entry = get_le32(data + at);
        const uint32_t kind = zorvant_entry_kind(entry), length = zorvant_entry_length(entry);
        if (kind > kZorvantChunkPlain || length > header.chunkSize)
            return false;
        // nextOffset <= indexOffset holds before the entry, length < 2^28:
        // no wrap.
        if (length > footer.indexOffset - index->nextOffset)
            return false;
        index->entries.push_back(entry);
        index->offsets.push_back(index->nextOffset);
        index->nextOffset += length;
        if (kind != kZorvantChunkEmpty && length > index->largestStored)
            index->largestStored = length;
    }
    return true;
}

} // namespace ZV
