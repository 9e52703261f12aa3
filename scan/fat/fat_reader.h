// ZV::Fat: a reader of FAT12, FAT16 and FAT32 volumes over a ZV::ByteStream
// whose byte 0 is the volume's boot sector.
//
// On-disk layout (all little-endian)
//
//   Boot sector (the first sector; a FAT32 volume keeps a copy at sector 6):
//     0    1  jump opcode: 0xEB (byte 2 then 0x90) or 0xE9
//     11   2  bytes per sector: 512, 1024, 2048 or 4096
//     13   1  sectors per cluster: a power of two up to 128
//     14   2  reserved sectors before the first FAT (never 0)
//     16   1  number of FATs (never 0; two copies as a rule)
//     17   2  root directory entries (FAT12/16 only; 0 on FAT32)
//     19   2  total sectors, 16-bit (0 when the 32-bit field is used)
//     21   1  media byte: 0xF0 or 0xF8..0xFF (repeated in FAT entry 0)
//     22   2  sectors per FAT, 16-bit (0 on FAT32)
//     32   4  total sectors, 32-bit
//     36   4  sectors per FAT, 32-bit (FAT32)
//     43  11  volume label (FAT12/16)
//     44   4  root directory cluster (FAT32)
//     71  11  volume label (FAT32)
//     510  2  signature 0x55 0xAA
//
//   Volume: reserved sectors | FAT #1 .. FAT #n | FAT12/16 root directory
//   area (root entries x 32 bytes) | data area of clusters numbered from 2.
//   The FAT type follows from the cluster count alone: below 4085 FAT12,
//   below 65525 FAT16, else FAT32.
//
//   FAT entries: 12 bits (two entries share three bytes), 16 bits, or 32 bits
//   of which only the low 28 count (the top four are reserved and may hold
//   anything). 0 free, 2..count+1 the next cluster, 0x(0F)FF(F)7 a bad
//   cluster, 0x(0F)FF(F)8 and above end of chain.
//
//   Directory entry (32 bytes): name 0..10 (8 + 3, blank-padded; first byte
//   0x00 free and nothing in use after it, 0xE5 erased, 0x05 stands for a
//   first byte 0xE5), attributes 11 (0x02 hidden, 0x08 volume label, 0x10
//   directory, 0x0F long-name part), case flags 12 (0x08 lower-case base,
//   0x10 lower-case extension), creation time 14 / date 16, access date 18,
//   first cluster high word 20, modification time 22 / date 24, first
//   cluster low word 26, size 28 (32 bits).
//
//   Long-name part (attributes 0x0F, stored just before its short entry, last
//   part first): order 0 (0x40 marks the last part, the sequence 1..20 in the
//   low six bits, 0xE5 when erased), type 12 (0), checksum of the short name
//   13, first cluster 26 (0), and 13 UTF-16LE units at 1, 3, 5, 7, 9, 14, 16,
//   18, 20, 22, 24, 28, 30.
//
// What the reader decides about damaged volumes
//   - The boot sector is refused when its geometry cannot describe a volume
//     (data area before its own start, no FAT, a FAT32 root cluster outside
//     the clusters). The usable cluster count is clamped to what the FAT can
//     map and to what the medium holds; the FAT type still follows the count
//     the boot sector declares.
//   - When the first FAT's header entries are wrong, or the first FAT is
//     blank (maps no cluster: a wiped or half-written copy), and another
//     FAT's header is right and it is in use, chains are followed through
//     that other FAT. A FAT lookup that cannot be read in the active FAT is
//     retried in the other copy.
//   - Cluster chains never repeat a cluster: a chain that comes back to a
//     cluster it already used (a loop, or a link into its own earlier part)
//     ends there and is reported incomplete. Directory walks stop after
//     kMaxDirectoryBytes.
//   - Live short names may carry OEM bytes 0x80..0xFF and lower case; they
//     are decoded through code page 437, and the case flags lower every
//     letter of the code page. A live entry whose name holds bytes no 8.3
//     name has ("/", "\", ".", control bytes ...) is still listed when the
//     rest of it is plainly an entry (isPlainLiveEntry), with "_" in place
//     of a separator, dot or control byte. Erased short entries are held
//     to the strict 8.3 alphabet.
//   - A live directory walk ends at the first free (0x00) entry.
//   - Times are 64-bit local-time stamps; a date of 0 (or day or month 0)
//     is unknown and gives 0.
//
// Not promised: thread safety (one thread at a time per reader, as for the
// stream), and anything about clusters other files also claim (two files
// sharing clusters each get their own chain as stored, up to a volume's
// ChainBudget).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/byte_stream.h"
#include "foundation/u8string.h"

