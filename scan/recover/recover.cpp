// Recovery of catalog nodes: the tree walk, the counters and the clearing
// of the selection, and the record-level entries fs_recover_node /
// fs_recover_marked. One file's copy is in recover_file.cpp.
//
// The walk (catdb_recover_tree_) goes down from a node in catalog order.
// Each folder node is made (or reused) below the current folder and becomes
// the current folder for its children; each file node is copied into the
// current folder (recover_file). The walk goes as deep as the catalog does,
// up to RECOVER_DEPTH_MAX folders (well past what a scan lists: the FAT
// scan enters 128 levels); a folder the catalog lists below itself is
// refused. Host paths longer than PATH_MAX are no obstacle: everything is
// made relative to the open folders.
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
//   - A result of -3 (target full or failing), -5 (abort), -7 (no medium),
//     -12 (a folder of the target on the medium), -30 (medium gone) or -32
//     (the card stopped answering) ends
//     the whole walk, met at any depth: every later file would fail the same
//     way.
//   - A folder made or reused on another file system than its parent's (a
//     mount point inside the target) is checked against the medium like the
//     target itself: a folder of the card mounted there ends the walk with
//     -12 before anything is written below it, noted with its path.
//   - A recovery of the selection compares the files it wrote with the
//     selected-files counter taken before the walk: a walk that meets fewer
//     files than were counted (a damaged children list) is a failure, never
//     a plain success.
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
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/fs_record.h"
#include "scan/recover/recover_internal.h"
#include "scan/catalog/selection.h"
#include "scan/scan_context.h"
#include "storage/media.h"

bool recover_ends_walk(int rc)
{
    return rc == -3 || rc == -5 || rc == -7 || rc == RECOVER_TARGET_ON_MEDIUM || rc == -30 ||
           rc == RECOVER_STOPPED_ANSWERING;
}

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;


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

void call_hook(recover_walk &w, int64_t keynum, const std::string &path)
{
    if (w.options.hook != nullptr)
        w.options.hook(w.db, keynum, path.c_str(), w.options.hook_data);
}

// --- folders ---------------------------------------------------------------------------------

struct folder_frame {
    int parent_fd = -1;
    size_t parent_path_length = 0;
    int64_t modified = 0;
    bool created = false;
};

