// Real FAT images for the tests: made with mkfs.fat, filled with mtools,
// partitioned with sfdisk, read back with The Sleuth Kit (fls, icat) as an
// independent oracle, and edited at named offsets by FatPatcher to make
// damaged and hostile volumes.
//
// Every helper throws std::runtime_error when a tool is missing or fails, so
// a test without its tools fails instead of passing quietly.
//
// FatPatcher has its own small reading of the FAT layout (boot sector
// fields, FAT entries, directory entries and long-name parts) and shares no
// code with the reader under test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zvtest {

// ---------------------------------------------------------------- tools ---

inline std::string shellQuote(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline void requireFatTools()
{
    for (const char *tool : {"mkfs.fat", "mcopy", "mmd", "mdel", "mlabel", "mdeltree", "mattrib"})
        requireTool(tool);
}

inline void requireSleuthkit()
{
    for (const char *tool : {"fls", "icat", "istat"})
        requireTool(tool);
}

// Runs an mtools command line (without the environment prefix).
inline std::string mtools(const std::string &command)
{
    return mustRun("MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 " + command);
}

// The mtools drive argument of an image, with the volume's byte offset.
inline std::string mtoolsImage(const std::string &image, uint64_t offset = 0)
{
    return shellQuote(offset ? image + "@@" + std::to_string(offset) : image);
}

// mkfs.fat -C -F bits [options] image kib (the image must not exist yet).
inline void makeFat(const std::string &image, int bits, unsigned kib, const std::string &options = "")
{
    requireFatTools();
    mustRun("mkfs.fat -C -F " + std::to_string(bits) + " " + options + " " + shellQuote(image) + " " +
            std::to_string(kib) + " >/dev/null");
}

// mmd ::/path (parents must exist).
inline void fatMkdir(const std::string &image, const std::string &path, uint64_t offset = 0)
{
    mtools("mmd -i " + mtoolsImage(image, offset) + " " + shellQuote("::/" + path));
}

// Writes bytes to ::/path through a host file whose modification time is
// mtime (seconds since 1970, UTC; 0 keeps "now"), copied with mcopy -m.
inline void fatPut(const std::string &image, const std::string &path, const std::string &bytes, time_t mtime = 0,
                   uint64_t offset = 0)
{
    const std::string host = image + ".put";
    writeFile(host, bytes);
    if (mtime) {
        struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
        if (utimes(host.c_str(), times) != 0)
            throw std::runtime_error("utimes failed: " + host);
    }
    mtools("mcopy -m -D o -i " + mtoolsImage(image, offset) + " " + shellQuote(host) + " " +
           shellQuote("::/" + path));
    unlink(host.c_str());
}

// mdel ::/path: the entry and its long-name parts are marked 0xE5.
inline void fatDelete(const std::string &image, const std::string &path, uint64_t offset = 0)
{
    mtools("mdel -i " + mtoolsImage(image, offset) + " " + shellQuote("::/" + path));
}

inline void fatLabel(const std::string &image, const std::string &label, uint64_t offset = 0)
{
    mtools("mlabel -i " + mtoolsImage(image, offset) + " " + shellQuote("::" + label));
}

// Deterministic content of a given size (a byte pattern seeded by seed).
inline std::string patternBytes(size_t size, uint32_t seed)
{
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x);
    }
    return out;
}

// A card image with an MBR, a FAT32 partition at sector 2048 (50000 KiB) and
// a FAT16 one at sector 104448 (29696 KiB), 80 MiB in all.
struct PartitionedCard {
    std::string path;
    uint64_t fat32Offset = 2048ull * 512;
    uint64_t fat16Offset = 104448ull * 512;
};

inline PartitionedCard makePartitionedCard(const std::string &path)
{
    requireFatTools();
    requireTool("sfdisk");
    PartitionedCard card;
    card.path = path;
    mustRun("truncate -s 80M " + shellQuote(path));
    mustRun("printf 'label: dos\\nstart=2048, size=100000, type=c\\nstart=104448, type=6\\n' | sfdisk -q " +
            shellQuote(path));
    mustRun("mkfs.fat -F 32 --offset=2048 " + shellQuote(path) + " 50000 >/dev/null");
    mustRun("mkfs.fat -F 16 --offset=104448 " + shellQuote(path) + " 29696 >/dev/null");
    return card;
}

