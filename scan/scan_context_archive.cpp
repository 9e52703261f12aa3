// The saved form of a scan context, loading the scans of a workspace,
// matching loaded scans to the attached media and device removal.
//
// "context" (record archive, foundation/archive.h) in the scan's folder,
// block "scx" (type 1), items in this order:
//
//   compat_version long (4)
//   the medium or its saved copy: block "media" (storage/media_archive.cpp)
//   start_time, stop_time  bytes 8: {seconds i32, microseconds i32} LE
//                          (readers also take 16 bytes: words 0 and 2)
//   scan_type, scan_state long
//   start_pos, stop_pos, byte_pos, data_pos quad
//   status0, num_children, many_file_systems, n_fs_list long
//   per file system: fs_type long, fs_index long, block "fs" (fs_record.h)
//
// "key" (88 bytes) and "treeinfo" (five u64 LE, 40 bytes) in each file
// system's folder are written once the archive is complete and before it
// takes the name "context", each through "key.tmp" and "treeinfo.tmp" as
// below: a scan whose "context" says done has them all, and one that could
// not write them keeps its earlier "context" (running: not kept).
//
// A scan is archived when it starts (state running, no file systems) and
// when it ends, so a scan whose process was killed is loaded again as
// running, with its medium and start time: the front end shows it
// unfinished until it is deleted.
//
// Implementation notes
// - "context" is written as "context.tmp" and renamed over the old one when
//   complete, so a crash while saving never leaves a half archive. The
//   temporary is made exclusively and written through its descriptor
//   (foundation/atomic_file.h): whoever can write into the workspace cannot
//   make the engine write through a link or into a FIFO standing at that
//   name (the write is refused and logged), and a regular file left there by
//   a write cut short is removed first.
// - A scan archive's compat version is kept beside the archive object (a
//   small table keyed by the archive, dropped by the archive's free
//   callback) so that the readers of the file systems can test it.
// - Device removal never archives the medium of the scan that is running:
//   its scan thread still reads that medium. The removal only records it;
//   scx_finish takes the saved copy on the scan's own thread.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "foundation/archive.h"
#include "foundation/atomic_file.h"
#include "foundation/dirutil.h"
#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context_internal.h"
#include "storage/media.h"

using namespace scx_internal;

