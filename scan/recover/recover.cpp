// Recovery of catalog nodes: the tree walk, one file's copy, the counters
// and the clearing of the selection, and the record-level entries
// fs_recover_node / fs_recover_marked.
//
// The walk (catdb_recover_tree_) goes down from a node in catalog order.
// Each folder node is made (or reused) below the current folder and becomes
// the current folder for its children; each file node is created under a
// free name, given its length, and filled extent by extent:
//
//   extent (media byte start, byte length)    in file order; the last one
//                                              may be longer than what is
//                                              left of the size
//   read:  [start rounded down to 512, end rounded up to 512) in chunks of
//          at most 128 KiB, cut at the end of the medium
//   write: only the extent's own bytes of each chunk, at the file offset
//          reached so far (unaligned starts and odd lengths copied exactly)
//
// Selection (with clear-selection): every folder keeps a histogram of its
// children's selection values (0, 1, 2) while its children are visited; a
// file recovered completely moves from its value to 0 in its parent's
// histogram and is unticked; a folder's new value is derived from its
// histogram afterwards (2 when any child is partial or children differ, 1
// when all are selected, else 0) and moved in its parent's histogram. The
// histograms live on the walk's stack, so nothing the type's operations do
// to the catalog's own "last listed" histogram disturbs them.
//
// Implementation notes
//   - A result of -3 (target full or failing), -5 (abort), -7 (no medium)
//     or -30 (medium gone) ends the whole walk: every later file would fail
//     the same way.
//   - The catalog lock is held for the whole walk (it is recursive; the
//     selection writer takes only the inner selection lock).
#include "scan/recover/recover.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/strings.h"
#include "foundation/sysutil.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/fs_record.h"
#include "scan/recover/recover_internal.h"
#include "scan/catalog/selection.h"
#include "scan/scan_context.h"
#include "storage/media.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr int64_t SECTOR = 512;
constexpr int RECURSION_GRACE = 16; // levels logged but still walked past the limit

struct walk_state {
    catdb *db = nullptr;
    fs_record *record = nullptr;
    recover_options options = {};
    uint32_t flags = 0;           // bit 0 selected only, bit 1 clear selection
    int depth = 0;
    int fatal = 0;                // a result that ends the walk, else 0
    int dir_fd = -1;              // the current folder
    std::string path;             // its host path
    buf_t *buffer = nullptr;      // "copy", RECOVER_CHUNK bytes
    bool creation_time_noted = false;
};

std::string errno_text(int errnum)
{
    char buffer[256];
    zv_strerror_r(errnum, buffer, sizeof buffer);
    return buffer;
}

bool ends_walk(int rc)
{
    return rc == -3 || rc == -5 || rc == -7 || rc == -30;
}

// The state a folder gets from its children's histogram.
uint32_t state_of(const uint32_t h[3])
{
    if (h[SEL_PARTIAL] != 0 || (h[SEL_SELECTED] != 0 && h[SEL_NONE] != 0))
        return SEL_PARTIAL;
    return h[SEL_SELECTED] != 0 ? SEL_SELECTED : SEL_NONE;
}

void move_in(uint32_t h[3], uint32_t from, uint32_t to)
{
    if (from > 2 || to > 2 || from == to)
        return;
    if (h[from] > 0)
        --h[from];
    ++h[to];
}

// Moves one selection counter of the record by delta without going below 0.
void move_counter(catdb *db, int index, int64_t delta)
{
    uint64_t c[SEL_COUNTER_COUNT] = {};
    if (catdb_get_selection_counters(db, c) != 0)
        return;
    if (delta < 0)
        c[index] = c[index] >= (uint64_t)-delta ? c[index] + delta : 0;
    else
        c[index] += (uint64_t)delta;
    catdb_set_selection_counters(db, c);
}

bool path_fits(const walk_state &w, const std::string &name)
{
    return w.path.size() + 1 + name.size() < RECOVER_PATH_MAX;
}

void call_hook(walk_state &w, int64_t keynum, const std::string &path)
{
    if (w.options.hook != nullptr)
        w.options.hook(w.db, keynum, path.c_str(), w.options.hook_data);
}

// The medium stopped answering: detached, or a read failed the way a
// removed device fails.
bool medium_gone(Media *media, int errnum)
{
    return media->attached == 0 || errnum == ENODEV || errnum == ENXIO || errnum == ENOMEDIUM;
}

