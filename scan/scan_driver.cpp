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

#include <mutex>
#include <string>

#include "engine/properties.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "modules/module.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"
#include "scan/scan_context_internal.h"
#include "storage/media.h"

namespace {

// The thorough scan arrives with the thorough-scan store; until then
// start_scan refuses type 3 before taking a slot.
constexpr bool kThoroughScanAvailable = false;

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

// Every registered module learns the scan and starts its per-scan count at
// 0; file-system modules (a type other than 0 and the store's) get their
// scan-attach operation. (The store's own part, making it the current store
// of the recovered-name numbering, comes with the thorough scan.)
void attach_modules(ScanContext *scan)
{
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next) {
        m->scan = scan;
        m->scan_counter = 0;
        if (m->fs_type != 0 && m->fs_type != (int)FS_TYPE_STORE && m->scan_attach != nullptr)
            m->scan_attach(m);
    }
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

// The thorough scan (steps of the run after the retain): the block loop
// through the thorough-scan store, the end-of-scan step of every found file
// system, the after-processing of every module, the verdict, finishing the
// scan. It comes with the thorough-scan store; until then a type-3 context
// that reaches the run is deleted unscanned.
int scan_thorough(ScanContext **scan, Media *media, ZV::RemainingTimeEstimator *remaining)
{
    (void)remaining;
    log_error("%s: the thorough scan is not available (%s)", "scan_thorough",
              media != nullptr ? media_description(media) : "(null)");
    drop_scan(scan);
    return SCAN_NOT_AVAILABLE;
}

} // namespace

int scan_result_status(int result, ScanContext *scan)
{
    if (abort_requested()) {
        if (has_detached_paths(scan)) {
            log_info("aborted due to media detach");
            return SCAN_DETACHED;
        }
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

int scan_quick(ScanContext **pointer)
{
    if (pointer == nullptr || *pointer == nullptr)
        return SCAN_BAD_TYPE;
    ScanContext *scan = *pointer;
    log_info("Starting quick scan for %s", media_text(scan, false).c_str());
    scx_begin(scan);
    set_scan_type(scan, SCX_TYPE_QUICK);
    progress_set_phases(2);
    const int rc = fs_quick_scan(scan);
    if (rc == 0) {
        const int verdict = scan_result_status(0, scan);
        scx_finish(scan, verdict);
        return verdict;
    }
    if (rc != SCAN_ABORTED)
        log_error("QS failed to find a filesystem on %s", media_text(scan, false).c_str());
    scx_finish(scan, rc);
    drop_scan(pointer);
    return rc;
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
    return verdict;
}

int scan_run(ScanContext *scan)
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
    attach_modules(scan);
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
        status = scan_thorough(&scan, media, &remaining);
    } else {
        status = type == SCX_TYPE_QUICK ? scan_quick(&scan) : scan_deleted(&scan);
        if (status == SCAN_ABORTED)
            drop_scan(&scan); // nothing when the short scan deleted it already
    }
    media_release(media);
    return status;
}

int start_scan(uint32_t media_id, int scan_type, work_dir *workspace)
{
    static const char *const fn = "start_scan";
    if (scan_type != SCX_TYPE_QUICK && scan_type != SCX_TYPE_DELETED && scan_type != SCX_TYPE_THOROUGH) {
        log_error("%s: bad scan type %d", fn, scan_type);
        return SCAN_BAD_TYPE;
    }
    if (scan_type == SCX_TYPE_THOROUGH && !kThoroughScanAvailable) {
        log_error("%s: the thorough scan is not available", fn);
        return SCAN_NOT_AVAILABLE;
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
        return SCAN_NO_CONTEXT;
    }
    return scan_run(scan);
}