namespace {

const char *const kBlock = "scx";
const char *const kContext = "context";
const char *const kContextTmp = "context.tmp";

std::mutex g_compat_mutex;
std::map<const archive *, int> g_compat;

void forget_compat(archive *a, void *)
{
    std::lock_guard<std::mutex> lock(g_compat_mutex);
    g_compat.erase(a);
}

void put_time(uint8_t out[8], scx_time t)
{
    for (int i = 0; i < 4; i++) {
        out[i] = (uint8_t)((uint32_t)t.seconds >> (8 * i));
        out[4 + i] = (uint8_t)((uint32_t)t.microseconds >> (8 * i));
    }
}

int32_t get_i32(const uint8_t *p)
{
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

// Reads a time item: 8 bytes, or 16 of which words 0 and 2 count.
int read_time(archive *a, const char *name, scx_time *out)
{
    const int n = unarchive_bytes(a, name);
    if (n < 0)
        return n;
    const uint8_t *p = archive_scratch_data(a);
    if (n == 8)
        *out = scx_time{get_i32(p), get_i32(p + 4)};
    else if (n == 16)
        *out = scx_time{get_i32(p), get_i32(p + 8)};
    else
        return -1;
    return 0;
}

void log_archive_error(const char *fn, int rc)
{
    log_error("%s: archive error for %d", fn, rc);
}

} // namespace

int scx_archive_compat(const archive *a)
{
    std::lock_guard<std::mutex> lock(g_compat_mutex);
    const auto it = g_compat.find(a);
    return it != g_compat.end() ? it->second : 0;
}

void scx_set_archive_compat(archive *a, int version)
{
    if (a == nullptr)
        return;
    bool fresh;
    {
        std::lock_guard<std::mutex> lock(g_compat_mutex);
        fresh = g_compat.find(a) == g_compat.end();
        g_compat[a] = version;
    }
    if (fresh)
        archive_add_free_callback(a, forget_compat, nullptr);
}

// --- key and treeinfo ------------------------------------------------------------------------

namespace {

// The file of the folder holds exactly these bytes.
bool holds(const work_dir *folder, const char *name, const uint8_t *bytes, size_t size)
{
    if (dir_file_size(folder, name) != size)
        return false;
    file_t *file = dir_file_open(folder, name, "rb", 2);
    if (file == nullptr)
        return false;
    std::vector<uint8_t> read(size);
    const bool same = file_read_full(file, read.data(), size) == 0 && std::memcmp(read.data(), bytes, size) == 0;
    file_free(&file);
    return same;
}

// Replaces the file of the folder with these bytes through the temporary
// "<name>.tmp" (foundation/atomic_file.h): never written through a link or
// into anything but the file made. 0, or -1 with errno, logged.
int replace_file(const work_dir *folder, const char *name, const uint8_t *bytes, size_t size)
{
    const zorvant::u8string path = dir_file_path(folder, name);
    if (atomic_file_replace(path.c_str(), bytes, size, 0666) == 0)
        return 0;
    const int error = errno;
    log_error("%s: Can't write %s: %s", "scx_write_fs_files", path.c_str(), std::strerror(error));
    errno = error;
    return -1;
}

} // namespace

int scx_write_fs_files(fs_record *fs)
{
    if (fs == nullptr || fs->folder == nullptr)
        return -1;
    // What is on disk already is not written again: a read-only workspace
    // serves every command that changes nothing.
    int rc = 0;
    if (!holds(fs->folder, "key", fs->fskey, FS_KEY_SIZE) &&
        (rc = replace_file(fs->folder, "key", fs->fskey, FS_KEY_SIZE)) != 0)
        return rc;
    uint64_t counters[5] = {};
    fs_get_selected(fs, counters);
    uint8_t bytes[40];
    for (int i = 0; i < 5; i++)
        for (int b = 0; b < 8; b++)
            bytes[i * 8 + b] = (uint8_t)(counters[i] >> (8 * b));
    if (holds(fs->folder, "treeinfo", bytes, sizeof bytes))
        return 0;
    return replace_file(fs->folder, "treeinfo", bytes, sizeof bytes);
}

namespace {

// Reads "key" and, when present, "treeinfo" of a loaded file system.
int read_fs_files(fs_record *fs)
{
    if (fs->folder == nullptr)
        return -1;
    file_t *key = dir_file_open(fs->folder, "key", "rb", 2);
    if (key == nullptr)
        return -1;
    uint8_t bytes[FS_KEY_SIZE];
    int rc = file_read_full(key, bytes, sizeof bytes);
    file_free(&key);
    if (rc != 0)
        return rc;
    std::memcpy(fs->fskey, bytes, sizeof bytes);
    fs->keyed = 1;
    if (dir_file_exists(fs->folder, "treeinfo") == 0) {
        file_t *tree = dir_file_open(fs->folder, "treeinfo", "rb", 2);
        uint8_t data[40];
        if (tree != nullptr && file_read_full(tree, data, sizeof data) == 0) {
            uint64_t counters[5];
            for (int i = 0; i < 5; i++) {
                uint64_t v = 0;
                for (int b = 7; b >= 0; b--)
                    v = v << 8 | data[i * 8 + b];
                counters[i] = v;
            }
            fs_set_selected(fs, counters);
        }
        file_free(&tree);
    }
    return 0;
}

} // namespace

// --- saving -------------------------------------------------------------------------------------

namespace {

// Writes "context"; with_fs: with the file systems of the scan and their
// "key" and "treeinfo", else with none.
int archive_context(ScanContext *scan, bool with_fs)
{
    static const char *const fn = "scx_archive";
    if (scan == nullptr || scan->folder == nullptr)
        return -1;
    const zorvant::u8string path = dir_file_path(scan->folder, kContext);
    atomic_file target;
    if (path.size() == 0 || atomic_file_create(&target, path.c_str(), kContextTmp, ATOMIC_FILE_FIXED, 0666) != 0) {
        const int error = path.size() == 0 ? EINVAL : target.error;
        log_error("%s: Can't create %s in %s: %s", fn, kContextTmp, dir_path(scan->folder), std::strerror(error));
        errno = error;
        return -1;
    }
    // The archive writes through a duplicate of the temporary's descriptor
    // and closes it when freed; the name is never opened again.
    const int fd = fcntl(target.fd, F_DUPFD_CLOEXEC, 0);
    archive *a = fd >= 0 ? archive_new_fd(target.temp_path.c_str(), fd, 1) : nullptr;
    if (a == nullptr) {
        const int error = errno != 0 ? errno : EIO;
        log_error("%s: Can't write %s: %s", fn, target.temp_path.c_str(), std::strerror(error));
        atomic_file_abandon(&target);
        errno = error;
        return -1;
    }
    const std::vector<std::shared_ptr<fs_record>> list =
        with_fs ? fs_list_copy(scan) : std::vector<std::shared_ptr<fs_record>>();
    int rc = archive_start_block(a, kBlock, 1);
    if (rc != 0) {
        const int error = errno;
        log_archive_error(fn, rc);
        archive_free(&a);
        atomic_file_abandon(&target);
        errno = error;
        return rc;
    }
    int fs_failure = 0;
    do {
        if ((rc = archive_long(a, "compat_version", SCX_COMPAT_VERSION)) != 0)
            break;
        // The medium is archived under the slot mutex: a device removal may
        // replace it meanwhile.
        {
            std::lock_guard<std::mutex> lock(slot_mutex());
            Media *media = scan->media != nullptr ? scan->media : scan->saved_media.get();
            if (media != nullptr && (rc = media_archive(media, a, false)) != 0) {
                const int error = errno;
                archive_end_block(a, kBlock);
                archive_free(&a);
                atomic_file_abandon(&target);
                errno = error;
                return rc;
            }
        }
        uint8_t t[8];
        put_time(t, scan->start_time);
        if ((rc = archive_bytes(a, "start_time", t, 8)) != 0)
            break;
        put_time(t, scan->stop_time);
        if ((rc = archive_bytes(a, "stop_time", t, 8)) != 0 ||
            (rc = archive_long(a, "scan_type", scan->scan_type)) != 0 ||
            (rc = archive_long(a, "scan_state", scan->scan_state)) != 0 ||
            (rc = archive_quad(a, "start_pos", scan->start_pos)) != 0 ||
            (rc = archive_quad(a, "stop_pos", scan->stop_pos)) != 0 ||
            (rc = archive_quad(a, "byte_pos", scan->byte_pos)) != 0 ||
            (rc = archive_quad(a, "data_pos", scan->data_pos)) != 0 ||
            (rc = archive_long(a, "status0", scan->status0)) != 0 ||
            (rc = archive_long(a, "num_children", scan->num_children)) != 0 ||
            (rc = archive_long(a, "many_file_systems", scan->many_file_systems)) != 0 ||
            (rc = archive_long(a, "n_fs_list", (int32_t)list.size())) != 0)
            break;
        for (const std::shared_ptr<fs_record> &fs : list) {
            if ((rc = archive_long(a, "fs_type", (int32_t)fs->type)) != 0 ||
                (rc = archive_long(a, "fs_index", (int32_t)fs->index)) != 0)
                break;
            const int frc = fs_archive(fs.get(), a);
            if (frc != 0 && fs_failure == 0)
                fs_failure = frc;
        }
    } while (false);
    if (rc != 0)
        log_archive_error(fn, rc);
    const int closed = archive_end_block(a, kBlock);
    const int finished = archive_free(&a);
    if (rc == 0)
        rc = fs_failure;
    if (rc == 0)
        rc = closed != 0 ? closed : finished;
    // Each file system's "key" and "treeinfo" go first: a "context" that
    // says done comes with everything its scan needs, and one of them that
    // cannot be written leaves the earlier "context" (the scan not kept).
    for (size_t i = 0; rc == 0 && i < list.size(); i++)
        rc = scx_write_fs_files(list[i].get());
    if (rc != 0) {
        atomic_file_abandon(&target); // errno kept
        return rc;
    }
    if (atomic_file_finish(&target) != 0) {
        errno = target.error;
        return -1;
    }
    return 0;
}

} // namespace

int scx_archive(ScanContext *scan)
{
    const int rc = archive_context(scan, true);
    if (rc == 0) {
        std::lock_guard<std::mutex> lock(slot_mutex());
        scan->not_kept = 0;
        scan->not_kept_errno = 0;
    }
    return rc;
}

int scx_archive_for_save(ScanContext *scan)
{
    if (scan == nullptr)
        return -1;
    const int rc = scx_archive(scan);
    if (rc == 0)
        return 0;
    const int error = errno;
    // What its folder holds stands for it, when the folder holds it at all:
    // a scan whose "context" was never written (a full workspace from its
    // start) has nothing to save but the failure.
    if (!scx_not_kept(scan, nullptr) && scan->folder != nullptr && dir_file_exists(scan->folder, kContext) == 0) {
        log_error("scx_archive_for_save: %s not written down again (%s); its folder holds it as it is", scan->name,
                  std::strerror(error));
        return 0;
    }
    log_error("scx_archive_for_save: the end of %s is still not in the workspace: %s", scan->name,
              std::strerror(error));
    errno = error;
    return rc;
}

int scx_archive_started(ScanContext *scan)
{
    return archive_context(scan, false);
}

// --- reading ---------------------------------------------------------------------------------------

int scx_init_with_archive(ScanContext *scan, archive *a)
{
    static const char *const fn = "scx_init_with_archive";
    if (scan == nullptr || a == nullptr)
        return -1;
    int rc = archive_start_block(a, kBlock, 1);
    if (rc != 0) {
        log_archive_error(fn, rc);
        return rc;
    }
    struct block_guard {
        archive *a;
        ~block_guard() { archive_end_block(a, kBlock); }
    } guard{a};

    int32_t version = 0;
    rc = unarchive_peek_name(a);
    if (rc < 0) {
        log_archive_error(fn, rc);
        return rc;
    }
    if (std::strcmp(archive_scratch_text(a), "compat_version") == 0 &&
        (rc = unarchive_long(a, "compat_version", &version)) != 0) {
        log_archive_error(fn, rc);
        return rc;
    }
    scx_set_archive_compat(a, version);
    if (version != SCX_COMPAT_VERSION) {
        log_error("Scan archive too %s. Current scan compat version = %d, archive = %d",
                  version < SCX_COMPAT_VERSION ? "old" : "new", SCX_COMPAT_VERSION, version);
        std::lock_guard<std::mutex> lock(slot_mutex());
        scan->media_status = SCX_MEDIA_INCOMPATIBLE;
        return version < SCX_COMPAT_VERSION ? -24 : -25;
    }

    Media *read = nullptr;
    media_unarchive(a, &read); // a medium that cannot be read does not stop the reading
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (scan->scanned_here) {
            scan->media_status = read != nullptr ? SCX_MEDIA_ATTACHED : SCX_MEDIA_UNKNOWN;
            media_free(&read);
        } else {
            scan->saved_media = own_media(read);
            scan->media = nullptr;
            scan->media_status = read != nullptr ? SCX_MEDIA_DETACHED : SCX_MEDIA_UNKNOWN;
        }
    }

