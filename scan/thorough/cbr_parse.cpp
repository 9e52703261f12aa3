// Span parsing and measuring after the block loop of a thorough scan.
//
// The spans of the block loop are read back in file order through a ring of
// CBR_RING_SIZE records (at most CBR_RING_SIZE - 1 filled, one refilled
// after each span), so a module measuring one span can look at the next
// ones (cbr_next_span) without reading the file again. Each span that starts
// at or above the fence is measured by its module; the measured spans are
// written to "spans1", which then replaces "spans". Files of the store's
// folder written here:
//
//   spans1     measured spans (56-byte records), renamed to "spans"
//   gaps       u64 little-endian: for each measured file of a module without
//              filter flag 2, the distance in 512-byte sectors from the start
//              sector of the file measured before it, when it is larger
//   cbrnames   "xx" and its NUL first (offset 0 never names a stored name),
//              then the names modules store while measuring
//
// Implementation notes
// - What is found is never thrown away on the way: when "spans" cannot be
//   read or "spans1" not written (full or read-only workspace), "spans" is
//   kept and a partial "spans1" removed; "spans1" replaces "spans" only when
//   every measured span reached it. A short read of "spans" stops reading,
//   but the spans already in the ring are still measured (171 recorded).
// - Parsing cut short keeps what it did not reach: after an abort, or when
//   the medium failed or went away while a span was measured, "spans1"
//   gets the spans not reached (the one being measured, the rest of the
//   ring and of "spans") unchanged after the measured ones, in file order,
//   so a later parse of the returned card finds every start again. They
//   are not measured, so they name no file: the medium's failure records
//   425 and ends the parse with -1, and the tree step still catalogues the
//   spans measured before it (a card that stops answering keeps what was
//   measured); a medium gone is recorded as its removal (scx_media_gone)
//   and no catalog is built. The medium is checked after every span
//   (media_check_reader_errors), so measuring stops at the first span that
//   meets the failure instead of failing through every one after it.
// - A scan without any start ends with an empty "spans", "gaps" and
//   "cbrnames", so the tree step makes an empty catalog.
// - Records read past the ring by cbr_next_span go through the module-id
//   translation like those of the ring.
#include "scan/thorough/cbr_store.h"

#include <algorithm>
#include <cstring>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/strings.h"
#include "foundation/sysutil.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/path_index.h"
#include "scan/scan_context.h"
#include "storage/media.h"

