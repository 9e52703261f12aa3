// The own sector-image format: opening and reading sectors (see
// zorvant_image.h; the layout and its checks in zorvant_image_format.h).
#include "storage/images/zorvant_image.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace ZV {

namespace {

// The index is read in pieces of this many bytes (a multiple of the entry
// size), so that no copy of the whole index is held besides the table.
constexpr uint32_t kIndexReadPiece = 1u << 20;

} // namespace

DiskImageZorvant::DiskImageZorvant(const std::shared_ptr<ByteStream> &stream) : stream_(stream)
{
    const std::invalid_argument refused("invalid disk image");
    uint8_t head[kZorvantHeaderSize], foot[kZorvantFooterSize];
    if (!stream_ || stream_->readAt(0, head, sizeof head) != int(sizeof head) ||
        !zorvant_header_parse(head, sizeof head, &header_))
        throw refused;
    imageSize_ = stream_->length();
    if (imageSize_ < sizeof foot || stream_->readAt(imageSize_ - sizeof foot, foot, sizeof foot) != int(sizeof foot) ||
        !zorvant_footer_parse(foot, sizeof foot, imageSize_, header_, &footer_))
        throw refused;

    // N is bounded by the file (the footer check) and by the cap; an index
    // the machine cannot hold refuses the image like any other.
    std::unique_ptr<uint8_t[]> piece;
    try {
        index_.entries.reserve(footer_.entryCount);
        index_.offsets.reserve(footer_.entryCount);
        piece.reset(new uint8_t[kIndexReadPiece]);
    } catch (const std::bad_alloc &) {
        throw refused;
    }
    uint64_t left = uint64_t(footer_.entryCount) * kZorvantEntrySize;
    uint64_t at = footer_.indexOffset;
    while (left > 0) {
        const uint32_t count = uint32_t(std::min<uint64_t>(left, kIndexReadPiece));
        if (stream_->readAt(at, piece.get(), count) != int(count) ||
            !zorvant_index_append(piece.get(), count, header_, footer_, &index_))
            throw refused;
        at += count;
        left -= count;
    }
}

uint32_t DiskImageZorvant::sectorSize() { return header_.sectorSize; }
uint64_t DiskImageZorvant::numSectors() { return footer_.sectorCount; }
uint64_t DiskImageZorvant::imageSize() { return imageSize_; }
bool DiskImageZorvant::verify() { return false; }

bool DiskImageZorvant::decompress(uint32_t storedLength)
{
    if (storedLength == 0) // no stream at all: never a whole chunk
        return false;
    // Room of twice the chunk size: a stream giving more than that fails;
    // the bytes past the chunk size are not served.
    const uint32_t room = 2 * header_.chunkSize;
    if (!output_)
        output_.reset(new uint8_t[room]);
    uint64_t produced = 0;
    if (header_.compression == kZorvantCompressionZlib) {
        uLongf length = room;
        if (uncompress(output_.get(), &length, input_.get(), storedLength) != Z_OK)
            return false;
        produced = length;
    } else {
        unsigned int length = room;
        if (BZ2_bzBuffToBuffDecompress(reinterpret_cast<char *>(output_.get()), &length,
                                       reinterpret_cast<char *>(input_.get()), storedLength, 0, 0) != BZ_OK)
            return false;
        produced = length;
    }
    heldData_ = output_.get();
    heldBytes_ = uint32_t(std::min<uint64_t>(produced, header_.chunkSize));
    return true;
}

bool DiskImageZorvant::loadChunk(uint64_t chunk)
{
    // The buffers are about to be overwritten: whatever they held is gone,
    // whether this load succeeds or not.
    heldChunk_ = kNoChunk;
    heldData_ = nullptr;
    heldBytes_ = 0;
    const uint32_t entry = index_.entries[chunk];
    const uint32_t kind = zorvant_entry_kind(entry), length = zorvant_entry_length(entry);
    if (kind != kZorvantChunkEmpty) {
        try {
            if (!input_ && index_.largestStored > 0)
                input_.reset(new uint8_t[index_.largestStored]);
            // length <= largestStored, checked at open.
            if (length > 0 && stream_->readAt(index_.offsets[chunk], input_.get(), length) != int(length))
                return false;
            if (kind == kZorvantChunkPlain) {
                heldData_ = input_.get();
                heldBytes_ = length;
            } else if (!decompress(length)) {
                return false;
            }
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    heldChunk_ = chunk;
    return true;
}

bool DiskImageZorvant::readSector(uint64_t sector, void *destination, uint32_t size)
{
    if (destination == nullptr || size != header_.sectorSize || sector >= footer_.sectorCount)
        return false;
    // sectorCount <= N x S (checked at open): the chunk has an entry.
    const uint64_t chunk = sector / header_.sectorsPerChunk;
    if (chunk != heldChunk_ && !loadChunk(chunk))
        return false;
    const uint32_t at = uint32_t(sector % header_.sectorsPerChunk) * header_.sectorSize;
    const uint32_t copied = at < heldBytes_ ? std::min(size, heldBytes_ - at) : 0;
    if (copied > 0)
        std::memcpy(destination, heldData_ + at, copied);
    std::memset(static_cast<uint8_t *>(destination) + copied, 0, size - copied);
    return true;
}

} // namespace ZV
