// The block loop of the thorough scan: preparation, prefilter, dispatch of
// each block to the candidate modules, the "spans" file.
//
// The prefilter: for each of the first eight byte positions of a block, a
// table of 256 masks; bit i of mask[k][b] is set when the module at list
// position i allows byte value b at position k of a file start (a module
// without a prefilter operation allows every value). The candidates of a
// block are the AND of the eight masks its first eight bytes select, so a
// block that starts nothing costs eight look-ups and seven ANDs. Modules at
// list positions 64 and beyond get no bit: they are never asked.
//
// Implementation notes
// - "spans" is a stdio stream (file kind 2) with a 128 KiB buffer: a full
//   disk often shows up only when the buffer is flushed or the stream
//   closed, so the close is checked as strictly as each write. Either
//   failure records 593 and leaves the process-wide write-error flag set,
//   which ends the block loop and makes the scan's verdict a write error.
// - The span is written as it lies in memory: cbr_span has the on-disk
//   layout (56 bytes, little-endian; cbr_store.h asserts both).
#include "scan/thorough/cbr_store.h"

#include <cstdio>
#include <cstring>

#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/module_source.h"
#include "foundation/prefs.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"
#include "scan/thorough/nameseq.h"
#include "storage/media.h"

namespace {

constexpr char kSpansFile[] = "spans";
// Property-node paths are formatted into this many bytes (63 and the NUL).
constexpr size_t kNodePathSize = 64;

// Marks the scan's file writes as failed (also when the file layer did not,
// as for a short count) and records the span-write error.
void span_write_failed()
{
    add_error(CBR_ERROR_SPAN_WRITE);
    file_write_failed = 1;
}

// Whether a restricted scan (built-in modules off) may ask the module: only
// modules with filter flag 2 or 3 and without flag 1.
bool asked_when_restricted(const fil_module *module)
{
    const uint32_t flags = module->filter & (FIL_FILTER_1 | FIL_FILTER_FS | FIL_FILTER_3);
    return flags != 0 && (flags & FIL_FILTER_1) == 0;
}

// Asks the modules about bytes at the medium's data position, in list
// order: those whose bit is set in candidates (one block) and, with runs,
// the modules that search runs. The candidate bits left when the list ended.
uint64_t feed(cbr_store *store, Media *media, const uint8_t *bytes, int32_t size, uint64_t candidates, bool runs)
{
    if (candidates == 0 && !runs)
        return 0;
    const uint64_t position = (uint64_t)media_data_pos(media);
    for (fil_module *m = fil_module_first(); m != nullptr && (runs || candidates != 0);
         m = m->next, candidates >>= 1) {
        const bool asked = m->detect_runs != 0 ? runs : (candidates & 1) != 0;
        if (!asked)
            continue;
        if (store->restricted != 0 && !asked_when_restricted(m))
            continue;
        std::memset(&store->span, 0, sizeof store->span);
        m->start_pos = position;
        m->end_pos = position;
        m->limit = store->fence;
        m->cur_subtype = 0;
        fil_module_detect(m, bytes, size);
    }
    return candidates;
}

} // namespace

void cbr_attach_modules(ScanContext *scan)
{
    if (nameseq_ctx *ctx = nameseq_context())
        ctx->store = scan != nullptr ? scan->store : nullptr;
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next) {
        m->scan = scan;
        m->scan_counter = 0;
        if (m->fs_type != 0 && m->fs_type != (int)FS_TYPE_STORE && m->scan_attach != nullptr)
            m->scan_attach(m);
    }
}

int cbr_prepare(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr) {
        log_error("%s: not a thorough-scan store", "cbr_prepare");
        return -1;
    }
    prefs_begin_update();
    prop_node(localize_cstring("File Modules"), PROP_NODE_CREATE);
    char path[kNodePathSize];
    std::snprintf(path, sizeof path, "%s/%s", localize_cstring("Scanning"), localize_cstring("Reconstructed Files"));
    if (PropNode *node = prop_node(path, 0)) {
        const int64_t entries =
            prop_get_ll(node, &prop_schema_max_dir_entries, FS_DEFAULT_MAX_DIR_ENTRIES, 0);
        // A folder must hold at least one file; anything less reads as the default.
        record->max_dir_entries = entries >= 1 ? entries : FS_DEFAULT_MAX_DIR_ENTRIES;
    }
    const int restricted = fm_src_builtin_enabled() ? 0 : 1;
    store->restricted = restricted;
    store->restricted_too = restricted;
    std::snprintf(path, sizeof path, "%s/%s", localize_cstring("Recovery"), localize_cstring("Reconstructed Files"));
    prop_node(path, PROP_NODE_CREATE);
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        if (m->scan_prepare != nullptr)
            m->scan_prepare(m);
    prefs_end_update();
    return 0;
}