namespace {

constexpr char kSpans[] = "spans";
constexpr char kSpans1[] = "spans1";
constexpr char kGaps[] = "gaps";
constexpr char kNames[] = "cbrnames";
constexpr char kFirstName[] = "xx"; // written with its NUL
constexpr int64_t kSectorSize = 512;

// Why measuring stopped before the last span.
enum class Cut { none, aborted, medium_failed, medium_gone };

void clear_parse_state(cbr_store *store)
{
    store->clear = 0;
    store->strong_files = 0;
    store->parse_start = 0;
    store->ring_read = 0;
    store->ring_write = 0;
    std::memset(store->start_bins, 0, sizeof store->start_bins);
    std::memset(store->ring, 0, sizeof store->ring);
    store->fence = 0;
    store->prev_start_sector = CBR_NO_SECTOR;
}

bool ring_empty(const cbr_store *store)
{
    return store->ring_read == store->ring_write;
}

// Reads the next record of "spans" into the ring. false on a short read.
bool ring_load(fs_record *record, cbr_store *store)
{
    cbr_span &slot = store->ring[store->ring_write];
    if (file_read(store->reader, &slot, (int64_t)CBR_SPAN_SIZE) != (int64_t)CBR_SPAN_SIZE)
        return false;
    cbr_translate_span(record, &slot);
    store->ring_write = (store->ring_write + 1) % CBR_RING_SIZE;
    return true;
}

// A write of the parse that was lost: the scan's writes count as failed.
void parse_write_failed(const char *what, int code)
{
    log_error("%s: Can't write %s: %d", "cbr_parse_spans", what, code);
    add_error(CBR_ERROR_SPAN_WRITE);
    file_write_failed = 1;
}

// Closes a file written by the parse; false (the write failure recorded)
// when its last bytes may not have reached the disk.
bool close_written(file_t **file, const char *name)
{
    if (*file == nullptr)
        return true;
    const int closed = file_free(file);
    if (closed != 0) {
        parse_write_failed(name, closed);
        return false;
    }
    return true;
}

// Makes name an empty file of the folder. false when it could not be made.
bool make_empty(const work_dir *folder, const char *name)
{
    file_t *file = dir_file_create(folder, name, "wb", 2);
    if (file == nullptr) {
        parse_write_failed(name, -1);
        return false;
    }
    return close_written(&file, name);
}

// Step "end of parsing": "gaps" and "cbrnames" closed, every module's
// end-of-parsing operation.
void end_of_parsing(cbr_store *store, int aborted)
{
    close_written(&store->gaps, kGaps);
    close_written(&store->names, kNames);
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        if (m->end_spans != nullptr)
            m->end_spans(m, aborted);
}

// A span file could not be opened: "spans" stays as the block loop left it.
int abort_ending(fs_record *record, cbr_store *store)
{
    end_of_parsing(store, 1);
    file_free(&store->reader);
    file_free(&store->spans); // a partial "spans1": removed below
    dir_file_unlink(record->folder, kSpans1);
    log_info("Parsing CBR spans aborted");
    return -1;
}

// The measured spans replace "spans" when all of them were written;
// otherwise "spans" stays as it was. The scan's verdict reports a failure.
// aborted: the medium cut parsing short (the modules' end-of-parsing is
// told).
int normal_ending(fs_record *record, cbr_store *store, int aborted = 0)
{
    end_of_parsing(store, aborted);
    file_free(&store->reader);
    if (store->spans != nullptr) {
        const bool written = close_written(&store->spans, kSpans1) && file_write_error_occurred() == 0;
        if (!written) {
            log_error("%s: the measured spans are incomplete; %s is kept", "cbr_parse_spans", kSpans);
            dir_file_unlink(record->folder, kSpans1);
        } else if (dir_file_rename(record->folder, kSpans1, kSpans) != 0) {
            parse_write_failed(kSpans, -1);
            dir_file_unlink(record->folder, kSpans1);
        }
    }
    store->span_count = dir_file_size(record->folder, kSpans) / CBR_SPAN_SIZE;
    log_info("Done parsing CBR spans, %lld spans", (long long)store->span_count);
    return 0;
}

// Records the start gap of a measured span (see the top of this file).
void record_gap(cbr_store *store, uint64_t start)
{
    const int64_t sector = (int64_t)start / kSectorSize;
    store->start_bins[((sector % CBR_START_BINS) + CBR_START_BINS) % CBR_START_BINS]++;
    const uint64_t previous = store->prev_start_sector;
    if (previous != CBR_NO_SECTOR && sector > (int64_t)previous && store->gaps != nullptr) {
        const uint64_t gap = (uint64_t)sector - previous;
        const int64_t written = file_write(store->gaps, &gap, (int64_t)sizeof gap);
        if (written != (int64_t)sizeof gap)
            parse_write_failed(kGaps, (int)written);
    }
    store->prev_start_sector = (uint64_t)sector;
}

// Whether the medium can still be read after a span was measured (or before
// the next one): Cut::none, else the failure, logged with its span and 425
// recorded. A medium gone (detached, or failing as a removed device fails)
// is recorded as its removal.
Cut check_medium(fs_record *record, Media *media, uint64_t index, uint64_t n)
{
    const bool detached = record->scan != nullptr && scx_media(record->scan) == nullptr;
    const int errnum = media_check_reader_errors(media);
    if (!detached && errnum == 0)
        return Cut::none;
    const bool gone = detached || media_gone(media, errnum);
    char text[128] = "the medium is detached";
    if (!detached)
        zv_strerror_r(errnum, text, sizeof text);
    log_error("%s: measuring stopped at span %llu of %llu: %s", "cbr_parse_spans", (unsigned long long)index,
              (unsigned long long)n, text);
    add_error(CBR_ERROR_MEASURE_READ);
    if (gone)
        scx_media_gone(record->scan, media);
    return gone ? Cut::medium_gone : Cut::medium_failed;
}

// Appends the spans parsing did not reach to the span writer after the
// measured ones, in file order: `current` (the span being measured, when
// its module wrote none), the rest of the ring, then the records of
// "spans" from index `next` on (where the reader stands). Stops at a write
// failure (recorded; "spans" is then kept whole) or at a short read. The
// file starts among them are counted in the store's `unmeasured`.
void keep_unreached(fs_record *record, cbr_store *store, const cbr_span *current, uint64_t next, uint64_t n,
                    bool readable)
{
    const auto keep = [store](const cbr_span &span) {
        const int64_t written = file_write(store->spans, &span, (int64_t)CBR_SPAN_SIZE);
        if (written == (int64_t)CBR_SPAN_SIZE) {
            const fil_module *module = fil_module_find(span.module_id);
            if (module != nullptr && (module->filter & FIL_FILTER_FS) == 0)
                store->unmeasured++;
            return true;
        }
        parse_write_failed(kSpans1, (int)written);
        return false;
    };
    if (current != nullptr && !keep(*current))
        return;
    for (; !ring_empty(store); store->ring_read = (store->ring_read + 1) % CBR_RING_SIZE)
        if (!keep(store->ring[store->ring_read]))
            return;
    cbr_span span;
    for (; readable && next < n; next++) {
        if (file_read(store->reader, &span, (int64_t)CBR_SPAN_SIZE) != (int64_t)CBR_SPAN_SIZE) {
            log_error("%s: Can't read span %llu of %llu", "cbr_parse_spans", (unsigned long long)next,
                      (unsigned long long)n);
            add_error(CBR_ERROR_SPANS_OPEN);
            return;
        }
        cbr_translate_span(record, &span);
        if (!keep(span))
            return;
    }
}

} // namespace

