// The store's saved form in a scan's "context" archive (inside the record's
// block "fs"), the module list and the module-id translation.
//
// Block "cbr" (type 1), items in this order (numbers little-endian):
//
//   n_spans          quad   span counter
//   span             bytes  56: the current span
//   preselect_array  bytes  16384: the prefilter, 8 x 256 u64, byte position 0 first
//   _clear           long   first counter of the parse state
//   n_strong_fils    long   per-parse counter
//   fence            quad   high-water position
//   start_bin        bytes  256: 64 u32 counters of start sectors modulo 64
//   bn0              quad   previous start sector (all ones: none)
//   span_cache       bytes  89600: the ring of 1600 spans
//   sc_r, sc_w       long   ring read and write index (0..1599)
//   i_span           quad   parse start index
//   block "fp" x 3   the span writer, "gaps", "cbrnames" (names relative to
//                    the store's folder; "fp_exist" 0 when not open)
//   block "fmlist"   n long (entries), size long (264), data bytes (n x 264,
//                    only when n >= 1): the module-list entries, sorted by
//                    path byte-wise, without duplicates
//
// Read back only when the scan archive's compat version is 4 or more.
//
// Implementation notes
// - A saved scan is a file a user can hand us. Every item is read and
//   checked into a local copy first; the store changes only when the whole
//   block read back. Byte items must have exactly their size.
// - The ring indexes address the 1600-entry ring: a saved index outside
//   0..1599 empties the ring rather than let a look-ahead index past it.
// - A module path is a C string in a 256-byte field: byte 255 is forced to
//   NUL before a path is compared, printed or sorted, so that a field
//   without its NUL never reads into the id that follows it.
// - The entry count is refused when negative or above 10000, before any
//   size is computed from it.
#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/archive.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/gfm_paths.h"