// --- the data fork ------------------------------------------------------------------------

// The node's extents in media bytes, in file order. 0, or a negative code.
int fork_extents(walk_state &w, uint64_t keynum, const NodeInfo &info, std::vector<fs_extent> *out)
{
    fs_record *record = w.record;
    out->clear();
    if (record->ops->node_extents(record, keynum, 0, out) != 0) {
        out->clear();
        const uint32_t own = std::min<uint32_t>(info.num_extents, 8);
        out->assign(info.extents, info.extents + own);
        if (info.num_extents > 8) {
            std::vector<catdb_extent> more;
            const int rc = catdb_get_extents(w.db, (int64_t)keynum, 0, &more);
            if (rc != 0)
                return rc;
            for (const catdb_extent &e : more)
                out->push_back(fs_extent{e.start, e.length});
        }
    }
    uint64_t unit = 0, data_start = 0;
    if (record->ops->alloc_geometry(record, &unit, &data_start) == 0 && unit > 0) {
        // Extents in allocation units from the data start.
        for (fs_extent &e : *out) {
            if (e.start > (UINT64_MAX - data_start) / unit || e.length > UINT64_MAX / unit)
                return -18;
            e.start = data_start + e.start * unit;
            e.length *= unit;
        }
    }
    return 0;
}

// Copies the data fork of a file into fd. *written = bytes written (zeros
// for unreadable parts included). 0, -34 incomplete, -18 beyond the medium,
// or a result that ends the walk (-3, -5, -7, -30).
int copy_fork(walk_state &w, uint64_t keynum, const NodeInfo &info, int fd, const std::string &name,
              uint64_t *written)
{
    *written = 0;
    Media *media = w.record->media;
    if (media == nullptr)
        return -7;
    std::vector<fs_extent> extents;
    int rc = fork_extents(w, keynum, info, &extents);
    if (rc != 0) {
        log_error("%s: Can't get extents for \"%s\": %d", "copy_fork", name.c_str(), rc);
        return rc == -18 ? -18 : -34;
    }
    if (media_retain(media) != 0) {
        log_error("%s: Can't open the medium for \"%s\"", "copy_fork", name.c_str());
        return -7;
    }
    // Disk space is taken for the bytes the extents can supply, never for
    // a size the card merely claims: a damaged or crafted entry (4 GiB over
    // a single cluster) must not fill the target and end the recovery. The
    // rest of the length is set without allocating it (a sparse tail).
    uint64_t covered = 0;
    for (const fs_extent &e : extents)
        covered += std::min<uint64_t>(e.length, info.data_size - covered);
    if ((covered > 0 && recover_host::preallocate(fd, covered) != 0) ||
        ::ftruncate(fd, (off_t)std::min<uint64_t>(info.data_size, (uint64_t)INT64_MAX)) != 0) {
        const int e_no = errno;
        log_error("Write error for file: %s (error=%d)", name.c_str(), e_no);
        errno = e_no;
        add_error_errno(RECOVER_ERROR_WRITE);
        media_release(media);
        return -3;
    }
    uint8_t *buffer = w.buffer->data;
    uint64_t remaining = info.data_size;
    int result = 0;
    for (const fs_extent &e : extents) {
        if (remaining == 0)
            break;
        if (e.start > (uint64_t)INT64_MAX || e.length > (uint64_t)INT64_MAX - e.start) {
            log_error("File extends beyond media: %s", name.c_str());
            add_error(RECOVER_ERROR_BEYOND_MEDIA);
            result = -18;
            goto done;
        }
        int64_t pos = (int64_t)e.start;
        int64_t left = (int64_t)std::min<uint64_t>(e.length, remaining);
        while (left > 0) {
            if (abort_requested()) {
                result = -5;
                goto done;
            }
            const int64_t length = media_length(media);
            if (pos >= length) {
                log_error("File extends beyond media: %s", name.c_str());
                add_error(RECOVER_ERROR_BEYOND_MEDIA);
                result = -18;
                goto done;
            }
            const int64_t aligned = pos - pos % SECTOR;
            const int64_t want_end = pos + left; // no overflow: checked above
            int64_t end = std::min<int64_t>(aligned + (int64_t)RECOVER_CHUNK,
                                            want_end + (SECTOR - want_end % SECTOR) % SECTOR);
            end = std::min(end, length);
            const int64_t n = end - aligned;
            if (media_seek(media, aligned) != 0) {
                const int e_no = errno;
                log_error("Bad starting address for file: %s (error=%d)", name.c_str(), e_no);
                add_error(RECOVER_ERROR_BAD_START);
                result = medium_gone(media, e_no) ? -30 : -18;
                goto done;
            }
            errno = 0;
            const int64_t got = media_read(media, buffer, n);
            if (got != n) {
                const int e_no = errno;
                const int64_t valid = std::max<int64_t>(0, std::min(got, n));
                std::memset(buffer + valid, 0, (size_t)(n - valid));
                add_error(RECOVER_ERROR_READ);
                if (medium_gone(media, e_no)) {
                    log_error("Read error in file: %s (error=%d)", name.c_str(), e_no);
                    result = -30;
                    goto done;
                }
                if (e_no != 0 || got < 0)
                    log_error("Read error in file: %s (error=%d)", name.c_str(), e_no);
                else
                    log_error("Short read in file: %s (%lld of %lld bytes)", name.c_str(), (long long)valid,
                              (long long)n);
                if (result == 0)
                    result = -34;
            }
            const int64_t take = std::min(end, want_end) - pos;
            if (recover_host::write_all(fd, buffer + (pos - aligned), (size_t)take, *written) != 0) {
                const int e_no = errno;
                log_error("Write error for file: %s (error=%d)", name.c_str(), e_no);
                errno = e_no;
                add_error_errno(RECOVER_ERROR_WRITE);
                result = -3;
                goto done;
            }
            *written += (uint64_t)take;
            progress_add(take);
            pos += take;
            left -= take;
            remaining -= (uint64_t)take;
        }
    }
    if (remaining > 0 && result == 0) {
        log_error("%s: data of \"%s\" ends %llu bytes before its size", "copy_fork", name.c_str(),
                  (unsigned long long)remaining);
        result = -34;
    }
done:
    media_release(media);
    return result;
}