namespace ZV {

class Fat {
public:
    // FAT types.
    static constexpr int typeFat12 = 0;
    static constexpr int typeFat16 = 1;
    static constexpr int typeFat32 = 2;

    // Entry kinds.
    static constexpr uint8_t kindFree = 0;
    static constexpr uint8_t kindFile = 1;
    static constexpr uint8_t kindDirectory = 2;
    static constexpr uint8_t kindVolumeLabel = 3;
    static constexpr uint8_t kindLongNamePart = 4;
    static constexpr uint8_t kindDot = 5;       // "."
    static constexpr uint8_t kindDotDot = 6;    // ".."
    static constexpr uint8_t kindRoot = 7;      // set only by callers, names the root

    // Entry flags.
    static constexpr uint8_t flagErased = 1;
    static constexpr uint8_t flagHidden = 2;

    // parseDirectory flags.
    static constexpr uint32_t walkErased = 1;   // include erased entries and parts

    // Values getNextCluster reports for clusters from 2 up.
    static constexpr uint32_t clusterBad = 0x0FFFFFF7;
    static constexpr uint32_t clusterEnd = 0x0FFFFFFF;

    // The largest directory a walk reads: FAT directories hold at most 65536
    // entries of 32 bytes. Bounds a walk whatever the chain claims.
    static constexpr uint64_t kMaxDirectoryBytes = 65536u * 32u;
    // The most FAT bytes kept in memory at once. The FAT is read in blocks
    // of kFatCacheBlockBytes when first needed and kept; a volume whose
    // FATs need more than this (a FAT32 volume of more than 16 million
    // clusters) drops the cache and starts over when it is full, so memory
    // stays bounded while a normal card's FAT is read exactly once.
    static constexpr uint64_t kFatCacheMaxBytes = 64ull << 20;
    static constexpr uint32_t kFatCacheBlockBytes = 64u << 10;
    // Sectors tried for the backup boot sector: sector 6 of each size.
    static constexpr uint32_t kBackupBootSector = 6;

    // Short names are up to 12 characters (8, a dot, 3); decoded from code
    // page 437 each takes up to 3 UTF-8 bytes, plus the NUL.
    static constexpr size_t kShortNameBytes = 12 * 3 + 1;
    static constexpr size_t kMaxLongNameUnits = 255;

    struct Extent {
        uint64_t start;     // byte offset on the volume
        uint64_t length;    // bytes
    };

    // A set of clusters of one volume, one bit each; it grows to the
    // highest cluster inserted (the reader inserts only clusters of the
    // volume).
    class ClusterSet {
    public:
        bool contains(uint32_t cluster) const
        {
            return cluster / 64 < bits_.size() && ((bits_[cluster / 64] >> (cluster % 64)) & 1) != 0;
        }
        void insert(uint32_t cluster)
        {
            if (cluster / 64 >= bits_.size())
                bits_.resize(cluster / 64 + 1);
            bits_[cluster / 64] |= 1ull << (cluster % 64);
        }

    private:
        std::vector<uint64_t> bits_;
    };

    // What the chains of one volume's files may cost together, kept by the
    // caller across the volume (clusterChain). Every file gets its own
    // chain as the FAT gives it, also where it shares clusters with another
    // file (cross-linked files are ordinary damage). A cluster that some
    // chain of the volume used already costs one of `shared`; once they are
    // spent, a chain ends at the next such cluster (incomplete). So a
    // damaged FAT in which many entries share one long chain costs at most
    // twice the volume's clusters in all, while files that share nothing
    // never spend any.
    struct ChainBudget {
        ClusterSet used;            // clusters some chain of the volume took
        uint64_t shared = 0;        // second uses left
        bool spentReported = false; // the end of the budget was logged
    };