    int32_t scan_type = 0, scan_state = 0, status0 = 0, num_children = 0, many = 0, n_fs = 0;
    scx_time start{}, stop{};
    int64_t pos[4] = {};
    if ((rc = read_time(a, "start_time", &start)) != 0 || (rc = read_time(a, "stop_time", &stop)) != 0 ||
        (rc = unarchive_long(a, "scan_type", &scan_type)) != 0 ||
        (rc = unarchive_long(a, "scan_state", &scan_state)) != 0 ||
        (rc = unarchive_quad(a, "start_pos", &pos[0])) != 0 || (rc = unarchive_quad(a, "stop_pos", &pos[1])) != 0 ||
        (rc = unarchive_quad(a, "byte_pos", &pos[2])) != 0 || (rc = unarchive_quad(a, "data_pos", &pos[3])) != 0 ||
        (rc = unarchive_long(a, "status0", &status0)) != 0 ||
        (rc = unarchive_long(a, "num_children", &num_children)) != 0 ||
        (rc = unarchive_long(a, "many_file_systems", &many)) != 0 ||
        (rc = unarchive_long(a, "n_fs_list", &n_fs)) != 0) {
        log_archive_error(fn, rc);
        return rc < 0 ? rc : -1;
    }
    if (n_fs < 0 || n_fs > (int32_t)FS_INDEX_MAX) {
        log_archive_error(fn, -1);
        return -1;
    }
    std::unique_lock<std::mutex> fields(slot_mutex()); // a loaded scan is visible already
    scan->start_time = start;
    scan->stop_time = stop;
    scan->scan_type = scan_type;
    scan->scan_state = scan_state;
    scan->start_pos = pos[0];
    scan->stop_pos = pos[1];
    scan->byte_pos = pos[2];
    scan->data_pos = pos[3];
    scan->status0 = status0;
    scan->num_children = num_children;
    scan->many_file_systems = many;
    fields.unlock();

