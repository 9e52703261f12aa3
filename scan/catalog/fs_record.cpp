// Found-file-system records: the type registry, creation and freeing, the
// live list, keyref lookup, the thin operation calls, node data and the
// display names.
//
// Implementation notes
// - Lock order: a record's mutex, then (inside the operations) its catalog's
//   lock, then the slot mutex of the scan contexts or the live-list mutex.
//   The live-list mutex is never held while a record's mutex is taken:
//   walks over all records copy the list first.
// - fs_free leaves the record allocated for whoever still holds a shared
//   pointer: its operations are replaced by the defaults, its scan, medium
//   and folder are cleared and `dead` is set, all under its mutex. The
//   catalog is closed there and freed with the last pointer.
// - Node data reads go through the record's medium only while that medium is
//   attached, and never past the medium's end (653, -18).
#include "scan/catalog/fs_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "foundation/buf.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "scan/catalog/selection.h"
#include "scan/module.h"
#include "scan/path_index.h"
#include "scan/scan_context.h"
#include "scan/scan_context_internal.h"
#include "storage/media.h"

namespace {

std::mutex g_types_mutex;
std::vector<fs_type_entry> g_types; // newest first

std::mutex g_live_mutex;
std::vector<std::shared_ptr<fs_record>> g_live; // newest first

std::vector<std::shared_ptr<fs_record>> live_copy()
{
    std::lock_guard<std::mutex> lock(g_live_mutex);
    return g_live;
}

bool find_type(uint32_t code, fs_type_entry *out)
{
    std::lock_guard<std::mutex> lock(g_types_mutex);
    for (const fs_type_entry &t : g_types)
        if (t.code == code) {
            *out = t;
            return true;
        }
    return false;
}

// A record that may still be used: not NULL and not freed. The caller holds
// the record's mutex.
bool usable(const fs_record *record)
{
    return record != nullptr && !record->dead;
}

} // namespace

fs_record::fs_record() : ops(new fs_ops()) {}

fs_record::~fs_record()
{
    catdb_free(&cat);
    dir_free(&folder);
}

// --- types ------------------------------------------------------------------------------

int fs_register_type(fil_module *descriptor, uint32_t code, uint32_t record_size)
{
    if (descriptor == nullptr || record_size < FS_RECORD_COMMON_SIZE) {
        log_error("%s: record size %u below %u", "fs_register_type", record_size, FS_RECORD_COMMON_SIZE);
        return -1;
    }
    if (code == 0 || code > 15) {
        log_error("%s: type %u out of range", "fs_register_type", code);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_types_mutex);
    descriptor->fs_type = (int)code;
    for (fs_type_entry &t : g_types)
        if (t.code == code) {
            t.descriptor = descriptor;
            t.record_size = record_size;
            return 0;
        }
    g_types.insert(g_types.begin(), fs_type_entry{descriptor, code, record_size});
    return 0;
}

std::vector<fs_type_entry> fs_types()
{
    std::lock_guard<std::mutex> lock(g_types_mutex);
    return g_types;
}

void fs_unregister_all_types()
{
    std::lock_guard<std::mutex> lock(g_types_mutex);
    g_types.clear();
}

// --- records ------------------------------------------------------------------------------

