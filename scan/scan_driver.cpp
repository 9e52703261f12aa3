// The scan driver: start_scan, the run of one scan, the quick and the
// deleted-file scan, and the verdict.
//
// Implementation notes
// - A context the driver deletes is deleted once, and only after
//   scx_finish (a running scan cannot be deleted). Every module that
//   learnt the scan at attach time forgets it then, so no module keeps a
//   pointer to a freed context.
// - The medium is retained once per run and released once on every path
//   that retained it; a retain failure deletes the fresh context (nothing
//   was scanned), so failures cannot use up the fifteen slots.
// - The medium named in log lines is the scan's medium or, when it was
//   removed during the scan, the copy kept for it; it is read under the
//   slot mutex because a device removal changes it from another thread.
#include "scan/scan_driver.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "scan/catalog/fs_record.h"
#include "scan/module.h"
#include "scan/scan_context.h"
#include "scan/scan_context_internal.h"
#include "scan/thorough/cbr_store.h"
#include "storage/block_reader.h"
#include "storage/media.h"

namespace {

// The scan's medium, else the one removed during it, else its saved copy.
// path: the medium's path instead of its description.
std::string media_text(ScanContext *scan, bool path)
{
    if (scan == nullptr)
        return "(null)";
    std::lock_guard<std::mutex> lock(scx_internal::slot_mutex());
    Media *media = scan->media;
    if (media == nullptr)
        media = scan->pending_detach;
    if (media == nullptr)
        media = scan->saved_media.get();
    if (media == nullptr)
        return "(null)";
    const char *text = path ? media_path(media) : media_description(media);
    return text != nullptr ? text : "(null)";
}

bool has_detached_paths(ScanContext *scan)
{
    if (scan == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(scx_internal::slot_mutex());
    return !scan->detached_paths.empty();
}

void set_scan_type(ScanContext *scan, int type)
{
    std::lock_guard<std::mutex> lock(scx_internal::slot_mutex());
    scan->scan_type = type;
}

// Deletes a finished (or never started) scan and its folder, once.
void drop_scan(ScanContext **scan)
{
    if (scan == nullptr || *scan == nullptr)
        return;
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        if (m->scan == *scan)
            m->scan = nullptr;
    scx_delete_one(scan, true);
    *scan = nullptr;
}

// Blocks between two updates of the remaining-time estimate.
constexpr int64_t kEstimateEvery = 256;
// The thorough scan's progress text, with the remaining time once the
// estimator has measured the rate.
constexpr const char *kScanned = "Scanned $z of $Z.";
constexpr const char *kScannedTimed = "Scanned $z of $Z. $R remaining.";

// The block size the medium's block reader reads with: the medium's own
// when it is a power of two from 512 to 65536, else 512 (setup_reader).
int32_t reader_block_size(const Media *media)
{
    const int32_t size = media->block_size;
    return size >= 512 && size <= 65536 && (size & (size - 1)) == 0 ? size : 512;
}

// Bytes asked of the block reader at once. Its per-request work (waiting
// for the read-ahead thread, the ring's bookkeeping) then comes once per
// run of blocks instead of once per block, which from the page cache cost
// more than the modules' look at a block. A reader buffer (512 blocks)
// holds a whole number of runs, so a run never straddles two buffers when
// the medium starts on a block boundary.
constexpr int32_t kRunBytes = 64 * 1024;

// The block loop: each block of the medium to the thorough-scan store, until
// the end of the medium, an abort, an early stop or a failed file write
// (*result -3, error 307). The reader gives runs of whole blocks, each
// handed to the store at once (cbr_feed_run). Once a run cannot be had (a
// read failure, a partial last block) the loop goes on block by block, so
// it ends exactly where a block by block loop would. A block is handed on only when the reader gave a
// whole one (or, at the very end of the medium, what is left of it, zero-
// padded). 0, or -1 (logged) when a block could not be read. A medium found
// gone by the failed read (a pulled card's reads fail before its removal
// notice arrives) ends the loop as that notice would: the removal recorded
// for the scan, 0. A card that stopped answering (media_stopped_at) ends
// it as an early stop would: 0, *stopped_at the byte where it stopped, and
// what was found before is measured and kept.
int block_loop(ScanContext *scan, Media *media, int32_t block, ZV::RemainingTimeEstimator *remaining, int *result,
               int64_t *stopped_at)
{
    fs_record *store = scan->store;
    const int64_t length = media_length(media);
    const int64_t count = length / block;
    int32_t run = kRunBytes > block ? kRunBytes / block * block : block;
    bool timed = false; // the text shows the remaining time
    while (media->byte_pos < length) {
        if (abort_requested() != 0 || stop_requested() != 0)
            break;
        const int64_t whole = (length - media->byte_pos) / block * block;
        const int32_t want = whole >= run ? run : whole >= block ? (int32_t)whole : block;
        const uint8_t *bytes = nullptr;
        const int rc = media_get_max_bytes(media, &bytes, want);
        if (rc != 0) {
            // An abort or early stop cut the wait (the flags give the ending);
            // the end needs nothing more.
            if (rc == MEDIA_ABORTED || rc == MEDIA_STOPPED || rc == MEDIA_END || abort_requested() != 0)
                break;
            if (want > block) {
                run = block; // nothing was consumed: the blocks up to the failure one by one
                continue;
            }
            const int errnum = media_check_reader_errors(media);
            log_error("start_scan: media_get_max_bytes failed reading %s pos=%lld: %s", media_path(media),
                      (long long)media->byte_pos, error_list_str().c_str());
            if ((scx_media(scan) == nullptr || media_gone(media, errnum)) && scx_media_gone(scan, media) != 0)
                break;
            *stopped_at = media_stopped_at(media);
            if (*stopped_at >= 0)
                break;
            return SCAN_READ_FAILED;
        }
        const int64_t first = media->data_pos;
        cbr_feed_run(store, bytes, want, block);
        if (file_write_error_occurred() != 0) {
            *result = SCAN_WRITE_FAILED;
            add_error(SCAN_ERROR_WRITE);
            return 0;
        }
        const int64_t number = media->byte_pos / block;
        progress_set_done(media->byte_pos);
        progress_set_block(number);
        // The estimate needs a clock reading; once every 256 blocks is often
        // enough for a front end that looks ten times a second. Until the
        // rate is measured (and while nothing moves) the text names none.
        if (number / kEstimateEvery != first / block / kEstimateEvery) {
            const double left = remaining->update((uint64_t)number, (uint64_t)count);
            progress_set_remaining(left);
            if (std::isfinite(left) != timed) {
                timed = !timed;
                progress_set_text(localize_cstring(timed ? kScannedTimed : kScanned));
            }
        }
        media_check_reader_errors(media);
    }
    return 0;
}

// A read report of the medium, logged once at the end of the scan, recorded
// in the error list (so the verdict does not pass the scan off as free of
// errors) and kept in coverage with its ranges turned into bytes of the
// medium (clipped to it).
void keep_read_report(Media *media, int64_t length, const rd_bad_report &report, scan_coverage *coverage)
{
    media_log_bad_report(media_path(media), report);
    add_error(SCAN_ERROR_UNREADABLE);
    if (coverage == nullptr)
        return;
    coverage->unreadable_blocks = report.blocks;
    coverage->block_size = report.block_size;
    coverage->unreadable_runs = report.ranges;
    coverage->unreadable.clear();
    for (const rd_bad_range &range : report.list) {
        const int64_t first = std::max<int64_t>(range.first_block * report.block_size - media->start_pos, 0);
        const int64_t end =
            std::min<int64_t>((range.first_block + range.blocks) * report.block_size - media->start_pos, length);
        if (end > first)
            coverage->unreadable.push_back(scan_byte_range{first, end - first, range.errnum});
    }
}

// The medium's read report from its block reader (see keep_read_report).
void take_read_report(Media *media, int64_t length, scan_coverage *coverage)
{
    rd_bad_report report;
    if (media_read_errors(media, &report) != 0)
        keep_read_report(media, length, report, coverage);
}

// What the quick scan's file-system readers could not read (folders, FAT
// sectors), as a read report of the medium like the block reader's: the
// ranges of every found file system in device blocks, neighbours merged,
// at most RD_BAD_RANGES_MAX listed and the rest counted.
void take_quick_report(ScanContext *scan, Media *media, scan_coverage *coverage)
{
    if (media == nullptr)
        return;
    std::vector<std::pair<int64_t, int64_t>> ranges;
    for (const std::shared_ptr<fs_record> &fs : scx_internal::fs_list_copy(scan)) {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        ranges.insert(ranges.end(), fs->unreadable.begin(), fs->unreadable.end());
    }
    if (ranges.empty())
        return;
    std::sort(ranges.begin(), ranges.end());
    rd_bad_report report;
    report.block_size = reader_block_size(media);
    for (const auto &[offset, length] : ranges) {
        const int64_t first = (media->start_pos + offset) / report.block_size;
        const int64_t end = (media->start_pos + offset + length + report.block_size - 1) / report.block_size;
        if (!report.list.empty() && report.list.back().first_block + report.list.back().blocks >= first) {
            rd_bad_range &last = report.list.back();
            last.blocks = std::max(last.blocks, end - last.first_block);
        } else {
            report.list.push_back(rd_bad_range{first, end - first, EIO});
        }
    }
    for (const rd_bad_range &range : report.list)
        report.blocks += range.blocks;
    report.ranges = (int64_t)report.list.size();
    if (report.list.size() > (size_t)RD_BAD_RANGES_MAX) {
        report.ranges_not_kept = report.ranges - RD_BAD_RANGES_MAX;
        report.list.resize(RD_BAD_RANGES_MAX);
    }
    keep_read_report(media, media_length(media), report, coverage);
}

// A card that stopped answering at byte `at` of the medium: logged, error
// 427 recorded (so the verdict is one "with some errors"), kept in coverage
// and with the scan.
void note_stopped(ScanContext *scan, Media *media, int64_t at, scan_coverage *coverage)
{
    log_error("start_scan: %s stopped answering at byte %lld: the scan keeps what it found before",
              media_path(media) != nullptr ? media_path(media) : "(null)", (long long)at);
    add_error(SCAN_ERROR_STOPPED);
    media_note_not_answering(media); // a reload does not read it again until it is taken out
    scx_note_stopped_answering(scan, at);
    if (coverage != nullptr)
        coverage->stopped_at = at;
}

// The end-of-scan step of every found file system of the scan, in list
// order, all of them; the first non-zero result. Then every module's
// after-processing.
int end_of_scan(ScanContext *scan)
{
    int first = 0;
    for (const std::shared_ptr<fs_record> &fs : scx_internal::fs_list_copy(scan)) {
        const int rc = fs_finish(fs.get());
        if (rc != 0 && first == 0)
            first = rc;
    }
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        if (m->after_processing != nullptr)
            m->after_processing(m);
    return first;
}

// The thorough scan, after the retain: every block of the medium through
// the thorough-scan store, the end-of-scan step of every found file system,
// the after-processing of every module, the verdict, the scan finished.
// A medium shorter than one block (length 0 included) has no block to read:
// no reader is made and the end-of-scan steps run at once. When the reader
// cannot be made nothing was scanned and the context goes (-4); when a block
// cannot be read the scan is finished with -1, everything closed. A card
// that stopped answering, in the block loop or while the spans were
// measured, ends the scan with what was found and measured before kept
// (0, error 427, coverage->stopped_at).
int scan_thorough(ScanContext **pointer, Media *media, ZV::RemainingTimeEstimator *remaining,
                  scan_coverage *coverage)
{
    ScanContext *scan = *pointer;
    fs_record *store = scan->store;
    log_push_context("TS");
    progress_set_phases(3);
    media_seek(media, 0);
    const int64_t length = media_length(media);
    const int32_t block = reader_block_size(media);
    progress_set_overall_text(localize_cstring("Scanned block $b of $B (phase $e of $E)."));
    progress_push(media->byte_pos, length);
    progress_set_text(localize_cstring(kScanned));
    progress_set_block_count(length / block);
    progress_set_block(media->byte_pos / block);
    progress_set_remaining(std::numeric_limits<double>::infinity()); // not measured yet
    log_info("Starting thorough scan for %s", media_description(media));
    const bool blocks = length >= block;
    if (blocks && setup_reader(media, true, nullptr) != 0) {
        const char *path = media_path(media);
        log_error("start_scan: Can't create reader for device %s: %s", path != nullptr ? path : "(null)",
                  error_list_str().c_str());
        progress_pop();
        log_pop_context();
        drop_scan(pointer);
        return SCAN_NO_ACCESS;
    }
    set_stop_enabled(1);
    scx_begin(scan);
    int result = -1;
    int64_t stopped_at = -1;
    const bool open = cbr_prepare(store) == 0 && cbr_open_spans(store) == 0;
    const bool failed =
        blocks && open && block_loop(scan, media, block, remaining, &result, &stopped_at) == SCAN_READ_FAILED;
    const int64_t reached = std::min(media->byte_pos, length);
    const bool stopped_early = !failed && stop_requested() != 0 && abort_requested() == 0 && reached < length;
    if (coverage != nullptr) {
        coverage->medium_bytes = length;
        coverage->scanned_bytes = reached;
        coverage->stopped_early = stopped_early;
    }
    scx_note_reach(scan, reached, stopped_early); // kept with the scan
    if (failed) {
        take_read_report(media, length, coverage);
        cbr_end_blocks(store);
        media_rd_close(media);
        progress_pop();
        set_stop_enabled(0);
        scx_finish(scan, SCAN_READ_FAILED);
        log_pop_context();
        return SCAN_READ_FAILED;
    }
    if (stopped_at >= 0)
        note_stopped(scan, media, stopped_at, coverage);
    media_rd_stop(media);
    progress_pop();
    set_stop_enabled(0);
    cbr_end_blocks(store);
    // A write that failed, also one that showed only when "spans" was
    // closed, leaves the spans unparsed: the verdict reports it. Nor are
    // they parsed when the medium went away (nothing can be measured).
    if (file_write_error_occurred() == 0) {
        result = 0;
        clear_stop_request(); // an early stop keeps what was found
        if (abort_requested() == 0 && !has_detached_paths(scan)) {
            progress_next_phase();
            result = end_of_scan(scan);
        }
    }
    // The card stopped answering, in the block loop or while the spans were
    // measured (then measuring ended there, 425): what was measured before
    // it is listed, and the scan is kept as done.
    const int64_t stop = media_stopped_at(media);
    if (stop >= 0 && !has_detached_paths(scan) && abort_requested() == 0 && file_write_error_occurred() == 0) {
        if (stopped_at < 0)
            note_stopped(scan, media, stop, coverage);
        if (result == SCAN_READ_FAILED)
            result = 0;
        const cbr_store *found = cbr_store_of(store);
        if (coverage != nullptr && found != nullptr && found->measure_cut)
            coverage->unmeasured_files = (int64_t)found->unmeasured;
    }
    take_read_report(media, length, coverage);
    const int verdict = scan_result_status(result, scan);
    scx_finish(scan, verdict);
    if (verdict == SCAN_ABORTED)
        drop_scan(pointer);
    media_rd_close(media);
    log_pop_context();
    return verdict;
}

} // namespace

int scan_result_status(int result, ScanContext *scan)
{
    // A removal is recorded with an abort request; the scan's own thread may
    // record one where no run takes requests.
    if (has_detached_paths(scan)) {
        log_info("aborted due to media detach");
        return SCAN_DETACHED;
    }
    if (abort_requested()) {
        log_info("user abort");
        return SCAN_ABORTED;
    }
    if (file_write_error_occurred()) {
        log_error("write error: %s", error_list_str().c_str());
        return SCAN_WRITE_FAILED;
    }
    if (result != 0) {
        log_error("Failed with errors: %s", error_list_str().c_str());
        return result;
    }
    const std::string medium = media_text(scan, false);
    if (n_errors() == 0) {
        log_info("Scan of %s completed with no errors.", medium.c_str());
        return 0;
    }
    log_error("Scan of %s completed with some errors: %s", medium.c_str(), error_list_str().c_str());
    return 0;
}

int scan_quick(ScanContext **pointer, scan_coverage *coverage)
{
    if (pointer == nullptr || *pointer == nullptr)
        return SCAN_BAD_TYPE;
    ScanContext *scan = *pointer;
    log_info("Starting quick scan for %s", media_text(scan, false).c_str());
    // The medium read, taken before the scan: a removal during it detaches
    // the scan, which then has none, while its reader's failures stay to be
    // reported (the medium itself is kept by the retain of the run).
    Media *const media = scx_media(scan);
    scx_begin(scan);
    set_scan_type(scan, SCX_TYPE_QUICK);
    progress_set_phases(2);
    const int rc = fs_quick_scan(scan);
    if (rc == 0) {
        take_quick_report(scan, media, coverage);
        const int verdict = scan_result_status(0, scan);
        scx_finish(scan, verdict);
        return verdict;
    }
    if (rc != SCAN_ABORTED)
        log_error("QS failed to find a filesystem on %s", media_text(scan, false).c_str());
    scx_finish(scan, rc);
    drop_scan(pointer);
    // Nothing recorded: no type found a volume it could read (a card in a
    // file system no type reads, or none at all), which the user is told
    // apart from a volume found but damaged.
    return rc == -1 && n_errors() == 0 ? SCAN_NO_FILESYSTEM : rc;
}

int scan_deleted(ScanContext **pointer)
{
    if (pointer == nullptr || *pointer == nullptr)
        return SCAN_BAD_TYPE;
    ScanContext *scan = *pointer;
    scx_begin(scan);
    std::shared_ptr<fs_record> fs = fs_identify(scan);
    if (fs == nullptr) {
        log_error("No good filesystem found on %s", media_text(scan, false).c_str());
        scx_finish(scan, SCAN_NO_FILESYSTEM);
        drop_scan(pointer);
        return SCAN_NO_FILESYSTEM;
    }
    log_info("Starting deleted scan for %s", media_text(scan, true).c_str());
    set_scan_type(scan, SCX_TYPE_DELETED);
    const int rc = fs_scan_deleted(fs.get());
    const int verdict = scan_result_status(rc, scan);
    scx_finish(scan, verdict);
    // A failed deleted-file scan (a type without that operation among them)
    // has nothing to show: kept, it would stand in the list as a done scan
    // whose recovery gives back nothing.
    if (verdict != 0)
        drop_scan(pointer);
    return verdict;
}

int scan_run(ScanContext *scan, scan_coverage *coverage)
{
    static const char *const fn = "scan_run";
    if (scan == nullptr) {
        log_error("%s: null scan", fn);
        return SCAN_BAD_TYPE;
    }
    const int type = scan->scan_type;
    if (type != SCX_TYPE_QUICK && type != SCX_TYPE_DELETED && type != SCX_TYPE_THOROUGH) {
        log_error("%s: bad scan type %d", fn, type);
        return SCAN_BAD_TYPE;
    }
    ZV::RemainingTimeEstimator remaining;
    remaining.reset();
    set_abort_enabled(1);
    scan->scanned_here = 1;
    cbr_attach_modules(scan);
    file_clear_write_error();
    clear_errors();
    prop_log_all();

    Media *media = scx_media(scan);
    const int retained = media_retain(media);
    if (retained != 0) {
        log_error("Failed to retain media: %d", retained);
        add_error(SCAN_ERROR_RETAIN);
        // Nothing was scanned: the context goes, or each such failure would
        // keep a slot until fifteen of them leave none.
        drop_scan(&scan);
        return SCAN_NO_ACCESS;
    }

    int status;
    if (type == SCX_TYPE_THOROUGH) {
        status = scan_thorough(&scan, media, &remaining, coverage);
    } else {
        status = type == SCX_TYPE_QUICK ? scan_quick(&scan, coverage) : scan_deleted(&scan);
        if (status == SCAN_ABORTED)
            drop_scan(&scan); // nothing when the short scan deleted it already
    }
    media_release(media);
    return status;
}

int start_scan(uint32_t media_id, int scan_type, work_dir *workspace, scan_coverage *coverage)
{
    static const char *const fn = "start_scan";
    if (scan_type != SCX_TYPE_QUICK && scan_type != SCX_TYPE_DELETED && scan_type != SCX_TYPE_THOROUGH) {
        log_error("%s: bad scan type %d", fn, scan_type);
        return SCAN_BAD_TYPE;
    }
    Media *media = media_find_attached_by_id(media_id);
    if (media == nullptr) {
        log_error("%s: no attached media with id %u", fn, media_id);
        add_error(SCAN_ERROR_NO_MEDIA);
        return SCAN_NO_MEDIA;
    }
    ScanContext *scan = scx_new(scan_type, media, workspace);
    if (scan == nullptr) {
        log_error("start_scan: can't allocate new ScanContext");
        // With a slot free, the workspace refused the scan's folder or files.
        if (workspace != nullptr && scx_live_slots().size() < SCX_SLOTS) {
            add_error(SCAN_ERROR_WRITE);
            return SCAN_WRITE_FAILED;
        }
        return SCAN_NO_CONTEXT;
    }
    return scan_run(scan, coverage);
}
