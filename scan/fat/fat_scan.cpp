// Walking FAT volumes into the catalog: the quick scan of a medium, the walk
// of one volume, the directory callback, and the thorough scan's walk of a
// boot-sector span.
//
// One walk = one volume read into the catalog in directory order, depth
// first, a folder's row before its contents (see fat_scan.h for the fs_id
// numbering of walks).
//
// Implementation notes
// - Folders already entered in this walk are kept in a hash set of first
//   clusters, seeded with 0 and 1 (never a folder's own cluster: 0 names the
//   FAT12/16 root, and cluster 1 would give fs_id 2, the walk's root) and
//   with FAT32's root cluster. A folder met again (a loop, or two entries
//   sharing a first cluster) is skipped alone; the rest of its directory is
//   still read. So no two folder rows of a walk share an fs_id.
// - Every directory cluster read is marked for the whole walk: a directory
//   walk ends at a cluster another one read, and a folder whose first
//   cluster was read already is met again. Folders whose chains run into
//   one shared tail so list the tail once, and a volume never gives more
//   rows than it has directory slots.
// - Files get their chains as the FAT gives them, cross-linked files
//   included; the walk's ChainBudget keeps all chains of the volume within
//   twice its clusters.
// - The walk stops at the first row the catalog refuses (disk full, a
//   read-only workspace): every later insert would fail the same way. An
//   abort stops it too; the abort is the scan driver's to report.
// - Folders nested deeper than FAT_MAX_DEPTH are written but not entered,
//   so a crafted chain of nested folders cannot exhaust the stack.
// - The caller of a walk holds the catalog's lock from opening to closing,
//   so no other thread switches the connection in the middle of the walk.
#include <sqlite3.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/local_zone.h"
#include "foundation/log.h"
#include "scan/fat/fat_scan.h"
#include "scan/module.h"
#include "storage/media.h"
#include "storage/media_stream.h"

