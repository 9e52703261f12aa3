// Parsing and checking the UDIF trailer and block tables (layout in
// udif_format.h).
//
// Implementation notes:
// - Every range is checked in subtraction form against its container
//   (table inside the image, chunk inside its table, stored bytes inside
//   the file), so no sum of values from the image can wrap.
// - A table's length is checked against its chunk count in 64 bits:
//   (length - 204) must be exactly 40 x count.
// - Overlapping chunks are refused: a sector described twice has no single
//   answer, and a sorted disjoint index lets a read find its chunk by
//   binary search instead of a walk over every table.
// - Chunks of no sectors cover nothing and are left out of the index;
//   comment and end entries are never read, so their fields are not checked.
#include "storage/images/udif_format.h"

#include <algorithm>

#include "foundation/console_log.h"
#include "foundation/sysutil.h"
#include "storage/images/property_list.h"

namespace ZV {

namespace {

constexpr uint32_t kTrailerSignature = 0x6B6F6C79; // "koly"
constexpr uint32_t kTrailerVersion = 4;
constexpr uint32_t kTableSignature = 0x6D697368;   // "mish"

bool isReadable(uint32_t type)
{
    return type == kUDIFChunkZero || type == kUDIFChunkRaw || type == kUDIFChunkIgnore || type == kUDIFChunkZlib ||
           type == kUDIFChunkBzip2;
}

bool hasStoredBytes(uint32_t type)
{
    return type == kUDIFChunkRaw || type == kUDIFChunkZlib || type == kUDIFChunkBzip2;
}

// True when [first, first + count) lies inside [0, limit).
bool inside(uint64_t first, uint64_t count, uint64_t limit)
{
    return count <= limit && first <= limit - count;
}

} // namespace

int udif_trailer_parse(const uint8_t *data, size_t size, uint64_t fileLength, UDIFTrailer *trailer)
{
    if (data == nullptr || size < kUDIFTrailerSize || fileLength < kUDIFTrailerSize)
        return kUDIFNotMine;
    if (get_be32(data) != kTrailerSignature)
        return kUDIFNotMine;
    UDIFTrailer safe;
    safe.xmlOffset = get_be64(data + 216);
    safe.xmlLength = get_be64(data + 224);
    safe.sectorCount = get_be64(data + 492);
    if (get_be32(data + 4) != kTrailerVersion || get_be32(data + 8) != kUDIFTrailerSize) {
        ZV::log(6, "UDIF: unsupported trailer version %u or size %u", get_be32(data + 4), get_be32(data + 8));
        return kUDIFInvalid;
    }
    if (safe.xmlOffset == 0 || safe.xmlLength == 0 || safe.sectorCount == 0 || safe.sectorCount > kUDIFMaxSectors) {
        ZV::log(6, "UDIF: trailer without XML or sectors");
        return kUDIFInvalid;
    }
    if (safe.xmlLength > kUDIFMaxXMLLength || !inside(safe.xmlOffset, safe.xmlLength, fileLength - kUDIFTrailerSize)) {
        ZV::log(6, "UDIF: XML at %llu (%llu bytes) outside the file", (unsigned long long)safe.xmlOffset,
                (unsigned long long)safe.xmlLength);
        return kUDIFInvalid;
    }
    *trailer = safe;
    return kUDIFOk;
}

int udif_block_table_parse(const uint8_t *data, size_t size, UDIFBlockTable *table)
{
    if (data == nullptr || size < kUDIFTableHeaderSize || get_be32(data) != kTableSignature)
        return kUDIFInvalid;
    const uint64_t count = get_be32(data + 200);
    if ((size - kUDIFTableHeaderSize) % kUDIFChunkEntrySize != 0 ||
        (size - kUDIFTableHeaderSize) / kUDIFChunkEntrySize != count) {
        ZV::log(6, "UDIF: block table of %zu bytes for %llu chunks", size, (unsigned long long)count);
        return kUDIFInvalid;
    }
    UDIFBlockTable safe;
    safe.firstSector = get_be64(data + 8);
    safe.sectorCount = get_be64(data + 16);
    safe.dataOffset = get_be64(data + 24);
    safe.chunks.reserve(count);
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t *entry = data + kUDIFTableHeaderSize + i * kUDIFChunkEntrySize;
        UDIFChunk chunk;
        chunk.type = get_be32(entry);
        if (chunk.type == kUDIFChunkADC) {
            ZV::log(2, "UDIF: ADC compression images not supported");
            return kUDIFInvalid;
        }
        if (!isReadable(chunk.type) && chunk.type != kUDIFChunkComment && chunk.type != kUDIFChunkEnd) {
            ZV::log(2, "UDIF: Unknown type 0x%08X", chunk.type);
            return kUDIFInvalid;
        }
        chunk.firstSector = get_be64(entry + 8);
        chunk.sectorCount = get_be64(entry + 16);
        chunk.storedOffset = get_be64(entry + 24);
        chunk.storedLength = get_be64(entry + 32);
        safe.chunks.push_back(chunk);
    }
    *table = std::move(safe);
    return kUDIFOk;
}