// ------------------------------------------------------------ sleuthkit ---

struct FlsEntry {
    std::string type;       // "r/r", "d/d", "v/v", "-/r" ...
    bool deleted = false;   // marked "*"
    std::string inode;      // as printed ("4", "123-128-1" ...)
    std::string path;
};

// The output of TZ=UTC fls <options> [-o sector] image.
inline std::string flsRun(const std::string &options, const std::string &image, uint64_t sectorOffset)
{
    requireSleuthkit();
    return mustRun("TZ=UTC fls " + options + " " +
                   (sectorOffset ? "-o " + std::to_string(sectorOffset) + " " : std::string()) + shellQuote(image));
}

// fls -r -p [-o sector] image, every line parsed ("$MBR", "$FAT1"... and
// "$OrphanFiles" included; filter them as needed).
inline std::vector<FlsEntry> flsList(const std::string &image, uint64_t sectorOffset = 0)
{
    std::string out = flsRun("-r -p", image, sectorOffset);
    std::vector<FlsEntry> entries;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        // "r/r * 12:\tpath" or "d/d 4:\tpath"
        size_t tab = line.find('\t');
        size_t space = line.find(' ');
        if (tab == std::string::npos || space == std::string::npos)
            continue;
        FlsEntry e;
        e.type = line.substr(0, space);
        std::string middle = line.substr(space + 1, tab - space - 1);
        if (middle.rfind("* ", 0) == 0) {
            e.deleted = true;
            middle = middle.substr(2);
        }
        if (!middle.empty() && middle.back() == ':')
            middle.pop_back();
        e.inode = middle;
        e.path = line.substr(tab + 1);
        entries.push_back(e);
    }
    return entries;
}

struct FlsBodyEntry {
    std::string name;       // "/path" (deleted entries end with " (deleted)")
    std::string inode;
    std::string mode;
    uint64_t size = 0;
    int64_t atime = 0, mtime = 0, ctime = 0, crtime = 0;
};

// fls -r -m / [-o sector] image (bodyfile: MD5|name|inode|mode|UID|GID|size|
// atime|mtime|ctime|crtime), with TZ=UTC.
inline std::vector<FlsBodyEntry> flsBody(const std::string &image, uint64_t sectorOffset = 0)
{
    std::string out = flsRun("-r -m /", image, sectorOffset);
    std::vector<FlsBodyEntry> entries;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (;;) {
            size_t bar = line.find('|', start);
            f.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        // A name holding "|" shifts the fields; the last eight are fixed.
        if (f.size() < 11)
            continue;
        const size_t n = f.size();
        FlsBodyEntry e;
        e.name = f[1];
        for (size_t i = 2; i + 9 < n; ++i)
            e.name += "|" + f[i];
        e.inode = f[n - 9];
        e.mode = f[n - 8];
        e.size = std::stoull(f[n - 5]);
        e.atime = std::stoll(f[n - 4]);
        e.mtime = std::stoll(f[n - 3]);
        e.ctime = std::stoll(f[n - 2]);
        e.crtime = std::stoll(f[n - 1]);
        entries.push_back(e);
    }
    return entries;
}

// icat [-r] [-o sector] image inode: the file's content as TSK reads it.
inline std::string icat(const std::string &image, const std::string &inode, bool deleted = false,
                        uint64_t sectorOffset = 0)
{
    requireSleuthkit();
    std::string out;
    std::string command = "TZ=UTC icat " + std::string(deleted ? "-r " : "") +
                          (sectorOffset ? "-o " + std::to_string(sectorOffset) + " " : std::string()) +
                          shellQuote(image) + " " + inode + " 2>/dev/null";
    int status = run(command, &out);
    if (status != 0)
        throw std::runtime_error("icat failed: " + command);
    return out;
}

// ------------------------------------------------------------- patcher ---