std::shared_ptr<fs_record> fs_record_new(ScanContext *scan, const fs_type_entry &type, uint32_t index)
{
    static const char *const fn = "fs_record_new";
    if (scan == nullptr || type.descriptor == nullptr) {
        log_error("%s: no scan or type", fn);
        return nullptr;
    }
    if (index > FS_INDEX_MAX) {
        // Keyrefs carry the index in 12 bits but lookups use 8: an index
        // above 255 would name another record.
        log_error("%s: index %u out of range", fn, index);
        add_error(SCX_ERROR_BAD_FS_INDEX);
        return nullptr;
    }
    std::shared_ptr<fs_record> record;
    try {
        record = std::make_shared<fs_record>();
        if (type.record_size > FS_RECORD_COMMON_SIZE)
            record->type_fields.assign(type.record_size - FS_RECORD_COMMON_SIZE, 0);
    } catch (const std::bad_alloc &) {
        log_error("%s: no memory", fn);
        return nullptr;
    }
    if (catdb_new(&record->cat, record.get()) != 0)
        return nullptr;
    record->id_root = -1;
    record->media = scx_media(scan);
    record->index = index;
    record->type = type.code;
    record->slot = scan->slot;
    if (scx_new_fs_index(scan, record) != 0)
        return nullptr;
    record->descriptor = type.descriptor;
    type.descriptor->fs_last = record.get();
    if (type.descriptor->fs_init != nullptr) {
        int rc;
        {
            std::lock_guard<std::recursive_mutex> hold(record->mutex);
            rc = type.descriptor->fs_init(record.get());
        }
        if (rc != 0) {
            log_info("%s: type %u refused the record (%d)", fn, type.code, rc);
            fs_free(&record);
            return nullptr;
        }
    }
    if (record->id_root >= 0)
        catdb_set_id_root(&record->cat, record->id_root);
    fs_set_display_name(record.get(), false);
    fs_apply_prefs(record.get());
    return record;
}

std::shared_ptr<fs_record> fs_new_of_type(ScanContext *scan, uint32_t code)
{
    fs_type_entry type{};
    if (!find_type(code, &type)) {
        log_error("%s: no type %u", "fs_new_of_type", code);
        return nullptr;
    }
    return fs_record_new(scan, type, 0);
}

std::shared_ptr<fs_record> fs_new_with_index(ScanContext *scan, uint32_t code, uint32_t index)
{
    fs_type_entry type{};
    if (!find_type(code, &type)) {
        log_error("%s: no type %u", "fs_new_with_index", code);
        return nullptr;
    }
    if (index < 1 || index > FS_INDEX_MAX) {
        log_error("%s: index %u out of range", "fs_new_with_index", index);
        add_error(SCX_ERROR_BAD_FS_INDEX);
        return nullptr;
    }
    return fs_record_new(scan, type, index);
}

int fs_make_folder(fs_record *record)
{
    static const char *const fn = "fs_make_folder";
    if (record == nullptr || record->scan == nullptr ||
        (record->scan->folder == nullptr && !record->scan->outside_slots))
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (record->dead)
        return -1;
    // A prescan only identifies the medium's file system: its records read
    // the medium and write nothing, so they get no folder (a workspace that
    // refuses writes identifies media as one that takes them).
    if (record->folder == nullptr && record->scan->folder != nullptr) {
        char name[FS_NAME_SIZE + 16];
        std::snprintf(name, sizeof name, "%s.%u", record->prefix, record->index);
        if (record->prefix[0] == '\0' || std::strchr(record->prefix, '/') != nullptr) {
            log_error("%s: bad prefix \"%s\"", fn, record->prefix);
            return -1;
        }
        record->folder = dir_new(record->scan->folder, name);
        if (record->folder == nullptr) {
            log_error("%s: can't make folder %s", fn, name);
            return -1;
        }
        catdb_set_folder(&record->cat, dir_path(record->folder));
        if (record->id_root >= 0)
            catdb_set_id_root(&record->cat, record->id_root);
    }
    if (!record->linked) {
        std::shared_ptr<fs_record> self;
        try {
            self = record->shared_from_this();
        } catch (const std::bad_weak_ptr &) {
            return -1;
        }
        std::lock_guard<std::mutex> lock(g_live_mutex);
        g_live.insert(g_live.begin(), std::move(self));
        record->linked = true;
    }
    return 0;
}

void fs_free(std::shared_ptr<fs_record> *pointer)
{
    if (pointer == nullptr || *pointer == nullptr)
        return;
    std::shared_ptr<fs_record> record = std::move(*pointer);
    pointer->reset();
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (record->dead)
        return;
    if (record->scan != nullptr)
        scx_remove_fs(record->scan, record.get());
    if (record->linked) {
        std::lock_guard<std::mutex> lock(g_live_mutex);
        g_live.erase(std::remove(g_live.begin(), g_live.end(), record), g_live.end());
        record->linked = false;
    }
    record->ops->free(record.get());
    record->ops.reset(new fs_ops());
    catdb_close(&record->cat);
    if (record->descriptor != nullptr && record->descriptor->fs_last == record.get())
        record->descriptor->fs_last = nullptr;
    if (record->descriptor != nullptr && record->descriptor->fs == record.get())
        record->descriptor->fs = nullptr;
    record->scan = nullptr;
    record->media = nullptr;
    record->dead = true;
}