// --- one file ---------------------------------------------------------------------------------

void discard(int dir_fd, int fd, const std::string &name)
{
    ::close(fd);
    ::unlinkat(dir_fd, name.c_str(), 0);
}

int recover_file(walk_state &w, uint64_t keynum, std::string *out_path)
{
    NodeInfo info;
    int rc = fs_node_info(w.record, keynum, &info, 0);
    if (rc != 0) {
        log_error("%s: Can't get node info for keynum %llx", "recover_file", (unsigned long long)keynum);
        add_error(RECOVER_ERROR_FILE_INFO);
        return -1;
    }
    std::string name;
    if (w.record->options & 1) {
        rc = fs_recovered_name(w.record, &name, keynum);
        if (rc != 0) {
            add_error(RECOVER_ERROR_NUMBERED_NAME);
            return rc;
        }
    } else {
        name = recover_safe_name(info.name);
    }
    {
        std::string text = localize_cstring("Recovering \"%s\" ($z of $Z");
        const size_t at = text.find("%s");
        if (at != std::string::npos)
            text.replace(at, 2, progress_escape_name(name.c_str()));
        progress_set_text(text.c_str());
    }
    if (!path_fits(w, name)) {
        log_error("recover_file: Can't open \"%s/%s\": %s", w.path.c_str(), name.c_str(), errno_text(ENAMETOOLONG).c_str());
        errno = ENAMETOOLONG;
        add_error_errno(RECOVER_ERROR_OPEN);
        return -1;
    }
    int fd = -1;
    std::string made;
    rc = recover_host::create_file_at(w.dir_fd, name, &fd, &made);
    if (rc != 0) {
        if (rc != -1)
            return rc; // -37, logged
        const int e = errno;
        log_error("recover_file: Can't open \"%s/%s\": %s", w.path.c_str(), name.c_str(), errno_text(e).c_str());
        errno = e;
        add_error_errno(RECOVER_ERROR_OPEN);
        return recover_host::is_target_full(e) ? -3 : -1;
    }
    const std::string path = w.path + "/" + made;
    if (path.size() >= RECOVER_PATH_MAX) { // a numbered name made it longer
        discard(w.dir_fd, fd, made);
        log_error("recover_file: Can't open \"%s\": %s", path.c_str(), errno_text(ENAMETOOLONG).c_str());
        errno = ENAMETOOLONG;
        add_error_errno(RECOVER_ERROR_OPEN);
        return -1;
    }

    uint64_t written = 0;
    int copy = 0;
    if (info.data_size > 0)
        copy = copy_fork(w, keynum, info, fd, path, &written);
    if (copy < 0) {
        log_error("Can't copy data fork for \"%s\": %d", path.c_str(), copy);
        if (copy != -5)
            add_error(RECOVER_ERROR_COPY);
        if (ends_walk(copy) || written == 0) {
            // Nothing of worth, or a copy cut short by a full disk, an abort
            // or a vanished medium: no partial file stays behind.
            discard(w.dir_fd, fd, made);
            return copy;
        }
        log_error("Incomplete file kept: \"%s\"", path.c_str());
    }
    if (recover_host::set_times(fd, info.date_modified) != 0)
        log_warning("recover_file: Can't set times of \"%s\": %s", path.c_str(), errno_text(errno).c_str());
    if (info.date_created > 0 && !w.creation_time_noted) {
        w.creation_time_noted = true;
        log_message(LOG_VERBOSE, "recover_file: creation times cannot be set on this system; not kept");
    }
    if (recover_host::close_checked(fd) != 0) {
        const int e = errno;
        ::unlinkat(w.dir_fd, made.c_str(), 0);
        log_error("Write error for file: %s (error=%d)", path.c_str(), e);
        errno = e;
        add_error_errno(RECOVER_ERROR_WRITE);
        return -3;
    }
    *out_path = path;
    if (copy != 0)
        return copy; // kept with zeroed holes; neither counted nor unticked
    w.record->recovered[0] += 1;
    w.record->recovered[4] += info.data_size;
    return 0;
}

