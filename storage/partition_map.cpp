// The partition map reader: finds the partitions of a whole medium (an Apple
// partition map, a GUID partition table or an MBR with its extended chain)
// and fills the medium's partition table with one entry per partition, in
// bytes from the medium's start. Also the table's archive form.
//
// On-disk layouts read here (offsets in bytes within a 512-byte structure)
//
//   Apple driver descriptor, at byte 0
//     0  2  signature "ER" (0x4552, big-endian)
//     2  2  block size (big-endian); counts the map entries' block fields
//
//   Apple partition map entry, one per sector from sector 1 on
//     0  2  signature "PM" (0x504D, big-endian)
//     4  4  number of entries in the map (big-endian)
//     8  4  first block of the partition (big-endian)
//    12  4  number of blocks (big-endian)
//    48 32  partition type text ("Apple_HFS", "Apple_partition_map" ...),
//           NUL-padded, not always NUL-terminated
//
//   GUID partition table header, at LBA 1 (all little-endian)
//     0  8  "EFI PART"
//    72  8  LBA of the entry array
//    80  4  number of entries
//    84  4  size of one entry (128 in every table written today)
//   entry: 32 first LBA (8), 40 last LBA, inclusive (8)
//
//   MBR and its extended boot records: read by ZV::MBR (storage/mbr.h).
//
// Implementation notes
//   - The LBA unit is the medium's logical block size for whole disks (a 4Kn
//     card reader puts the GPT header at byte 4096) and 512 for everything
//     else: image and plain files carry no sector size, and 512 is what
//     nearly every card image uses. The Apple map is read in the same unit
//     (on a 512-byte medium: sectors 1, 2, ... as always).
//   - The GPT is read leniently: neither header nor entry-array CRC is
//     checked, so a card whose table was damaged in a byte or two still
//     shows its partitions. What keeps that safe is that every count and
//     size taken from the header is capped (see the constants below) and
//     every entry must lie inside the medium. A protective MBR entry (type
//     0xEE) is never taken as a partition: on a medium whose GPT header is
//     unreadable it would cover the whole disk from sector 1.
//   - Every read is checked against the medium's length first, so a
//     structure the medium only partly holds counts as unreadable whatever
//     the file layer does with a partial last block.
//   - A GPT entry is a partition when its first LBA is not 0, not above its
//     last (a one-sector partition is valid) and its last LBA lies on the
//     medium. Entries of an Apple map must hold at least one byte and lie
//     on the medium; Apple entries found without a driver descriptor still
//     make the table an Apple map.
//   - Failed reads end the reading quietly with the entries found so far.
//
// Not promised: a map is trusted as found. Overlapping GPT or MBR entries
// are all listed; only Apple entries with an equal start are merged.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "foundation/archive.h"
#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "storage/hfs_score.h"
#include "storage/mbr.h"
#include "storage/media.h"
#include "storage/media_stream.h"