int cbr_open_spans(fs_record *record)
{
    static const char *const fn = "cbr_open_spans";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr) {
        log_error("%s: not a thorough-scan store", fn);
        return -1;
    }
    std::memset(store->prefilter, 0, sizeof store->prefilter);
    uint8_t allowed[256];
    for (int k = 0; k < CBR_PREFILTER_POSITIONS; k++) {
        int i = 0;
        for (fil_module *m = fil_module_first(); m != nullptr; m = m->next, i++) {
            if (i >= CBR_MAX_MODULES) {
                log_error("Too many FMs for implementation, maximum = %d", CBR_MAX_MODULES - 1);
                break;
            }
            if (m->detect_runs != 0)
                continue; // asked about runs, not about block starts
            std::memset(allowed, 1, sizeof allowed);
            if (m->prefilter != nullptr)
                m->prefilter(m, k, allowed);
            const uint64_t bit = 1ull << i;
            for (int b = 0; b < 256; b++)
                if (allowed[b] != 0)
                    store->prefilter[k][b] |= bit;
        }
    }
    store->span_count = 0;
    file_free(&store->spans);
    store->spans = dir_file_create(record->folder, kSpansFile, "wb", 2);
    if (store->spans == nullptr) {
        log_error("%s: Can't create %s", fn, kSpansFile);
        span_write_failed();
        return -3;
    }
    nameseq_reset(nameseq_context());
    return 0;
}

uint64_t cbr_block_candidates(const cbr_store *store, const uint8_t *block, int32_t size)
{
    if (store == nullptr || block == nullptr || size <= 0)
        return 0;
    if (size >= CBR_PREFILTER_POSITIONS) {
        uint64_t candidates = store->prefilter[0][block[0]];
        for (int k = 1; k < CBR_PREFILTER_POSITIONS; k++)
            candidates &= store->prefilter[k][block[k]];
        return candidates;
    }
    uint8_t head[CBR_PREFILTER_POSITIONS] = {};
    std::memcpy(head, block, (size_t)size);
    return cbr_block_candidates(store, head, CBR_PREFILTER_POSITIONS);
}

uint64_t cbr_feed_block(fs_record *record, const uint8_t *bytes, int32_t size)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr)
        return 0;
    return feed(store, record->media, bytes, size, cbr_block_candidates(store, bytes, size), true);
}

uint64_t cbr_feed_run(fs_record *record, const uint8_t *bytes, int32_t size, int32_t block)
{
    cbr_store *store = cbr_store_of(record);
    Media *media = record != nullptr ? record->media : nullptr;
    if (store == nullptr || media == nullptr || bytes == nullptr || size <= 0 || block <= 0)
        return 0;
    const int64_t first = media_data_pos(media);
    uint64_t all = 0;
    int32_t between = 0; // start of the blocks the run modules have not seen
    for (int32_t at = 0; at < size; at += block) {
        const int32_t n = size - at < block ? size - at : block;
        const uint64_t candidates = cbr_block_candidates(store, bytes + at, n);
        if (candidates == 0)
            continue;
        if (at > between) {
            media->data_pos = first + between;
            feed(store, media, bytes + between, at - between, 0, true);
        }
        media->data_pos = first + at;
        feed(store, media, bytes + at, n, candidates, true);
        all |= candidates;
        between = at + n;
        if (file_write_error_occurred() != 0)
            break;
    }
    if (between < size && file_write_error_occurred() == 0) {
        media->data_pos = first + between;
        feed(store, media, bytes + between, size - between, 0, true);
    }
    media->data_pos = first;
    return all;
}

int cbr_write_span(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || store->spans == nullptr)
        return 0;
    const int64_t written = file_write(store->spans, &store->span, (int64_t)CBR_SPAN_SIZE);
    store->span_count++;
    if (written != (int64_t)CBR_SPAN_SIZE) {
        log_error("Can't write span: %d", (int)written);
        span_write_failed();
        return -3;
    }
    return 0;
}

void cbr_raise_high_water(fs_record *record, int64_t position)
{
    cbr_store *store = cbr_store_of(record);
    if (store != nullptr && position > store->fence)
        store->fence = position;
}

int cbr_end_blocks(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr)
        return -1;
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        if (m->end_blocks != nullptr)
            m->end_blocks(m);
    if (store->spans == nullptr)
        return 0;
    // The last spans may still sit in the stream's buffer: a failure to
    // write them shows only here.
    const int closed = file_free(&store->spans);
    if (closed != 0) {
        log_error("%s: Can't close %s: %d", "cbr_end_blocks", kSpansFile, closed);
        span_write_failed();
        return -3;
    }
    return 0;
}