    // One decoded directory entry.
    struct Entry {
        uint8_t kind;                           // kind* above
        char shortName[kShortNameBytes];        // UTF-8, NUL-terminated ("NAME.EXT", or the label)
        uint16_t longName[kMaxLongNameUnits];   // UTF-16 units as stored (host order)
        uint8_t longNameLength;                 // units, 0 without a long name
        uint32_t firstCluster;                  // high word x 65536 + low word
        uint32_t size;                          // bytes
        int64_t created;                        // local-time stamps, 0 when unknown
        int64_t modified;
        int64_t accessed;                       // the access date at 00:00
        uint8_t flags;                          // flagErased | flagHidden
    };

    // Callback of parseDirectory: the reader, the walk flags, the decoded
    // entry, the directory entry given to parseDirectory (or null) and the
    // context. Returns false to stop the walk after this entry.
    using DirectoryCallback = bool (*)(Fat &fat, uint32_t flags, const Entry &entry, const Entry *directory,
                                       void *context);
    using DirectoryVisitor = std::function<bool(const Entry &entry)>;

    // A reader over a stream (shared) or without one (for parsing boot
    // sectors in memory). Neither reads anything.
    Fat();
    explicit Fat(std::shared_ptr<ByteStream> stream);
    ~Fat();
    Fat(const Fat &) = delete;
    Fat &operator=(const Fat &) = delete;

    // Parses the boot sector at offset 0 of the stream; when that fails,
    // the backup at sector 6 (tried for 512, 1024, 2048 and 4096-byte
    // sectors; it must declare the sector size it was found with). Then
    // checks the FAT header entries, FAT #1 first and the other copies
    // after it; the first that passes and is in use (maps some cluster)
    // becomes the active FAT, else the first that passes (an empty
    // volume). True when a boot sector and a FAT pass.
    bool open();
    // Same, with a boot sector the caller already read (for example a
    // backup); the FATs are still read from the stream.
    bool openWithBootSector(const uint8_t *bytes, size_t size);

    // Parses a boot sector: the buffer when given with a non-zero size
    // (at least 512 bytes), else 512 bytes at offset 0 of the stream. Fills
    // the geometry, reports the FAT type. False (geometry cleared) for
    // anything that is not a usable FAT boot sector. With a stream, the
    // cluster count is also clamped to the medium's length.
    bool parseBootSector(const uint8_t *bytes, size_t size, int *fatType);

    // Checks entries 0 and 1 of FAT number index (0 = FAT #1) against the
    // media byte.
    bool checkFatHeader(uint32_t index = 0);

    // The FAT entry of cluster (2 .. count + 1) in FAT number index,
    // normalised: the 28 low bits on FAT32; 0x0FFFFFF7 for a bad cluster and
    // 0x0FFFFFFF for every end-of-chain value of each type. False for a
    // cluster out of range, an index not below the number of FATs, no
    // stream, or an entry that cannot be read.
    bool getNextCluster(uint32_t cluster, uint32_t index, uint32_t *value);

    // Byte offset of a cluster (2 .. count + 1) on the volume.
    bool clusterOffset(uint32_t cluster, uint64_t *offset) const;

    // Geometry by index: 0 bytes per sector, 1 sectors per cluster, 2
    // reserved sectors, 3 total sectors, 4 number of FATs, 5 sectors per
    // FAT, 6 root directory byte offset (FAT32: the root cluster's), 7 the
    // usable cluster count. False for another index.
    bool geometry(int index, uint64_t *value) const;

    // The extents of an entry's data: one per run of adjacent clusters,
    // merged only with the extent just before (so the order of the data is
    // the chain's), the last cut to the size. The walk stops once the size
    // is covered, at the end of the chain, a bad, free or out-of-range
    // cluster, an unreadable entry, or a cluster the chain already used.
    // *complete (when given) is true only when the extents cover the size.
    // With a budget (see ChainBudget), the walk also stops at a cluster
    // another chain used once the budget's second uses are spent.
    std::vector<Extent> clusterChain(const Entry &entry, bool *complete = nullptr, ChainBudget *budget = nullptr);
    // A fresh budget for this volume's chains: as many second uses as the
    // volume has clusters.
    ChainBudget chainBudget() const;