namespace {

constexpr int64_t MAP_SECTOR = 512; // bytes of each map structure read

// GPT caps. 4096 entries is 32 times the 128 of every table written today;
// the 1 MiB bound on the array keeps a header with huge entries from making
// the reader walk gigabytes (at most 256 entries of 4096 bytes). Entries
// above 4096 bytes are not a format anyone writes: such a header is damage.
constexpr uint32_t GPT_MAX_ENTRIES = 4096;
constexpr uint64_t GPT_MAX_ARRAY_BYTES = 1u << 20;
constexpr uint32_t GPT_MIN_ENTRY_SIZE = 128;
constexpr uint32_t GPT_MAX_ENTRY_SIZE = 4096;

// Apple map scan: at most 1024 sectors, 63 when the map gives no count,
// and a first entry counting 1 to 16 entries is believed.
constexpr uint32_t APPLE_MAX_SCAN = 1024;
constexpr uint32_t APPLE_DEFAULT_SCAN = 63;
constexpr uint32_t APPLE_MAX_TRUSTED_COUNT = 16;
// HFS volumes inside an Apple map are probed with these block sizes.
constexpr int64_t HFS_MIN_BLOCK = 512;
constexpr int64_t HFS_MAX_BLOCK = 32768;
constexpr int64_t HFS_HEADER_OFFSET = 1024; // volume header / MDB within the volume

constexpr uint8_t MBR_TYPE_PROTECTIVE = 0xEE;

bool valid_block_size(int64_t size)
{
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0;
}

bool has_prefix(const uint8_t *field, size_t field_size, const char *prefix)
{
    const size_t n = strlen(prefix);
    return n <= field_size && memcmp(field, prefix, n) == 0;
}

struct map_reader {
    Media *media;
    media_partition_table *table;
    int64_t length; // bytes of the medium
    int64_t unit;   // bytes per LBA
};

// Reads exactly n bytes at a byte offset; false when they do not all lie
// inside the medium or the read falls short.
bool read_at(const map_reader &r, int64_t offset, void *buffer, int64_t n)
{
    if (offset < 0 || n > r.length || offset > r.length - n)
        return false;
    if (media_seek(r.media, offset) != 0)
        return false;
    return media_read(r.media, buffer, n) == n;
}

void add_entry(map_reader &r, int64_t start, int64_t size)
{
    const int32_t slice = (int32_t)r.table->entries.size() + 1;
    r.table->entries.push_back({slice, start, size});
}

// --- GUID partition table ----------------------------------------------------------------

// Reads the entry array the header at `header` (512 bytes) describes.
int read_gpt(map_reader &r, const uint8_t *header)
{
    r.table->type = PARTITION_MAP_GPT;
    const uint64_t array_lba = get_le64(header + 72);
    const uint32_t declared = get_le32(header + 80);
    const uint32_t entry_size = get_le32(header + 84);
    if (entry_size < GPT_MIN_ENTRY_SIZE || entry_size > GPT_MAX_ENTRY_SIZE)
        return -1;
    const uint32_t count =
        std::min<uint64_t>({declared, GPT_MAX_ENTRIES, GPT_MAX_ARRAY_BYTES / entry_size});

    const uint64_t sectors = (uint64_t)r.length / (uint64_t)r.unit;
    if (array_lba >= sectors)
        return 0;
    int64_t offset = (int64_t)(array_lba * (uint64_t)r.unit);
    std::vector<uint8_t> entry(entry_size);
    for (uint32_t i = 0; i < count; i++, offset += entry_size) {
        if (!read_at(r, offset, entry.data(), entry_size))
            break;
        const uint64_t first = get_le64(entry.data() + 32);
        const uint64_t last = get_le64(entry.data() + 40);
        if (first == 0 || first > last || last >= sectors)
            continue; // unused, or not on this medium
        const int64_t start = (int64_t)(first * (uint64_t)r.unit);
        const int64_t size = (int64_t)((last - first + 1) * (uint64_t)r.unit);
        log_info("GPT entry: start %lld, size %lld", (long long)start, (long long)size);
        add_entry(r, start, size);
    }
    return 0;
}

// --- MBR ------------------------------------------------------------------------------------

// True when the medium holds a valid MBR (its entries are then added).
bool read_mbr(map_reader &r)
{
    try {
        auto stream = std::make_shared<HV::ByteStreamMedia>(r.media);
        if (!stream->isOpen())
            return false;
        // ZV::MBR counts sectors in the stream's block size: use the same.
        const int64_t unit = stream->currentBlockSize();
        if (!valid_block_size(unit))
            return false;
        const ZV::MBR mbr(stream, true);
        if (!mbr.isValid())
            return false;
        r.table->type = PARTITION_MAP_MBR;
        for (const ZV::MBRPartition &p : mbr.partitions()) {
            if (p.type == MBR_TYPE_PROTECTIVE || p.count == 0)
                continue;
            const int64_t start = (int64_t)p.first * unit;
            const int64_t size = (int64_t)p.count * unit;
            if (start > r.length || size > r.length - start)
                continue;
            log_info("MBR entry: start %lld, size %lld", (long long)start, (long long)size);
            add_entry(r, start, size);
        }
        return true;
    } catch (const std::exception &e) {
        log_error("media_read_partition_map: %s", e.what());
        return false;
    }
}

// --- Apple partition map ------------------------------------------------------------------

// The block size that puts an HFS or HFS+ header 1024 bytes into the volume
// starting at block `first`, or 0 when none does.
int64_t probe_hfs_block_size(const map_reader &r, uint32_t first)
{
    uint8_t header[MAP_SECTOR];
    for (int64_t size = HFS_MIN_BLOCK; size <= HFS_MAX_BLOCK; size *= 2) {
        if (!read_at(r, (int64_t)first * size + HFS_HEADER_OFFSET, header, sizeof header))
            continue;
        // The packed score is positive whenever a check was made: test the
        // signed half.
        if (hfs_score_value(hfsplus_header_score(header)) > 0 ||
            hfs_score_value(hfs_mdb_score(header)) > 0)
            return size;
    }
    return 0;
}

void scan_apple_map(map_reader &r, uint32_t scan_count, int64_t block_size)
{
    uint8_t sector[MAP_SECTOR];
    for (uint32_t i = 0; i < scan_count; i++) {
        if (!read_at(r, (int64_t)(i + 1) * r.unit, sector, sizeof sector))
            break;
        if (get_be16(sector) != 0x504D)
            continue;
        const uint32_t map_entries = get_be32(sector + 4);
        if (i == 0 && map_entries >= 1 && map_entries <= APPLE_MAX_TRUSTED_COUNT) {
            scan_count = map_entries; // the map's own entry
            continue;
        }
        const uint8_t *type = sector + 48;
        const bool hfs = has_prefix(type, 32, "Apple_HFS") || has_prefix(type, 32, "Hidden_HFS");
        const bool raid = has_prefix(type, 32, "Apple_Boot_SoftRAID_Volume") ||
                          has_prefix(type, 32, "Apple_RAID");
        if (!hfs && !raid)
            continue;
        const uint32_t first = get_be32(sector + 8);
        const uint32_t blocks = get_be32(sector + 12);
        if (hfs) {
            const int64_t found = probe_hfs_block_size(r, first);
            if (found != 0)
                block_size = found;
            else
                log_info("Could't find likely HFS volume in partition, using %d for a block size.",
                         (int)block_size);
        }
        // first and blocks are 32-bit and block_size at most 65535: no overflow.
        const int64_t start = (int64_t)first * block_size;
        const int64_t size = (int64_t)blocks * block_size;
        // An empty entry would become a medium of length 0: left out too.
        if (size <= 0 || start > r.length || size >= r.length || size > r.length - start)
            continue;
        const auto same_start = [start](const media_partition_entry &e) { return e.start == start; };
        if (std::any_of(r.table->entries.begin(), r.table->entries.end(), same_start))
            continue;
        log_info("Apple entry: start %lld, size %lld", (long long)start, (long long)size);
        add_entry(r, start, size);
        r.table->type = PARTITION_MAP_APPLE;
    }
}

} // namespace

