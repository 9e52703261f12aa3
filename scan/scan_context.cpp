// Scan contexts: keyrefs, the slot table, creating, starting, finishing and
// deleting scans, and the file-system index of a scan.
//
// Implementation notes
// - The slot table holds shared pointers; everything that changes a slot,
//   the current-scan pointer or a context's medium, status, folder pointer,
//   file-system list or detached paths does so under the slot mutex.
// - A slot counts as taken while it holds a context or is reserved by a
//   load in progress. A load also never takes a slot whose folder is still
//   on disk (see scan_context_save.cpp).
// - Freeing frees the file systems first, outside the slot mutex (fs_free
//   takes a record's mutex and then the slot mutex), then the context's own
//   parts under the mutex.
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/dirutil.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context_internal.h"
#include "storage/media.h"

namespace scx_internal {

namespace {
std::mutex g_slot_mutex;
std::shared_ptr<ScanContext> g_slots[SCX_SLOTS + 1];
bool g_reserved[SCX_SLOTS + 1];
std::atomic<uint32_t> g_counter{0};
ScanContext *g_current = nullptr;
std::vector<std::shared_ptr<ScanContext>> g_prescans; // contexts outside the slots
} // namespace

std::mutex &slot_mutex()
{
    return g_slot_mutex;
}

std::shared_ptr<ScanContext> &slot_entry(uint32_t slot)
{
    return g_slots[slot <= SCX_SLOTS ? slot : 0];
}

bool &slot_reserved(uint32_t slot)
{
    return g_reserved[slot <= SCX_SLOTS ? slot : 0];
}

std::string slot_folder_name(uint32_t slot)
{
    char name[16];
    std::snprintf(name, sizeof name, "Scan.%02u", slot);
    return name;
}

uint32_t next_scan_number()
{
    return ++g_counter;
}

scx_time time_now()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return scx_time{(int32_t)tv.tv_sec, (int32_t)tv.tv_usec};
}

void copy_text(char *field, size_t size, const char *text)
{
    if (size == 0)
        return;
    size_t n = text != nullptr ? std::strlen(text) : 0;
    if (n >= size) {
        n = size - 1;
        while (n > 0 && ((uint8_t)text[n] & 0xC0) == 0x80)
            n--;
    }
    if (n > 0)
        std::memcpy(field, text, n);
    std::memset(field + n, 0, size - n);
}

std::vector<std::shared_ptr<ScanContext>> live_scans()
{
    std::lock_guard<std::mutex> lock(g_slot_mutex);
    std::vector<std::shared_ptr<ScanContext>> out;
    for (uint32_t slot = 1; slot <= SCX_SLOTS; slot++)
        if (g_slots[slot] != nullptr)
            out.push_back(g_slots[slot]);
    return out;
}

std::vector<std::shared_ptr<fs_record>> fs_list_copy(const ScanContext *scan)
{
    std::lock_guard<std::mutex> lock(g_slot_mutex);
    return scan != nullptr ? scan->fs_list : std::vector<std::shared_ptr<fs_record>>();
}

void set_display_names(ScanContext *scan)
{
    for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan))
        fs_set_display_name(fs.get(), scan->many_file_systems != 0);
}

ScanContext *&current()
{
    return g_current;
}

std::vector<std::shared_ptr<ScanContext>> &prescans()
{
    return g_prescans;
}

std::shared_ptr<Media> own_media(Media *media)
{
    if (media == nullptr)
        return nullptr;
    return std::shared_ptr<Media>(media, [](Media *m) { media_free(&m); });
}

} // namespace scx_internal

using namespace scx_internal;

// --- keyrefs ---------------------------------------------------------------------------------

uint64_t keyref_scan(uint32_t slot)
{
    if (slot < 1 || slot > SCX_SLOTS)
        return 0;
    return (uint64_t)slot << 56 | 0xFFull << 32 | KEYREF_SCAN_LOW;
}

uint64_t keyref_fs_base(uint32_t slot, uint32_t type, uint32_t index)
{
    if (slot < 1 || slot > SCX_SLOTS || type > 15 || index < 1 || index > FS_INDEX_MAX)
        return 0;
    return (uint64_t)slot << 56 | (uint64_t)type << 52 | (uint64_t)index << 40;
}