int cbr_end_of_scan(fs_record *record)
{
    int rc = cbr_parse_spans(record);
    // Measuring cut short by the medium's failure: what was measured before
    // is still catalogued, and the failure stays the result.
    const cbr_store *store = cbr_store_of(record);
    const bool cut = rc < 0 && store != nullptr && store->measure_cut;
    progress_next_phase();
    // The last phase: the tree's task, then the catalog's index with no task
    // at all, so the text counts nothing.
    progress_set_overall_text(localize_cstring("Building the list of found files (phase $e of $E)."));
    const auto going_on = [] { return abort_requested() == 0 && file_write_error_occurred() == 0; };
    if ((rc >= 0 || cut) && going_on()) {
        rc = cbr_build_tree(record);
        if (rc >= 0 && going_on()) {
            rc = catdb_create_index(&record->cat, "pid");
            if (rc == 0 && abort_requested() == 0)
                rc = catdb_update_num_children(&record->cat);
            if (rc == 0 && abort_requested() == 0)
                rc = catdb_close(&record->cat);
        }
    }
    cbr_set_cat_mode(record, CBR_CAT_CLOSED);
    catdb_close(&record->cat);
    return cut && rc >= 0 ? -1 : rc;
}

int cbr_parse_spans(fs_record *record)
{
    static const char *const fn = "cbr_parse_spans";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr) {
        log_error("%s: not a thorough-scan store", fn);
        return -1;
    }
    log_info("Parsing %lld spans", (long long)store->span_count);
    clear_parse_state(store);
    store->measure_cut = false;
    store->unmeasured = 0;
    file_free(&store->reader);
    file_free(&store->spans); // the block loop's writer is closed by now
    store->reader = dir_file_open(record->folder, kSpans, "rb", 2);
    if (store->reader == nullptr)
        return abort_ending(record, store);
    const int64_t bytes = file_size(store->reader);
    // A record cut by a crash at the end of the file is left out.
    const uint64_t n = bytes > 0 ? (uint64_t)bytes / CBR_SPAN_SIZE : 0;
    if (n == 0) {
        store->span_count = 0;
        log_info("No CBR spans to process");
        file_free(&store->reader);
        // The files of a parsed store, all empty: the tree step reads them.
        for (const char *name : {kSpans, kGaps, kNames})
            make_empty(record->folder, name);
        return normal_ending(record, store);
    }
    store->spans = dir_file_create(record->folder, kSpans1, "wb", 2);
    if (store->spans != nullptr) {
        store->gaps = dir_file_create(record->folder, kGaps, "wb", 2);
        store->names = dir_file_create(record->folder, kNames, "wb", 2);
    }
    if (store->spans == nullptr || store->gaps == nullptr || store->names == nullptr)
        return abort_ending(record, store);

    progress_push(0, (int64_t)n);
    progress_set_overall_text(localize_cstring("Reconstructed $p of $P files (phase $e of $E)."));
    progress_set_text(localize_cstring("Current module: $t"));
    store->ring_read = 0;
    store->ring_write = 0;
    uint64_t next = store->parse_start; // the record the ring loads next
    bool readable = file_seek(store->reader, (int64_t)(next * CBR_SPAN_SIZE)) == 0;
    const uint64_t fill = std::min<uint64_t>(n - next, CBR_RING_SIZE - 1);
    for (uint64_t loaded = 0; readable && loaded < fill; loaded++, next++)
        readable = ring_load(record, store);
    file_clear_write_error();
    if (file_write(store->names, kFirstName, (int64_t)sizeof kFirstName) != (int64_t)sizeof kFirstName)
        parse_write_failed(kNames, -1);
    store->strong_files = 0;
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        fil_module_reset(m);

    // The medium the modules read (kept when it is detached meanwhile).
    Media *media = scx_media(record->scan);
    if (media == nullptr)
        media = record->media; // detached already
    Cut cut = Cut::none;
    cbr_span taken{};        // the span being measured as "spans" holds it
    bool keep_taken = false; // it met the medium's failure: not measured
    for (uint64_t i = store->parse_start; i < n; i++) {
        if (abort_requested() != 0) {
            // A removal notice aborts too: the medium's failure is recorded.
            cut = check_medium(record, media, i, n);
            if (cut == Cut::none)
                cut = Cut::aborted;
            break;
        }
        progress_set_done((int64_t)i);
        if (ring_empty(store))
            break;
        taken = store->ring[store->ring_read];
        store->span = taken;
        store->ring_read = (store->ring_read + 1) % CBR_RING_SIZE;
        if ((int64_t)store->span.start >= store->fence) {
            progress_set_code(store->span.module_id);
            const int measured = cbr_measure_span(record);
            if (file_write_error_occurred() != 0) {
                add_error(CBR_ERROR_MEASURE_WRITE);
                break;
            }
            cut = check_medium(record, media, i, n);
            if (cut != Cut::none) {
                keep_taken = measured != 0;
                break;
            }
        }
        if (readable && next < n) {
            readable = ring_load(record, store);
            if (readable) {
                next++;
            } else {
                // The spans in the ring are still measured; those after them are lost.
                log_error("%s: Can't read span %llu of %llu", fn, (unsigned long long)next, (unsigned long long)n);
                add_error(CBR_ERROR_SPANS_OPEN);
            }
        }
    }
    progress_pop();
    if (cut == Cut::none)
        return normal_ending(record, store);
    keep_unreached(record, store, keep_taken ? &taken : nullptr, next, n, readable);
    store->measure_cut = cut == Cut::medium_failed;
    // An abort ends as before (the modules are told parsing ended); a medium
    // that failed cut parsing short.
    normal_ending(record, store, cut == Cut::aborted ? 0 : 1);
    return cut == Cut::aborted ? 0 : -1;
}

