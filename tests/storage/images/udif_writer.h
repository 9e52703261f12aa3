// A small UDIF writer for the tests: the source bytes cut into block tables
// of chunks stored raw, zero, ignored, zlib or bzip2, each table base64 in
// an XML property list, and the "koly" trailer at the end.
//
// Writing happens in two steps so tests can damage an image at named
// offsets in between: udifBuild lays the data fork and the big-endian
// block tables (UdifParts), udifAssemble appends the property list and the
// trailer. Offsets of the fields are the udif* constants below.
//
// The writer shares no code with the reader: it has its own layout
// constants and base64 encoder, and the tests' byte-order stores.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/storage/images/byte_order_support.h"
#include "tests/storage/images/compressor.h"

namespace zvtest {

// Chunk types.
constexpr uint32_t udifZero = 0x00000000;
constexpr uint32_t udifRaw = 0x00000001;
constexpr uint32_t udifIgnore = 0x00000002;
constexpr uint32_t udifComment = 0x7FFFFFFE;
constexpr uint32_t udifADC = 0x80000004;
constexpr uint32_t udifZlib = 0x80000005;
constexpr uint32_t udifBzip2 = 0x80000006;
constexpr uint32_t udifEnd = 0xFFFFFFFF;

// Field offsets. Trailer (from its start, the file's last 512 bytes):
constexpr size_t udifKolyVersion = 4, udifKolyHeaderSize = 8, udifKolyXmlOffset = 216, udifKolyXmlLength = 224,
                 udifKolySectors = 492;
// Block table header and chunk entries (entry i at udifMishEntries + 40 i):
constexpr size_t udifMishFirst = 8, udifMishCount = 16, udifMishDataOffset = 24, udifMishChunkCount = 200,
                 udifMishEntries = 204, udifEntrySize = 40;
// Inside an entry:
constexpr size_t udifEntryType = 0, udifEntryFirst = 8, udifEntryCount = 16, udifEntryOffset = 24,
                 udifEntryLength = 32;

inline void putBe32(std::string &bytes, size_t offset, uint32_t value) { putBigEndian(bytes, offset, value, 4); }
inline void putBe64(std::string &bytes, size_t offset, uint64_t value) { putBigEndian(bytes, offset, value, 8); }

inline std::string base64Encode(const std::string &bytes, size_t lineLength = 52, const std::string &indent = "\t\t\t\t")
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            v |= uint8_t(bytes[i + 2]);
        text += alphabet[(v >> 18) & 63];
        text += alphabet[(v >> 12) & 63];
        text += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        text += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    }
    if (lineLength == 0)
        return text;
    std::string lines;
    for (size_t i = 0; i < text.size(); i += lineLength)
        lines += indent + text.substr(i, lineLength) + "\n";
    return lines;
}

inline uint32_t crc32Of(const std::string &bytes)
{
    return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(bytes.data()), uInt(bytes.size())));
}

struct UdifChunkPlan {
    uint32_t type;    // one of the udif* chunk types
    uint64_t sectors; // 512-byte sectors of the source it covers (0 for comments)
};

struct UdifTablePlan {
    std::string name;                  // "Name" and "CFName" of its property-list entry
    std::vector<UdifChunkPlan> chunks; // in order; an end entry is added
};

// The parts of an image before assembly.
struct UdifParts {
    std::string dataFork;            // the stored chunk bytes, from file offset 0
    std::vector<std::string> tables; // one "mish" table per plan, big-endian
    std::vector<std::string> names;
    uint64_t sectors = 0;            // the trailer's sector count
};

