// The engine's queued commands, run on its command thread inside the
// command frame: scan, recovery of a node and of the ticked nodes, saving
// and loading scans. (The media-list reload is in engine_media.cpp.)
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/command_frame.h"
#include "engine/engine.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "scan/file_arch.h"
#include "scan/recover/recover.h"
#include "scan/scan_driver.h"
#include "storage/media.h"

namespace {

// The creator tag of saved scan files.
constexpr const char *kScanFileCreator = "ZO3divi";

void finish_result(HV::CommandResult *result, HVCommandFrame &frame, int status, int line)
{
    result->status = frame.finish(status, line);
    result->error_text = n_errors() > 0 ? error_list_str() : "";
}

// The recovery's notes into the result, and where the card stopped
// answering when it did: a byte of the scan's medium, and its length.
void take_notes(HV::CommandResult *result, const Media *card)
{
    for (const recover_note &n : recover_notes_take())
        result->notes.push_back(HV::RecoveryNote{n.keyref, n.path, n.size, n.missing, n.errnum, n.host != 0});
    const int64_t at = recover_stopped_take();
    if (at >= 0 && card != nullptr) {
        const int64_t length = media_length(card);
        result->stopped_answering = true;
        result->medium_bytes = (uint64_t)length;
        result->stopped_answering_at = (uint64_t)std::clamp<int64_t>(at - card->start_pos, 0, length);
    }
}

} // namespace

HV::CommandResult HVEngine::doScan(uint32_t media_id, int scan_type)
{
    HVCommandFrame frame("Scan", ENGINE_STATE_SCAN, power_, depth_, __LINE__);
    HV::CommandResult result;
    set_abort_enabled(1);
    set_stop_enabled(scan_type == SCX_TYPE_THOROUGH ? 1 : 0);
    const std::vector<uint32_t> before = scx_live_slots();
    scan_coverage coverage;
    int rc = start_scan(media_id, scan_type, workspace_, &coverage);
    for (uint32_t slot : scx_live_slots())
        if (std::find(before.begin(), before.end(), slot) == before.end())
            result.keyref = keyref_scan(slot);
    // A scan kept in its slot whose end the workspace did not take is held
    // there as running: whatever its run gave, it is lost to the next start.
    std::shared_ptr<ScanContext> made = result.keyref != 0 ? scx_from_keyref(result.keyref) : nullptr;
    if (made != nullptr && scx_not_kept(made.get(), &result.errnum)) {
        result.failed_side = HV::kFailedWorkspace;
        rc = ENGINE_NOT_KEPT;
    }
    result.medium_bytes = (uint64_t)coverage.medium_bytes;
    result.scanned_bytes = (uint64_t)coverage.scanned_bytes;
    result.stopped_early = coverage.stopped_early;
    result.stopped_answering = coverage.stopped_at >= 0;
    result.stopped_answering_at = coverage.stopped_at >= 0 ? (uint64_t)coverage.stopped_at : 0;
    result.unmeasured_files = (uint64_t)coverage.unmeasured_files;
    result.unreadable_blocks = (uint64_t)coverage.unreadable_blocks;
    result.block_size = (uint32_t)coverage.block_size;
    result.unreadable_runs = (uint64_t)coverage.unreadable_runs;
    for (const scan_byte_range &range : coverage.unreadable)
        result.unreadable.push_back(HV::ByteRange{(uint64_t)range.offset, (uint64_t)range.length});
    set_stop_enabled(0);
    finish_result(&result, frame, rc, __LINE__);
    return result;
}

