// Saved scan files: scans packed into a FileArch container (scan/file_arch.h)
// and loaded back into free slots.
//
// A saved scan file holds, in this order:
//   "ScanInfoList"                one 672-byte ScanInfo per saved scan
//   "Scan.NN\context"             each scan's context archive
//   "Scan.NN\<prefix>.<index>\..." each file system's folder, whole
// with paths relative to the workspace folder.
//
// Loading maps each saved slot to a free slot of this workspace and
// rewrites the first path component "Scan.NN" on extraction. Only the first
// component is looked at: a "Scan.NN" deeper in a member path is a name like
// any other. Members outside a mapped slot are skipped. The container
// reader refuses, before anything is written, a container whose member
// names are absolute or hold "..", "." or empty components; the filter
// refuses any rewritten path that is not inside the workspace. SQLite's
// side files of a catalog ("-journal", "-wal", "-shm") are never extracted.
// A free slot is one without a live scan, without a load in progress, and
// without a folder on disk, so extraction never mixes files into a folder
// that exists, and removing the mapped folders after a failed extraction
// restores the workspace as it was.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "foundation/buf.h"
#include "foundation/dirutil.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/file_arch.h"
#include "scan/scan_context_internal.h"

using namespace scx_internal;

namespace {

// The saved scans named by the keyref list (all live scans for an empty
// list or the single keyref 0), each once, in slot order.
std::vector<std::shared_ptr<ScanContext>> scans_to_save(const uint64_t *keyrefs, size_t count)
{
    if (keyrefs == nullptr || count == 0 || (count == 1 && keyrefs[0] == 0))
        return live_scans();
    std::vector<std::shared_ptr<ScanContext>> out;
    for (size_t i = 0; i < count; i++) {
        std::shared_ptr<ScanContext> scan = scx_from_keyref(keyrefs[i]);
        if (scan != nullptr && std::find(out.begin(), out.end(), scan) == out.end())
            out.push_back(scan);
    }
    return out;
}

int save_one(FileArch *far, ScanContext *scan)
{
    std::string context;
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        if (scan->folder == nullptr) {
            far_note_failure(far, FAR_SIDE_SOURCE, ENOENT);
            return -1;
        }
        context = dir_file_path(scan->folder, "context").str();
    }
    int rc = far_add_path(far, context.c_str(), 0);
    if (rc != 0)
        return rc;
    for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan)) {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        if (fs->dead || fs->folder == nullptr)
            continue;
        // The workspace's side of the save: its errno is kept with the side.
        if ((rc = scx_write_fs_files(fs.get())) != 0 || (rc = fs_flush(fs.get())) != 0) {
            far_note_failure(far, FAR_SIDE_SOURCE, errno);
            return rc;
        }
        // Closing the catalog commits it and lets its selection writer finish,
        // so the folder is copied at rest; the next request reopens it.
        catdb_close(&fs->cat);
        if ((rc = far_add_path(far, dir_path(fs->folder), 1)) != 0)
            return rc;
    }
    return 0;
}

} // namespace

int scx_save_scans(FileArch *far, const uint64_t *keyrefs, size_t count)
{
    if (far == nullptr)
        return -1;
    const std::vector<std::shared_ptr<ScanContext>> scans = scans_to_save(keyrefs, count);
    std::vector<uint8_t> list(scans.size() * SCAN_INFO_SIZE);
    for (size_t i = 0; i < scans.size(); i++)
        scan_info_pack(scan_info_of(scans[i].get(), true), list.data() + i * SCAN_INFO_SIZE);
    int first = far_add_member_bytes(far, "ScanInfoList", list.data(), list.size());
    for (const std::shared_ptr<ScanContext> &scan : scans) {
        const int rc = save_one(far, scan.get());
        if (rc != 0) {
            log_error("%s: saving %s failed (%d)", "scx_save_scans", scan->name, rc);
            if (first == 0)
                first = rc;
        }
    }
    return first;
}

namespace scx_testing {
void (*after_load_extract)() = nullptr;
} // namespace scx_testing

