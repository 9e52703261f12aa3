// Reading the master boot record and its extended chain (layout in mbr.h).
//
// Implementation notes:
// - Every sector is read as its first 512 bytes at sector x block size, a
//   64-bit byte offset, so 4Kn disks work and large sector numbers cannot
//   wrap.
// - The size limit, when on, is applied to each record's absolute extent:
//   for a primary entry that is the entry itself; for a logical partition
//   the EBR's sector plus the relative start; for a link, the container's
//   first sector plus the relative start. Logical starts that do not fit the
//   32-bit record are dropped, with or without the limit.
// - A chain is walked until an EBR without a link, an unreadable EBR or one
//   without the 0x55 0xAA mark, a sector visited before, or maxChain EBRs.
//   Only the first link record of an EBR is followed (the chain does not
//   branch).
#include "storage/mbr.h"

#include <algorithm>

#include "foundation/sysutil.h"

namespace ZV {

namespace {

constexpr uint32_t kRecordBytes = 512;      // an MBR or EBR, whatever the sector size
constexpr size_t kEntryTable = 446;         // offset of the four entries
constexpr size_t kEntryBytes = 16;          // one entry
constexpr uint64_t kNoLimit = UINT64_MAX;   // size check off
constexpr uint64_t kMax32 = 0xFFFFFFFFu;

// One usable entry of a boot record, fields as stored (relative for EBRs).
struct Entry {
    uint8_t type;
    uint32_t first;
    uint32_t count;
};

// Parses a 512-byte boot record into its usable entries: status 0x00, 0x80
// or 0x40 and a non-zero first sector and count. Returns false when the
// sector lacks the 0x55 0xAA mark or has no usable entry.
bool parseBootRecord(const uint8_t *sector, std::vector<Entry> *entries)
{
    entries->clear();
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    for (int i = 0; i < 4; ++i) {
        const uint8_t *entry = sector + kEntryTable + i * kEntryBytes;
        const uint8_t status = entry[0];
        if (status != 0x00 && status != 0x80 && status != 0x40)
            continue;
        const uint32_t first = get_le32(entry + 8);
        const uint32_t count = get_le32(entry + 12);
        if (first == 0 || count == 0)
            continue;
        entries->push_back(Entry{entry[4], first, count});
    }
    return !entries->empty();
}

// Reads the boot record in sector `sector` and parses it. False when the
// offset does not fit 64 bits, the read is short, or the parse fails.
bool readBootRecord(ByteStream &stream, uint32_t sectorSize, uint64_t sector, std::vector<Entry> *entries)
{
    entries->clear();
    if (sector > UINT64_MAX / sectorSize)
        return false;
    uint8_t bytes[kRecordBytes];
    if (stream.readAt(sector * sectorSize, bytes, kRecordBytes) != int(kRecordBytes))
        return false;
    return parseBootRecord(bytes, entries);
}

} // namespace

MBR::MBR(std::shared_ptr<ByteStream> stream, bool sizeCheck)
{
    if (!stream || !stream->isOpen())
        return;
    const uint32_t sectorSize = stream->currentBlockSize();
    const uint64_t limit = sizeCheck ? stream->length() / sectorSize : kNoLimit;

    std::vector<Entry> primary;
    if (!readBootRecord(*stream, sectorSize, 0, &primary))
        return;
    for (const Entry &entry : primary) {
        if (uint64_t(entry.first) + entry.count > limit)
            continue;
        valid_ = true;
        if (isExtended(entry.type))
            readChain(*stream, sectorSize, limit, entry.first);
        else
            partitions_.push_back(MBRPartition{entry.type, entry.first, entry.count});
    }
}

void MBR::readChain(ByteStream &stream, uint32_t sectorSize, uint64_t limit, uint32_t container)
{
    std::vector<uint64_t> visited;
    std::vector<Entry> entries;
    uint64_t ebr = container;
    for (int step = 0; step < maxChain; ++step) {
        if (std::find(visited.begin(), visited.end(), ebr) != visited.end())
            return; // a link back to an EBR already read: the chain is cyclic
        visited.push_back(ebr);
        if (!readBootRecord(stream, sectorSize, ebr, &entries))
            return;
        bool linked = false;
        uint64_t next = 0;
        for (const Entry &entry : entries) {
            if (isExtended(entry.type)) {
                // Links are relative to the outermost container.
                const uint64_t at = uint64_t(container) + entry.first;
                if (!linked && at + entry.count <= limit) {
                    linked = true;
                    next = at;
                }
                continue;
            }
            const uint64_t first = ebr + entry.first; // logical starts are relative to their EBR
            if (first > kMax32 || first + entry.count > limit)
                continue;
            partitions_.push_back(MBRPartition{entry.type, uint32_t(first), entry.count});
        }
        if (!linked)
            return;
        ebr = next;
    }
}

bool MBR::hasType(uint8_t type) const
{
    return std::any_of(partitions_.begin(), partitions_.end(),
                       [type](const MBRPartition &p) { return p.type == type; });
}

} // namespace ZV