namespace {

constexpr uint32_t kClusterMask = 0x0FFFFFFF; // cluster numbers have 28 bits

struct fat_walk {
    fs_record *fs;
    int64_t volume_start;             // added to every extent
    uint64_t walk;                    // this walk's fs_id namespace
    std::unordered_set<uint32_t> visited;   // first clusters of the folders met
    std::unordered_map<int64_t, int64_t> folder_rows; // fs_id of a folder written -> its row id
    ZV::Fat::ClusterSet directories;        // every directory cluster read in this walk
    ZV::Fat::ChainBudget chains;            // what the files' chains may cost together
    int depth = 0;
    int catalog_failure = 0;          // the first refused row's code
    bool aborted = false;
    uint64_t rows = 0;
};

int64_t walk_fs_id(uint64_t walk, uint32_t cluster)
{
    return (int64_t)(walk << 32 | (uint64_t)((cluster & kClusterMask) + 1));
}

// Writes one entry's row; on failure records 519 and stops the walk.
bool write_entry(fat_walk *w, const ZV::Fat::Entry &entry, const ZV::Fat::Entry *directory,
                 const std::vector<ZV::Fat::Extent> *extents)
{
    const bool folder = entry.kind == ZV::Fat::kindDirectory;
    const int64_t fs_id = walk_fs_id(w->walk, entry.firstCluster);
    const int64_t fs_pid = directory != nullptr ? walk_fs_id(w->walk, directory->firstCluster)
                                                : (int64_t)(w->walk << 32 | (uint64_t)FAT_ROOT_FS_ID);
    const auto parent = w->folder_rows.find(fs_pid);
    int64_t id = 0;
    const int rc = fatdb_write_node(w->fs, ZV::Fat::displayName(entry).str(), fs_id, fs_pid, folder ? 1 : 0,
                                    folder ? 0 : entry.size, entry.created, entry.modified,
                                    (entry.flags & ZV::Fat::flagHidden) != 0,
                                    (entry.flags & ZV::Fat::flagErased) != 0, extents, w->volume_start,
                                    parent != w->folder_rows.end() ? parent->second : 0, &id);
    if (rc != 0) {
        if (abort_requested()) {
            // The catalog's progress handler interrupts statements once an
            // abort is asked for: that is the abort, not a catalog failure.
            w->aborted = true;
            return false;
        }
        add_error(FAT_ERROR_CATALOG_WRITE);
        w->catalog_failure = rc < -1 ? rc : -40;
        return false;
    }
    if (folder)
        w->folder_rows[fs_id] = id;
    w->rows++;
    return true;
}

bool fat_dir_callback(ZV::Fat &fat, uint32_t flags, const ZV::Fat::Entry &entry, const ZV::Fat::Entry *directory,
                      void *context)
{
    auto *w = static_cast<fat_walk *>(context);
    if (w->catalog_failure != 0 || w->aborted)
        return false;
    if (abort_requested()) {
        w->aborted = true;
        return false;
    }
    if (entry.kind == ZV::Fat::kindFile) {
        // Each file gets its chain as the FAT gives it, cross-linked ones
        // too; the volume's budget bounds what they cost together.
        const std::vector<ZV::Fat::Extent> extents = fat.clusterChain(entry, nullptr, &w->chains);
        return write_entry(w, entry, directory, &extents);
    }
    if (entry.kind != ZV::Fat::kindDirectory)
        return true; // labels, ".", "..", long-name parts, free entries
    const uint32_t first = entry.firstCluster & kClusterMask;
    if (w->directories.contains(first) || !w->visited.insert(first).second) {
        log_warning("Recursive loop while parsing FAT. Bailing.");
        return true; // this folder only: its siblings are still read
    }
    if (!write_entry(w, entry, directory, nullptr))
        return false;
    if (w->depth >= FAT_MAX_DEPTH) {
        log_warning("%s: folders nested deeper than %d levels are not read", "fat_dir_callback", FAT_MAX_DEPTH);
        return true;
    }
    w->depth++;
    if (!fat.parseDirectory(0, &entry, fat_dir_callback, context, flags, &w->directories) &&
        w->catalog_failure == 0 && !w->aborted)
        log_warning("%s: can't read the folder at cluster %u", "fat_dir_callback", entry.firstCluster);
    w->depth--;
    return w->catalog_failure == 0 && !w->aborted;
}

// The walk number of the next walk into the catalog: 0 (the root row
// itself) for the first walk into a fresh catalog, else one past every walk
// the catalog or this record has made.
uint64_t next_walk(fs_record *fs, fat_state *state)
{
    catdb *db = &fs->cat;
    const int64_t rows = catdb_count_nodes(db);
    if (state->walks == 0 && rows >= 0 && rows <= 1)
        return 0;
    int64_t max_id = 0;
    if (catdb_get_int64_for_sql_(db, "SELECT COALESCE(MAX(fs_id), 0) FROM nodes;", &max_id) != 0 || max_id < 0)
        max_id = 0;
    return std::max<uint64_t>(((uint64_t)max_id >> 32) + 1, std::max<uint64_t>(state->walks, 1));
}

// The name of the folder that holds a later walk's volume.
std::string volume_folder_name(int64_t offset, const std::string &label)
{
    char name[96];
    std::snprintf(name, sizeof name, "Volume at %lld", (long long)offset);
    std::string text = name;
    std::string trimmed = label;
    while (!trimmed.empty() && trimmed.back() == ' ')
        trimmed.pop_back();
    if (!trimmed.empty() && trimmed != "NO NAME")
        text += " (" + trimmed + ")";
    return text;
}

// A volume this record walked already covers offset (its boot sector or the
// rest of its reserved area, where FAT32 keeps the backup boot sector).
bool walked_already(const fat_state *state, int64_t offset)
{
    for (const fat_walked_volume &v : state->walked)
        if (offset >= v.offset && offset < v.reserved_end)
            return true;
    return false;
}

} // namespace