int keyref_encode(uint32_t slot, uint32_t type, uint32_t index, uint64_t keynum, uint64_t *out)
{
    const uint64_t base = keyref_fs_base(slot, type, index);
    if (base == 0 || out == nullptr || (keynum > KEYNUM_LAST && keynum != KEYNUM_FS_ROOT))
        return -1;
    *out = base | keynum;
    return 0;
}

bool keyref_is_scan(uint64_t keyref)
{
    return keyref_slot(keyref) != 0 && (uint32_t)keyref == KEYREF_SCAN_LOW && ((keyref >> 32) & 0xFF) == 0xFF;
}

int keyref_decode(uint64_t keyref, keyref_parts *out)
{
    keyref_parts parts{keyref_slot(keyref), keyref_fs_type(keyref), keyref_fs_index(keyref), keyref_keynum(keyref)};
    if (keyref == KEYREF_NONE) {
        if (out != nullptr)
            *out = keyref_parts{0, 0, 0, 0};
        return KEYREF_KIND_NONE;
    }
    if ((keyref >> 60) != 0 || parts.slot < 1)
        return KEYREF_KIND_INVALID;
    int kind;
    if (keyref_is_scan(keyref)) {
        if (parts.type != 0 || parts.index != 0)
            return KEYREF_KIND_INVALID;
        parts.keynum = 0;
        kind = KEYREF_KIND_SCAN;
    } else {
        if (parts.index < 1 || parts.index > FS_INDEX_MAX)
            return KEYREF_KIND_INVALID;
        if (parts.keynum == KEYNUM_FS_ROOT)
            kind = KEYREF_KIND_FS_ROOT;
        else if (parts.keynum > KEYNUM_LAST)
            return KEYREF_KIND_INVALID;
        else
            kind = KEYREF_KIND_NODE;
    }
    if (out != nullptr)
        *out = parts;
    return kind;
}

// --- ScanInfo -----------------------------------------------------------------------------------

namespace {

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}
void put64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
uint64_t get64(const uint8_t *p)
{
    return (uint64_t)get32(p) | (uint64_t)get32(p + 4) << 32;
}

} // namespace

void scan_info_pack(const ScanInfo &info, uint8_t out[SCAN_INFO_SIZE])
{
    std::memset(out, 0, SCAN_INFO_SIZE);
    put32(out + 0, info.slot);
    put32(out + 4, info.scan_number);
    put32(out + 8, info.media_id);
    copy_text(reinterpret_cast<char *>(out + 16), 32, info.scan_name);
    copy_text(reinterpret_cast<char *>(out + 48), 512, info.media_name);
    put64(out + 560, info.keyref);
    put64(out + 568, (uint64_t)info.start_seconds);
    put64(out + 576, (uint64_t)info.stop_seconds);
    put64(out + 584, info.folder_bytes);
    put32(out + 592, info.scan_type);
    put32(out + 596, info.scan_state);
    put32(out + 600, info.media_status);
}

void scan_info_unpack(const uint8_t in[SCAN_INFO_SIZE], ScanInfo *info)
{
    *info = ScanInfo{};
    info->slot = get32(in + 0);
    info->scan_number = get32(in + 4);
    info->media_id = get32(in + 8);
    std::memcpy(info->scan_name, in + 16, 32);
    info->scan_name[31] = '\0';
    std::memcpy(info->media_name, in + 48, 512);
    info->media_name[511] = '\0';
    info->keyref = get64(in + 560);
    info->start_seconds = (int64_t)get64(in + 568);
    info->stop_seconds = (int64_t)get64(in + 576);
    info->folder_bytes = get64(in + 584);
    info->scan_type = get32(in + 592);
    info->scan_state = get32(in + 596);
    info->media_status = get32(in + 600);
}