HV::CommandResult HVEngine::doRecoverNode(uint64_t keyref, const std::string &target, uint32_t options)
{
    HVCommandFrame frame("RecoverNode", ENGINE_STATE_RECOVER, power_, depth_, __LINE__);
    HV::CommandResult result;
    result.keyref = keyref;
    clear_errors();
    recover_notes_clear();
    set_abort_enabled(1);
    uint64_t keynum = 0;
    std::shared_ptr<fs_record> fs = fs_of_node(keyref, &keynum);
    if (fs == nullptr) {
        log_error("%s: no node %016llx", "RecoverNode", (unsigned long long)keyref);
        finish_result(&result, frame, ENGINE_BAD_ARGUMENT, __LINE__);
        return result;
    }
    uint64_t size = 0;
    const int rc = fs_recover_node(fs.get(), keynum, target.c_str(), &result.path, &size, options);
    result.bytes = size;
    const Media *card = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        result.files = fs->recovered[0];
        card = fs->scan != nullptr ? scx_media(fs->scan) : nullptr;
    }
    take_notes(&result, card);
    finish_result(&result, frame, rc, __LINE__);
    return result;
}

HV::CommandResult HVEngine::doRecoverMarked(uint64_t keyref, const std::string &target)
{
    HVCommandFrame frame("RecoverMarked", ENGINE_STATE_RECOVER, power_, depth_, __LINE__);
    HV::CommandResult result;
    result.keyref = keyref;
    result.path = target;
    clear_errors();
    recover_notes_clear();
    set_abort_enabled(1);
    std::shared_ptr<ScanContext> scan = keyref_is_scan(keyref) ? scx_from_keyref(keyref) : nullptr;
    if (scan == nullptr) {
        log_error("%s: no scan %016llx", "RecoverMarked", (unsigned long long)keyref);
        finish_result(&result, frame, ENGINE_BAD_ARGUMENT, __LINE__);
        return result;
    }
    if (!scx_is_recoverable(scan.get())) {
        log_error("%s: %s is not recoverable (its medium is not attached)", "RecoverMarked", scan->name);
        finish_result(&result, frame, ENGINE_NO_MEDIA, __LINE__);
        return result;
    }
    uint64_t totals[3] = {};
    const int rc = scx_recover_marked(scan.get(), target.c_str(), totals);
    result.files = totals[0];
    result.bytes = totals[2];
    take_notes(&result, scx_media(scan.get()));
    finish_result(&result, frame, rc, __LINE__);
    return result;
}

// The saved scan file is written under a temporary name beside its path and
// takes the name only once complete (far_finish): a save that fails or is
// aborted removes its temporary file and leaves an earlier file of that name
// as it was. What a save must not replace is refused before anything is
// written (saveTargetRefusal). A failure keeps the errno of the step that
// failed, taken where it failed, and the side it failed on: the save file,
// or the workspace whose scans are written down and read.
HV::CommandResult HVEngine::doSaveScans(const std::string &path, const std::vector<uint64_t> &keyrefs)
{
    HVCommandFrame frame("SaveScan", ENGINE_STATE_TREE, power_, depth_, __LINE__);
    HV::CommandResult result;
    result.path = path;
    clear_errors();
    set_abort_enabled(1);
    result.refusal = saveTargetRefusal(path);
    if (!result.refusal.empty()) {
        log_error("SaveScan: %s refused: %s", path.c_str(), result.refusal.c_str());
        finish_result(&result, frame, ENGINE_BAD_ARGUMENT, __LINE__);
        return result;
    }
    // A save holds what the workspace holds: each scan's state is written
    // down there first, and a scan whose end the workspace does not hold
    // fails the save.
    for (uint32_t slot : scx_live_slots()) {
        std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
        if (scan == nullptr || scx_archive_for_save(scan.get()) == 0)
            continue;
        result.errnum = errno;
        result.failed_side = HV::kFailedWorkspace;
        log_error("SaveScan: %s could not be written down in the workspace: %s", scan->name,
                  std::strerror(result.errnum));
        finish_result(&result, frame, ENGINE_FAILED, __LINE__);
        return result;
    }
    FileArch *far = far_new(path.c_str(), workspace_path_.c_str());
    if (far == nullptr || far_create(far, FAR_FILE_GZIP, kScanFileCreator) != 0) {
        result.errnum = far != nullptr ? far->error : ENOMEM;
        result.failed_side = HV::kFailedTarget;
        log_error("Scan file creation of %s failed: %s", path.c_str(), std::strerror(result.errnum));
        far_free(&far);
        finish_result(&result, frame, ENGINE_FAILED, __LINE__);
        return result;
    }
    const uint64_t *list = keyrefs.empty() ? nullptr : keyrefs.data();
    far->count_only = 1;
    int rc = scx_save_scans(far, list, keyrefs.size());
    far->count_only = 0;
    progress_push(0, (int64_t)far->total_size);
    progress_set_text("Saving scans");
    if (rc == 0)
        rc = scx_save_scans(far, list, keyrefs.size());
    if (rc == 0 && abort_requested())
        rc = ENGINE_ABORTED;
    // Once far_finish has renamed the file the save is done, whatever is
    // asked after: nothing below turns it into an abort.
    if (rc == 0)
        rc = far_finish(far);
    if (rc != 0 && rc != ENGINE_ABORTED) {
        result.errnum = far->error;
        result.failed_side = far->error_side == FAR_SIDE_SOURCE      ? HV::kFailedWorkspace
                             : far->error_side == FAR_SIDE_CONTAINER ? HV::kFailedTarget
                                                                     : HV::kFailedNowhere;
        if (far->target.replaced)
            result.failed_side = HV::kFailedFolderSync;
    }
    far_free(&far); // removes the temporary file of a save that did not finish
    finish_result(&result, frame, rc, __LINE__);
    return result;
}