namespace {

const char *const kBlock = "cbr";
const char *const kListBlock = "fmlist";

// Everything the block holds, read before anything is applied.
struct saved_state {
    int64_t span_count;
    cbr_span span;
    uint64_t prefilter[CBR_PREFILTER_POSITIONS][256];
    int32_t clear, strong_files;
    int64_t fence;
    uint32_t start_bins[CBR_START_BINS];
    int64_t prev_start_sector;
    cbr_span ring[CBR_RING_SIZE];
    int32_t ring_read, ring_write;
    int64_t parse_start;
    file_t *files[3];
    std::vector<cbr_translation> translations;
};

// The four characters of an id in a buffer of the caller's (two ids go into
// one log line).
const char *id_text(uint32_t id, char out[5])
{
    std::memcpy(out, fil_module_id_text(id), 5);
    return out;
}

bool path_less(const cbr_fmlist_entry &a, const cbr_fmlist_entry &b)
{
    return std::strcmp(a.path, b.path) < 0;
}

bool translation_less(const cbr_translation &a, const cbr_translation &b)
{
    return a.archived_id != b.archived_id ? a.archived_id < b.archived_id : a.archived_subtype < b.archived_subtype;
}

// The current module list: sorted by path, duplicates removed, at most
// CBR_FMLIST_MAX entries (a longer list would not be read back).
std::vector<cbr_fmlist_entry> current_list()
{
    std::vector<cbr_fmlist_entry> list;
    if (gfm_module_paths(&list) != 0)
        log_error("%s: the module list is incomplete", "cbr_archive_fm_list");
    for (cbr_fmlist_entry &e : list) {
        e.path[CBR_FMLIST_PATH_SIZE - 1] = '\0';
        e.pad = 0;
    }
    std::stable_sort(list.begin(), list.end(), path_less);
    list.erase(std::unique(list.begin(), list.end(),
                           [](const cbr_fmlist_entry &a, const cbr_fmlist_entry &b) {
                               return std::strcmp(a.path, b.path) == 0;
                           }),
               list.end());
    if (list.size() > (size_t)CBR_FMLIST_MAX) {
        log_error("%s: %zu module paths, %d kept", "cbr_archive_fm_list", list.size(), CBR_FMLIST_MAX);
        list.resize(CBR_FMLIST_MAX);
    }
    return list;
}

int read_items(archive *a, saved_state *s)
{
    int rc;
    if ((rc = unarchive_quad(a, "n_spans", &s->span_count)) != 0 ||
        (rc = unarchive_bytes_exact(a, "span", &s->span, sizeof s->span)) != 0 ||
        (rc = unarchive_bytes_exact(a, "preselect_array", s->prefilter, sizeof s->prefilter)) != 0 ||
        (rc = unarchive_long(a, "_clear", &s->clear)) != 0 ||
        (rc = unarchive_long(a, "n_strong_fils", &s->strong_files)) != 0 ||
        (rc = unarchive_quad(a, "fence", &s->fence)) != 0 ||
        (rc = unarchive_bytes_exact(a, "start_bin", s->start_bins, sizeof s->start_bins)) != 0 ||
        (rc = unarchive_quad(a, "bn0", &s->prev_start_sector)) != 0 ||
        (rc = unarchive_bytes_exact(a, "span_cache", s->ring, sizeof s->ring)) != 0 ||
        (rc = unarchive_long(a, "sc_r", &s->ring_read)) != 0 || (rc = unarchive_long(a, "sc_w", &s->ring_write)) != 0 ||
        (rc = unarchive_quad(a, "i_span", &s->parse_start)) != 0)
        return rc;
    return 0;
}

// Reads the block "fmlist" and works out the translations it asks for.
int read_fm_list(archive *a, std::vector<cbr_translation> *out)
{
    static const char *const fn = "cbr_unarchive_fm_list";
    int rc = archive_start_block(a, kListBlock, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        return rc;
    }
    int32_t n = 0, size = 0;
    std::vector<cbr_fmlist_entry> saved;
    if ((rc = unarchive_long(a, "n", &n)) != 0 || (rc = unarchive_long(a, "size", &size)) != 0) {
        log_error("%s: archive error for %d", fn, rc);
    } else if (n < 0 || n > CBR_FMLIST_MAX || size != (int32_t)CBR_FMLIST_ENTRY_SIZE) {
        rc = -1;
    } else if (n > 0) {
        const int length = unarchive_bytes(a, "data");
        if (length < 0) {
            rc = length;
            log_error("%s: archive error for %d", fn, rc);
        } else if ((size_t)length != (size_t)n * CBR_FMLIST_ENTRY_SIZE) {
            rc = -1;
        } else {
            saved.resize((size_t)n);
            std::memcpy(saved.data(), archive_scratch_data(a), (size_t)length);
        }
    }
    archive_end_block(a, kListBlock);
    if (rc != 0)
        return rc;

    const std::vector<cbr_fmlist_entry> current = current_list();
    std::vector<cbr_translation> table;
    for (cbr_fmlist_entry &e : saved) {
        e.path[CBR_FMLIST_PATH_SIZE - 1] = '\0';
        char was[5], now[5];
        const auto it = std::lower_bound(current.begin(), current.end(), e, path_less);
        if (it == current.end() || std::strcmp(it->path, e.path) != 0) {
            log_error("Archived FM path %s (fm_id=%s subtype=%x) does not exist in the current program session",
                      e.path, id_text(e.id, was), (unsigned)e.subtype);
            continue;
        }
        if (it->id == e.id && it->subtype == e.subtype)
            continue;
        log_info("Archived FM path %s: adding translation from fm_id=%s, subtype=%x to fm_id=%s, subtype=%x", e.path,
                 id_text(e.id, was), (unsigned)e.subtype, id_text(it->id, now), (unsigned)it->subtype);
        const cbr_translation t{e.id, it->id, e.subtype, it->subtype};
        const auto at = std::lower_bound(table.begin(), table.end(), t, translation_less);
        if (at == table.end() || translation_less(t, *at))
            table.insert(at, t); // the first entry for a pair holds
    }
    *out = std::move(table);
    return 0;
}

void free_files(file_t *files[3])
{
    for (int i = 0; i < 3; i++)
        file_free(&files[i]);
}

} // namespace

int cbr_archive(fs_record *record, archive *a)
{
    static const char *const fn = "cbr_archive";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || a == nullptr)
        return -1;
    int rc = archive_start_block(a, kBlock, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        return rc;
    }
    if ((rc = archive_quad(a, "n_spans", (int64_t)store->span_count)) != 0 ||
        (rc = archive_bytes(a, "span", &store->span, sizeof store->span)) != 0 ||
        (rc = archive_bytes(a, "preselect_array", store->prefilter, sizeof store->prefilter)) != 0 ||
        (rc = archive_long(a, "_clear", (int32_t)store->clear)) != 0 ||
        (rc = archive_long(a, "n_strong_fils", (int32_t)store->strong_files)) != 0 ||
        (rc = archive_quad(a, "fence", store->fence)) != 0 ||
        (rc = archive_bytes(a, "start_bin", store->start_bins, sizeof store->start_bins)) != 0 ||
        (rc = archive_quad(a, "bn0", (int64_t)store->prev_start_sector)) != 0 ||
        (rc = archive_bytes(a, "span_cache", store->ring, sizeof store->ring)) != 0 ||
        (rc = archive_long(a, "sc_r", (int32_t)store->ring_read)) != 0 ||
        (rc = archive_long(a, "sc_w", (int32_t)store->ring_write)) != 0 ||
        (rc = archive_quad(a, "i_span", (int64_t)store->parse_start)) != 0) {
        log_error("%s: archive error for %d", fn, rc);
    } else {
        for (file_t *f : {store->spans, store->gaps, store->names})
            if ((rc = archive_fp(a, f, record->folder)) != 0)
                break;
        if (rc == 0)
            rc = cbr_archive_fm_list(record, a);
    }
    const int ended = archive_end_block(a, kBlock);
    return rc != 0 ? rc : ended;
}