int cbr_measure_span(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr)
        return -1;
    fil_module *module = fil_module_find(store->span.module_id);
    if (module == nullptr)
        return -1;
    module->cur_subtype = store->span.subtype;
    module->start_pos = store->span.start;
    module->end_pos = store->span.start;
    module->limit = (int64_t)store->span.start;
    const int rc = fil_module_extract(module);
    if (rc == 0 && (module->filter & FIL_FILTER_FS) == 0)
        record_gap(store, store->span.start);
    return rc;
}

const cbr_span *cbr_next_span(fs_record *record, const path_index_entry *const *excluded, size_t excluded_count,
                              int64_t after, int64_t limit, int16_t min_score, int64_t *last_start)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || ring_empty(store))
        return nullptr;
    int64_t last = 0;
    // 1: this record; -1: past the limit, none; 0: the next one.
    const auto judge = [&](const cbr_span &span) {
        const int64_t start = (int64_t)span.start;
        if (limit != 0 && start > limit)
            return -1;
        last = start;
        if (excluded != nullptr && excluded_count > 0 &&
            path_index_find_kind((uint64_t)span.module_id << 16 | span.subtype, excluded, excluded_count) != nullptr)
            return 0;
        const bool scored = min_score == 0 || (int16_t)(span.result & 0xFFFF) >= min_score;
        return start > after && scored ? 1 : 0;
    };
    const auto none = [&] {
        if (last_start != nullptr)
            *last_start = last;
        return (const cbr_span *)nullptr;
    };
    for (uint32_t i = store->ring_read; i != store->ring_write; i = (i + 1) % CBR_RING_SIZE) {
        const int verdict = judge(store->ring[i]);
        if (verdict != 0)
            return verdict > 0 ? &store->ring[i] : none();
    }
    // Past the ring: straight from the file, the reader put back afterwards.
    if (store->reader == nullptr)
        return none();
    const int64_t resume = file_tell(store->reader);
    if (resume < 0)
        return none();
    const cbr_span *found = nullptr;
    while (file_read(store->reader, &store->ahead, (int64_t)CBR_SPAN_SIZE) == (int64_t)CBR_SPAN_SIZE) {
        cbr_translate_span(record, &store->ahead);
        const int verdict = judge(store->ahead);
        if (verdict > 0)
            found = &store->ahead;
        if (verdict != 0)
            break;
    }
    if (file_seek(store->reader, resume) != 0)
        log_error("%s: Can't return to %lld of %s", "cbr_next_span", (long long)resume, kSpans);
    return found != nullptr ? found : none();
}