int fat_opendb_for_writing(fs_record *fs)
{
    static const char *const fn = "fat_opendb_for_writing";
    if (fat_state_of(fs) == nullptr)
        return -12;
    catdb *db = &fs->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    int rc = catdb_ensure_writing(db);
    if (rc != 0) {
        log_error("%s: Can't get catdb write access: %d", fn, rc);
        return rc;
    }
    if (catdb_count_nodes(db) != 0)
        return 0; // rows already (or the count failed): no second root
    rc = fatdb_write_node(fs, "", FAT_ROOT_FS_ID, FAT_ID_ROOT, 1, 0, 0, 0, 0, 0, nullptr, 0);
    if (rc != 0)
        log_error("%s: Can't create root folder entry: %d", fn, rc);
    return rc;
}

int fat_close_db(fs_record *fs)
{
    if (fs == nullptr)
        return -12;
    catdb *db = &fs->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    int rc = catdb_link_parents(db);
    if (rc == 0)
        rc = catdb_update_num_children(db);
    const int closed = catdb_close(db);
    return rc != 0 ? rc : closed;
}

int fat_scan_volume(fs_record *fs, int64_t start)
{
    static const char *const fn = "fat_scan_volume";
    fat_state *state = fat_state_of(fs);
    Media *media = fs != nullptr ? fs->media : nullptr;
    if (state == nullptr || media == nullptr)
        return -1;
    const int64_t volume_start = start < 0 ? 0 : start;
    const int64_t length = media_length(media);
    if (volume_start >= length) {
        log_error("%s: volume at %lld lies beyond the medium (%lld)", fn, (long long)volume_start, (long long)length);
        return -1;
    }
    if (walked_already(state, volume_start)) {
        log_info("%s: the volume at %lld is in the catalog already", fn, (long long)volume_start);
        return 0;
    }
    auto stream = std::make_shared<HV::ByteStreamMedia>(media, (uint64_t)volume_start,
                                                        (uint64_t)(length - volume_start));
    if (!stream->isOpen()) {
        log_error("%s: can't open the medium at %lld", fn, (long long)volume_start);
        return -1;
    }
    ZV::LocalZoneScope zone; // the entries' local times: a zone changed since the last walk is read again
    ZV::Fat fat(stream);
    if (!fat.open()) {
        if (fat.fat32LayoutTooFewClusters())
            add_error(FAT_ERROR_FAT32_TOO_FEW_CLUSTERS);
        log_error("%s: no FAT volume at %lld", fn, (long long)volume_start);
        return -1;
    }
    catdb *db = &fs->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    if (catdb_mode(db) != CATDB_MODE_WRITE) {
        log_error("%s: the catalog is not open for writing", fn);
        return -40;
    }
    fat_walk w{};
    w.fs = fs;
    w.volume_start = volume_start;
    w.walk = next_walk(fs, state);
    w.visited = {0, 1};
    w.chains = fat.chainBudget();
    if (fat.fatType() == ZV::Fat::typeFat32)
        w.visited.insert(fat.rootCluster() & kClusterMask);
    // Rows are linked to their folders as they are written; the walk starts
    // from the catalog's root row (0: not found, linked at close).
    int64_t root = 0;
    const std::string root_sql = "SELECT COALESCE((SELECT id FROM nodes WHERE fs_id = " +
                                 std::to_string(FAT_ROOT_FS_ID) + " AND is_dir = 1 ORDER BY id LIMIT 1), 0);";
    if (catdb_get_int64_for_sql_(db, root_sql.c_str(), &root) != 0)
        root = 0;
    const int64_t walk_root = (int64_t)(w.walk << 32 | (uint64_t)FAT_ROOT_FS_ID);
    if (w.walk == 0 && root > 0)
        w.folder_rows[walk_root] = root;
    if (w.walk != 0) {
        int64_t id = 0;
        const int rc = fatdb_write_node(fs, volume_folder_name(volume_start, fat.volumeLabel().str()), walk_root,
                                        FAT_ROOT_FS_ID, 1, 0, 0, 0, 0, 0, nullptr, 0, root, &id);
        if (rc != 0) {
            add_error(FAT_ERROR_CATALOG_WRITE);
            return rc < -1 ? rc : -40;
        }
        w.folder_rows[walk_root] = id;
    }
    state->walks = std::max<uint64_t>(state->walks, w.walk + 1);
    const uint64_t reserved = (uint64_t)fat.reservedSectors() * fat.bytesPerSector();
    state->walked.push_back(fat_walked_volume{
        volume_start, volume_start + (int64_t)std::max<uint64_t>(reserved, fat.bytesPerSector())});
    const bool read = fat.parseDirectory(0, nullptr, fat_dir_callback, &w, 0, &w.directories);
    for (const auto &[first, end] : fat.unreadable())
        fs->unreadable.emplace_back(volume_start + (int64_t)first, (int64_t)(end - first));
    if (w.catalog_failure != 0)
        return w.catalog_failure;
    if (w.rows > 0)
        fs->has_children = 1;
    if (!read && !w.aborted) {
        log_error("%s: can't read the root directory of the volume at %lld", fn, (long long)volume_start);
        return -1;
    }
    log_info("%s: %llu entries of the volume at %lld", fn, (unsigned long long)w.rows, (long long)volume_start);
    return 0;
}

