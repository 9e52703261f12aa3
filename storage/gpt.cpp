// Reading a GUID partition table (layout in gpt.h).
//
// Implementation notes:
// - Every LBA is turned into a byte offset only after checking that
//   LBA x block size fits 64 bits.
// - The entry array's size is computed in 64 bits from the header's count
//   and entry size and bounded by maxEntryArrayBytes before anything is
//   allocated; entries are walked at the declared entry size, of which only
//   the first 128 bytes are interpreted.
// - Names are decoded leniently: an unpaired surrogate becomes U+FFFD, and
//   the name ends at the first zero unit or after 36 units.
#include "storage/gpt.h"

#include <zlib.h>

#include "foundation/encoding.h"
#include "foundation/sysutil.h"
#include "storage/mbr.h"

namespace ZV {

namespace {

constexpr uint8_t kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr uint32_t kRevision = 0x00010000;
constexpr uint8_t kProtectiveType = 0xEE;

// Parses the 92 header bytes. False when the signature, revision or header
// size is wrong.
bool parseHeader(const uint8_t *h, GPTHeader *header)
{
    *header = GPTHeader();
    for (size_t i = 0; i < sizeof kSignature; ++i)
        if (h[i] != kSignature[i])
            return false;
    if (get_le32(h + 8) != kRevision || get_le32(h + 12) < GPT::headerBytes)
        return false;
    header->present = true;
    header->headerSize = get_le32(h + 12);
    header->headerCrc = get_le32(h + 16);
    header->thisLba = get_le64(h + 24);
    header->otherLba = get_le64(h + 32);
    header->firstUsable = get_le64(h + 40);
    header->lastUsable = get_le64(h + 48);
    header->diskGuid = Guid(h + 56, 16);
    header->entryLba = get_le64(h + 72);
    header->entryCount = get_le32(h + 80);
    header->entrySize = get_le32(h + 84);
    header->entryCrc = get_le32(h + 88);
    return true;
}

// The name field: up to 36 UTF-16LE units, ending at the first zero unit.
std::string decodeName(const uint8_t *field)
{
    uint32_t units = 0;
    while (units < GPT::nameUnits && (field[2 * units] != 0 || field[2 * units + 1] != 0))
        ++units;
    return text_to_utf8(field, TEXT_UTF16LE, int(2 * units));
}

GPTPartition parseEntry(const uint8_t *e)
{
    GPTPartition partition;
    partition.type = Guid(e, 16);
    partition.unique = Guid(e + 16, 16);
    partition.first = get_le64(e + 32);
    partition.last = get_le64(e + 40);
    partition.name = decodeName(e + 56);
    return partition;
}

// Reads count bytes at lba x blockSize; false when the offset would not fit
// 64 bits or the read is short.
bool readBytes(ByteStream &stream, uint32_t blockSize, uint64_t lba, void *to, uint32_t count)
{
    if (lba > UINT64_MAX / blockSize)
        return false;
    return stream.readAt(lba * blockSize, to, count) == int(count);
}

} // namespace

GPT::GPT(std::shared_ptr<ByteStream> stream)
{
    if (!stream || !stream->isOpen())
        return;
    blockSize_ = stream->currentBlockSize();
    if (!MBR(stream, true).hasType(kProtectiveType))
        return;
    valid_ = readTable(*stream, blockSize_, 1, true, &primary_, &primaryEntries_);
    if (!valid_)
        primaryEntries_.clear();
    if (primary_.present)
        backupValid_ = readTable(*stream, blockSize_, primary_.otherLba, false, &backup_, &backupEntries_);
    if (!backupValid_)
        backupEntries_.clear();
}

bool GPT::readTable(ByteStream &stream, uint32_t blockSize, uint64_t lba, bool primary, GPTHeader *header,
                    std::vector<GPTPartition> *entries)
{
    entries->clear();
    uint8_t bytes[headerBytes];
    if (!readBytes(stream, blockSize, lba, bytes, headerBytes) || !parseHeader(bytes, header))
        return false;
    if (primary && header->entryLba != 2)
        return false;
    const uint32_t size = header->entrySize;
    const uint64_t arrayBytes = uint64_t(header->entryCount) * size; // both 32-bit: cannot wrap
    if (size < minEntrySize || size % 8 != 0 || arrayBytes > maxEntryArrayBytes)
        return false;
    std::vector<uint8_t> array(arrayBytes);
    if (arrayBytes != 0 && !readBytes(stream, blockSize, header->entryLba, array.data(), uint32_t(arrayBytes)))
        return false;
    if (crc32(0L, array.data(), uInt(arrayBytes)) != header->entryCrc)
        return false;
    for (uint64_t at = 0; at < arrayBytes; at += size) {
        GPTPartition partition = parseEntry(array.data() + at);
        if (partition.first != 0 && partition.last != 0 && partition.first <= partition.last)
            entries->push_back(std::move(partition));
    }
    return true;
}

} // namespace ZV