    // Walks a directory: the root (cluster 0 without a directory entry, or
    // a directory entry of kind 7), the directory entry's cluster (kind 2),
    // or the given cluster. Every valid entry goes to the callback; a false
    // answer stops the walk (true is returned). Without walkErased the walk
    // ends at the first free (0x00) entry. False when the directory cannot
    // be found or one of its sectors cannot be read (entries before it were
    // delivered). The walk reads at most kMaxDirectoryBytes and never
    // re-enters a cluster of the same directory. With `walked` (kept by the
    // caller across a volume's directories) it also ends (true) at a
    // cluster any directory walk of the volume read before, and adds the
    // clusters it reads: directories whose chains run into one another
    // then deliver each directory slot of the volume once.
    bool parseDirectory(uint32_t cluster, const Entry *directory, DirectoryCallback callback, void *context,
                        uint32_t flags, ClusterSet *walked = nullptr);
    bool parseDirectory(uint32_t cluster, const Entry *directory, const DirectoryVisitor &visitor, uint32_t flags,
                        ClusterSet *walked = nullptr);

    // The root directory's volume-label entry (found once, then kept), else
    // the boot-sector label; decoded from code page 437.
    zorvant::u8string volumeLabel();
    // The entry's long name in UTF-8 (lone surrogates become U+FFFD); empty
    // without one.
    static zorvant::u8string longName(const Entry &entry);
    // The name a listing shows: the long name when there is one, else the
    // short name.
    static zorvant::u8string displayName(const Entry &entry);

    // Decodes one 32-byte directory entry (with the long-name parts seen
    // before it in this reader's assembly). Valid or not.
    bool parseEntry(const uint8_t *raw, Entry *entry, uint32_t flags);
    // Forgets the long-name parts collected so far.
    void clearLongName();

    // Checksum of an 11-byte short name: sum = rotate-right-by-one(sum) + byte.
    static uint8_t shortNameChecksum(const uint8_t *name11);
    // UTF-8 of one code page 437 byte (0x00..0xFF) appended to out; with
    // lowerCase, a letter of the code page is appended in lower case.
    static void appendCp437(uint8_t byte, std::string *out, bool lowerCase = false);
    // The 8.3 validity test: strict (erased entries; no lower case, no byte
    // above 0x7E) or lenient (live entries; lower case and 0x80..0xFF too).
    static bool isValidShortName(const uint8_t *name11, bool erased);
    // Whether a live short entry whose name fails the lenient test (it
    // holds a "/", "\", ".", a control byte or another sign no 8.3 name
    // has) is still plainly a file or folder entry and so listed: no
    // reserved attribute bit, not a volume label; a name that starts with
    // a character other than a blank and holds a letter, a digit or an OEM
    // character; a modification stamp of 0 or a real date and time; a
    // folder with size 0 and a first cluster on the volume; a file with
    // size 0, or a first cluster on the volume and a size within it.
    bool isPlainLiveEntry(const uint8_t *raw) const;

    // --- geometry, valid after a successful parseBootSector -------------------
    int fatType() const { return fatType_; }
    uint32_t bytesPerSector() const { return bytesPerSector_; }
    uint32_t sectorsPerCluster() const { return sectorsPerCluster_; }
    uint32_t bytesPerCluster() const { return bytesPerCluster_; }
    uint32_t reservedSectors() const { return reservedSectors_; }
    uint32_t numberOfFats() const { return numberOfFats_; }
    uint32_t rootEntries() const { return rootEntries_; }
    uint32_t sectorsPerFat() const { return sectorsPerFat_; }
    uint32_t totalSectors() const { return totalSectors_; }
    uint32_t rootCluster() const { return rootCluster_; }
    uint32_t firstDataSector() const { return firstDataSector_; }
    uint8_t mediaByte() const { return mediaByte_; }
    // The usable cluster count (clamped) and the one the boot sector declares.
    uint32_t clusterCount() const { return clusterCount_; }
    uint32_t declaredClusterCount() const { return declaredClusterCount_; }
    uint64_t rootDirectoryOffset() const { return rootDirectoryOffset_; }
    // The FAT chains are followed through (0 = FAT #1).
    uint32_t activeFat() const { return activeFat_; }
    // True when open() took the geometry from the backup boot sector.
    bool usedBackupBootSector() const { return usedBackup_; }
    // True when a boot sector this reader parsed is laid out as FAT32 (no
    // sectors-per-FAT in the 16-bit field) but declares fewer clusters than
    // FAT32 has (under 65,525): no valid FAT32, read as FAT12/16 it has no
    // FAT of its own kind either, so its folders can't be read.
    bool fat32LayoutTooFewClusters() const { return fat32TooFewClusters_; }
    // Byte offset open() found the boot sector at (0, or the backup's).
    uint64_t bootSectorOffset() const { return bootSectorOffset_; }
    const std::shared_ptr<ByteStream> &stream() const { return stream_; }
    // The bytes of the stream that reads failed on (boot sectors, FAT
    // blocks, directory clusters): first byte -> one past the last,
    // overlapping and neighbouring ranges merged. Bytes past the stream's
    // end are not counted: they are missing, not unreadable.
    const std::map<uint64_t, uint64_t> &unreadable() const { return unreadable_; }

private:
    struct FatCache;