// --- folders ---------------------------------------------------------------------------------

struct folder_frame {
    int parent_fd = -1;
    size_t parent_path_length = 0;
    int64_t modified = 0;
    bool created = false;
};

int enter_folder(walk_state &w, uint64_t keynum, folder_frame *frame)
{
    NodeInfo info;
    int rc = fs_node_info(w.record, keynum, &info, 0);
    if (rc != 0) {
        log_error("%s: Can't get node info for keynum %llx", "make_folder", (unsigned long long)keynum);
        add_error(RECOVER_ERROR_FOLDER_INFO);
        return rc;
    }
    const std::string name = recover_safe_name(info.name);
    if (!path_fits(w, name)) {
        log_error("Can't mkdir \"%s/%s\": %s", w.path.c_str(), name.c_str(), errno_text(ENAMETOOLONG).c_str());
        errno = ENAMETOOLONG;
        add_error_errno(RECOVER_ERROR_OPEN);
        return -1;
    }
    int fd = -1;
    std::string made;
    bool created = false;
    rc = recover_host::make_folder_at(w.dir_fd, name, &fd, &made, &created);
    if (rc != 0) {
        if (rc != -1)
            return rc;
        const int e = errno;
        log_error("Can't mkdir \"%s/%s\": %s", w.path.c_str(), name.c_str(), errno_text(e).c_str());
        errno = e;
        add_error_errno(RECOVER_ERROR_MKDIR);
        return recover_host::is_target_full(e) ? -3 : -1;
    }
    if (w.path.size() + 1 + made.size() >= RECOVER_PATH_MAX) {
        ::close(fd);
        if (created)
            ::unlinkat(w.dir_fd, made.c_str(), AT_REMOVEDIR);
        log_error("Can't mkdir \"%s/%s\": %s", w.path.c_str(), made.c_str(), errno_text(ENAMETOOLONG).c_str());
        errno = ENAMETOOLONG;
        add_error_errno(RECOVER_ERROR_OPEN);
        return -1;
    }
    frame->parent_fd = w.dir_fd;
    frame->parent_path_length = w.path.size();
    frame->modified = info.date_modified;
    frame->created = created;
    w.dir_fd = fd;
    w.path += "/" + made;
    w.record->recovered[1] += 1;
    return 0;
}