    std::vector<std::shared_ptr<fs_record>> made;
    for (int32_t i = 0; i < n_fs; i++) {
        int32_t type = 0, index = 0;
        if ((rc = unarchive_long(a, "fs_type", &type)) != 0 || (rc = unarchive_long(a, "fs_index", &index)) != 0) {
            log_archive_error(fn, rc);
            return rc;
        }
        if (type < 0 || index < 0)
            return -1;
        std::shared_ptr<fs_record> fs = fs_new_with_index(scan, (uint32_t)type, (uint32_t)index);
        if (fs == nullptr)
            return -1;
        if ((rc = fs_unarchive(fs.get(), a)) != 0)
            return rc;
        if (fs->type == FS_TYPE_STORE)
            scan->store = fs.get();
        made.push_back(fs);
    }
    for (const std::shared_ptr<fs_record> &fs : made)
        if ((rc = read_fs_files(fs.get())) != 0)
            return rc;
    return 0;
}

// --- workspace ---------------------------------------------------------------------------------

namespace {

std::once_flag g_observers_once;

void on_workspace_changed(const char *, std::uintptr_t argument, void *)
{
    scx_free_all();
    if (argument != 0)
        scx_load_workspace_scans(reinterpret_cast<work_dir *>(argument));
}

void on_engine_quitting(const char *, std::uintptr_t, void *)
{
    scx_free_all();
}

} // namespace