// Edits a FAT volume inside an image file at named offsets.
class FatPatcher {
public:
    // Boot-sector fields (byte offsets).
    static constexpr uint32_t kJump = 0;
    static constexpr uint32_t kBytesPerSector = 11;     // 2 bytes
    static constexpr uint32_t kSectorsPerCluster = 13;  // 1
    static constexpr uint32_t kReservedSectors = 14;    // 2
    static constexpr uint32_t kNumberOfFats = 16;       // 1
    static constexpr uint32_t kRootEntries = 17;        // 2
    static constexpr uint32_t kTotalSectors16 = 19;     // 2
    static constexpr uint32_t kMediaByte = 21;          // 1
    static constexpr uint32_t kSectorsPerFat16 = 22;    // 2
    static constexpr uint32_t kTotalSectors32 = 32;     // 4
    static constexpr uint32_t kSectorsPerFat32 = 36;    // 4
    static constexpr uint32_t kRootCluster = 44;        // 4
    static constexpr uint32_t kSignature = 510;         // 2

    // Directory-entry fields (byte offsets inside the 32-byte entry).
    static constexpr uint32_t kEntryAttributes = 11;
    static constexpr uint32_t kEntryCaseFlags = 12;
    static constexpr uint32_t kEntryCreateTime = 14;
    static constexpr uint32_t kEntryCreateDate = 16;
    static constexpr uint32_t kEntryAccessDate = 18;
    static constexpr uint32_t kEntryClusterHigh = 20;
    static constexpr uint32_t kEntryModifyTime = 22;
    static constexpr uint32_t kEntryModifyDate = 24;
    static constexpr uint32_t kEntryClusterLow = 26;
    static constexpr uint32_t kEntrySize = 28;

    struct Geometry {
        uint32_t bytesPerSector = 0, sectorsPerCluster = 0, reservedSectors = 0, numberOfFats = 0;
        uint32_t rootEntries = 0, totalSectors = 0, sectorsPerFat = 0, rootCluster = 0;
        uint32_t firstDataSector = 0, clusterCount = 0;
        int bits = 0;                  // 12, 16 or 32
        uint64_t rootOffset = 0;       // FAT12/16 root area (volume-relative)
    };

    // A short entry found by path, with its long-name parts (last part
    // first, as stored).
    struct Ref {
        uint64_t offset = 0;                    // volume-relative offset of the short entry
        std::vector<uint64_t> longNameOffsets;  // offsets of its long-name parts
        uint32_t firstCluster = 0;
        uint32_t size = 0;
        uint8_t attributes = 0;
    };

    explicit FatPatcher(const std::string &image, uint64_t volumeOffset = 0)
        : volumeOffset_(volumeOffset)
    {
        fd_ = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("FatPatcher: cannot open " + image);
    }
    ~FatPatcher()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FatPatcher(const FatPatcher &) = delete;
    FatPatcher &operator=(const FatPatcher &) = delete;