ScanInfo scan_info_of(const ScanContext *scan, bool attached_only)
{
    ScanInfo info{};
    if (scan == nullptr)
        return info;
    std::string folder;
    std::shared_ptr<Media> held; // a saved copy stays while its kind is read
    const Media *kind_of = nullptr;
    std::string saved_path;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        info.slot = scan->slot;
        info.scan_number = scan->scan_number;
        const Media *media = scan->media;
        if (media == nullptr && !attached_only)
            media = scan->saved_media.get();
        info.media_id = media != nullptr ? media->id : 0;
        copy_text(info.scan_name, sizeof info.scan_name, scan->name);
        copy_text(info.media_name, sizeof info.media_name, media != nullptr ? media_name(media) : "");
        info.keyref = keyref_scan(scan->slot);
        info.start_seconds = scan->start_time.seconds;
        info.stop_seconds = scan->stop_time.seconds;
        info.scan_type = (uint32_t)scan->scan_type;
        info.scan_state = (uint32_t)scan->scan_state;
        info.media_status = (uint32_t)scan->media_status;
        info.stopped_early = scan->status0 == SCX_STATUS_STOPPED_EARLY ? 1 : 0;
        info.stopped_answering = scan->status0 == SCX_STATUS_STOPPED_ANSWERING ? 1 : 0;
        info.medium_bytes = scan->stop_pos > scan->start_pos ? (uint64_t)(scan->stop_pos - scan->start_pos) : 0;
        info.scanned_bytes = (info.stopped_early != 0 || info.stopped_answering != 0) && scan->byte_pos > 0
                                 ? std::min((uint64_t)scan->byte_pos, info.medium_bytes)
                                 : 0;
        held = media == scan->saved_media.get() ? scan->saved_media : nullptr;
        if (held != nullptr && held->saved_path != nullptr && scan->media_status != SCX_MEDIA_ATTACHED)
            saved_path = held->saved_path;
        kind_of = media;
        if (scan->folder != nullptr)
            folder = dir_path(scan->folder);
    }
    // An attached medium stays listed until the engine ends; a saved copy is
    // held here. Its kind is read under the media list's own mutex.
    const uint32_t kind = media_top_kind(kind_of);
    info.media_kind = kind == MEDIA_DISK                          ? SCX_KIND_DEVICE
                      : kind == MEDIA_IMAGE || kind == MEDIA_FILE ? SCX_KIND_IMAGE
                                                                  : SCX_KIND_UNKNOWN;
    if (!saved_path.empty())
        media_for_each([&](Media *m) {
            const char *path = media_path(m);
            info.other_medium = m->attached && path != nullptr && saved_path == path ? 1 : 0;
            return info.other_medium == 0;
        });
    info.folder_bytes = folder.empty() ? 0 : dir_tree_size(folder.c_str());
    return info;
}

// --- slots -----------------------------------------------------------------------------------------

int scx_slot_alloc(const std::shared_ptr<ScanContext> &scan, work_dir *workspace, uint32_t slot)
{
    static const char *const fn = "scx_slot_alloc";
    if (scan == nullptr || workspace == nullptr || slot > SCX_SLOTS)
        return -39;
    std::lock_guard<std::mutex> lock(slot_mutex());
    if (slot == 0) {
        for (uint32_t s = 1; s <= SCX_SLOTS && slot == 0; s++)
            if (slot_entry(s) == nullptr && !slot_reserved(s))
                slot = s;
        if (slot == 0)
            return -39;
    } else if (slot_entry(slot) != nullptr) {
        return -39;
    }
    work_dir *folder = dir_new(workspace, slot_folder_name(slot).c_str());
    if (folder == nullptr) {
        log_error("%s: can't make folder for slot %u", fn, slot);
        return -1;
    }
    scan->slot = slot;
    scan->folder = folder;
    scan->fs_list.clear();
    // Numbered and named before it is published: a caller's thread may list
    // it as soon as the slot holds it.
    scan->scan_number = next_scan_number();
    std::snprintf(scan->name, sizeof scan->name, "Scan %u", scan->scan_number);
    slot_entry(slot) = scan;
    return 0;
}