namespace {

struct load_filter {
    std::string target;          // the workspace folder
    uint32_t map[SCX_SLOTS + 1]; // saved slot -> new slot (0: not loaded)
};

// Whether a member path (components separated by '/') has a component
// ending like one of SQLite's side files of a database: its rollback
// journal, its WAL or its shared-memory index, in any case.
bool names_database_side_file(const char *member)
{
    static const char *const suffixes[] = {"-journal", "-wal", "-shm"};
    const char *component = member;
    for (const char *p = member;; ++p) {
        if (*p != '/' && *p != '\0')
            continue;
        const size_t length = (size_t)(p - component);
        for (const char *suffix : suffixes) {
            const size_t n = std::strlen(suffix);
            if (length >= n && strncasecmp(p - n, suffix, n) == 0)
                return true;
        }
        if (*p == '\0')
            return false;
        component = p + 1;
    }
}

// Rewrites "<workspace>/Scan.NN/..." to the mapped slot; skips the rest.
int rewrite_path(void *context, char *path, size_t path_size, int kind, int64_t)
{
    const auto *filter = static_cast<const load_filter *>(context);
    const uint32_t skip = kind == FAR_KIND_FOLDER ? FAR_FILTER_SKIP_FOLDER : FAR_FILTER_SKIP_DATA;
    const size_t base = filter->target.size();
    if (std::strncmp(path, filter->target.c_str(), base) != 0 || path[base] != '/')
        return (int)skip;
    char *member = path + base + 1;
    // The first component must be exactly "Scan." and two digits.
    if (std::strncmp(member, "Scan.", 5) != 0 || member[5] < '0' || member[5] > '9' || member[6] < '0' ||
        member[6] > '9' || (member[7] != '\0' && member[7] != '/'))
        return (int)skip;
    const uint32_t saved = (uint32_t)(member[5] - '0') * 10 + (uint32_t)(member[6] - '0');
    if (saved < 1 || saved > SCX_SLOTS) {
        log_error("Bad Scan.%u in far path %s", saved, path);
        return (int)skip;
    }
    const uint32_t slot = filter->map[saved];
    if (slot == 0)
        return (int)skip;
    if (member[7] == '\0' && kind != FAR_KIND_FOLDER)
        return (int)skip; // a file where the slot's folder belongs
    // A journal beside a catalog would be rolled back into it at its first
    // opening, on the word of whoever made the file; a catalog is saved at
    // rest and never needs one.
    if (names_database_side_file(member)) {
        log_error("scx_load_scans: %s not loaded: database journals are never taken from a saved scan", member);
        return (int)skip;
    }
    if (path_size < base + 8)
        return -1;
    member[5] = (char)('0' + slot / 10);
    member[6] = (char)('0' + slot % 10);
    return 0;
}

} // namespace

int scx_load_scans(const char *path, const uint64_t *keyrefs, size_t count, work_dir *workspace, int *out,
                   scx_load_room *room)
{
    static const char *const fn = "scx_load_scans";
    if (out != nullptr)
        *out = 0;
    if (path == nullptr || workspace == nullptr)
        return -1;
    buf_t *member = far_get_member(path, "ScanInfoList", nullptr);
    if (member == nullptr || member->count < (int)SCAN_INFO_SIZE) {
        log_error("%s: no ScanInfoList in %s", fn, path);
        add_error(SCX_ERROR_NO_SCAN_INFO);
        buf_free(member);
        return -1;
    }
    std::vector<ScanInfo> infos((size_t)member->count / SCAN_INFO_SIZE);
    for (size_t i = 0; i < infos.size(); i++)
        scan_info_unpack(member->data + i * SCAN_INFO_SIZE, &infos[i]);
    buf_free(member);

    load_filter filter{};
    filter.target = dir_path(workspace);
    std::vector<uint32_t> free_slots;
    std::vector<uint32_t> mapped_saved; // saved slots in ascending order
    {
        std::lock_guard<std::mutex> lock(slot_mutex());
        for (uint32_t slot = 1; slot <= SCX_SLOTS; slot++) {
            if (slot_entry(slot) != nullptr || slot_reserved(slot))
                continue;
            const zorvant::u8string folder = dir_file_path(workspace, slot_folder_name(slot).c_str());
            if (folder.empty() || access(folder.c_str(), F_OK) == 0)
                continue; // a folder left on disk is not ours to fill
            free_slots.push_back(slot);
        }
        if (infos.size() > free_slots.size()) {
            log_error("Request to load %d scans, but only %d slots available", (int)infos.size(),
                      (int)free_slots.size());
            if (room != nullptr)
                *room = scx_load_room{(int)infos.size(), (int)free_slots.size()};
            return SCX_TOO_FEW_SLOTS;
        }
        size_t next = 0;
        for (const ScanInfo &info : infos) {
            bool wanted = keyrefs == nullptr || count == 0;
            for (size_t i = 0; !wanted && i < count; i++)
                wanted = keyrefs[i] == info.keyref;
            if (!wanted || info.slot < 1 || info.slot > SCX_SLOTS || filter.map[info.slot] != 0)
                continue;
            filter.map[info.slot] = free_slots[next++];
            slot_reserved(filter.map[info.slot]) = true;
            mapped_saved.push_back(info.slot);
        }
    }
    std::sort(mapped_saved.begin(), mapped_saved.end());

    int result = 0;
    if (far_extract(path, filter.target.c_str(), rewrite_path, &filter) != 0) {
        log_error("Errors extracting scans from %s", path);
        result = -1;
        for (uint32_t saved : mapped_saved) {
            const zorvant::u8string folder =
                dir_file_path(workspace, slot_folder_name(filter.map[saved]).c_str());
            if (access(folder.c_str(), F_OK) == 0 && remove_tree_safe(folder.c_str()) != 0)
                log_error("Failed to remove scan dir in load \"%s\"", folder.c_str());
        }
    }
    if (scx_testing::after_load_extract != nullptr)
        scx_testing::after_load_extract();
    int loaded = 0;
    for (uint32_t saved : mapped_saved) {
        const uint32_t slot = filter.map[saved];
        // The reservation is dropped only once the slot is taken: in between,
        // a new scan could take it and find the extracted folder as its own.
        if (result == 0) {
            if (scx_load_slot(workspace, slot, nullptr) == 0) {
                log_info("Loading scan slot %u from %s succeeded.", slot, path);
                loaded++;
            } else {
                log_error("Loading scan slot %u from %s failed.", slot, path);
            }
        }
        std::lock_guard<std::mutex> lock(slot_mutex());
        slot_reserved(slot) = false;
    }
    if (out != nullptr)
        *out = loaded;
    notification_post("scans_changed", 0);
    return result;
}
