// Writes the own sector-image format ("ZRVTDSK1") for the tests, from the
// published layout and with no code shared with the reader:
//
//   0 magic "ZRVTDSK1"   8 chunk size (u32)   12 compression (0 zlib,
//   1 bzip2)   13 sector size code (0: 512, 1: 4096)   14 two zero bytes
//   16 the chunks' stored bytes in index order
//   then the index (u32 per chunk: kind << 28 | stored length; kinds 0
//   empty, 1 compressed, 2 plain), the sector count (u64) and the entry
//   count N (u32), all little-endian.
//
// By default each chunk is stored the way a writer would: left out when all
// zeros, compressed when that is smaller, plain otherwise. Compressed asks
// for compression wherever the stored bytes fit the chunk size. A short last
// chunk (data not a whole number of chunks) is stored with only the bytes
// there are. Tests poke the result at the offsets ZorvantLayout reports.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/storage/images/byte_order_support.h"
#include "tests/storage/images/compressor.h"

namespace zvtest {

enum class ZorvantStore { Auto, Compressed, Plain };

struct ZorvantWriterOptions {
    uint32_t chunkSize = 65536;
    int compression = 0;            // 0 zlib, 1 bzip2
    uint32_t sectorSize = 512;      // 512 or 4096
    ZorvantStore store = ZorvantStore::Auto;
};

// Where the writer put things, for tests that edit the image.
struct ZorvantLayout {
    std::vector<uint32_t> entries;      // as written
    std::vector<uint64_t> offsets;      // file offset of each chunk's stored bytes
    uint64_t indexOffset = 0;           // file offset of the index
    uint64_t sectorCountOffset = 0;     // file offset of the sector count
    uint64_t entryCountOffset = 0;      // file offset of N
};

inline std::string appendLittleEndian(std::string bytes, uint64_t value, int count)
{
    bytes.append(size_t(count), '\0');
    putLittleEndian(bytes, bytes.size() - size_t(count), value, count);
    return bytes;
}

inline uint32_t zorvantEntry(uint32_t kind, uint32_t length) { return kind << 28 | length; }

// The image of data (a whole number of sectors) in the own format.
inline std::string zorvantImage(const std::string &data, const ZorvantWriterOptions &o = {},
                                ZorvantLayout *layout = nullptr)
{
    if ((o.sectorSize != 512 && o.sectorSize != 4096) || data.size() % o.sectorSize != 0)
        throw std::invalid_argument("zorvantImage: bad sector size or data length");
    std::string image = "ZRVTDSK1";
    image = appendLittleEndian(image, o.chunkSize, 4);
    image += char(o.compression);
    image += char(o.sectorSize == 4096 ? 1 : 0);
    image += std::string(2, '\0');
    ZorvantLayout out;
    for (size_t at = 0; at < data.size(); at += o.chunkSize) {
        const std::string chunk = data.substr(at, o.chunkSize);
        const std::string packed = o.store == ZorvantStore::Plain ? std::string()
                                   : o.compression == 0           ? zlibCompress(chunk)
                                                                  : bzip2Compress(chunk);
        uint32_t kind = 2;
        std::string stored = chunk;
        // A chunk's stored bytes never exceed the chunk size: one that does
        // not shrink enough is stored plain even when compression is asked.
        if ((o.store == ZorvantStore::Compressed && packed.size() <= o.chunkSize) ||
            (o.store == ZorvantStore::Auto && packed.size() < chunk.size()))
            kind = 1, stored = packed;
        if (o.store == ZorvantStore::Auto && chunk.find_first_not_of('\0') == std::string::npos)
            kind = 0, stored.clear();
        if (stored.size() >= (1u << 28))
            throw std::runtime_error("zorvantImage: chunk too large");
        out.entries.push_back(zorvantEntry(kind, uint32_t(stored.size())));
        out.offsets.push_back(image.size());
        image += stored;
    }
    out.indexOffset = image.size();
    for (uint32_t entry : out.entries)
        image = appendLittleEndian(image, entry, 4);
    out.sectorCountOffset = image.size();
    image = appendLittleEndian(image, data.size() / o.sectorSize, 8);
    out.entryCountOffset = image.size();
    image = appendLittleEndian(image, out.entries.size(), 4);
    if (layout)
        *layout = out;
    return image;
}

// An image laid out by hand: the header fields, the stored bytes, the index
// entries, the sector count and N as given (N defaults to the entry count).
inline std::string zorvantRaw(uint32_t chunkSize, uint8_t compression, uint8_t sectorCode, const std::string &stored,
                              const std::vector<uint32_t> &entries, uint64_t sectorCount, int64_t count = -1)
{
    std::string image = appendLittleEndian("ZRVTDSK1", chunkSize, 4);
    image += char(compression);
    image += char(sectorCode);
    image += std::string(2, '\0');
    image += stored;
    for (uint32_t entry : entries)
        image = appendLittleEndian(image, entry, 4);
    image = appendLittleEndian(image, sectorCount, 8);
    return appendLittleEndian(image, count < 0 ? entries.size() : uint64_t(count), 4);
}

} // namespace zvtest