std::shared_ptr<fs_record> fs_identify(ScanContext *scan)
{
    if (scan == nullptr)
        return nullptr;
    const std::vector<fs_type_entry> types = fs_types();
    std::vector<std::shared_ptr<fs_record>> kept;
    std::vector<uint32_t> kept_types;
    for (int pass = 0; pass < 2; pass++) {
        for (const fs_type_entry &type : types) {
            if (std::find(kept_types.begin(), kept_types.end(), type.code) != kept_types.end())
                continue; // one record per type: the second probe would find the same volume
            std::shared_ptr<fs_record> record = fs_record_new(scan, type, 0);
            if (record == nullptr)
                continue;
            int yes;
            {
                std::lock_guard<std::recursive_mutex> hold(record->mutex);
                yes = pass == 0 ? record->ops->probe(record.get()) : record->ops->probe2(record.get());
            }
            if (yes != 0) {
                kept.push_back(record);
                kept_types.push_back(type.code);
            } else {
                fs_free(&record);
            }
        }
    }
    return kept.empty() ? nullptr : kept.front();
}

int fs_quick_scan(ScanContext *scan)
{
    if (scan == nullptr)
        return -1;
    const std::vector<fs_type_entry> types = fs_types();
    int rc = -1;
    for (const fs_type_entry &type : types) {
        std::shared_ptr<fs_record> record = fs_record_new(scan, type, 0);
        if (record == nullptr)
            return -10;
        {
            std::lock_guard<std::recursive_mutex> hold(record->mutex);
            rc = record->ops->quick_scan(record.get());
        }
        if (rc == 0 || rc == -5)
            return rc;
        fs_free(&record);
    }
    return rc;
}

int scx_prescan_media(Media *media)
{
    if (media == nullptr)
        return -1;
    if (media_fs_code(media) != 0)
        return 0;
    ScanContext *scan = scx_new_prescan(media, dir_global_root());
    if (scan == nullptr)
        return -1;
    std::shared_ptr<fs_record> record = fs_identify(scan);
    if (record == nullptr) {
        scx_free(&scan);
        return -1;
    }
    media->fs_type = record->type & 0xF;
    media->fs_subtype = record->subtype & 0xF;
    char label[128] = {};
    const int rc = fs_volume_name(record.get(), label, sizeof label);
    if (rc == 0 && label[0] != '\0') {
        char *name = strdup(label);
        if (name != nullptr) {
            std::free(media->name);
            media->name = name;
        }
    }
    fs_free(&record);
    scx_free(&scan);
    return rc;
}

std::shared_ptr<fs_record> fs_from_keyref(uint64_t keyref)
{
    const uint32_t slot = keyref_slot(keyref);
    const uint32_t index = keyref_fs_index(keyref);
    if (keyref == KEYREF_NONE || (keyref >> 60) != 0 || slot < 1 || slot > SCX_SLOTS || index < 1 ||
        index > FS_INDEX_MAX)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_live_mutex);
    for (const std::shared_ptr<fs_record> &record : g_live)
        if (record->index == index && record->slot == slot)
            return record;
    return nullptr;
}

std::shared_ptr<fs_record> fs_of_node(uint64_t keyref, uint64_t *keynum)
{
    keyref_parts parts{};
    const int kind = keyref_decode(keyref, &parts);
    if (kind != KEYREF_KIND_NODE && kind != KEYREF_KIND_FS_ROOT)
        return nullptr;
    if (keynum != nullptr)
        *keynum = parts.keynum;
    return fs_from_keyref(keyref);
}

std::vector<std::shared_ptr<fs_record>> fs_list_selected()
{
    std::vector<std::shared_ptr<fs_record>> out;
    for (const std::shared_ptr<fs_record> &record : live_copy())
        if (fs_root_selection(record.get()) != 0)
            out.push_back(record);
    return out;
}