int scx_load_slot(work_dir *workspace, uint32_t slot, ScanContext **out)
{
    if (out != nullptr)
        *out = nullptr;
    std::shared_ptr<ScanContext> scan = std::make_shared<ScanContext>();
    const int taken = scx_slot_alloc(scan, workspace, slot);
    if (taken != 0)
        return taken;
    archive *a = dir_file_exists(scan->folder, kContext) == 0 ? archive_open(scan->folder, kContext, ARCHIVE_READ)
                                                               : nullptr;
    if (a != nullptr) {
        scx_init_with_archive(scan.get(), a);
        archive_free(&a);
    } else {
        // A scan whose process ended before it wrote anything: it never
        // finished.
        std::lock_guard<std::mutex> lock(slot_mutex());
        scan->media_status = SCX_MEDIA_UNKNOWN;
        scan->scan_state = SCX_STATE_RUNNING;
    }
    int status;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        status = scan->media_status;
    }
    if (status == SCX_MEDIA_DETACHED)
        rematch_one(scan.get());
    set_display_names(scan.get());
    if (out != nullptr)
        *out = scan.get();
    return 0;
}

int scx_load_workspace_scans(work_dir *workspace)
{
    std::call_once(g_observers_once, [] {
        notification_add_observer("WorkspaceChanged", on_workspace_changed, nullptr);
        notification_add_observer("EngineQuitting", on_engine_quitting, nullptr);
    });
    if (workspace == nullptr)
        return 0;
    int loaded = 0;
    for (uint32_t slot = 1; slot <= SCX_SLOTS; slot++) {
        const std::string name = slot_folder_name(slot);
        const zorvant::u8string path = dir_file_path(workspace, name.c_str());
        if (path.empty() || !is_directory(path.c_str()))
            continue;
        if (scx_load_slot(workspace, slot, nullptr) == 0)
            loaded++;
    }
    return loaded;
}

// --- matching -------------------------------------------------------------------------------------