int fat_quickscan(fs_record *fs)
{
    static const char *const fn = "fat_quickscan";
    fat_state *state = fat_state_of(fs);
    if (state == nullptr)
        return -1;
    fil_module *module = fs->descriptor;
    if (module != nullptr && module->id == FIL_MODULE_FAT && fat_refresh_enabled(module) != 1) {
        log_info("%s: disabled", fn);
        return -9;
    }
    Media *media = fs->media;
    log_info("%s: dev=%s", fn, media != nullptr && media_path(media) != nullptr ? media_path(media) : "(null)");
    const int retained = media_retain(media);
    if (retained != 0) {
        log_error("Failed to retain media: %d", retained);
        return retained;
    }
    int rc = fat_find_volumes(fs);
    if (rc == 0) {
        std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&fs->cat));
        rc = fat_opendb_for_writing(fs);
        if (rc != 0) {
            add_error(FAT_ERROR_CATALOG_WRITE);
            catdb_close(&fs->cat);
        } else {
            int walked = 0, catalog = 0;
            for (const fat_volume &volume : std::vector<fat_volume>(state->volumes)) {
                if (abort_requested())
                    break;
                const int walk = fat_scan_volume(fs, volume.offset);
                if (walk == 0) {
                    walked++;
                } else if (walk == -1) {
                    add_error(FAT_ERROR_WALK);
                } else {
                    catalog = walk;
                    break;
                }
            }
            const int closed = fat_close_db(fs);
            if (catalog != 0) {
                rc = catalog;
            } else if (closed != 0) {
                log_error("%s: the catalog could not be completed: %d", fn, closed);
                if (!abort_requested())
                    add_error(FAT_ERROR_CATALOG_WRITE);
                rc = closed < -1 ? closed : -40;
            } else {
                rc = walked > 0 ? 0 : -1;
            }
        }
    }
    media_release(media);
    if (abort_requested())
        return MEDIA_ABORTED;
    return rc;
}

namespace {
int fat_walk_span_retained(fs_record *fs, int64_t start);
} // namespace

int fat_walk_span(fs_record *fs, int64_t start)
{
    fat_state *state = fat_state_of(fs);
    Media *media = fs != nullptr ? fs->media : nullptr;
    if (state == nullptr || media == nullptr || start < 0)
        return 2;
    std::lock_guard<std::recursive_mutex> record_hold(fs->mutex);
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&fs->cat));
    if (walked_already(state, start))
        return 0; // a copy of a boot sector inside a volume walked already
    const int retained = media_retain(media);
    if (retained != 0) {
        log_error("Failed to retain media: %d", retained);
        return 2;
    }
    const int rc = fat_walk_span_retained(fs, start);
    media_release(media);
    return rc;
}