size_t fs_live_count()
{
    std::lock_guard<std::mutex> lock(g_live_mutex);
    return g_live.size();
}

// --- operations -------------------------------------------------------------------------------

int fs_node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int flags)
{
    static const char *const fn = "fs_node_info";
    if (record == nullptr) {
        log_error("%s: null fs", fn);
        return -1;
    }
    if (out == nullptr) {
        log_error("%s: null ni", fn);
        return -1;
    }
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record))
        return -1;
    const int rc = record->ops->node_info(record, keynum, out, flags);
    if (rc == 0) {
        // The scan's saved copy is read under the slot mutex: a device
        // removal on another thread replaces it.
        out->media_id = record->media != nullptr ? record->media->id : scx_media_id(record->scan);
    }
    return rc;
}

int fs_node_children(fs_record *record, uint64_t keynum, std::vector<NodeInfo> *out)
{
    if (record == nullptr || out == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record))
        return -1;
    return record->ops->children(record, keynum, out);
}

uint64_t fs_node_fork_size(fs_record *record, uint64_t keynum, int fork)
{
    if (fork != 0 && fork != 1)
        return 0;
    NodeInfo info;
    if (fs_node_info(record, keynum, &info, NODE_INFO_SIZES) != 0)
        return 0;
    if (fork == 0)
        return info.data_size;
    return info.rsrc_size > 0 ? (uint64_t)info.rsrc_size : 0;
}

buf_t *fs_node_data(fs_record *record, uint64_t keynum, int64_t position, int64_t count, int fork, int *status)
{
    static const char *const fn = "fs_node_data";
    int dummy = 0;
    int &result = status != nullptr ? *status : dummy;
    result = -1;
    if (record == nullptr)
        return nullptr;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    Media *media = usable(record) ? record->media : nullptr;
    if (media == nullptr || !media->attached)
        return nullptr;
    std::vector<fs_extent> extents;
    if (record->ops->node_extents(record, keynum, fork, &extents) != 0 || extents.empty())
        return nullptr;
    const uint64_t size = fs_node_fork_size(record, keynum, fork);
    if (position < 0 || count <= 0 || (uint64_t)position >= size)
        return nullptr; // nothing of the fork lies there
    uint64_t want = std::min<uint64_t>((uint64_t)count, size - (uint64_t)position);
    if (want > (uint64_t)INT32_MAX) {
        // A buffer holds at most INT_MAX bytes; the streams ask in 32-bit counts.
        want = INT32_MAX;
    }
    if (media_retain(media) != 0)
        return nullptr;
    const int64_t media_size = media_length(media);
    uint64_t pos = (uint64_t)position;
    uint64_t file_offset = 0; // where the current extent begins in the fork
    buf_t *out = nullptr;
    result = 0;
    for (const fs_extent &extent : extents) {
        if (want == 0)
            break;
        if (extent.length > UINT64_MAX - file_offset) {
            result = -1; // lengths that overflow: damaged extents
            break;
        }
        const uint64_t extent_end = file_offset + extent.length;
        if (extent_end <= pos || file_offset > pos) {
            file_offset = extent_end;
            continue;
        }
        const uint64_t n = std::min(extent_end - pos, want);
        const uint64_t at = extent.start + (pos - file_offset);
        if (at < extent.start || at > (uint64_t)media_size || n > (uint64_t)media_size - at) {
            log_error("%s: data at %llu+%llu beyond the medium (%lld)", fn, (unsigned long long)at,
                      (unsigned long long)n, (long long)media_size);
            add_error(FS_ERROR_NODE_DATA_RANGE);
            result = -18;
            break;
        }
        if (out == nullptr) {
            // Room for what the extents and the medium can really give: a
            // damaged size must not reserve gigabytes up front.
            uint64_t mapped = 0;
            for (const fs_extent &e : extents)
                mapped = e.length > UINT64_MAX - mapped ? UINT64_MAX : mapped + e.length;
            const uint64_t room = std::min({want, mapped - (uint64_t)position, (uint64_t)media_size});
            out = buf_new((size_t)room, 0);
            if (out == nullptr) {
                add_error(FS_ERROR_NODE_DATA_MEMORY);
                result = -10;
                break;
            }
        }
        const int seek = media_seek(media, (int64_t)at);
        if (seek != 0) {
            add_error(FS_ERROR_NODE_DATA_SEEK);
            result = seek;
            break;
        }
        if (buf_reserve(out, (size_t)out->count + (size_t)n) != 0) {
            add_error(FS_ERROR_NODE_DATA_MEMORY);
            result = -10;
            break;
        }
        const int64_t got = media_read(media, out->data + out->count, (int64_t)n);
        if (got > 0)
            out->count += (int)got;
        if (got != (int64_t)n) {
            add_error(FS_ERROR_NODE_DATA_READ);
            result = got < 0 ? (int)got : -34;
            break;
        }
        pos += n;
        want -= n;
        file_offset = extent_end;
    }
    media_release(media);
    if (out != nullptr && out->count == 0)
        buf_free_ptr(&out); // nothing read: no list, the status says why
    return out;
}

