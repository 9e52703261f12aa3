// ZV::Fat, part one: the boot sector and geometry, the FAT (cached) and
// cluster chains. Directory entries and names are in fat_reader_dir.cpp.
//
// Implementation notes
//
//   Geometry. The boot sector declares a cluster count, (total sectors -
//   first data sector) / sectors per cluster, and that count alone decides
//   FAT12/16/32. Two further limits make the usable count: the number of
//   entries the FAT's sectors can hold (minus the two header entries), and
//   the clusters that lie wholly inside the medium the stream sees. A
//   cluster beyond the usable count is out of range everywhere (offset,
//   lookup, chain), so no lookup can read past the first FAT into the next
//   one or the data area, and no extent points past the medium.
//
//   FAT cache. FAT bytes are read in blocks of kFatCacheBlockBytes on first
//   use and kept per FAT copy; a block is read once even when short (a
//   truncated image) or failed, and lookups past its valid bytes fail.
//   When the blocks held would pass kFatCacheMaxBytes every block is
//   dropped and reading starts over: bounded memory, and on any card below
//   the cap each FAT sector is read exactly once.
//
//   Chains. A bitset over the usable clusters marks the clusters of the
//   chain being walked; a cluster met a second time ends the walk (a loop,
//   or a link back into the chain) and the chain is incomplete. The bits
//   set are exactly the clusters of the extents returned, so they are
//   cleared by walking the extents again. The walk also stops as soon as
//   the size is covered, so no file costs more lookups than its clusters.
//   A caller's ChainBudget bounds what all chains of a volume cost
//   together: a cluster's first use is free (at most the cluster count in
//   all), a second or later use spends one of as many as the volume has
//   clusters. Intact files share nothing and never spend; a few
//   cross-linked files spend a few; only a FAT in which a great many
//   entries run through one long chain spends it all, and the chains
//   walked after that end where they meet a used cluster.
#include "scan/fat/fat_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "foundation/console_log.h"

namespace ZV {

namespace {

// Console-log level of this class's messages.
constexpr int kLogLevel = 7;

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The largest FAT32 cluster count: entry values from 0x0FFFFFF7 on are
// reserved, so no chain can name a higher cluster.
constexpr uint32_t kMaxFat32Clusters = 0x0FFFFFF5;
// At most this many FAT copies are tried when the first one's header is
// damaged (a garbage count of 255 must not make open() read 255 FATs).
constexpr uint32_t kMaxFatsTried = 4;

} // namespace

struct Fat::FatCache {
    struct Block {
        std::unique_ptr<uint8_t[]> bytes;
        uint32_t valid = 0;     // bytes actually read
        bool loaded = false;
    };
    std::vector<std::vector<Block>> fats; // per FAT copy, per block
    uint64_t held = 0;                    // bytes of all loaded blocks