HV::CommandResult HVEngine::doLoadScans(const std::string &path)
{
    HVCommandFrame frame("LoadScan", ENGINE_STATE_TREE, power_, depth_, __LINE__);
    HV::CommandResult result;
    result.path = path;
    clear_errors();
    set_abort_enabled(1);
    int loaded = 0;
    scx_load_room room;
    const std::vector<uint32_t> before = scx_live_slots();
    int rc = scx_load_scans(path.c_str(), nullptr, 0, workspace_, &loaded, &room);
    result.files = loaded < 0 ? 0 : (uint64_t)loaded;
    if (rc == SCX_TOO_FEW_SLOTS) {
        result.files = (uint64_t)room.saved;
        result.free_slots = (uint64_t)room.free;
    }
    if (rc == 0) {
        scx_rematch_media();
        attachSavedImages(before);
    }
    finish_result(&result, frame, rc, __LINE__);
    return result;
}

// A loaded scan of an image file finds its image where it was saved: each
// loaded scan still without its medium has the file at the path its medium
// was saved with attached, when a regular file is there now whose size
// could hold the saved medium (scx_saved_media_fits: anything else is not
// even opened), and matched by the medium's own matching (size and content
// checksum) as a card plugged in again is. A device path is left to the
// device list, and a file that is not the scan's medium is attached for
// this run only. An image in a container format (its file smaller or
// larger than the disk it holds) is not found this way: it is named with
// attachForScans.
void HVEngine::attachSavedImages(const std::vector<uint32_t> &before)
{
    std::vector<std::string> tried;
    for (uint32_t slot : scx_live_slots()) {
        if (std::find(before.begin(), before.end(), slot) != before.end())
            continue;
        std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
        if (scan == nullptr || scan_info_of(scan.get(), false).media_status == SCX_MEDIA_ATTACHED)
            continue;
        const std::string saved = scx_saved_media_path(scan.get());
        struct stat st;
        if (saved.empty() || saved[0] != '/' || std::find(tried.begin(), tried.end(), saved) != tried.end() ||
            stat(saved.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // The path comes from the saved file, which anyone may have made: a
        // file that cannot be the image by its size is never opened.
        if (!scx_saved_media_fits(scan.get(), (int64_t)st.st_size)) {
            log_info("LoadScan: %s is not opened for %s: its size (%lld bytes) is not that of the saved medium",
                     saved.c_str(), scan->name, (long long)st.st_size);
            continue;
        }
        tried.push_back(saved);
        std::vector<uint32_t> slots;
        std::string why;
        if (attachMatching(saved, false, &slots, &why) != 0)
            log_info("LoadScan: the image %s of %s not attached: %s", saved.c_str(), scan->name, why.c_str());
    }
}