int fs_select_nodes(fs_record *record, const int64_t *list, size_t count, uint32_t value)
{
    if (list == nullptr || count == 0)
        return 0;
    if (record == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record))
        return -1;
    return record->ops->select(record, list, count, value);
}

int fs_save_selection(fs_record *record)
{
    if (record == nullptr)
        return 0;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record))
        return 0;
    return catdb_save_selection_now_(&record->cat);
}

#define FS_CALL(record, fallback, call)                                  \
    do {                                                                  \
        if ((record) == nullptr)                                          \
            return fallback;                                              \
        std::lock_guard<std::recursive_mutex> hold((record)->mutex);      \
        if (!usable(record))                                              \
            return fallback;                                              \
        return (record)->ops->call;                                       \
    } while (0)

// fs_recover_node and fs_recover_marked: scan/recover/recover.cpp.

int fs_num_children(fs_record *record, uint64_t keynum)
{
    FS_CALL(record, 0, num_children(record, keynum));
}

int fs_scan_deleted(fs_record *record)
{
    FS_CALL(record, -1, scan_deleted(record));
}

int fs_finish(fs_record *record)
{
    FS_CALL(record, 0, finish(record));
}

int fs_post_process(fs_record *record)
{
    FS_CALL(record, 0, post_process(record));
}

int fs_flush(fs_record *record)
{
    FS_CALL(record, 0, flush(record));
}

int fs_volume_name(fs_record *record, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return -1;
    FS_CALL(record, -1, volume_name(record, out, size));
}

int fs_alloc_geometry(fs_record *record, uint64_t *unit, uint64_t *data_start)
{
    FS_CALL(record, -1, alloc_geometry(record, unit, data_start));
}

void *fs_copy_abl(fs_record *record)
{
    FS_CALL(record, nullptr, copy_abl(record));
}

int fs_abl_count(fs_record *record)
{
    FS_CALL(record, -1, abl_count(record));
}

void fs_set_abl(fs_record *record, void *abl)
{
    if (record == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (usable(record))
        record->ops->set_abl(record, abl);
}

int fs_node_ext_attr(fs_record *record, uint64_t keynum)
{
    FS_CALL(record, 0, ext_attr(record, keynum));
}

#undef FS_CALL

bool fs_is_recoverable(fs_record *record)
{
    if (record == nullptr)
        return false;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record) || record->scan == nullptr)
        return false;
    return scx_is_recoverable(record->scan);
}

void fs_add_tree_info(fs_record *record, uint64_t totals[5])
{
    uint64_t counters[5] = {};
    if (totals == nullptr || fs_get_selected(record, counters) != 0)
        return;
    for (int i = 0; i < 5; i++)
        totals[i] += counters[i];
}

int fs_get_selected(fs_record *record, uint64_t out[5])
{
    if (record == nullptr || out == nullptr)
        return -1;
    return catdb_get_selection_counters(&record->cat, out);
}

int fs_set_selected(fs_record *record, const uint64_t in[5])
{
    if (record == nullptr || in == nullptr)
        return -1;
    return catdb_set_selection_counters(&record->cat, in);
}