    void drop()
    {
        for (auto &fat : fats)
            for (auto &block : fat)
                block = Block();
        held = 0;
    }
};

Fat::Fat() : cache_(new FatCache) {}

Fat::Fat(std::shared_ptr<ByteStream> stream) : stream_(std::move(stream)), cache_(new FatCache) {}

Fat::~Fat() = default;

void Fat::clearGeometry()
{
    bytesPerSector_ = 0;
    sectorsPerCluster_ = 0;
    reservedSectors_ = 0;
    numberOfFats_ = 0;
    rootEntries_ = 0;
    mediaByte_ = 0;
    sectorsPerFat_ = 0;
    totalSectors_ = 0;
    rootCluster_ = 0;
    std::memset(bootLabel_, 0, sizeof bootLabel_);
    firstDataSector_ = 0;
    clusterCount_ = 0;
    declaredClusterCount_ = 0;
    rootDirectoryOffset_ = 0;
    fatType_ = -1;
    bytesPerCluster_ = 0;
    activeFat_ = 0;
    rootLabel_.clear();
    rootLabelKnown_ = false;
    cache_->fats.clear();
    cache_->held = 0;
    visited_.clear();
    clearLongName();
}

bool Fat::readBytes(uint64_t offset, void *destination, uint32_t count, uint32_t *got)
{
    *got = 0;
    if (!stream_)
        return false;
    const uint64_t saved = stream_->position();
    const int n = stream_->readAt(offset, destination, count);
    stream_->seek(saved);
    if (n > 0)
        *got = static_cast<uint32_t>(n);
    const bool whole = n >= 0 && static_cast<uint32_t>(n) == count;
    if (!whole)
        noteUnreadable(offset + *got, std::min<uint64_t>(offset + count, stream_->length()));
    return whole;
}

void Fat::noteUnreadable(uint64_t first, uint64_t end)
{
    if (first >= end)
        return;
    // Every range that overlaps or touches [first, end) joins it.
    auto it = unreadable_.upper_bound(first);
    if (it != unreadable_.begin() && std::prev(it)->second >= first)
        --it;
    while (it != unreadable_.end() && it->first <= end) {
        first = std::min(first, it->first);
        end = std::max(end, it->second);
        it = unreadable_.erase(it);
    }
    unreadable_[first] = end;
}

bool Fat::parseBootSector(const uint8_t *bytes, size_t size, int *fatType)
{
    static const char *const fn = "ZV::Fat::parseBootSector";
    clearGeometry();
    uint8_t sector[512];
    if (bytes != nullptr && size != 0) {
        if (size < sizeof sector) {
            ZV::log(kLogLevel, "%s: Boot sector too short (%u bytes)", fn, static_cast<unsigned>(size));
            return false;
        }
        std::memcpy(sector, bytes, sizeof sector);
    } else {
        uint32_t got = 0;
        if (!readBytes(0, sector, sizeof sector, &got)) {
            ZV::log(kLogLevel, "%s: Can't seek and read boot sector", fn);
            return false;
        }
    }
    const uint8_t *b = sector;

    if (!((b[0] == 0xEB && b[2] == 0x90) || b[0] == 0xE9))
        return false;
    if (b[510] != 0x55 || b[511] != 0xAA)
        return false;

    const uint32_t bps = le16(b + 11);
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096)
        return false;
    const uint32_t spc = b[13];
    // Clusters of 64 KiB (128 sectors of 512 bytes) exist on large volumes
    // and are read like any other; more than that is not FAT.
    if (spc == 0 || (spc & (spc - 1)) != 0 || spc > 128 || spc * bps > 65536)
        return false;
    const uint32_t reserved = le16(b + 14);
    const uint32_t fats = b[16];
    const uint32_t rootEntries = le16(b + 17);
    const uint32_t total16 = le16(b + 19);
    const uint8_t media = b[21];
    const uint32_t spf16 = le16(b + 22);
    const uint32_t total32 = le32(b + 32);
    const uint32_t spf32 = le32(b + 36);
    if (reserved == 0 || fats == 0)
        return false;
    if (media != 0xF0 && media < 0xF8)
        return false;
    if ((total16 != 0) == (total32 != 0))
        return false;
    const uint32_t spf = spf16 != 0 ? spf16 : spf32;
    const uint32_t total = total16 != 0 ? total16 : total32;
    if (spf == 0) {
        ZV::log(kLogLevel, "%s: No sectors per FAT", fn);
        return false;
    }

    // Sums in 64 bits: every field is media content.
    const uint64_t rootSectors = (static_cast<uint64_t>(rootEntries) * 32 + bps - 1) / bps;
    const uint64_t firstData = reserved + static_cast<uint64_t>(fats) * spf + rootSectors;
    if (firstData > total) {
        ZV::log(kLogLevel, "%s: Data area starts past the volume (%llu > %u)", fn,
                static_cast<unsigned long long>(firstData), total);
        return false;
    }
    const uint32_t declared = static_cast<uint32_t>((total - firstData) / spc);
    const int type = declared < 4085 ? typeFat12 : declared < 65525 ? typeFat16 : typeFat32;
    if (spf16 == 0 && type != typeFat32) {
        ZV::log(kLogLevel, "%s: FAT32 layout with %u clusters, too few for FAT32", fn, declared);
        fat32TooFewClusters_ = true;
    }

    uint32_t rootCluster = 0;
    if (type == typeFat32) {
        if (declared > kMaxFat32Clusters) {
            ZV::log(kLogLevel, "%s: Too many clusters (%u)", fn, declared);
            return false;
        }
        rootCluster = le32(b + 44);
        if (rootCluster < 2 || rootCluster > declared + 1) {
            ZV::log(kLogLevel, "%s: Root cluster %u outside the volume", fn, rootCluster);
            return false;
        }
    }

    // Usable clusters: those the FAT can map ...
    const uint64_t fatBytes = static_cast<uint64_t>(spf) * bps;
    const uint64_t entries = type == typeFat12 ? fatBytes * 2 / 3 : type == typeFat16 ? fatBytes / 2 : fatBytes / 4;
    uint64_t usable = std::min<uint64_t>(declared, entries > 2 ? entries - 2 : 0);
    // ... and that lie on the medium.
    if (stream_) {
        const uint64_t mediumSectors = stream_->length() / bps;
        usable = std::min<uint64_t>(usable, mediumSectors > firstData ? (mediumSectors - firstData) / spc : 0);
    }