// Back to the parent; a folder made here gets its modification time now
// that its children are written.
void leave_folder(walk_state &w, const folder_frame &frame)
{
    if (frame.created && recover_host::set_times(w.dir_fd, frame.modified) != 0)
        log_warning("recover: Can't set times of \"%s\": %s", w.path.c_str(), errno_text(errno).c_str());
    ::close(w.dir_fd);
    w.dir_fd = frame.parent_fd;
    w.path.resize(frame.parent_path_length);
}

// --- the walk -------------------------------------------------------------------------------

// Visits keynum; parent_h is its parent's children histogram (may be null
// when the parent's state is not tracked).
int apply_downward(walk_state &w, int64_t keynum, uint32_t *parent_h)
{
    if (abort_requested())
        return -5;
    const int limit = w.db->state->recursion_limit;
    if (w.depth > limit) {
        log_error("%s: recursion limit: keynum=%llx", "catdb_apply_downward_recurse_", (unsigned long long)keynum);
        if (w.depth > limit + RECURSION_GRACE) {
            add_error(RECOVER_ERROR_RECURSION);
            return -1;
        }
    }
    uint32_t selection = 0;
    int rc = catdb_get_selection_(w.db, keynum, &selection);
    if (rc != 0) {
        log_error("%s: Can't get selection for keynum %lld", "catdb_apply_downward_recurse_", (long long)keynum);
        add_error(RECOVER_ERROR_SELECTION);
        return rc;
    }
    if (selection == 0 && (w.flags & 1))
        return 0;
    int is_folder = 0;
    uint64_t size = 0;
    rc = catdb_node_facts(w.db, keynum, &is_folder, &size);
    if (rc != 0) {
        log_error("%s: Can't get node", "catdb_apply_downward_recurse_");
        return rc;
    }

    if (!is_folder) {
        std::string path;
        rc = recover_file(w, (uint64_t)keynum, &path);
        if (rc == 0)
            call_hook(w, keynum, path);
        if (ends_walk(rc))
            w.fatal = rc;
        if (rc != 0 || !(w.flags & 2))
            return rc;
        if (selection != 0) {
            if (parent_h != nullptr)
                move_in(parent_h, selection, SEL_NONE);
            catdb_set_selection_(w.db, keynum, SEL_NONE);
            move_counter(w.db, SEL_COUNTER_FILES, -1);
            move_counter(w.db, SEL_COUNTER_BYTES, -(int64_t)size);
        }
        return 0;
    }

    folder_frame frame;
    rc = enter_folder(w, (uint64_t)keynum, &frame);
    if (rc != 0) {
        if (ends_walk(rc))
            w.fatal = rc;
        return rc;
    }
    call_hook(w, keynum, w.path);
    std::vector<int64_t> children;
    const int64_t n = catdb_get_children_keynums(w.db, keynum, &children);
    if (n < 0) {
        log_error("%s: Can't get children of keynum %llx", "catdb_apply_downward_recurse_",
                  (unsigned long long)keynum);
        add_error(RECOVER_ERROR_CHILDREN);
        leave_folder(w, frame);
        return -1;
    }
    uint32_t h[3] = {0, 0, 0};
    catdb_get_children_histogram(w.db, h);
    const uint32_t old_state = n > 0 ? state_of(h) : selection;
    int result = 0;
    ++w.depth;
    for (int64_t child : children) {
        rc = apply_downward(w, child, h);
        if (rc != 0 && result == 0)
            result = rc;
        if (rc == -5 || w.fatal != 0) {
            result = w.fatal != 0 ? w.fatal : -5;
            break;
        }
    }
    --w.depth;
    leave_folder(w, frame);
    const uint32_t new_state = n > 0 ? state_of(h) : SEL_NONE;
    if ((w.flags & 2) && new_state != old_state) {
        if (parent_h != nullptr)
            move_in(parent_h, old_state, new_state);
        if (new_state == SEL_NONE)
            move_counter(w.db, SEL_COUNTER_FOLDERS, -1);
        else if (old_state == SEL_NONE)
            move_counter(w.db, SEL_COUNTER_FOLDERS, 1);
        catdb_set_selection_(w.db, keynum, new_state);
    }
    return result;
}

