// The MBR reader (with and without the size check) and the GPT reader on
// arbitrary bytes seen as a disk in memory, once with 512-byte and once with
// 4096-byte sectors. Checked besides memory safety and termination: with the
// size check every MBR partition ends inside the disk, the extended chains
// stay within their bound, and a GPT lists no more entries than its capped
// array holds, each with first <= last.
//
// Seeds (corpus/mbr_gpt/), each a whole small disk made by the tools:
//   dos, dos_lba_ext, dos_linux_ext  sfdisk label dos on 8 KiB: a primary at 1
//       and a container (type 5, f, 85) at 4 holding logicals at 5 and 10;
//   dos_cyclic       dos with a link in the second EBR (sector 9) back to itself;
//   dos4k            sfdisk label dos on a 24 KiB loop device of 4096-byte sectors;
//   gpt              sfdisk label gpt, table-length 4, first-lba 3, on 8 KiB;
//   gpt4k            the same layout on a 32 KiB 4096-byte-sector loop device;
//   gpt_truncated    the first 1536 bytes of gpt;
//   superfloppy_fat  the first 4 KiB of mkfs.fat -C on 1440 KiB.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "foundation/buffer.h"
#include "storage/gpt.h"
#include "storage/mbr.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// A buffer stream reporting a chosen sector size.
class SectorStream : public ZV::ByteStreamBuffer {
public:
    SectorStream(ZV::Buffer *buffer, uint32_t sectorSize) : ZV::ByteStreamBuffer(buffer), sectorSize_(sectorSize) {}
    uint32_t blockSize() override { return sectorSize_; }

private:
    uint32_t sectorSize_;
};

void readAll(ZV::Buffer *disk, uint32_t sectorSize)
{
    const uint64_t sectors = disk->length() / sectorSize;
    // Four primaries, each an extended container of at most maxChain EBRs
    // with at most four records each.
    const size_t mostRecords = 4 * ZV::MBR::maxChain * 4;
    for (bool sizeCheck : {true, false}) {
        auto stream = std::make_shared<SectorStream>(disk, sectorSize);
        require(stream->open(ZV::ByteStream::modeRead));
        const ZV::MBR mbr(stream, sizeCheck);
        const std::vector<ZV::MBRPartition> list = mbr.partitions();
        require(list.size() <= mostRecords);
        require(mbr.isValid() || list.empty());
        for (const ZV::MBRPartition &p : list) {
            require(p.first != 0 && p.count != 0);
            if (sizeCheck)
                require(uint64_t(p.first) + p.count <= sectors);
        }
    }
    auto stream = std::make_shared<SectorStream>(disk, sectorSize);
    require(stream->open(ZV::ByteStream::modeRead));
    const ZV::GPT gpt(stream);
    const size_t mostEntries = ZV::GPT::maxEntryArrayBytes / ZV::GPT::minEntrySize;
    require(gpt.isValid() || gpt.partitions().empty());
    for (const auto &list : {gpt.partitions(), gpt.backupPartitions()}) {
        require(list.size() <= mostEntries);
        for (const ZV::GPTPartition &p : list)
            require(p.first != 0 && p.first <= p.last);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZV::Buffer disk(data, size);
    readAll(&disk, 512);
    readAll(&disk, 4096);
    return 0;
}