int media_read_partition_map(Media *media, media_partition_table *table)
{
    if (table == nullptr)
        return -1;
    table->type = PARTITION_MAP_NONE;
    table->entries.clear();
    if (media == nullptr)
        return -1;
    map_reader r{media, table, media_length(media), MAP_SECTOR};
    if (r.length < 1)
        return -1;
    if (media->kind == MEDIA_DISK && valid_block_size(media->block_size))
        r.unit = media->block_size;

    uint8_t sector[MAP_SECTOR];
    int64_t block_size = r.unit; // counts Apple map blocks unless the descriptor says otherwise
    if (!read_at(r, 0, sector, sizeof sector))
        return 0;
    if (get_be16(sector) == 0x4552) {
        log_info("Block0 at 0");
        table->type = PARTITION_MAP_APPLE;
        const int64_t descriptor_size = get_be16(sector + 2);
        // A block size of 0 would put every entry at 0: keep the default then.
        if (descriptor_size != 0 && descriptor_size != block_size) {
            block_size = descriptor_size;
            log_info("Block size = %d", (int)block_size);
        }
    }

    if (!read_at(r, r.unit, sector, sizeof sector))
        return 0;
    uint32_t scan_count = APPLE_DEFAULT_SCAN;
    if (get_be16(sector) == 0x504D) {
        const uint32_t map_entries = get_be32(sector + 4);
        scan_count = map_entries == 0 ? APPLE_DEFAULT_SCAN : std::min(map_entries, APPLE_MAX_SCAN);
    } else if (memcmp(sector, "EFI PART", 8) == 0) {
        return read_gpt(r, sector);
    } else if (read_mbr(r)) {
        return 0;
    }
    scan_apple_map(r, scan_count, block_size);
    return 0;
}

// --- archive --------------------------------------------------------------------------------

int media_partition_table_archive(const media_partition_table *table, archive *a)
{
    static const char *const fn = "media_partition_table_archive";
    if (table == nullptr)
        return -12;
    const auto check = [](int status) {
        if (status != 0)
            log_error("%s: archive error for %d", fn, status);
        return status;
    };
    int status = check(archive_long(a, "partition_num_entries", (int32_t)table->entries.size()));
    for (size_t i = 0; status == 0 && i < table->entries.size(); i++) {
        const media_partition_entry &e = table->entries[i];
        status = check(archive_long(a, "partition_entry_slice", e.slice));
        if (status == 0)
            status = check(archive_quad(a, "partition_entry_start", e.start));
        if (status == 0)
            status = check(archive_quad(a, "partition_entry_size", e.size));
    }
    if (status == 0 && !table->entries.empty())
        status = check(archive_long(a, "partition_type", (int32_t)table->type));
    return status;
}

int media_partition_table_unarchive(media_partition_table *table, archive *a)
{
    static const char *const fn = "media_partition_table_unarchive";
    if (table == nullptr)
        return -12;
    table->type = PARTITION_MAP_NONE;
    table->entries.clear();
    const auto check = [](int status) {
        if (status != 0)
            log_error("%s: archive error for %d", fn, status);
        return status;
    };
    int32_t count = 0;
    int status = check(unarchive_long(a, "partition_num_entries", &count));
    if (status != 0 || count <= 0)
        return status;
    // Every entry found consumes three items of the archive, so a damaged
    // count ends at the first missing key; nothing is reserved from it.
    for (int32_t i = 0; i < count; i++) {
        media_partition_entry e{};
        if ((status = check(unarchive_long(a, "partition_entry_slice", &e.slice))) != 0 ||
            (status = check(unarchive_quad(a, "partition_entry_start", &e.start))) != 0 ||
            (status = check(unarchive_quad(a, "partition_entry_size", &e.size))) != 0)
            return status;
        table->entries.push_back(e);
    }
    int32_t type = 0;
    if ((status = check(unarchive_long(a, "partition_type", &type))) != 0)
        return status;
    table->type = (uint32_t)type;
    return 0;
}
