// The saved form of a found-file-system record: block "fs" of the scan's
// "context" archive (items listed in fs_record.h).
//
// Reading validates every item into locals first and changes the record
// only when the whole block read back: a damaged archive leaves the record
// as it was made. Byte items must have exactly their size (a shorter
// "selected" or "path" is damage, not something to zero-fill silently).
#include <cstring>

#include "foundation/archive.h"
#include "foundation/log.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"

namespace {

const char *const kBlock = "fs";

void pack_u64s(const uint64_t *values, uint8_t out[40])
{
    for (int i = 0; i < 5; i++)
        for (int b = 0; b < 8; b++)
            out[i * 8 + b] = (uint8_t)(values[i] >> (8 * b));
}

void unpack_u64s(const uint8_t in[40], uint64_t *values)
{
    for (int i = 0; i < 5; i++) {
        uint64_t v = 0;
        for (int b = 7; b >= 0; b--)
            v = v << 8 | in[i * 8 + b];
        values[i] = v;
    }
}

// What the block holds, read before anything is applied.
struct fs_saved {
    int32_t index, subtype;
    int64_t id_root;
    uint8_t fskey[FS_KEY_SIZE];
    int64_t max_dir_entries;
    int32_t mode, cat_mode;
    uint64_t selected[5], recovered[5];
    int64_t biggest_id;
    int32_t recurse_depth, filter, options;
    uint8_t path[FS_PATH_SIZE];
};

int read_items(archive *a, fs_saved *s)
{
    int32_t type = 0;
    int rc = unarchive_long(a, "fs_type", &type);
    if (rc != 0)
        return rc;
    bool known = false;
    for (const fs_type_entry &t : fs_types())
        known = known || (int32_t)t.code == type;
    if (!known) {
        log_error("%s: unknown type %d", "fs_unarchive", type);
        return -1;
    }
    uint8_t bytes40[40];
    if ((rc = unarchive_long(a, "index", &s->index)) != 0 || (rc = unarchive_long(a, "subtype", &s->subtype)) != 0 ||
        (rc = unarchive_quad(a, "id_root", &s->id_root)) != 0 ||
        (rc = unarchive_bytes_exact(a, "fskey", s->fskey, FS_KEY_SIZE)) != 0 ||
        (rc = unarchive_quad(a, "max_dir_entries", &s->max_dir_entries)) != 0 ||
        (rc = unarchive_long(a, "mode", &s->mode)) != 0 || (rc = unarchive_long(a, "cat_mode", &s->cat_mode)) != 0)
        return rc;
    if ((rc = unarchive_bytes_exact(a, "selected", bytes40, 40)) != 0)
        return rc;
    unpack_u64s(bytes40, s->selected);
    if ((rc = unarchive_bytes_exact(a, "recovered", bytes40, 40)) != 0)
        return rc;
    unpack_u64s(bytes40, s->recovered);
    if ((rc = unarchive_quad(a, "biggest_id", &s->biggest_id)) != 0 ||
        (rc = unarchive_long(a, "recurse_depth", &s->recurse_depth)) != 0 ||
        (rc = unarchive_long(a, "filter", &s->filter)) != 0 || (rc = unarchive_long(a, "options", &s->options)) != 0 ||
        (rc = unarchive_bytes_exact(a, "path", s->path, FS_PATH_SIZE)) != 0)
        return rc;
    return 0;
}

} // namespace

int fs_archive(fs_record *record, archive *a)
{
    static const char *const fn = "fs_archive";
    if (record == nullptr || a == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    int rc = archive_start_block(a, kBlock, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        return rc;
    }
    uint64_t selected[5] = {};
    fs_get_selected(record, selected);
    uint8_t sel[40], rec[40];
    pack_u64s(selected, sel);
    pack_u64s(record->recovered, rec);
    if ((rc = archive_long(a, "fs_type", (int32_t)record->type)) != 0 ||
        (rc = archive_long(a, "index", (int32_t)record->index)) != 0 ||
        (rc = archive_long(a, "subtype", (int32_t)record->subtype)) != 0 ||
        (rc = archive_quad(a, "id_root", record->id_root)) != 0 ||
        (rc = archive_bytes(a, "fskey", record->fskey, FS_KEY_SIZE)) != 0 ||
        (rc = archive_quad(a, "max_dir_entries", record->max_dir_entries)) != 0 ||
        (rc = archive_long(a, "mode", (int32_t)record->mode)) != 0 ||
        (rc = archive_long(a, "cat_mode", (int32_t)record->cat_mode)) != 0 ||
        (rc = archive_bytes(a, "selected", sel, 40)) != 0 || (rc = archive_bytes(a, "recovered", rec, 40)) != 0 ||
        (rc = archive_quad(a, "biggest_id", record->biggest_id)) != 0 ||
        (rc = archive_long(a, "recurse_depth", (int32_t)record->recurse_depth)) != 0 ||
        (rc = archive_long(a, "filter", (int32_t)record->filter)) != 0 ||
        (rc = archive_long(a, "options", (int32_t)record->options)) != 0 ||
        (rc = archive_bytes(a, "path", record->path, FS_PATH_SIZE)) != 0) {
        log_error("%s: archive error for %d", fn, rc);
        archive_end_block(a, kBlock);
        return rc;
    }
    if (!record->dead)
        rc = record->ops->save_extra(record, a);
    const int closed = archive_end_block(a, kBlock);
    return rc != 0 ? rc : closed;
}

int fs_unarchive(fs_record *record, archive *a)
{
    if (record == nullptr || a == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (record->dead)
        return -1;
    int rc = archive_start_block(a, kBlock, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", "fs_unarchive", rc);
        return rc;
    }
    int result = 0;
    fs_saved saved{};
    const int compat = scx_archive_compat(a);
    if (compat < SCX_COMPAT_VERSION) {
        log_error("%s: scan archive version %d", "fs_unarchive", compat);
        result = -1;
    } else if ((rc = read_items(a, &saved)) != 0) {
        log_error("%s: archive error for %d", "fs_unarchive_", rc);
        result = -1;
    } else if (saved.index != (int32_t)record->index) {
        log_error("%s: index %d saved for record %u", "fs_unarchive", saved.index, record->index);
        result = -1;
    } else {
        record->subtype = (uint32_t)saved.subtype;
        record->id_root = saved.id_root;
        catdb_set_id_root(&record->cat, saved.id_root);
        std::memcpy(record->fskey, saved.fskey, FS_KEY_SIZE);
        record->max_dir_entries = saved.max_dir_entries;
        record->mode = (uint32_t)saved.mode;
        record->cat_mode = (uint32_t)saved.cat_mode;
        fs_set_selected(record, saved.selected);
        std::memcpy(record->recovered, saved.recovered, sizeof record->recovered);
        record->biggest_id = saved.biggest_id;
        record->recurse_depth = (uint32_t)saved.recurse_depth;
        record->filter = (uint32_t)saved.filter;
        record->options = (uint32_t)saved.options;
        std::memcpy(record->path, saved.path, FS_PATH_SIZE);
        result = record->ops->load_extra(record, a);
    }
    archive_end_block(a, kBlock);
    return result;
}