ScanContext *scx_new(int scan_type, Media *media, work_dir *workspace)
{
    std::shared_ptr<ScanContext> scan = std::make_shared<ScanContext>();
    // Filled in before the slot publishes it to the caller's thread.
    scan->media = media;
    scan->scan_type = scan_type;
    scan->start_time = scan->stop_time = time_now();
    scan->scan_state = SCX_STATE_RUNNING;
    if (scx_slot_alloc(scan, workspace, 0) != 0)
        return nullptr;
    // The slot folder holds the scan's card and start time from its first
    // moment: a process ended before scx_begin leaves a scan shown
    // unfinished with them, not an empty one.
    if (scx_archive_started(scan.get()) != 0)
        log_error("%s: can't save %s as started", "scx_new", scan->name);
    if (scan_type == SCX_TYPE_DELETED || scan_type == SCX_TYPE_THOROUGH) {
        std::shared_ptr<fs_record> store = fs_new_of_type(scan.get(), FS_TYPE_STORE);
        if (store == nullptr) {
            // The slot folder was made for this scan only: take it away again,
            // or the next start would load an empty scan from it.
            ScanContext *raw = scan.get();
            scx_delete_one(&raw, false);
            return nullptr;
        }
        scan->store = store.get();
    }
    return scan.get();
}

void scx_begin(ScanContext *scan)
{
    if (scan == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        current() = scan;
        scan->start_time = time_now();
        if (scan->media != nullptr) {
            scan->start_pos = scan->media->start_pos;
            scan->stop_pos = scan->media->stop_pos;
        }
    }
    // Should the process end before scx_finish, the next start finds the
    // scan running and shows it unfinished, with its medium.
    if (scx_archive_started(scan) != 0)
        log_error("%s: can't save %s as started", "scx_begin", scan->name);
}

void scx_note_reach(ScanContext *scan, int64_t scanned_bytes, bool stopped_early)
{
    if (scan == nullptr)
        return;
    std::lock_guard<std::mutex> lock(slot_mutex()); // the front end reads them
    scan->byte_pos = scanned_bytes < 0 ? 0 : scanned_bytes;
    scan->status0 = stopped_early ? SCX_STATUS_STOPPED_EARLY : 0;
}

void scx_note_stopped_answering(ScanContext *scan, int64_t at)
{
    if (scan == nullptr)
        return;
    std::lock_guard<std::mutex> lock(slot_mutex());
    scan->byte_pos = at < 0 ? 0 : at;
    scan->status0 = SCX_STATUS_STOPPED_ANSWERING;
}

ScanContext *scx_current()
{
    std::lock_guard<std::mutex> lock(slot_mutex());
    return current();
}

namespace {

// A file system with children: its type says so, or its root lists some.
bool has_children(fs_record *fs)
{
    return fs->has_children != 0 || fs_num_children(fs, KEYNUM_FS_ROOT) > 0;
}

} // namespace

void scx_finish(ScanContext *scan, int verdict)
{
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (scan == nullptr || current() == scan)
            current() = nullptr;
    }
    if (scan == nullptr)
        return;
    const std::vector<std::shared_ptr<fs_record>> list = fs_list_copy(scan);
    const bool done = verdict != -5 && verdict != -30;
    int with_children = 0, many = 0;
    if (done)
        for (const std::shared_ptr<fs_record> &fs : list)
            if (has_children(fs.get())) {
                with_children++;
                if (fs->type != FS_TYPE_STORE)
                    many++;
            }
    // What the caller's thread shows (state, times, counts) changes under
    // the slot mutex.
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        scan->stop_time = time_now();
        if (done) {
            scan->num_children = with_children;
            scan->many_file_systems = many > 1;
            scan->scan_state = SCX_STATE_DONE;
        } else {
            scan->scan_state = SCX_STATE_ABORTED;
        }
    }
    if (done)
        set_display_names(scan);
    std::vector<std::string> detached;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        // A medium removed while this scan read it was kept aside for this
        // moment: its saved copy is taken now, on the scan's own thread.
        if (scan->pending_detach != nullptr) {
            detach_media_locked(scan, scan->pending_detach);
            scan->pending_detach = nullptr;
        }
        scan->media_status = scan->media != nullptr && scan->media->attached ? SCX_MEDIA_ATTACHED
                                                                              : SCX_MEDIA_DETACHED;
        detached.swap(scan->detached_paths);
    }
    // A scan whose end cannot be written down stays running in its folder:
    // the next start shows it unfinished, so this run says so now.
    if (scx_archive(scan) != 0) {
        const int error = errno;
        log_error("scx_finish: the end of %s could not be saved in the workspace: %s", scan->name,
                  error != 0 ? std::strerror(error) : "unknown error");
        std::lock_guard<std::mutex> lock(slot_mutex());
        scan->not_kept = 1;
        scan->not_kept_errno = error;
    }
    for (const std::string &path : detached)
        media_detach_path(path.c_str());
    notification_post("scans_changed", 0);
}