// Lays out the source (a whole number of sectors) as planned: the plans'
// sectors must add up to the source's. Zero and ignored chunks must cover
// zero bytes. With relativeOffsets each table's data offset is where its
// chunks start and their stored offsets count from there; otherwise data
// offsets are 0 and stored offsets count from the file's start.
inline UdifParts udifBuild(const std::string &source, const std::vector<UdifTablePlan> &plan,
                           bool relativeOffsets = false)
{
    if (source.size() % 512 != 0)
        throw std::invalid_argument("udifBuild: source not a whole number of sectors");
    UdifParts parts;
    parts.sectors = source.size() / 512;
    uint64_t sector = 0;
    for (size_t t = 0; t < plan.size(); ++t) {
        const UdifTablePlan &table = plan[t];
        uint64_t tableSectors = 0;
        for (const UdifChunkPlan &chunk : table.chunks)
            tableSectors += chunk.sectors;
        const uint64_t dataOffset = relativeOffsets ? parts.dataFork.size() : 0;
        const size_t entries = table.chunks.size() + 1;
        std::string mish(udifMishEntries + udifEntrySize * entries, '\0');
        mish.replace(0, 4, "mish");
        putBe32(mish, 4, 1);
        putBe64(mish, udifMishFirst, sector);
        putBe64(mish, udifMishCount, tableSectors);
        putBe64(mish, udifMishDataOffset, dataOffset);
        putBe32(mish, 32, 0x208);   // buffers needed, as imaging tools write it
        putBe32(mish, 36, uint32_t(t));
        putBe32(mish, 64, 2);       // checksum: CRC-32 (32 bits) of the table's sectors, ignored ones left out
        putBe32(mish, 68, 32);
        std::string covered;
        putBe32(mish, udifMishChunkCount, uint32_t(entries));
        uint64_t relative = 0;
        for (size_t c = 0; c < entries; ++c) {
            const size_t at = udifMishEntries + c * udifEntrySize;
            const bool end = c == table.chunks.size();
            const UdifChunkPlan chunk = end ? UdifChunkPlan{udifEnd, 0} : table.chunks[c];
            if ((sector + relative + chunk.sectors) * 512 > source.size())
                throw std::invalid_argument("udifBuild: plan longer than the source");
            const std::string bytes = source.substr((sector + relative) * 512, chunk.sectors * 512);
            std::string stored;
            switch (chunk.type) {
            case udifZero:
            case udifIgnore:
                if (bytes.find_first_not_of('\0') != std::string::npos)
                    throw std::invalid_argument("udifBuild: zero chunk over data");
                break;
            case udifRaw: stored = bytes; break;
            case udifZlib: stored = zlibCompress(bytes); break;
            case udifBzip2: stored = bzip2Compress(bytes); break;
            default: break; // comments and ends store nothing
            }
            putBe32(mish, at + udifEntryType, chunk.type);
            putBe64(mish, at + udifEntryFirst, relative);
            putBe64(mish, at + udifEntryCount, chunk.sectors);
            putBe64(mish, at + udifEntryOffset, parts.dataFork.size() - dataOffset);
            putBe64(mish, at + udifEntryLength, stored.size());
            parts.dataFork += stored;
            relative += chunk.sectors;
            if (chunk.type != udifIgnore)
                covered += bytes;
        }
        putBe32(mish, 72, crc32Of(covered));
        sector += tableSectors;
        parts.tables.push_back(mish);
        parts.names.push_back(table.name);
    }
    if (sector != parts.sectors)
        throw std::invalid_argument("udifBuild: plan shorter than the source");
    return parts;
}

// The property list naming the tables, as imaging tools lay it out.
inline std::string udifPlist(const UdifParts &parts)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n"
                      "\t\t<key>blkx</key>\n\t\t<array>\n";
    for (size_t t = 0; t < parts.tables.size(); ++t) {
        xml += "\t\t\t<dict>\n"
               "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n"
               "\t\t\t\t<key>CFName</key>\n\t\t\t\t<string>" + parts.names[t] + "</string>\n"
               "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n" + base64Encode(parts.tables[t]) + "\t\t\t\t</data>\n"
               "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" + std::to_string(int(t) - 1) + "</string>\n"
               "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + parts.names[t] + "</string>\n"
               "\t\t\t</dict>\n";
    }
    xml += "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
    return xml;
}

// Data fork, then the property list (xml, or udifPlist(parts) when empty),
// then the trailer.
inline std::string udifAssemble(const UdifParts &parts, const std::string &xml = "")
{
    const std::string plist = xml.empty() ? udifPlist(parts) : xml;
    std::string koly(512, '\0');
    koly.replace(0, 4, "koly");
    putBe32(koly, udifKolyVersion, 4);
    putBe32(koly, udifKolyHeaderSize, 512);
    putBe32(koly, 12, 1);                        // flags: flattened
    putBe64(koly, 24, 0);                        // data fork offset
    putBe64(koly, 32, parts.dataFork.size());    // data fork length
    putBe32(koly, 56, 1);                        // segment 1 of 1
    putBe32(koly, 60, 1);
    putBe32(koly, 80, 2);                        // data fork checksum: CRC-32 (32 bits)
    putBe32(koly, 84, 32);
    putBe32(koly, 88, crc32Of(parts.dataFork));
    putBe64(koly, udifKolyXmlOffset, parts.dataFork.size());
    putBe64(koly, udifKolyXmlLength, plist.size());
    // Master checksum: CRC-32 over the tables' checksums, as stored.
    std::string tableSums;
    for (const std::string &table : parts.tables)
        tableSums += table.substr(72, 4);
    putBe32(koly, 352, 2);
    putBe32(koly, 356, 32);
    putBe32(koly, 360, crc32Of(tableSums));
    putBe32(koly, 488, 1);                       // image variant
    putBe64(koly, udifKolySectors, parts.sectors);
    return parts.dataFork + plist + koly;
}

// One table over the whole source, chunks of chunkSectors sectors: all-zero
// chunks as zeroType, the others as dataType.
inline std::vector<UdifTablePlan> udifUniformPlan(const std::string &source, uint32_t dataType,
                                                  uint64_t chunkSectors = 2048, uint32_t zeroType = udifZero,
                                                  const std::string &name = "disk image")
{
    UdifTablePlan table{name, {}};
    const uint64_t sectors = source.size() / 512;
    for (uint64_t s = 0; s < sectors; s += chunkSectors) {
        const uint64_t n = std::min<uint64_t>(chunkSectors, sectors - s);
        const bool zero = source.find_first_not_of('\0', s * 512) >= (s + n) * 512;
        table.chunks.push_back({zero ? zeroType : dataType, n});
    }
    return {table};
}

} // namespace zvtest