int cbr_archive_fm_list(fs_record *record, archive *a)
{
    static const char *const fn = "cbr_archive_fm_list";
    if (cbr_store_of(record) == nullptr || a == nullptr)
        return -1;
    const std::vector<cbr_fmlist_entry> list = current_list();
    int rc = archive_start_block(a, kListBlock, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        return rc;
    }
    if ((rc = archive_long(a, "n", (int32_t)list.size())) != 0 ||
        (rc = archive_long(a, "size", (int32_t)CBR_FMLIST_ENTRY_SIZE)) != 0 ||
        (!list.empty() &&
         (rc = archive_bytes(a, "data", list.data(), (uint32_t)(list.size() * CBR_FMLIST_ENTRY_SIZE))) != 0))
        log_error("%s: archive error for %d", fn, rc);
    const int ended = archive_end_block(a, kListBlock);
    return rc != 0 ? rc : ended;
}

int cbr_unarchive(fs_record *record, archive *a)
{
    static const char *const fn = "cbr_unarchive";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || a == nullptr)
        return -1;
    int rc = archive_start_block(a, kBlock, 1);
    if (rc != 0) {
        log_error("%s: archive error for %d", fn, rc);
        return rc;
    }
    const int compat = scx_archive_compat(a);
    auto saved = std::make_unique<saved_state>();
    if (compat < SCX_COMPAT_VERSION) {
        log_error("%s: scan archive version %d", fn, compat);
        rc = -1;
    } else if ((rc = read_items(a, saved.get())) != 0) {
        log_error("%s: archive error for %d", "cbr_unarchive_", rc);
    } else {
        for (int i = 0; i < 3 && rc == 0; i++)
            if ((rc = unarchive_fp(a, &saved->files[i], record->folder)) != 0)
                log_error("%s: archive error for %d", fn, rc);
        if (rc == 0)
            rc = read_fm_list(a, &saved->translations);
    }
    archive_end_block(a, kBlock);
    if (rc != 0) {
        free_files(saved->files);
        return rc;
    }

    store->span_count = (uint64_t)saved->span_count;
    store->span = saved->span;
    std::memcpy(store->prefilter, saved->prefilter, sizeof store->prefilter);
    store->clear = (uint32_t)saved->clear;
    store->strong_files = (uint32_t)saved->strong_files;
    store->fence = saved->fence;
    std::memcpy(store->start_bins, saved->start_bins, sizeof store->start_bins);
    store->prev_start_sector = (uint64_t)saved->prev_start_sector;
    std::memcpy(store->ring, saved->ring, sizeof store->ring);
    if (saved->ring_read < 0 || saved->ring_read >= (int32_t)CBR_RING_SIZE || saved->ring_write < 0 ||
        saved->ring_write >= (int32_t)CBR_RING_SIZE) {
        log_error("%s: ring indexes %d, %d out of range: the ring is emptied", fn, (int)saved->ring_read,
                  (int)saved->ring_write);
        store->ring_read = store->ring_write = 0;
    } else {
        store->ring_read = (uint32_t)saved->ring_read;
        store->ring_write = (uint32_t)saved->ring_write;
    }
    store->parse_start = (uint64_t)saved->parse_start;
    file_t **slots[3] = {&store->spans, &store->gaps, &store->names};
    for (int i = 0; i < 3; i++) {
        file_free(slots[i]);
        *slots[i] = saved->files[i];
    }
    store->translations = std::move(saved->translations);
    return 0;
}

int cbr_unarchive_fm_list(fs_record *record, archive *a)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || a == nullptr)
        return -1;
    std::vector<cbr_translation> table;
    const int rc = read_fm_list(a, &table);
    if (rc == 0)
        store->translations = std::move(table);
    return rc;
}

void cbr_translate_span(fs_record *record, cbr_span *span)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || span == nullptr || store->translations.empty())
        return;
    const cbr_translation key{span->module_id, 0, span->subtype, 0};
    const auto it = std::lower_bound(store->translations.begin(), store->translations.end(), key, translation_less);
    if (it == store->translations.end() || it->archived_id != span->module_id ||
        it->archived_subtype != span->subtype)
        return;
    span->module_id = it->current_id;
    span->subtype = it->current_subtype;
}