namespace {
// One match at a time: matching describes the media it compares, and a
// medium's description is cached in the record without a lock of its own.
std::mutex g_match_mutex;

// A copy of the medium as it would be saved, read back through an archive
// written into a file in memory (under the slot mutex): nothing is written
// into the workspace. NULL when it cannot be made.
Media *saved_copy_locked(Media *media)
{
    const int fd = memfd_create("scx_saved_copy", MFD_CLOEXEC);
    if (fd < 0) {
        log_error("saved_copy_locked: Can't make a file in memory: %s", std::strerror(errno));
        return nullptr;
    }
    Media *copy = nullptr;
    const int write_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    archive *a = write_fd >= 0 ? archive_new_fd("(saved copy of a medium)", write_fd, 1) : nullptr;
    if (a != nullptr) {
        const int rc = media_archive(media, a, false);
        struct stat st;
        if (archive_free(&a) == 0 && rc == 0 && fstat(fd, &st) == 0 && st.st_size > 0) {
            std::vector<uint8_t> bytes((size_t)st.st_size);
            archive *r = nullptr;
            if (pread(fd, bytes.data(), bytes.size(), 0) == (ssize_t)bytes.size() &&
                archive_load_memory(bytes.data(), bytes.size(), &r) == 0) {
                media_unarchive(r, &copy);
                archive_free(&r);
            }
        }
    }
    close(fd);
    return copy;
}

// Gives the scan the outcome of a match: its status, its medium (best, or
// none) and score, and every found file system that medium. False when
// nothing changed or the scan's medium is locked.
bool set_match(ScanContext *scan, int status, Media *best, const int16_t score[2], const char *folder)
{
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (scan->media_status == status && scan->media == best)
            return false;
        if (scan->media_locked)
            return false;
        scan->media_status = status;
        scan->media = best;
        scan->match_score[0] = score[0];
        scan->match_score[1] = score[1];
    }
    for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan)) {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        if (fs->dead || fs->media == best)
            continue;
        if (best != nullptr) {
            if (fs->media == nullptr)
                log_info("%s %s attached media %s", folder, fs->display_name, media_description(best));
            else
                log_info("%s %s replaced media %s with %s", folder, fs->display_name, media_description(fs->media),
                         media_description(best));
        }
        fs->media = best;
    }
    return true;
}

} // namespace

bool scx_internal::rematch_one(ScanContext *scan)
{
    std::lock_guard<std::mutex> matching(g_match_mutex);
    // The saved copy and the folder name are taken under the mutex: a device
    // removal may replace the copy and a deletion free both meanwhile.
    std::shared_ptr<Media> held;
    std::string folder_name;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        held = scan->saved_media;
        if (scan->folder != nullptr)
            folder_name = dir_path(scan->folder);
    }
    Media *saved = held.get();
    if (saved == nullptr)
        return false;
    const char *folder = folder_name.c_str();
    const std::vector<media_match> matches = media_find_matching(saved, 0.85, false);
    int status;
    Media *best = nullptr;
    int16_t score[2] = {0, 0};
    if (matches.empty()) {
        log_info("No media matches for %s at %f level", media_description(saved), 0.85);
        status = SCX_MEDIA_DETACHED;
    } else {
        best = matches[0].media;
        score[0] = (int16_t)(matches[0].result & 0xFFFF);
        score[1] = (int16_t)(matches[0].result >> 16);
        log_info("Media %s matched %s with score %d/%d", media_description(best), media_description(saved), score[0],
                 score[1]);
        if (matches.size() > 1) {
            log_info("Match was ambiguous.  Other matching at %f level:", 0.85);
            for (size_t i = 1; i < matches.size(); i++)
                log_info("  %s with score %d/%d", media_description(matches[i].media),
                         (int16_t)(matches[i].result & 0xFFFF), (int16_t)(matches[i].result >> 16));
        }
        status = matches.size() == 1 ? SCX_MEDIA_ATTACHED : SCX_MEDIA_AMBIGUOUS;
    }
    return set_match(scan, status, best, score, folder);
}

std::vector<scx_rematch_change> scx_rematch_media()
{
    std::vector<scx_rematch_change> changes;
    for (const std::shared_ptr<ScanContext> &scan : live_scans()) {
        if (!rematch_one(scan.get()))
            continue;
        std::lock_guard<std::mutex> lock(slot_mutex());
        changes.push_back({scan->slot, scan->scan_state, scan->media_status});
    }
    return changes;
}

// --- a medium the user names ---------------------------------------------------------------------