int walk_from(catdb *db, int64_t keynum, int target_fd, const std::string &target_path, const recover_options &options,
              uint32_t *parent_h)
{
    if (db == nullptr || db->state == nullptr || catdb_record(db) == nullptr || target_fd < 0)
        return -1;
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    walk_state w;
    w.db = db;
    w.record = catdb_record(db);
    w.options = options;
    w.flags = (options.selected_only ? 1u : 0u) | (options.clear_selection ? 2u : 0u);
    w.dir_fd = target_fd;
    w.path = target_path;
    w.buffer = buf_pool_get_named("copy");
    if (w.buffer == nullptr || buf_reserve(w.buffer, RECOVER_CHUNK) != 0) {
        buf_free(w.buffer);
        return -10;
    }
    rc = apply_downward(w, keynum, parent_h);
    buf_free(w.buffer);
    if (rc != 0 && abort_requested())
        rc = -5;
    return rc;
}

// Visits every child of the root into target_fd. listed gets the root's
// children histogram as listed, h the same as the walk leaves it; *count
// the number of children or the listing's negative code.
int walk_root_children(const char *caller, catdb *db, int target_fd, const std::string &target_path,
                       const recover_options &options, uint32_t listed[3], uint32_t h[3], int64_t *count)
{
    std::vector<int64_t> children;
    const int64_t n = catdb_get_children_keynums(db, CATDB_KEYNUM_ROOT, &children);
    *count = n;
    if (n < 0) {
        log_error("%s: Can't list the root's children: %lld", caller, (long long)n);
        add_error(RECOVER_ERROR_CHILDREN);
        return (int)n;
    }
    catdb_get_children_histogram(db, listed);
    std::memcpy(h, listed, 3 * sizeof(uint32_t));
    int result = 0;
    for (int64_t child : children) {
        const int rc = walk_from(db, child, target_fd, target_path, options, h);
        if (rc != 0 && result == 0)
            result = rc;
        if (ends_walk(rc)) {
            result = rc;
            break;
        }
    }
    return result;
}

// A warning before a recovery of the selection that cannot fit: the
// recovery still runs (and stops cleanly at the first file that does not fit).
void warn_if_short_of_space(catdb *db, int target_fd)
{
    uint64_t c[SEL_COUNTER_COUNT] = {};
    struct statvfs vfs;
    if (catdb_get_selection_counters(db, c) != 0 || fstatvfs(target_fd, &vfs) != 0)
        return;
    const uint64_t free_bytes = (uint64_t)vfs.f_bavail * (uint64_t)vfs.f_frsize;
    if (c[SEL_COUNTER_BYTES] > free_bytes)
        log_warning("catdb_recover_selected: %llu bytes selected, %llu bytes free on the target",
                    (unsigned long long)c[SEL_COUNTER_BYTES], (unsigned long long)free_bytes);
}

void keep_last_path(catdb *, int64_t, const char *path, void *data)
{
    *static_cast<std::string *>(data) = path;
}

} // namespace

int catdb_recover_tree_(catdb *db, int64_t keynum, int target_fd, const std::string &target_path,
                        const recover_options &options)
{
    if (db == nullptr || db->state == nullptr)
        return -1;
    Guard hold(db->state->lock);
    // The walk lists folders, which refills the catalog's histogram of the
    // folder listed last: the caller's listing is put back afterwards.
    uint32_t saved[3];
    std::memcpy(saved, db->state->histogram, sizeof saved);
    const int rc = walk_from(db, keynum, target_fd, target_path, options, nullptr);
    std::memcpy(db->state->histogram, saved, sizeof saved);
    return rc;
}

int catdb_recover_node(catdb *db, int64_t keynum, const char *target, std::string *path, uint64_t *size)
{
    if (db == nullptr || db->state == nullptr || catdb_record(db) == nullptr)
        return -1;
    fs_record *record = catdb_record(db);
    Guard hold(db->state->lock);
    int fd = -1;
    std::string folder;
    int rc = recover_host::open_target("catdb_recover_node", target, record->media, &fd, &folder);
    if (rc != 0)
        return rc;
    std::string last;
    const recover_options options{0, 0, keep_last_path, &last};
    const uint64_t bytes_before = record->recovered[4];
    if (catdb_map_root_(db->state, keynum) == db->state->id_root) {
        // The file system's root: its children go straight into the target.
        uint32_t listed[3] = {0, 0, 0}, h[3] = {0, 0, 0};
        int64_t count = 0;
        const uint32_t saved[3] = {db->state->histogram[0], db->state->histogram[1], db->state->histogram[2]};
        rc = catdb_ensure_reading(db);
        if (rc == 0)
            rc = walk_root_children("catdb_recover_node", db, fd, folder, options, listed, h, &count);
        std::memcpy(db->state->histogram, saved, sizeof saved);
        if (rc != 0 && abort_requested())
            rc = -5;
    } else {
        rc = catdb_recover_tree_(db, keynum, fd, folder, options);
    }
    ::close(fd);
    if (path != nullptr)
        *path = last;
    if (size != nullptr)
        *size = record->recovered[4] - bytes_before;
    return rc;
}

