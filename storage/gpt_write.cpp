// Writing a new GUID partition table with its protective MBR (layout in
// gpt.h).
//
// Implementation notes:
// - Everything is checked and built in memory before the first write, so a
//   refused request leaves the disk untouched.
// - Each header and the protective MBR go out as a whole sector of the
//   block size, zero beyond their bytes, and the entry array as es whole
//   sectors: a block device then only ever sees whole-sector writes, and
//   firmware that checks the rest of a header sector finds zeros.
// - The protective MBR keeps 0xFF 0xFF 0xFF in both CHS fields (some
//   firmware expects 0x00 0x02 0x00 as the first CHS; tools accept both).
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "foundation/encoding.h"
#include "foundation/sysutil.h"
#include "storage/gpt.h"

namespace ZV {

namespace {

constexpr uint32_t kMinBlockSize = 512;
constexpr uint32_t kMaxBlockSize = 65536;

// The name as UTF-16, at most 36 units, never ending in the first half of a
// surrogate pair.
std::u16string encodeName(const std::string &name)
{
    std::u16string units = utf8ToWide(name);
    while (!units.empty() && units.back() == 0)
        units.pop_back();
    if (units.size() > GPT::nameUnits) {
        units.resize(GPT::nameUnits);
        if (units.back() >= 0xD800 && units.back() <= 0xDBFF)
            units.pop_back();
    }
    return units;
}

// True when every partition lies in [firstUsable, lastUsable] with
// first <= last and no two share an LBA.
bool partitionsFit(const std::vector<GPTPartition> &partitions, uint64_t firstUsable, uint64_t lastUsable)
{
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    for (const GPTPartition &p : partitions) {
        if (p.first > p.last || p.first < firstUsable || p.last > lastUsable)
            return false;
        extents.emplace_back(p.first, p.last);
    }
    std::sort(extents.begin(), extents.end());
    for (size_t i = 1; i < extents.size(); ++i)
        if (extents[i].first <= extents[i - 1].second)
            return false;
    return true;
}

// seek, then write all of count bytes.
bool writeAt(ByteStream &stream, uint64_t offset, const std::vector<uint8_t> &bytes)
{
    return stream.seek(offset) && stream.write(bytes.data(), uint32_t(bytes.size())) == int(bytes.size());
}

} // namespace

bool GPT::write(std::shared_ptr<ByteStream> stream, const std::vector<GPTPartition> &partitions)
{
    if (!stream || !stream->isOpen() || partitions.size() > writeEntryCount)
        return false;
    const uint32_t bs = stream->currentBlockSize();
    if (bs < kMinBlockSize || bs > kMaxBlockSize || (bs & (bs - 1)) != 0)
        return false;
    const uint64_t total = stream->length() / bs;
    const uint64_t es = (writeArrayBytes + bs - 1) / bs;
    if (total < 2 * es + 3)
        return false;
    const uint64_t firstUsable = es + 2;
    const uint64_t lastUsable = total - es - 2;
    if (!partitionsFit(partitions, firstUsable, lastUsable))
        return false;

    // Entry array: 128 entries, then zeros up to es whole sectors.
    std::vector<uint8_t> array(es * bs, 0);
    for (size_t i = 0; i < partitions.size(); ++i) {
        const GPTPartition &p = partitions[i];
        uint8_t *e = array.data() + i * writeEntrySize;
        const Guid unique = p.unique.isNull() ? Guid::random() : p.unique;
        std::memcpy(e, p.type.data(), 16);
        std::memcpy(e + 16, unique.data(), 16);
        set_le(e + 32, p.first, 8);
        set_le(e + 40, p.last, 8);
        const std::u16string name = encodeName(p.name);
        for (size_t u = 0; u < name.size(); ++u)
            set_le(e + 56 + 2 * u, uint16_t(name[u]), 2);
    }
    const uint32_t arrayCrc = uint32_t(crc32(0L, array.data(), writeArrayBytes));

    // Headers: the backup is the primary with the LBAs swapped and its own
    // entry LBA; each CRC covers its 92 bytes with the CRC field zero.
    std::vector<uint8_t> primary(bs, 0);
    uint8_t *h = primary.data();
    std::memcpy(h, "EFI PART", 8);
    set_le(h + 8, 0x00010000, 4);
    set_le(h + 12, headerBytes, 4);
    set_le(h + 24, 1, 8);
    set_le(h + 32, total - 1, 8);
    set_le(h + 40, firstUsable, 8);
    set_le(h + 48, lastUsable, 8);
    std::memcpy(h + 56, Guid::random().data(), 16);
    set_le(h + 72, 2, 8);
    set_le(h + 80, writeEntryCount, 4);
    set_le(h + 84, writeEntrySize, 4);
    set_le(h + 88, arrayCrc, 4);
    std::vector<uint8_t> backup = primary;
    set_le(backup.data() + 24, total - 1, 8);
    set_le(backup.data() + 32, 1, 8);
    set_le(backup.data() + 72, total - 1 - es, 8);
    set_le(primary.data() + 16, uint32_t(crc32(0L, primary.data(), headerBytes)), 4);
    set_le(backup.data() + 16, uint32_t(crc32(0L, backup.data(), headerBytes)), 4);

    // Protective MBR: one 0xEE entry from LBA 1 over the rest of the disk
    // (0xFFFFFFFF when that does not fit 32 bits).
    std::vector<uint8_t> pmbr(bs, 0);
    uint8_t *m = pmbr.data() + 446;
    m[0] = 0x00;
    m[1] = m[2] = m[3] = 0xFF;
    m[4] = 0xEE;
    m[5] = m[6] = m[7] = 0xFF;
    set_le(m + 8, 1, 4);
    set_le(m + 12, total - 1 > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total - 1), 4);
    pmbr[510] = 0x55;
    pmbr[511] = 0xAA;

    return writeAt(*stream, 0, pmbr) && writeAt(*stream, bs, primary) && writeAt(*stream, 2 * uint64_t(bs), array) &&
           writeAt(*stream, (total - 1) * bs, backup) && writeAt(*stream, (total - 1 - es) * bs, array);
}

} // namespace ZV