    bytesPerSector_ = bps;
    sectorsPerCluster_ = static_cast<uint16_t>(spc);
    reservedSectors_ = static_cast<uint16_t>(reserved);
    numberOfFats_ = static_cast<uint16_t>(fats);
    rootEntries_ = static_cast<uint16_t>(rootEntries);
    mediaByte_ = media;
    sectorsPerFat_ = spf;
    totalSectors_ = total;
    rootCluster_ = rootCluster;
    firstDataSector_ = static_cast<uint32_t>(firstData);
    declaredClusterCount_ = declared;
    clusterCount_ = static_cast<uint32_t>(usable);
    fatType_ = type;
    bytesPerCluster_ = spc * bps;
    // The root area follows every FAT, whichever sectors-per-FAT field
    // gave the size.
    rootDirectoryOffset_ = type == typeFat32 ? 0 : (reserved + static_cast<uint64_t>(fats) * spf) * bps;
    std::memcpy(bootLabel_, b + (type == typeFat32 ? 71 : 43), 11);
    bootLabel_[11] = 0;
    for (int i = 10; i >= 0 && (bootLabel_[i] == ' ' || bootLabel_[i] == 0); --i)
        bootLabel_[i] = 0;
    if (fatType)
        *fatType = type;
    return true;
}

bool Fat::readFatBytes(uint32_t index, uint64_t offset, uint8_t *destination, uint32_t count)
{
    // Only the bytes that map clusters 0 .. count + 1 are ever read.
    const uint64_t entries = static_cast<uint64_t>(clusterCount_) + 2;
    const uint64_t needed = fatType_ == typeFat12 ? entries + entries / 2 + 1
                          : fatType_ == typeFat16 ? entries * 2
                                                  : entries * 4;
    const uint64_t fatBytes = static_cast<uint64_t>(sectorsPerFat_) * bytesPerSector_;
    const uint64_t limit = std::min(needed, fatBytes);
    if (offset > limit || count > limit - offset)
        return false;
    const uint64_t fatStart = (reservedSectors_ + static_cast<uint64_t>(index) * sectorsPerFat_) * bytesPerSector_;
    if (cache_->fats.size() <= index)
        cache_->fats.resize(index + 1);
    auto &blocks = cache_->fats[index];
    const uint64_t blockCount = (limit + kFatCacheBlockBytes - 1) / kFatCacheBlockBytes;
    if (blocks.size() != blockCount)
        blocks.resize(blockCount);

    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = offset + i;
        const uint64_t blockNumber = at / kFatCacheBlockBytes;
        FatCache::Block *block = &cache_->fats[index][blockNumber];
        if (!block->loaded) {
            const uint64_t blockStart = blockNumber * kFatCacheBlockBytes;
            const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kFatCacheBlockBytes, limit - blockStart));
            if (cache_->held + length > kFatCacheMaxBytes) {
                cache_->drop();
                block = &cache_->fats[index][blockNumber];
            }
            block->bytes.reset(new uint8_t[length]);
            uint32_t got = 0;
            if (!readBytes(fatStart + blockStart, block->bytes.get(), length, &got))
                ZV::log(kLogLevel, "%s: Can't seek and read FAT %u at %llu (%u of %u bytes)", "ZV::Fat::readFatBytes",
                        index, static_cast<unsigned long long>(fatStart + blockStart), got, length);
            block->valid = got;
            block->loaded = true;
            cache_->held += length;
        }
        const uint64_t inBlock = at - blockNumber * kFatCacheBlockBytes;
        if (inBlock >= block->valid)
            return false;
        destination[i] = block->bytes[inBlock];
    }
    return true;
}

bool Fat::readFatEntryRaw(uint32_t cluster, uint32_t index, uint32_t *value)
{
    uint8_t bytes[4] = {};
    switch (fatType_) {
    case typeFat12: {
        const uint64_t offset = cluster + static_cast<uint64_t>(cluster / 2);
        if (!readFatBytes(index, offset, bytes, 2))
            break;
        const uint32_t pair = le16(bytes);
        *value = (cluster & 1) ? pair >> 4 : pair & 0xFFF;
        return true;
    }
    case typeFat16:
        if (!readFatBytes(index, static_cast<uint64_t>(cluster) * 2, bytes, 2))
            break;
        *value = le16(bytes);
        return true;
    case typeFat32:
        if (!readFatBytes(index, static_cast<uint64_t>(cluster) * 4, bytes, 4))
            break;
        *value = le32(bytes);
        return true;
    default:
        return false;
    }
    ZV::log(kLogLevel, "%s: Can't seek and read cluster (%u)", "ZV::Fat::getNextCluster", cluster);
    return false;
}