namespace {

// The bytes of a FAT32 boot sector that give the volume's geometry: the
// BIOS parameter block from bytes per sector to the root directory cluster.
// A backup copy repeats them.
constexpr size_t kGeometryFirst = 11;
constexpr size_t kGeometryEnd = 48;

// The start of the volume whose boot sector was met at start (and parsed
// into the record's boot reader): start itself, or, when the sector there
// is the FAT32 backup copy of a volume whose own boot sector is damaged,
// that volume's start kBackupBootSector sectors before. The thorough scan
// meets only the copy of such a volume, and the volume read from the copy's
// place would have its FATs and clusters in the wrong places. The volume
// must open from its backup copy, found exactly at start, and its first FAT
// must pass the header check. met is the sector read at start: a primary
// has its backup kBackupBootSector sectors on, and a copy of met's geometry
// there makes start the volume whatever lies before it. (Before a primary
// that follows a blank sector, the reader takes the primary for the backup
// of a volume 6 sectors earlier, whose second FAT lies in the primary's
// first: an end-of-chain entry there passes the header check, and its first
// FAT, in the primary's reserved sectors, may hold a valid header too.)
int64_t volume_of_boot_sector(fs_record *fs, int64_t start, const uint8_t *met)
{
    const fat_state *state = fat_state_of(fs);
    const ZV::Fat *boot = state != nullptr ? state->boot_reader.get() : nullptr;
    if (boot == nullptr || boot->fatType() != ZV::Fat::typeFat32)
        return start;
    const int64_t distance = (int64_t)ZV::Fat::kBackupBootSector * boot->bytesPerSector();
    const int64_t length = media_length(fs->media);
    if (start < distance || length <= start)
        return start;
    uint8_t after[512];
    if (start + distance <= length - (int64_t)sizeof after && media_seek(fs->media, start + distance) == 0 &&
        media_read(fs->media, after, sizeof after) == (int64_t)sizeof after &&
        std::memcmp(after + kGeometryFirst, met + kGeometryFirst, kGeometryEnd - kGeometryFirst) == 0)
        return start; // a primary with its backup in place
    const int64_t volume = start - distance;
    auto stream = std::make_shared<HV::ByteStreamMedia>(fs->media, (uint64_t)volume, (uint64_t)(length - volume));
    if (!stream->isOpen())
        return start;
    ZV::Fat fat(stream);
    if (fat.open() && fat.usedBackupBootSector() && fat.bootSectorOffset() == (uint64_t)distance &&
        fat.checkFatHeader(0)) {
        log_info("%s: the boot sector at %lld is the backup copy of the volume at %lld", "fat_walk_span",
                 (long long)start, (long long)volume);
        return volume;
    }
    return start;
}

int fat_walk_span_retained(fs_record *fs, int64_t start)
{
    static const char *const fn = "fat_walk_span";
    Media *media = fs->media;
    uint8_t sector[512];
    if (media_seek(media, start) != 0 || media_read(media, sector, sizeof sector) != (int64_t)sizeof sector ||
        fat_open_boot_sector(fs, sector, sizeof sector) != FAT_BOOT_SECTOR_MATCH)
        return 2;
    start = volume_of_boot_sector(fs, start, sector);
    if (walked_already(fat_state_of(fs), start))
        return 0;
    int rc = fat_opendb_for_writing(fs);
    if (rc != 0) {
        add_error(FAT_ERROR_CATALOG_WRITE);
        catdb_close(&fs->cat);
        return rc < -1 ? rc : -40;
    }
    const int walk = fat_scan_volume(fs, start);
    const int closed = fat_close_db(fs);
    if (walk < -1)
        return walk; // the catalog refused a row (519 recorded)
    if (closed != 0) {
        log_error("%s: the catalog could not be completed: %d", fn, closed);
        if (!abort_requested())
            add_error(FAT_ERROR_CATALOG_WRITE);
        return closed < -1 ? closed : -40;
    }
    if (walk != 0) {
        add_error(FAT_ERROR_WALK);
        return 2;
    }
    return 0;
}

} // namespace