// --- freeing and deleting ------------------------------------------------------------------------

void scx_free(ScanContext **pointer)
{
    if (pointer == nullptr || *pointer == nullptr)
        return;
    ScanContext *scan = *pointer;
    *pointer = nullptr;
    std::shared_ptr<ScanContext> keep; // holds the context until the end of this call
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (scan->slot >= 1 && scan->slot <= SCX_SLOTS && slot_entry(scan->slot).get() == scan)
            keep = slot_entry(scan->slot);
        for (auto it = prescans().begin(); it != prescans().end(); ++it)
            if (it->get() == scan) {
                keep = *it;
                prescans().erase(it);
                break;
            }
    }
    for (std::shared_ptr<fs_record> fs : fs_list_copy(scan))
        fs_free(&fs);
    std::string prescan_folder;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (current() == scan)
            current() = nullptr;
        if (scan->slot >= 1 && scan->slot <= SCX_SLOTS && slot_entry(scan->slot).get() == scan)
            slot_entry(scan->slot).reset();
        scan->fs_list.clear();
        scan->store = nullptr;
        scan->detached_paths.clear();
        scan->pending_detach = nullptr;
        scan->media = nullptr;
        scan->saved_media.reset();
        if (scan->outside_slots && scan->folder != nullptr)
            prescan_folder = dir_path(scan->folder);
        dir_free(&scan->folder);
    }
    if (!prescan_folder.empty() && remove_tree(prescan_folder.c_str()) != 0)
        log_warning("Failed to remove scan dir in free \"%s\"", prescan_folder.c_str());
}

int scx_delete_one(ScanContext **pointer, bool notify)
{
    if (pointer == nullptr || *pointer == nullptr)
        return -12;
    ScanContext *scan = *pointer;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (current() == scan) {
            // The scan thread holds this context until scx_finish: freeing it
            // and its folder now would pull both from under it.
            log_error("%s: %s is running", "scx_delete_one", scan->name);
            return -12;
        }
        const char *p = scan->folder != nullptr ? dir_path(scan->folder) : nullptr;
        if (p == nullptr) {
            add_error(SCX_ERROR_PATH_COPY);
            return -12;
        }
        path = p;
    }
    scx_free(pointer);
    int rc = 0;
    const int removed = remove_tree_safe(path.c_str());
    if (removed != 0) {
        log_error("Failed to delete scan dir \"%s\" (%d)", path.c_str(), removed);
        rc = -4;
    }
    if (notify)
        notification_post("scans_changed", 0);
    return rc;
}

int scx_delete(ScanContext **scan)
{
    return scx_delete_one(scan, true);
}

int scx_delete_all()
{
    int first = 0;
    bool any = false;
    for (const std::shared_ptr<ScanContext> &scan : live_scans()) {
        ScanContext *raw = scan.get();
        const int rc = scx_delete_one(&raw, false);
        any = true;
        if (first == 0)
            first = rc;
    }
    if (any)
        notification_post("scans_changed", 0);
    return first;
}

void scx_free_all()
{
    for (const std::shared_ptr<ScanContext> &scan : live_scans()) {
        int status;
        {
            std::lock_guard<std::mutex> lock(slot_mutex());
            status = scan->media_status;
        }
        if (status != SCX_MEDIA_UNKNOWN)
            for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan.get()))
                scx_write_fs_files(fs.get());
        ScanContext *raw = scan.get();
        scx_free(&raw);
    }
}

// --- lookups ------------------------------------------------------------------------------------------

std::shared_ptr<ScanContext> scx_from_keyref(uint64_t keyref)
{
    if (keyref == KEYREF_NONE || (keyref >> 60) != 0)
        return nullptr;
    return scx_in_slot(keyref_slot(keyref));
}

std::shared_ptr<ScanContext> scx_in_slot(uint32_t slot)
{
    if (slot < 1 || slot > SCX_SLOTS)
        return nullptr;
    std::lock_guard<std::mutex> lock(slot_mutex());
    return slot_entry(slot);
}

std::vector<uint32_t> scx_live_slots()
{
    std::vector<uint32_t> out;
    for (const std::shared_ptr<ScanContext> &scan : live_scans())
        out.push_back(scan->slot);
    return out;
}