uint32_t Fat::normalise(uint32_t raw) const
{
    switch (fatType_) {
    case typeFat12:
        raw &= 0xFFF;
        return raw == 0xFF7 ? clusterBad : raw >= 0xFF8 ? clusterEnd : raw;
    case typeFat16:
        raw &= 0xFFFF;
        return raw == 0xFFF7 ? clusterBad : raw >= 0xFFF8 ? clusterEnd : raw;
    default:
        // The top four bits of a FAT32 entry are reserved and may hold
        // anything; only the low 28 bits name a cluster.
        raw &= 0x0FFFFFFF;
        return raw == 0x0FFFFFF7 ? clusterBad : raw >= 0x0FFFFFF8 ? clusterEnd : raw;
    }
}

bool Fat::checkFatHeader(uint32_t index)
{
    if (!stream_ || index >= numberOfFats_ || fatType_ < 0)
        return false;
    uint32_t first = 0, second = 0;
    if (!readFatEntryRaw(0, index, &first) || !readFatEntryRaw(1, index, &second))
        return false;
    switch (fatType_) {
    case typeFat12:
        return first == (0xF00u | mediaByte_) && second >= 0xFF8;
    case typeFat16:
        // Bits 15 and 14 of entry 1 are the dirty and error flags.
        return first == (0xFF00u | mediaByte_) && (second | 0xC000) >= 0xFFF8;
    default:
        // Entry 1 of FAT32 carries flags in its top bits and is not
        // checked; entry 0 holds the media byte in its low 28 bits.
        return (first & 0x0FFFFFFF) == (0x0FFFFF00u | mediaByte_);
    }
}

bool Fat::fatInUse(uint32_t index)
{
    uint32_t value = 0;
    if (fatType_ == typeFat32)
        return readFatEntryRaw(rootCluster_, index, &value) && (value & 0x0FFFFFFF) != 0;
    for (uint64_t cluster = 2; cluster <= static_cast<uint64_t>(clusterCount_) + 1; ++cluster) {
        if (!readFatEntryRaw(static_cast<uint32_t>(cluster), index, &value))
            return false;
        if (value != 0)
            return true;
    }
    return false;
}

bool Fat::openFats()
{
    const uint32_t tried = std::min<uint32_t>(numberOfFats_, kMaxFatsTried);
    uint32_t firstValid = tried;
    for (uint32_t i = 0; i < tried; ++i) {
        if (!checkFatHeader(i))
            continue;
        if (firstValid == tried)
            firstValid = i;
        if (fatInUse(i)) {
            if (i != 0)
                ZV::log(kLogLevel, "%s: FAT 1 damaged or blank, using FAT %u", "ZV::Fat::open", i + 1);
            activeFat_ = i;
            return true;
        }
    }
    if (firstValid < tried) {
        // Every FAT with a valid header is blank: an empty volume.
        activeFat_ = firstValid;
        return true;
    }
    ZV::log(kLogLevel, "%s: No FAT with a valid header", "ZV::Fat::open");
    return false;
}

bool Fat::open()
{
    usedBackup_ = false;
    bootSectorOffset_ = 0;
    if (!stream_)
        return false;
    if (parseBootSector(nullptr, 0, nullptr))
        return openFats();
    // The backup copy sits at sector 6 on FAT32 volumes; the sector size is
    // not known while the primary is unreadable, so each size is tried and
    // the copy must declare the size it was found with.
    for (uint32_t size : {512u, 1024u, 2048u, 4096u}) {
        uint8_t sector[512];
        uint32_t got = 0;
        const uint64_t offset = static_cast<uint64_t>(kBackupBootSector) * size;
        if (!readBytes(offset, sector, sizeof sector, &got))
            continue;
        if (parseBootSector(sector, sizeof sector, nullptr) && bytesPerSector_ == size) {
            ZV::log(kLogLevel, "%s: Using the backup boot sector at %llu", "ZV::Fat::open",
                    static_cast<unsigned long long>(offset));
            usedBackup_ = true;
            bootSectorOffset_ = offset;
            return openFats();
        }
    }
    clearGeometry();
    return false;
}

bool Fat::openWithBootSector(const uint8_t *bytes, size_t size)
{
    usedBackup_ = false;
    bootSectorOffset_ = 0;
    if (!stream_ || bytes == nullptr || size == 0)
        return false;
    return parseBootSector(bytes, size, nullptr) && openFats();
}