int udif_tables_from_xml(const uint8_t *xml, size_t size, std::vector<UDIFBlockTable> *tables)
{
    const PropertyList plist = PropertyList::parse(xml, size);
    const PropertyList fork = plist["resource-fork"];
    const PropertyList blkx = fork["blkx"];
    if (!plist.isDict() || !fork.isDict() || !blkx.isArray()) {
        ZV::log(6, "UDIF: no block tables in the property list");
        return kUDIFInvalid;
    }
    std::vector<UDIFBlockTable> safe;
    for (const PropertyList &element : *blkx.array()) {
        const PropertyList data = element["Data"];
        if (!data.isData())
            return kUDIFInvalid;
        const std::shared_ptr<Buffer> bytes = data.data();
        UDIFBlockTable table;
        if (udif_block_table_parse(bytes->data(), bytes->length(), &table) != kUDIFOk)
            return kUDIFInvalid;
        safe.push_back(std::move(table));
    }
    *tables = std::move(safe);
    return kUDIFOk;
}

int udif_index_build(const std::vector<UDIFBlockTable> &tables, uint64_t sectorCount, uint64_t fileLength,
                     std::vector<UDIFRun> *runs)
{
    std::vector<UDIFRun> safe;
    for (size_t t = 0; t < tables.size(); t++) {
        const UDIFBlockTable &table = tables[t];
        if (!inside(table.firstSector, table.sectorCount, sectorCount)) {
            ZV::log(6, "UDIF: table %zu (sectors %llu+%llu) outside the image", t,
                    (unsigned long long)table.firstSector, (unsigned long long)table.sectorCount);
            return kUDIFInvalid;
        }
        for (const UDIFChunk &chunk : table.chunks) {
            if (!isReadable(chunk.type) || chunk.sectorCount == 0)
                continue;
            if (!inside(chunk.firstSector, chunk.sectorCount, table.sectorCount) ||
                chunk.sectorCount > kUDIFMaxChunkSectors) {
                ZV::log(6, "UDIF: chunk (sectors %llu+%llu) outside table %zu or too large",
                        (unsigned long long)chunk.firstSector, (unsigned long long)chunk.sectorCount, t);
                return kUDIFInvalid;
            }
            UDIFRun run;
            run.firstSector = table.firstSector + chunk.firstSector;
            run.sectorCount = chunk.sectorCount;
            run.type = chunk.type;
            run.table = uint32_t(t);
            if (hasStoredBytes(chunk.type)) {
                if (chunk.type == kUDIFChunkRaw && chunk.storedLength > chunk.sectorCount * kUDIFSectorSize) {
                    ZV::log(6, "UDIF: raw chunk stores %llu bytes for %llu sectors",
                            (unsigned long long)chunk.storedLength, (unsigned long long)chunk.sectorCount);
                    return kUDIFInvalid;
                }
                if (!inside(table.dataOffset, 0, fileLength) ||
                    !inside(chunk.storedOffset, chunk.storedLength, fileLength - table.dataOffset)) {
                    ZV::log(6, "UDIF: chunk data at %llu+%llu (%llu bytes) outside the file",
                            (unsigned long long)table.dataOffset, (unsigned long long)chunk.storedOffset,
                            (unsigned long long)chunk.storedLength);
                    return kUDIFInvalid;
                }
                run.fileOffset = table.dataOffset + chunk.storedOffset;
                run.storedLength = chunk.storedLength;
            }
            safe.push_back(run);
        }
    }
    std::sort(safe.begin(), safe.end(),
              [](const UDIFRun &a, const UDIFRun &b) { return a.firstSector < b.firstSector; });
    for (size_t i = 1; i < safe.size(); i++) {
        if (safe[i].firstSector - safe[i - 1].firstSector < safe[i - 1].sectorCount) {
            ZV::log(6, "UDIF: chunks overlap at sector %llu", (unsigned long long)safe[i].firstSector);
            return kUDIFInvalid;
        }
    }
    *runs = std::move(safe);
    return kUDIFOk;
}

long udif_index_find(const std::vector<UDIFRun> &runs, uint64_t sector)
{
    // The first run starting after sector; the one before it is the candidate.
    auto after = std::upper_bound(runs.begin(), runs.end(), sector,
                                  [](uint64_t s, const UDIFRun &run) { return s < run.firstSector; });
    if (after == runs.begin())
        return -1;
    const UDIFRun &run = *(after - 1);
    if (sector - run.firstSector >= run.sectorCount)
        return -1;
    return long(after - 1 - runs.begin());
}

} // namespace ZV