bool scx_is_recoverable(const ScanContext *scan)
{
    if (scan == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(slot_mutex());
    return scan->scan_state == SCX_STATE_DONE && scan->media_status == SCX_MEDIA_ATTACHED;
}

uint32_t scx_media_id(const ScanContext *scan)
{
    if (scan == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(slot_mutex());
    const Media *media = scan->media != nullptr ? scan->media : scan->saved_media.get();
    return media != nullptr ? media->id : 0;
}

Media *scx_media(const ScanContext *scan)
{
    if (scan == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(slot_mutex());
    return scan->media;
}

std::string scx_saved_media_path(const ScanContext *scan)
{
    if (scan == nullptr)
        return "";
    std::lock_guard<std::mutex> lock(slot_mutex());
    const Media *saved = scan->saved_media.get();
    return saved != nullptr && saved->saved_path != nullptr ? saved->saved_path : "";
}

bool scx_saved_media_fits(const ScanContext *scan, int64_t size)
{
    if (scan == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(slot_mutex());
    const Media *saved = scan->saved_media.get();
    if (saved == nullptr || size < 0)
        return false;
    const bool whole = saved->slice == 0 && saved->orig_start_pos == 0;
    return whole ? size == saved->orig_stop_pos : size >= saved->orig_stop_pos;
}

bool scx_not_kept(const ScanContext *scan, int *errnum)
{
    if (scan == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(slot_mutex());
    if (errnum != nullptr)
        *errnum = scan->not_kept_errno;
    return scan->not_kept != 0;
}

// --- file-system indexes -----------------------------------------------------------------------------

int scx_new_fs_index(ScanContext *scan, const std::shared_ptr<fs_record> &fs)
{
    if (scan == nullptr || fs == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(slot_mutex());
    uint32_t index = fs->index;
    if (index != 0) {
        if (index > FS_INDEX_MAX || scan->fs_index_used[index]) {
            log_error("Bad existing fs index value %u", index);
            add_error(SCX_ERROR_BAD_FS_INDEX);
            return -1;
        }
    } else {
        for (uint32_t i = 1; i <= FS_INDEX_MAX && index == 0; i++)
            if (!scan->fs_index_used[i])
                index = i;
        if (index == 0) {
            log_error("scx_new_fs_index couldn't assign new index");
            add_error(SCX_ERROR_NO_FS_INDEX);
            return -1;
        }
    }
    scan->fs_index_used[index] = 1;
    fs->index = index;
    fs->scan = scan;
    fs->slot = scan->slot;
    scan->fs_list.push_back(fs);
    return 0;
}

void scx_remove_fs(ScanContext *scan, fs_record *fs)
{
    if (scan == nullptr || fs == nullptr)
        return;
    std::lock_guard<std::mutex> lock(slot_mutex());
    auto &list = scan->fs_list;
    const auto it = std::find_if(list.begin(), list.end(),
                                 [fs](const std::shared_ptr<fs_record> &p) { return p.get() == fs; });
    if (it == list.end())
        return;
    if (fs->index >= 1 && fs->index <= FS_INDEX_MAX)
        scan->fs_index_used[fs->index] = 0;
    if (scan->store == fs)
        scan->store = nullptr;
    list.erase(it);
}

// --- prescan contexts ------------------------------------------------------------------------------------

ScanContext *scx_new_prescan(Media *media, work_dir *dir)
{
    if (media == nullptr || dir == nullptr)
        return nullptr;
    std::shared_ptr<ScanContext> scan = std::make_shared<ScanContext>();
    scan->outside_slots = 1;
    scan->media = media;
    scan->scan_number = next_scan_number();
    std::snprintf(scan->name, sizeof scan->name, "Scan %u", scan->scan_number);
    std::lock_guard<std::mutex> lock(slot_mutex());
    prescans().push_back(scan);
    return scan.get();
}

namespace scx_testing {

void reset()
{
    scx_free_all();
    std::lock_guard<std::mutex> lock(slot_mutex());
    for (uint32_t s = 0; s <= SCX_SLOTS; s++)
        slot_reserved(s) = false;
    current() = nullptr;
}

} // namespace scx_testing
