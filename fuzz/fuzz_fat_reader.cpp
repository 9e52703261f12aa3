// The FAT reader on arbitrary bytes seen as a volume in memory: open (with
// the backup boot sector), the whole tree walked live and with erased
// entries, every file's chain, the volume label, and the boot-sector parser
// on the first bytes alone. The live walk keeps the volume's directory
// clusters and a chain budget, as the quick scan does. Checked besides
// memory safety and termination: every extent lies inside the volume, a
// chain never has more bytes than its file's size, no cluster appears
// twice in one chain, and the chains of the budgeted walk take at most
// twice the volume's clusters.
//
// Seeds (corpus/fat_reader/), made by mkfs.fat and mtools:
//   fat12_small     mkfs.fat -C -F 12 on 100 KiB (-r 32 -f 1), with a label,
//                   a folder, long names, a deleted file and a fragmented one;
//   fat12_tiny      the same layout on 64 KiB, two files, no folders;
//   fat16_head      the first 80 KiB of a 2.5 MiB FAT16 volume (-s 1) with
//                   a few files and a folder (its data lies in those 80 KiB);
//   fat32_head      the first 40 KiB of a 33 MiB FAT32 volume: boot sector,
//                   FSInfo and the backup, the start of the first FAT;
//   fat12_crosslinks mkfs.fat -C -F 12 -s 1 -r 64 on 96 KiB, then patched:
//                   three folders whose full cluster links into the tail of
//                   a folder of 20 files, a file whose chain starts inside
//                   another's and one naming its first cluster, 8.3 names
//                   holding "/", "\", "." and control bytes, and a long-name
//                   part left at the end of a sub-folder with the checksum
//                   of the root's next entry.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "scan/fat/fat_reader.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Bounds the walk of one input: folders are entered once each, and at most
// this many entries are looked at.
constexpr size_t kMaxItems = 20000;

struct Walk {
    ZV::Fat *fat = nullptr;
    uint64_t volumeSize = 0;
    uint32_t flags = 0;
    std::set<uint32_t> entered;
    size_t items = 0;
    bool budgeted = false;              // chains and directories kept per volume
    ZV::Fat::ChainBudget chains;
    ZV::Fat::ClusterSet directories;
    uint64_t chainBytes = 0;            // of all chains walked with the budget
};

void checkChain(Walk &walk, const ZV::Fat::Entry &entry)
{
    bool complete = false;
    std::vector<ZV::Fat::Extent> extents =
        walk.fat->clusterChain(entry, &complete, walk.budgeted ? &walk.chains : nullptr);
    uint64_t total = 0;
    std::set<uint64_t> starts;
    for (const auto &e : extents) {
        require(e.length > 0);
        require(e.start <= walk.volumeSize && e.length <= walk.volumeSize - e.start);
        require(starts.insert(e.start).second);
        total += e.length;
    }
    require(total <= entry.size);
    require(complete == (total == entry.size));
    walk.chainBytes += total;
    if (walk.budgeted)
        require(walk.chainBytes <= 2ull * walk.fat->clusterCount() * walk.fat->bytesPerCluster());
}

void walkDirectory(Walk &walk, const ZV::Fat::Entry *directory, int depth)
{
    std::vector<ZV::Fat::Entry> folders;
    walk.fat->parseDirectory(0, directory,
                             [&](const ZV::Fat::Entry &e) {
                                 ++walk.items;
                                 (void)ZV::Fat::displayName(e); // valid UTF-8 or it throws
                                 if (e.kind == ZV::Fat::kindFile)
                                     checkChain(walk, e);
                                 else if (e.kind == ZV::Fat::kindDirectory && !(e.flags & ZV::Fat::flagErased))
                                     folders.push_back(e);
                                 return walk.items < kMaxItems;
                             },
                             walk.flags, walk.budgeted ? &walk.directories : nullptr);
    if (depth > 32)
        return;
    for (const auto &folder : folders) {
        if (walk.items >= kMaxItems || !walk.entered.insert(folder.firstCluster).second)
            continue;
        walkDirectory(walk, &folder, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (4u << 20))
        return 0;
    ZV::Fat boot;
    int type = -1;
    if (size >= 512 && boot.parseBootSector(data, size, &type))
        require(type >= 0 && type <= 2);

    ZV::Buffer buffer(data, size);
    auto stream = std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeRead);
    ZV::Fat fat(stream);
    if (!fat.open())
        return 0;
    require(static_cast<uint64_t>(fat.clusterCount()) * fat.bytesPerCluster() <= size);
    (void)fat.volumeLabel();
    for (uint32_t flags : {0u, ZV::Fat::walkErased}) {
        Walk walk;
        walk.fat = &fat;
        walk.volumeSize = size;
        walk.flags = flags;
        walk.budgeted = flags == 0;
        walk.chains = fat.chainBudget();
        if (fat.fatType() == ZV::Fat::typeFat32)
            walk.entered.insert(fat.rootCluster());
        walkDirectory(walk, nullptr, 0);
    }
    return 0;
}