std::vector<uint32_t> scx_take_named_media(Media *named)
{
    std::vector<uint32_t> taken;
    if (named == nullptr)
        return taken;
    for (const std::shared_ptr<ScanContext> &scan : live_scans()) {
        std::shared_ptr<Media> held;
        std::string folder_name;
        int status;
        uint32_t slot;
        {
            std::lock_guard<std::mutex> lock(slot_mutex());
            held = scan->saved_media;
            status = scan->media_status;
            slot = scan->slot;
            if (scan->folder != nullptr)
                folder_name = dir_path(scan->folder);
        }
        if (held == nullptr || folder_name.empty() ||
            (status != SCX_MEDIA_DETACHED && status != SCX_MEDIA_AMBIGUOUS))
            continue;
        // The named medium or one of its partitions. The named medium
        // itself comes first: a file system filling the whole image has its
        // window and contents too, and a scan of that file system keeps its
        // own name (the volume's or the partition's), found by the matching
        // above. Of several partitions, the one that agrees best in the rest.
        Media *best = nullptr;
        uint32_t best_result = 0;
        {
            std::lock_guard<std::mutex> matching(g_match_mutex);
            media_for_each([&](Media *media) {
                if (best == named || !media->attached || (media != named && media->parent != named) ||
                    !media_same_contents(media, held.get()))
                    return true;
                const uint32_t result = media_compare(media, held.get(), nullptr);
                if (best == nullptr || media == named ||
                    (int16_t)(result & 0xFFFF) > (int16_t)(best_result & 0xFFFF)) {
                    best = media;
                    best_result = result;
                }
                return true;
            });
        }
        if (best == nullptr)
            continue;
        log_info("Media %s named for %s, saved as %s", media_description(best), scan->name,
                 media_description(held.get()));
        const int16_t score[2] = {(int16_t)(best_result & 0xFFFF), (int16_t)(best_result >> 16)};
        if (!set_match(scan.get(), SCX_MEDIA_ATTACHED, best, score, folder_name.c_str()))
            continue;
        // The saved copy and the scan's "context" take the medium's name and
        // path now, so that a later match, in this run or the next, finds
        // the medium by itself.
        {
            std::lock_guard<std::mutex> lock(slot_mutex());
            if (scan->media == best && scan->folder != nullptr) {
                Media *copy = saved_copy_locked(best);
                if (copy != nullptr)
                    scan->saved_media = own_media(copy);
            }
        }
        if (scx_archive(scan.get()) != 0)
            log_error("scx_take_named_media: the medium of %s not saved in its folder", scan->name);
        taken.push_back(slot);
    }
    return taken;
}

// --- detaching -----------------------------------------------------------------------------------

int scx_internal::detach_media_locked(ScanContext *scan, Media *media)
{
    static const char *const fn = "scx_detach_media";
    if (scan == nullptr || media == nullptr || scan->folder == nullptr)
        return -1;
    Media *copy = saved_copy_locked(media);
    if (copy == nullptr)
        log_error("%s: no saved copy of %s", fn, media_path(media) != nullptr ? media_path(media) : "");
    scan->saved_media = own_media(copy);
    scan->media_status = copy != nullptr ? SCX_MEDIA_DETACHED : SCX_MEDIA_UNKNOWN;
    if (scan->media == media)
        scan->media = nullptr;
    return copy != nullptr ? 0 : -1;
}

int scx_detach_media(ScanContext *scan)
{
    if (scan == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(slot_mutex());
    if (scan->media == nullptr)
        return -1;
    return detach_media_locked(scan, scan->media);
}

namespace {

// Under the slot mutex: every scan whose medium has that path loses it.
// `reading`, whose thread still reads the medium through its own reference,
// only records the removal (the copy is taken by scx_finish) and is
// aborted; the others are detached at once. Whether `reading` was one.
bool medium_removed_locked(const std::string &path, ScanContext *reading)
{
    bool found = false;
    for (uint32_t slot = 1; slot <= SCX_SLOTS; slot++) {
        ScanContext *scan = slot_entry(slot).get();
        if (scan == nullptr || scan->media == nullptr)
            continue;
        const char *own = media_path(scan->media);
        if (own == nullptr || path != own)
            continue;
        if (scan == reading) {
            scan->pending_detach = scan->media;
            scan->media = nullptr;
            scan->detached_paths.push_back(path);
            request_abort();
            found = true;
        } else {
            detach_media_locked(scan, scan->media);
        }
    }
    return found;
}

} // namespace

int scx_media_removed(const char *path, int kind)
{
    (void)kind;
    if (path == nullptr)
        return 0;
    const bool busy = engine_is_busy() != 0;
    std::lock_guard<std::mutex> lock(slot_mutex());
    return medium_removed_locked(path, busy ? current() : nullptr) ? 1 : 0;
}

int scx_media_gone(ScanContext *scan, Media *media)
{
    if (scan == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(slot_mutex());
    const char *path = media_path(media != nullptr ? media : scan->media);
    if (path == nullptr)
        return scan->detached_paths.empty() ? 0 : 1;
    const std::string removed = path;
    if (scan->media != nullptr)
        return medium_removed_locked(removed, scan) ? 1 : 0;
    // Removed already. Detached at once (no command was running when the
    // removal came): its path is recorded now, for the verdict.
    if (scan->detached_paths.empty())
        scan->detached_paths.push_back(removed);
    request_abort();
    return 1;
}