    void clearGeometry();
    bool openFats();
    // True when FAT number index maps any cluster: on FAT32 the root
    // directory's cluster (always in use on a sound volume), on FAT12/16
    // any entry not free (the search stops at the first one, or at an
    // entry that cannot be read).
    bool fatInUse(uint32_t index);
    // Reads count bytes at offset; true when all came. What did not come
    // (short of the stream's end) is noted as unreadable.
    bool readBytes(uint64_t offset, void *destination, uint32_t count, uint32_t *got);
    void noteUnreadable(uint64_t first, uint64_t end);
    bool readFatEntryRaw(uint32_t cluster, uint32_t index, uint32_t *value);
    bool readFatBytes(uint32_t index, uint64_t offset, uint8_t *destination, uint32_t count);
    uint32_t normalise(uint32_t raw) const;
    bool nextInChain(uint32_t cluster, uint32_t *next);
    uint32_t entryFirstCluster(const uint8_t *raw) const;
    bool parseLongNamePart(const uint8_t *raw, uint32_t flags);
    void attachLongName(const uint8_t *raw, Entry *entry, bool erased, uint32_t flags);
    bool walkArea(const uint8_t *area, size_t size, const Entry *directory, DirectoryCallback callback,
                  void *context, uint32_t flags, bool *stop);
    bool walkDirectory(uint32_t cluster, const Entry *directory, DirectoryCallback callback, void *context,
                       uint32_t flags, ClusterSet *walked);

    std::shared_ptr<ByteStream> stream_;

    // Geometry.
    uint32_t bytesPerSector_ = 0;
    uint16_t sectorsPerCluster_ = 0;
    uint16_t reservedSectors_ = 0;
    uint16_t numberOfFats_ = 0;
    uint16_t rootEntries_ = 0;
    uint8_t mediaByte_ = 0;
    uint32_t sectorsPerFat_ = 0;
    uint32_t totalSectors_ = 0;
    uint32_t rootCluster_ = 0;                 // 0 on FAT12/16
    char bootLabel_[12] = {};                  // raw bytes, trailing blanks removed
    uint32_t firstDataSector_ = 0;
    uint32_t clusterCount_ = 0;                // usable (clamped)
    uint32_t declaredClusterCount_ = 0;        // as the boot sector gives it
    uint64_t rootDirectoryOffset_ = 0;         // FAT12/16
    int fatType_ = -1;
    uint32_t bytesPerCluster_ = 0;
    uint32_t activeFat_ = 0;
    bool usedBackup_ = false;
    uint64_t bootSectorOffset_ = 0;
    bool fat32TooFewClusters_ = false; // sticky: see fat32LayoutTooFewClusters

    // Root-directory volume label, looked up once.
    std::string rootLabel_;
    bool rootLabelKnown_ = false;

    // Long-name assembly: 20 parts of 13 units. Each directory walk has
    // its own (parseDirectory keeps the caller's aside).
    struct LongNameAssembly {
        uint16_t units[260];
        uint8_t expected;                      // sequence the next live part must have
        uint8_t checksum;
        uint8_t erasedCount;
        bool haveChecksum;
    };
    LongNameAssembly lfn_ = {};

    std::map<uint64_t, uint64_t> unreadable_;  // see unreadable()
    std::unique_ptr<FatCache> cache_;          // the FAT blocks read so far
    std::vector<uint64_t> visited_;            // one bit per cluster, clear between chains
};

} // namespace ZV