int catdb_recover_selected(catdb *db, const char *target)
{
    if (db == nullptr || db->state == nullptr || catdb_record(db) == nullptr)
        return -1;
    fs_record *record = catdb_record(db);
    log_info("Recovering selected files to \"%s\"", target != nullptr ? target : "");
    Guard hold(db->state->lock);
    int fd = -1;
    std::string folder;
    int rc = recover_host::open_target("catdb_recover_selected", target, record->media, &fd, &folder);
    if (rc != 0)
        return rc;
    std::memset(record->recovered, 0, sizeof record->recovered);
    rc = catdb_ensure_reading(db);
    if (rc != 0) {
        log_error("%s: Can't read the catalog: %d", "catdb_recover_selected", rc);
        add_error(RECOVER_ERROR_CHILDREN);
        ::close(fd);
        return rc;
    }
    const recover_options options{1, 1, nullptr, nullptr};
    uint32_t root_selection = 0;
    catdb_get_root_selection(db, &root_selection);
    uint32_t listed[3] = {0, 0, 0}, h[3] = {0, 0, 0};
    int64_t count = 0;
    warn_if_short_of_space(db, fd);
    rc = walk_root_children("catdb_recover_selected", db, fd, folder, options, listed, h, &count);
    ::close(fd);
    if (count < 0)
        return rc;
    // The root's state before and after, from its children's histogram.
    const uint32_t old_state = count > 0 ? state_of(listed) : root_selection;
    const uint32_t new_state = state_of(h);
    std::memcpy(db->state->histogram, h, sizeof h);
    if (new_state != old_state) {
        catdb_set_selection_(db, db->state->id_root, new_state);
        catdb_set_root_selection(db, new_state);
        if (new_state == SEL_NONE)
            move_counter(db, SEL_COUNTER_FOLDERS, -1);
        else if (old_state == SEL_NONE)
            move_counter(db, SEL_COUNTER_FOLDERS, 1);
    }
    catdb_post_selection_write_(db);
    if (abort_requested()) {
        log_info("User abort during recovery");
        return -5;
    }
    if (rc != 0)
        log_error("Errors during recovery: %s", error_list_str().c_str());
    return rc;
}

// --- the record-level entries ----------------------------------------------------------------

int fs_recover_node(fs_record *record, uint64_t keynum, const char *target, std::string *path, uint64_t *size,
                    uint32_t options)
{
    if (record == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (record->dead)
        return -1;
    const uint32_t saved = record->options;
    record->options = options;
    progress_push(0, 0);
    int rc = -1;
    if (fs_is_recoverable(record)) {
        log_info("Recovering from scan %s fs %s", record->scan != nullptr ? record->scan->name : "",
                 record->display_name);
        rc = record->ops->recover_node(record, keynum, target, path, size);
    }
    progress_pop();
    record->options = saved;
    return rc;
}

int fs_recover_marked(fs_record *record, const char *target)
{
    if (record == nullptr || target == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(record->mutex);
    if (record->dead)
        return -1;
    if (fs_root_selection(record) == 0)
        return 0;
    if (!fs_is_recoverable(record))
        return -1;
    log_info("Recovering from scan %s fs %s", record->scan != nullptr ? record->scan->name : "",
             record->display_name);
    Media *media = record->media;
    if (media == nullptr)
        return -7;
    const int retained = media_retain(media);
    if (retained != 0)
        return retained;
    std::string joined = target;
    while (joined.size() > 1 && joined.back() == '/')
        joined.pop_back();
    joined += "/" + recover_safe_name(record->display_name);
    const int rc = record->ops->recover_marked(record, joined.c_str());
    media_release(media);
    return rc;
}