int enter_folder(recover_walk &w, uint64_t keynum, folder_frame *frame)
{
    NodeInfo info;
    int rc = fs_node_info(w.record, keynum, &info, 0);
    if (rc != 0) {
        log_error("%s: Can't get node info for keynum %llx", "make_folder", (unsigned long long)keynum);
        add_error(RECOVER_ERROR_FOLDER_INFO);
        return rc;
    }
    const std::string name = recover_safe_name(info.name);
    int fd = -1;
    std::string made;
    bool created = false;
    rc = recover_host::make_folder_at(w.dir_fd, name, &fd, &made, &created);
    if (rc != 0) {
        if (rc != -1)
            return rc;
        const int e = errno;
        log_error("Can't mkdir \"%s/%s\": %s", w.path.c_str(), name.c_str(), recover_errno_text(e).c_str());
        recover_note note;
        note.keyref = info.keyref;
        note.path = w.path + "/" + name;
        note.errnum = e;
        note.host = 1;
        recover_note_add(note);
        errno = e;
        add_error_errno(RECOVER_ERROR_MKDIR);
        return recover_host::is_target_full(e) ? -3 : -1;
    }
    if (recover_host::folder_on_medium(w.dir_fd, fd, w.record->media)) {
        // A folder of the card (or the card) mounted in the target: nothing
        // goes below it, and the recovery stops.
        ::close(fd);
        const std::string folder = w.path + "/" + made;
        log_error("%s: folder \"%s\" is on the medium being recovered (%s)", "make_folder", folder.c_str(),
                  media_path(w.record->media));
        recover_note note;
        note.path = folder;
        note.host = 1;
        recover_note_add(note);
        return RECOVER_TARGET_ON_MEDIUM;
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
void leave_folder(recover_walk &w, const folder_frame &frame)
{
    if (frame.created && recover_host::set_times(w.dir_fd, frame.modified) != 0)
        log_warning("recover: Can't set times of \"%s\": %s", w.path.c_str(), recover_errno_text(errno).c_str());
    ::close(w.dir_fd);
    w.dir_fd = frame.parent_fd;
    w.path.resize(frame.parent_path_length);
}

// --- the walk -------------------------------------------------------------------------------

// Visits keynum; parent_h is its parent's children histogram (may be null
// when the parent's state is not tracked).
int apply_downward(recover_walk &w, int64_t keynum, uint32_t *parent_h)
{
    if (abort_requested())
        return -5;
    if (w.depth > RECOVER_DEPTH_MAX) {
        log_error("%s: recursion limit: keynum=%llx", "catdb_apply_downward_recurse_", (unsigned long long)keynum);
        add_error(RECOVER_ERROR_RECURSION);
        return -1;
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
        if (recover_ends_walk(rc))
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

    if (std::find(w.trail.begin(), w.trail.end(), keynum) != w.trail.end()) {
        // A damaged catalog lists a folder below itself.
        log_error("%s: folder keynum %llx lies below itself", "catdb_apply_downward_recurse_",
                  (unsigned long long)keynum);
        add_error(RECOVER_ERROR_RECURSION);
        return -1;
    }
    folder_frame frame;
    rc = enter_folder(w, (uint64_t)keynum, &frame);
    if (rc != 0) {
        if (recover_ends_walk(rc))
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
    w.trail.push_back(keynum);
    for (int64_t child : children) {
        rc = apply_downward(w, child, h);
        if (rc != 0 && result == 0)
            result = rc;
        if (rc == -5 || w.fatal != 0) {
            result = w.fatal != 0 ? w.fatal : -5;
            break;
        }
    }
    w.trail.pop_back();
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
    recover_walk w;
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
        if (recover_ends_walk(rc)) {
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

// The bytes of the files at and below keynum, for the progress of a
// recovery of one node (folders as deep as a walk goes).
uint64_t bytes_below(catdb *db, int64_t keynum, int depth)
{
    int is_folder = 0;
    uint64_t size = 0;
    if (catdb_node_facts(db, keynum, &is_folder, &size) != 0)
        return 0;
    if (!is_folder)
        return size;
    std::vector<int64_t> children;
    if (depth > RECOVER_DEPTH_MAX || catdb_get_children_keynums(db, keynum, &children) < 0)
        return 0;
    uint64_t total = 0;
    for (int64_t child : children)
        total += bytes_below(db, child, depth + 1);
    return total;
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
    int rc = recover_host::open_target("catdb_recover_node", target, 1, record->media, &fd, &folder);
    if (rc != 0)
        return rc;
    std::string last;
    const recover_options options{0, 0, keep_last_path, &last};
    const uint64_t bytes_before = record->recovered[4];
    {
        // The progress shows the bytes of everything below the node.
        const uint32_t saved[3] = {db->state->histogram[0], db->state->histogram[1], db->state->histogram[2]};
        if (catdb_ensure_reading(db) == 0) {
            uint64_t total = 0;
            std::vector<int64_t> children;
            if (catdb_map_root_(db->state, keynum) != db->state->id_root)
                total = bytes_below(db, keynum, 0);
            else if (catdb_get_children_keynums(db, CATDB_KEYNUM_ROOT, &children) >= 0)
                for (int64_t child : children)
                    total += bytes_below(db, child, 1);
            progress_set_done_total(0, (int64_t)std::min<uint64_t>(total, INT64_MAX));
        }
        std::memcpy(db->state->histogram, saved, sizeof saved);
    }
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
    // The target is the front end's folder joined with the file system's
    // (fs_recover_marked): both are the program's names.
    int rc = recover_host::open_target("catdb_recover_selected", target, 2, record->media, &fd, &folder);
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
    uint64_t counted[SEL_COUNTER_COUNT] = {};
    catdb_get_selection_counters(db, counted);
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
    if (rc == 0 && record->recovered[0] < counted[SEL_COUNTER_FILES]) {
        // Files the selection counted that the walk never met.
        log_error("%s: %llu of %llu selected files recovered", "catdb_recover_selected",
                  (unsigned long long)record->recovered[0], (unsigned long long)counted[SEL_COUNTER_FILES]);
        add_error(RECOVER_ERROR_SHORTFALL);
        rc = -1;
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