bool Fat::getNextCluster(uint32_t cluster, uint32_t index, uint32_t *value)
{
    if (cluster < 2 || static_cast<uint64_t>(cluster) > static_cast<uint64_t>(clusterCount_) + 1)
        return false;
    if (!stream_ || index >= numberOfFats_ || fatType_ < 0)
        return false;
    uint32_t raw = 0;
    if (!readFatEntryRaw(cluster, index, &raw))
        return false;
    *value = normalise(raw);
    return true;
}

bool Fat::nextInChain(uint32_t cluster, uint32_t *next)
{
    if (getNextCluster(cluster, activeFat_, next))
        return true;
    // An unreadable entry in the active FAT: the other copy may still hold it.
    if (numberOfFats_ < 2)
        return false;
    return getNextCluster(cluster, activeFat_ == 0 ? 1 : 0, next);
}

bool Fat::clusterOffset(uint32_t cluster, uint64_t *offset) const
{
    if (cluster < 2 || static_cast<uint64_t>(cluster) > static_cast<uint64_t>(clusterCount_) + 1)
        return false;
    *offset = (static_cast<uint64_t>(sectorsPerCluster_) * (cluster - 2) + firstDataSector_) * bytesPerSector_;
    return true;
}

bool Fat::geometry(int index, uint64_t *value) const
{
    switch (index) {
    case 0: *value = bytesPerSector_; return true;
    case 1: *value = sectorsPerCluster_; return true;
    case 2: *value = reservedSectors_; return true;
    case 3: *value = totalSectors_; return true;
    case 4: *value = numberOfFats_; return true;
    case 5: *value = sectorsPerFat_; return true;
    case 6:
        if (fatType_ == typeFat32)
            return clusterOffset(rootCluster_, value);
        *value = rootDirectoryOffset_;
        return true;
    case 7: *value = clusterCount_; return true;
    default: return false;
    }
}

Fat::ChainBudget Fat::chainBudget() const
{
    ChainBudget budget;
    budget.shared = clusterCount_;
    return budget;
}

std::vector<Fat::Extent> Fat::clusterChain(const Entry &entry, bool *complete, ChainBudget *budget)
{
    std::vector<Extent> extents;
    if (complete)
        *complete = entry.size == 0;
    uint64_t remaining = entry.size;
    if (remaining == 0 || bytesPerCluster_ == 0)
        return extents;
    const uint64_t bits = static_cast<uint64_t>(clusterCount_) + 2;
    if (visited_.size() != (bits + 63) / 64)
        visited_.assign((bits + 63) / 64, 0);

    uint32_t cluster = entry.firstCluster;
    for (;;) {
        uint64_t offset = 0;
        if (!clusterOffset(cluster, &offset))
            break;
        uint64_t &word = visited_[cluster / 64];
        const uint64_t bit = 1ull << (cluster % 64);
        if (word & bit) {
            ZV::log(kLogLevel, "%s: Cluster %u met twice in one chain", "ZV::Fat::clusterChain", cluster);
            break;
        }
        if (budget != nullptr) {
            if (budget->used.contains(cluster)) {
                if (budget->shared == 0) {
                    if (!budget->spentReported)
                        ZV::log(kLogLevel, "%s: Clusters shared by too many files; chains end at cluster %u",
                                "ZV::Fat::clusterChain", cluster);
                    budget->spentReported = true;
                    break;
                }
                --budget->shared;
            }
            budget->used.insert(cluster);
        }
        word |= bit;
        const uint64_t length = std::min<uint64_t>(bytesPerCluster_, remaining);
        if (!extents.empty() && extents.back().start + extents.back().length == offset)
            extents.back().length += length;
        else
            extents.push_back({offset, length});
        remaining -= length;
        if (remaining == 0)
            break;
        uint32_t next = 0;
        if (!nextInChain(cluster, &next) || next == clusterBad || next == clusterEnd)
            break;
        cluster = next;
    }

    // The bits set are the clusters of the extents: clear them again.
    const uint64_t dataStart = static_cast<uint64_t>(firstDataSector_) * bytesPerSector_;
    for (const Extent &e : extents) {
        const uint64_t first = (e.start - dataStart) / bytesPerCluster_ + 2;
        const uint64_t n = (e.length + bytesPerCluster_ - 1) / bytesPerCluster_;
        for (uint64_t c = first; c < first + n; ++c)
            visited_[c / 64] &= ~(1ull << (c % 64));
    }
    if (complete)
        *complete = remaining == 0;
    return extents;
}

} // namespace ZV