uint32_t fs_root_selection(fs_record *record)
{
    if (record == nullptr)
        return 0;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record))
        return 0;
    // The root's value lives in the selection, which a closed catalog has
    // not loaded yet (a scan loaded from the workspace): open it first.
    if (catdb_mode(&record->cat) == CATDB_MODE_CLOSED && record->folder != nullptr &&
        dir_file_exists(record->folder, "cat.db") == 0)
        catdb_ensure_reading(&record->cat);
    uint32_t value = 0;
    if (catdb_get_root_selection(&record->cat, &value) != 0)
        return 0;
    return value;
}

void fs_set_display_name(fs_record *record, bool many)
{
    if (record == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (record->type == FS_TYPE_STORE) {
        // The store is named by its type's setup ("Reconstructed Files"),
        // never by its short name.
        if (record->display_name[0] == '\0')
            scx_internal::copy_text(record->display_name, sizeof record->display_name, record->fs_name);
        return;
    }
    if (!many) {
        scx_internal::copy_text(record->display_name, sizeof record->display_name, localize_cstring("Found Files"));
        return;
    }
    // The translated pattern is a text from a string table: its "%s" is
    // replaced here rather than handed to printf as a format.
    std::string text = localize_cstring("Found Files (%s)");
    const size_t at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, record->fs_name);
    scx_internal::copy_text(record->display_name, sizeof record->display_name, text.c_str());
}

uint32_t fs_table_code(const fs_record *record)
{
    return record != nullptr ? (record->type << 4 | (record->subtype & 0xF)) : 0;
}

uint64_t fs_keyref_base(const fs_record *record)
{
    return record != nullptr ? keyref_fs_base(record->slot, record->type, record->index) : 0;
}

// --- preferences -------------------------------------------------------------------------------

namespace {

std::once_flag g_prefs_once;

PropNode *prefs_node(const char *top, const fs_record *record)
{
    std::string path = localize_cstring(top);
    path += '/';
    path += record->fs_name;
    return prop_node(path.c_str(), PROP_NODE_CREATE);
}

void prefs_changed(const char *, std::uintptr_t, void *)
{
    for (const std::shared_ptr<fs_record> &record : live_copy())
        fs_apply_prefs(record.get());
}

} // namespace

void fs_apply_prefs(fs_record *record)
{
    if (record == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (!usable(record) || record->fs_name[0] == '\0')
        return;
    record->max_dir_entries =
        prop_get_ll(prefs_node("Scanning", record), &prop_schema_max_dir_entries, FS_DEFAULT_MAX_DIR_ENTRIES, 0);
    if (fil_module *type = record->descriptor) {
        PropNode *node = prefs_node("Recovery", record);
        type->make_items_visible = prop_get_ll(node, &prop_schema_make_items_visible, 1, 0);
        type->clear_lock = prop_get_ll(node, &prop_schema_clear_lock, 1, 0);
        type->perm_promote = prop_get_ll(node, &prop_schema_perm_promote, 2, 0);
        type->chown = prop_get_ll(node, &prop_schema_chown, 1, 0);
    }
    record->ops->prefs_changed(record);
}

void fs_prefs_init()
{
    std::call_once(g_prefs_once, [] { notification_add_observer("PrefsChanged", prefs_changed, nullptr); });
    prefs_changed(nullptr, 0, nullptr);
}

// --- module folders ------------------------------------------------------------------------------

const path_index_entry *fil_module_add_folder(fil_module *module, const char *path)
{
    if (module == nullptr)
        return nullptr;
    const path_index_entry *entry = path_index_register(path, 0, 0);
    if (entry == nullptr)
        return nullptr;
    if (module->folders == nullptr) {
        module->folders = buf_new(0, 0);
        if (module->folders == nullptr || buf_set_element_size(module->folders, (int)sizeof entry) != 0) {
            buf_free_ptr(&module->folders);
            return nullptr;
        }
    }
    for (int i = 0; i < module->folders->count; i++) {
        const path_index_entry *known = nullptr;
        std::memcpy(&known, buf_at(module->folders, i), sizeof known);
        if (known == entry)
            return entry;
    }
    if (buf_push(module->folders, &entry) == nullptr)
        return nullptr;
    return entry;
}