    // --- raw bytes (volume-relative offsets) ---
    void write(uint64_t offset, const void *bytes, size_t count)
    {
        if (::pwrite(fd_, bytes, count, static_cast<off_t>(volumeOffset_ + offset)) != static_cast<ssize_t>(count))
            throw std::runtime_error("FatPatcher: write failed");
    }
    void read(uint64_t offset, void *bytes, size_t count) const
    {
        if (::pread(fd_, bytes, count, static_cast<off_t>(volumeOffset_ + offset)) != static_cast<ssize_t>(count))
            throw std::runtime_error("FatPatcher: read failed");
    }
    void putU8(uint64_t offset, uint8_t v) { write(offset, &v, 1); }
    void putU16(uint64_t offset, uint16_t v)
    {
        uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
        write(offset, b, 2);
    }
    void putU32(uint64_t offset, uint32_t v)
    {
        uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        write(offset, b, 4);
    }
    uint8_t getU8(uint64_t offset) const
    {
        uint8_t b;
        read(offset, &b, 1);
        return b;
    }
    uint16_t getU16(uint64_t offset) const
    {
        uint8_t b[2];
        read(offset, b, 2);
        return uint16_t(b[0] | b[1] << 8);
    }
    uint32_t getU32(uint64_t offset) const
    {
        uint8_t b[4];
        read(offset, b, 4);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    void zero(uint64_t offset, size_t count)
    {
        std::vector<uint8_t> z(count, 0);
        write(offset, z.data(), count);
    }

    // --- geometry from the (current) boot sector ---
    Geometry geometry() const
    {
        Geometry g;
        g.bytesPerSector = getU16(kBytesPerSector);
        g.sectorsPerCluster = getU8(kSectorsPerCluster);
        g.reservedSectors = getU16(kReservedSectors);
        g.numberOfFats = getU8(kNumberOfFats);
        g.rootEntries = getU16(kRootEntries);
        g.totalSectors = getU16(kTotalSectors16) ? getU16(kTotalSectors16) : getU32(kTotalSectors32);
        g.sectorsPerFat = getU16(kSectorsPerFat16) ? getU16(kSectorsPerFat16) : getU32(kSectorsPerFat32);
        if (g.bytesPerSector == 0 || g.sectorsPerCluster == 0)
            throw std::runtime_error("FatPatcher: boot sector has no geometry");
        const uint32_t rootSectors = (g.rootEntries * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
        g.firstDataSector = g.reservedSectors + g.numberOfFats * g.sectorsPerFat + rootSectors;
        g.clusterCount = (g.totalSectors - g.firstDataSector) / g.sectorsPerCluster;
        g.bits = g.clusterCount < 4085 ? 12 : g.clusterCount < 65525 ? 16 : 32;
        g.rootCluster = g.bits == 32 ? getU32(kRootCluster) : 0;
        g.rootOffset = uint64_t(g.reservedSectors + g.numberOfFats * g.sectorsPerFat) * g.bytesPerSector;
        return g;
    }

    uint64_t clusterOffset(uint32_t cluster) const
    {
        Geometry g = geometry();
        return (uint64_t(cluster - 2) * g.sectorsPerCluster + g.firstDataSector) * g.bytesPerSector;
    }
    uint32_t bytesPerCluster() const
    {
        Geometry g = geometry();
        return g.bytesPerSector * g.sectorsPerCluster;
    }

    // --- FAT entries (raw, as stored; fat -1 writes every copy) ---
    uint32_t fatEntry(uint32_t cluster, int fat = 0) const
    {
        Geometry g = geometry();
        const uint64_t base = uint64_t(g.reservedSectors + uint32_t(fat) * g.sectorsPerFat) * g.bytesPerSector;
        if (g.bits == 32)
            return getU32(base + uint64_t(cluster) * 4);
        if (g.bits == 16)
            return getU16(base + uint64_t(cluster) * 2);
        const uint16_t pair = getU16(base + cluster + cluster / 2);
        return cluster & 1 ? pair >> 4 : pair & 0xFFF;
    }
    void setFatEntry(uint32_t cluster, uint32_t value, int fat = -1)
    {
        Geometry g = geometry();
        for (uint32_t i = 0; i < g.numberOfFats; ++i) {
            if (fat >= 0 && uint32_t(fat) != i)
                continue;
            const uint64_t base = uint64_t(g.reservedSectors + i * g.sectorsPerFat) * g.bytesPerSector;
            if (g.bits == 32) {
                putU32(base + uint64_t(cluster) * 4, value);
            } else if (g.bits == 16) {
                putU16(base + uint64_t(cluster) * 2, uint16_t(value));
            } else {
                const uint64_t at = base + cluster + cluster / 2;
                uint16_t pair = getU16(at);
                if (cluster & 1)
                    pair = uint16_t((pair & 0x000F) | (value & 0xFFF) << 4);
                else
                    pair = uint16_t((pair & 0xF000) | (value & 0xFFF));
                putU16(at, pair);
            }
        }
    }
    // The end-of-chain value of this FAT type.
    uint32_t endOfChain() const
    {
        int bits = geometry().bits;
        return bits == 32 ? 0x0FFFFFFF : bits == 16 ? 0xFFFF : 0xFFF;
    }
    // The chain from a cluster in FAT #1 (masked on FAT32), at most the
    // cluster count long.
    std::vector<uint32_t> chain(uint32_t cluster) const
    {
        Geometry g = geometry();
        std::vector<uint32_t> out;
        const uint32_t eoc = g.bits == 32 ? 0x0FFFFFF7 : g.bits == 16 ? 0xFFF7 : 0xFF7;
        while (cluster >= 2 && cluster < g.clusterCount + 2 && out.size() <= g.clusterCount) {
            out.push_back(cluster);
            uint32_t next = fatEntry(cluster);
            if (g.bits == 32)
                next &= 0x0FFFFFFF;
            if (next >= eoc)
                break;
            cluster = next;
        }
        return out;
    }

    // --- directories ---
    // Offsets of the 32-byte entries of a directory (cluster 0: the root).
    std::vector<uint64_t> directoryEntries(uint32_t cluster) const
    {
        Geometry g = geometry();
        std::vector<uint64_t> out;
        if (cluster == 0 && g.bits != 32) {
            for (uint32_t i = 0; i < g.rootEntries; ++i)
                out.push_back(g.rootOffset + uint64_t(i) * 32);
            return out;
        }
        if (cluster == 0)
            cluster = g.rootCluster;
        const uint32_t bpc = g.bytesPerSector * g.sectorsPerCluster;
        for (uint32_t c : chain(cluster)) {
            const uint64_t base = clusterOffset(c);
            for (uint32_t i = 0; i < bpc / 32; ++i)
                out.push_back(base + uint64_t(i) * 32);
        }
        return out;
    }

    // The entry at a path of long or short names ("DCIM/IMG_0001.JPG",
    // compared without regard to ASCII case). deleted: look at erased
    // entries (first byte 0xE5) instead of live ones. Throws when absent.
    Ref find(const std::string &path, bool deleted = false) const
    {
        uint32_t dir = 0;
        Ref found;
        std::string rest = path;
        while (!rest.empty() && rest[0] == '/')
            rest.erase(0, 1);
        while (!rest.empty()) {
            const size_t slash = rest.find('/');
            const std::string part = rest.substr(0, slash);
            rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
            const bool last = rest.empty();
            if (!findIn(dir, part, deleted && last, &found))
                throw std::runtime_error("FatPatcher: not found: " + path);
            dir = found.firstCluster;
        }
        return found;
    }

    // Rewrites the units of the entry's long-name parts with name (it must
    // fit in them; a shorter name is ended with 0 and padded with 0xFFFF).
    // The checksum is kept, so the parts stay attached.
    void setLongName(const Ref &ref, const std::u16string &name)
    {
        static const int unitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        const size_t parts = ref.longNameOffsets.size();
        if (name.size() > parts * 13)
            throw std::runtime_error("FatPatcher: long name does not fit in the parts");
        for (size_t p = 0; p < parts; ++p) {
            // Stored last part first: part k (1-based sequence) is at index parts - k.
            const uint64_t at = ref.longNameOffsets[parts - 1 - p];
            for (int u = 0; u < 13; ++u) {
                const size_t i = p * 13 + u;
                uint16_t unit = i < name.size() ? uint16_t(name[i]) : i == name.size() ? 0 : 0xFFFF;
                putU16(at + unitOffsets[u], unit);
            }
        }
    }
    // The 11 raw name bytes of a short entry.
    void setShortName(const Ref &ref, const char name11[11]) { write(ref.offset, name11, 11); }
    void setFirstCluster(const Ref &ref, uint32_t cluster)
    {
        putU16(ref.offset + kEntryClusterHigh, uint16_t(cluster >> 16));
        putU16(ref.offset + kEntryClusterLow, uint16_t(cluster));
    }
    void setSize(const Ref &ref, uint32_t size) { putU32(ref.offset + kEntrySize, size); }
    void setEntryU16(const Ref &ref, uint32_t field, uint16_t value) { putU16(ref.offset + field, value); }

    static uint8_t checksum(const uint8_t *name11)
    {
        uint8_t sum = 0;
        for (int i = 0; i < 11; ++i)
            sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
        return sum;
    }

    using RawEntry = std::array<uint8_t, 32>;

    // A short entry: the 11 name bytes as given, modified 2010-01-01 12:00
    // (FAT32 keeps the high word of the cluster at 20).
    static RawEntry shortEntry(const char name11[11], uint8_t attributes, uint32_t cluster, uint32_t size)
    {
        RawEntry e{};
        std::memcpy(e.data(), name11, 11);
        e[kEntryAttributes] = attributes;
        const uint16_t date = uint16_t((2010 - 1980) << 9 | 1 << 5 | 1), time = uint16_t(12 << 11);
        for (uint32_t at : {kEntryCreateDate, kEntryModifyDate, kEntryAccessDate})
            e[at] = uint8_t(date), e[at + 1] = uint8_t(date >> 8);
        e[kEntryModifyTime] = uint8_t(time), e[kEntryModifyTime + 1] = uint8_t(time >> 8);
        e[kEntryClusterHigh] = uint8_t(cluster >> 16), e[kEntryClusterHigh + 1] = uint8_t(cluster >> 24);
        e[kEntryClusterLow] = uint8_t(cluster), e[kEntryClusterLow + 1] = uint8_t(cluster >> 8);
        for (int i = 0; i < 4; ++i)
            e[kEntrySize + i] = uint8_t(size >> (8 * i));
        return e;
    }
    // A long-name part: order byte (0x40 marks the last part, 0xE5 an
    // erased one), the checksum of its short name and 13 units (a shorter
    // text is ended with 0 and padded with 0xFFFF).
    static RawEntry longNamePart(uint8_t order, uint8_t checksum, const std::u16string &units)
    {
        static const int unitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        RawEntry e{};
        e[0] = order;
        e[kEntryAttributes] = 0x0F;
        e[13] = checksum;
        for (size_t u = 0; u < 13; ++u) {
            const uint16_t unit = u < units.size() ? uint16_t(units[u]) : u == units.size() ? 0 : 0xFFFF;
            e[unitOffsets[u]] = uint8_t(unit), e[unitOffsets[u] + 1] = uint8_t(unit >> 8);
        }
        return e;
    }
    // Writes entries one after the other from offset (volume-relative).
    void writeEntries(uint64_t offset, const std::vector<RawEntry> &entries)
    {
        for (size_t i = 0; i < entries.size(); ++i)
            write(offset + 32 * i, entries[i].data(), 32);
    }

private:
    static std::string lower(std::string s)
    {
        for (char &c : s)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return s;
    }

    bool findIn(uint32_t dir, const std::string &name, bool deleted, Ref *out) const
    {
        static const int unitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        std::vector<uint64_t> parts;
        for (uint64_t at : directoryEntries(dir)) {
            uint8_t e[32];
            read(at, e, 32);
            if (e[0] == 0 && !deleted)
                return false;
            const bool erased = e[0] == 0xE5;
            if (e[11] == 0x0F) {
                if (erased == deleted)
                    parts.push_back(at);
                else
                    parts.clear();
                continue;
            }
            if (erased != deleted || (e[11] & 0x08)) {
                parts.clear();
                continue;
            }
            // Long name from the parts (stored last part first).
            std::string longName;
            for (size_t p = parts.size(); p-- > 0;) {
                uint8_t q[32];
                read(parts[p], q, 32);
                for (int u = 0; u < 13; ++u) {
                    uint16_t unit = uint16_t(q[unitOffsets[u]] | q[unitOffsets[u] + 1] << 8);
                    if (unit == 0 || unit == 0xFFFF)
                        break;
                    // UTF-8 of the BMP unit (surrogates are not needed for lookups).
                    if (unit < 0x80) {
                        longName += char(unit);
                    } else if (unit < 0x800) {
                        longName += char(0xC0 | unit >> 6);
                        longName += char(0x80 | (unit & 0x3F));
                    } else {
                        longName += char(0xE0 | unit >> 12);
                        longName += char(0x80 | ((unit >> 6) & 0x3F));
                        longName += char(0x80 | (unit & 0x3F));
                    }
                }
            }
            std::string base(reinterpret_cast<char *>(e), 8), ext(reinterpret_cast<char *>(e) + 8, 3);
            while (!base.empty() && base.back() == ' ')
                base.pop_back();
            while (!ext.empty() && ext.back() == ' ')
                ext.pop_back();
            std::string shortName = ext.empty() ? base : base + "." + ext;
            if (deleted && !shortName.empty())
                shortName = shortName.substr(1); // compare without the erased first byte
            const std::string want = lower(name);
            const bool match = lower(longName) == want ||
                               (deleted ? want.size() > 0 && lower(shortName) == want.substr(1)
                                        : lower(shortName) == want);
            if (match) {
                out->offset = at;
                out->longNameOffsets = parts;
                out->firstCluster = uint32_t(e[20] | e[21] << 8) << 16 | uint32_t(e[26] | e[27] << 8);
                out->size = uint32_t(e[28]) | uint32_t(e[29]) << 8 | uint32_t(e[30]) << 16 | uint32_t(e[31]) << 24;
                out->attributes = e[11];
                return true;
            }
            parts.clear();
        }
        return false;
    }

    int fd_ = -1;
    uint64_t volumeOffset_ = 0;
};

} // namespace zvtest
