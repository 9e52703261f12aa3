// The nodes above the found file systems: the root of all scans, one node
// per scan, one root per found file system; the scans' selection totals,
// their ScanInfo list and the recovery of their marked items.
//
// Node information of these levels is made here; everything below a file
// system's root comes from the file system (fs_node_info).
#include <algorithm>
#include <cstring>

#include "foundation/log.h"
#include "foundation/workdir.h"
#include "foundation/progress.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context_internal.h"
#include "storage/media.h"

using namespace scx_internal;

namespace {

// The folder of a file system in its scan's folder ("FAT.1"), or its
// display name while it has no folder.
std::string fs_folder_name(fs_record *fs)
{
    std::string name;
    {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        const char *path = fs->folder != nullptr ? dir_path(fs->folder) : nullptr;
        name = path != nullptr ? path : fs->display_name;
    }
    const size_t cut = name.find_last_of('/');
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

// Child count of a file system's root; a catalog that cannot be read is
// named in the log and in the scan's list of failed file systems, so the
// user learns which file system of which scan is damaged.
int root_children(ScanContext *scan, fs_record *fs)
{
    const int n = fs_num_children(fs, KEYNUM_FS_ROOT);
    if (n >= 0)
        return n;
    const std::string name = fs_folder_name(fs);
    std::lock_guard<std::mutex> lock(slot_mutex());
    log_error("%s: catalog of %s in %s can't be read (%d)", "scx_children", name.c_str(),
              slot_folder_name(scan->slot).c_str(), n);
    if (std::find(scan->failed_fs.begin(), scan->failed_fs.end(), name) == scan->failed_fs.end())
        scan->failed_fs.push_back(name);
    return n;
}

// A file system whose root count failed (n < 0) although its cat.db is
// there: the catalog is damaged, foreign or of a newer layout. Such a file
// system is still listed, marked, so that the user is told rather than
// finding it gone. A missing cat.db is a file system that never wrote one,
// and the catalogs of the scan that is running are not judged while it
// writes them.
bool catalog_damaged(ScanContext *scan, fs_record *fs, int n)
{
    if (n >= 0 || scan == nullptr || scx_current() == scan)
        return false;
    std::lock_guard<std::recursive_mutex> hold(fs->mutex);
    return !fs->dead && fs->folder != nullptr && dir_file_exists(fs->folder, "cat.db") == 0;
}

// The caller holds the slot mutex.
NodeInfo scan_node(const ScanContext *scan)
{
    NodeInfo info;
    info.keyref = keyref_scan(scan->slot);
    info.name = scan->name;
    info.flags = NODE_FOLDER;
    info.date_created = info.date_modified = scan->start_time.seconds;
    return info;
}

// The root of a file system; a damaged catalog's root has no ticks and no
// children, only its mark.
NodeInfo fs_root_node(ScanContext *scan, fs_record *fs, int n, bool damaged = false)
{
    NodeInfo info;
    info.keyref = fs_keyref_base(fs) | 0xFFull << 32 | KEYREF_ROOT_LOW;
    info.keynum = KEYNUM_FS_ROOT;
    {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        info.name = fs->display_name;
    }
    info.flags = damaged ? NODE_FOLDER | NODE_DAMAGED_CATALOG
                         : (fs_root_selection(fs) & NODE_SELECTION_MASK) | NODE_FOLDER;
    std::lock_guard<std::mutex> lock(slot_mutex());
    info.date_created = info.date_modified = scan->start_time.seconds;
    info.child_count = n > 0 ? (uint64_t)n : 0;
    return info;
}

} // namespace

int scx_children(uint64_t keyref, std::vector<NodeInfo> *out)
{
    if (out == nullptr)
        return -1;
    if (keyref == KEYREF_NONE) {
        for (const std::shared_ptr<ScanContext> &scan : live_scans()) {
            std::lock_guard<std::mutex> lock(slot_mutex());
            NodeInfo info = scan_node(scan.get());
            info.child_count = (uint64_t)std::max(scan->num_children, 0);
            out->push_back(std::move(info));
        }
        return 0;
    }
    if (!keyref_is_scan(keyref))
        return -1;
    std::shared_ptr<ScanContext> scan = scx_from_keyref(keyref);
    if (scan == nullptr)
        return -1;
    for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan.get())) {
        const int n = root_children(scan.get(), fs.get());
        if (n > 0 || (n == 0 && fs->has_children != 0))
            out->push_back(fs_root_node(scan.get(), fs.get(), n));
        else if (catalog_damaged(scan.get(), fs.get(), n))
            out->push_back(fs_root_node(scan.get(), fs.get(), 0, true));
    }
    return 0;
}

bool scx_damaged_catalog(uint64_t keyref, std::string *file)
{
    std::shared_ptr<fs_record> fs = fs_of_node(keyref, nullptr);
    std::shared_ptr<ScanContext> scan = fs != nullptr ? scx_from_keyref(keyref) : nullptr;
    if (scan == nullptr || !catalog_damaged(scan.get(), fs.get(), fs_num_children(fs.get(), KEYNUM_FS_ROOT)))
        return false;
    if (file != nullptr) {
        const std::string folder = fs_folder_name(fs.get());
        std::lock_guard<std::mutex> lock(slot_mutex());
        *file = slot_folder_name(scan->slot) + "/" + folder + "/cat.db";
    }
    return true;
}

std::vector<std::string> scx_catalog_failures(const ScanContext *scan)
{
    if (scan == nullptr)
        return {};
    std::lock_guard<std::mutex> lock(slot_mutex());
    return scan->failed_fs;
}

int scx_node_info(uint64_t keyref, NodeInfo *out, int flags)
{
    if (out == nullptr)
        return -1;
    if (keyref == KEYREF_NONE) {
        *out = NodeInfo();
        out->keyref = KEYREF_NONE;
        out->flags = NODE_FOLDER;
        out->date_created = out->date_modified = time_now().seconds;
        out->child_count = live_scans().size();
        return 0;
    }
    keyref_parts parts{};
    const int kind = keyref_decode(keyref, &parts);
    if (kind == KEYREF_KIND_SCAN) {
        std::shared_ptr<ScanContext> scan = scx_from_keyref(keyref);
        if (scan == nullptr)
            return -12;
        std::lock_guard<std::mutex> lock(slot_mutex());
        *out = scan_node(scan.get());
        out->child_count = scan->fs_list.size();
        const Media *media = scan->media != nullptr ? scan->media : scan->saved_media.get();
        out->media_id = media != nullptr ? media->id : 0;
        return 0;
    }
    if (kind != KEYREF_KIND_FS_ROOT && kind != KEYREF_KIND_NODE)
        return -1;
    std::shared_ptr<fs_record> fs = fs_from_keyref(keyref);
    if (fs == nullptr)
        return -1;
    const int rc = fs_node_info(fs.get(), keyref & 0xFFFFFFFFFFull, out, flags);
    if (rc == 0) {
        out->keyref = (keyref & ~KEYNUM_MASK) | (out->keyref & KEYNUM_MASK);
    } else if (kind == KEYREF_KIND_FS_ROOT) {
        // The root of a damaged catalog is the listed root with its mark.
        std::shared_ptr<ScanContext> scan = scx_from_keyref(keyref);
        if (scan != nullptr && catalog_damaged(scan.get(), fs.get(), fs_num_children(fs.get(), KEYNUM_FS_ROOT))) {
            *out = fs_root_node(scan.get(), fs.get(), 0, true);
            out->media_id = scx_media_id(scan.get());
            return 0;
        }
    }
    return rc;
}

void scx_get_tree_info(ScanContext *scan, uint64_t totals[5])
{
    if (scan == nullptr || totals == nullptr)
        return;
    for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan))
        fs_add_tree_info(fs.get(), totals);
}

std::vector<ScanInfo> scx_copy_scan_infos()
{
    std::vector<ScanInfo> infos;
    for (const std::shared_ptr<ScanContext> &scan : live_scans())
        infos.push_back(scan_info_of(scan.get(), false));
    std::stable_sort(infos.begin(), infos.end(), [](const ScanInfo &a, const ScanInfo &b) {
        return (uint32_t)a.stop_seconds > (uint32_t)b.stop_seconds;
    });
    return infos;
}

int scx_recover_marked(ScanContext *scan, const char *target, uint64_t totals[3])
{
    if (scan == nullptr || target == nullptr)
        return -1;
    std::vector<std::shared_ptr<fs_record>> chosen;
    uint64_t bytes = 0, items = 0;
    int damaged = 0;
    for (const std::shared_ptr<fs_record> &fs : fs_list_copy(scan)) {
        if (!fs_is_recoverable(fs.get()))
            continue;
        const int n = fs_num_children(fs.get(), KEYNUM_FS_ROOT);
        if (fs->has_children == 0 && n <= 0) {
            // A damaged catalog can't say which of its files are ticked: the
            // other file systems are recovered, and the recovery then fails.
            if (catalog_damaged(scan, fs.get(), n)) {
                const std::string name = fs_folder_name(fs.get());
                std::lock_guard<std::mutex> lock(slot_mutex());
                log_error("%s: the catalog of %s in %s can't be read (%d); its files are not recovered",
                          "scx_recover_marked", name.c_str(), slot_folder_name(scan->slot).c_str(), n);
                damaged = SCX_CATALOG_DAMAGED;
            }
            continue;
        }
        uint64_t c[5] = {};
        fs_get_selected(fs.get(), c);
        bytes += c[4];
        items += c[0] + c[2] + c[3];
        chosen.push_back(fs);
    }
    progress_push(0, (int64_t)bytes);
    progress_set_var(1, (int64_t)items);
    int result = 0;
    for (const std::shared_ptr<fs_record> &fs : chosen) {
        const int rc = fs_recover_marked(fs.get(), target);
        if (totals != nullptr) {
            std::lock_guard<std::recursive_mutex> hold(fs->mutex);
            // files, folders and bytes recovered
            totals[0] += fs->recovered[0];
            totals[1] += fs->recovered[1];
            totals[2] += fs->recovered[4];
        }
        if (rc != 0 && result == 0)
            result = rc;
        if (rc == -5)
            break;
    }
    progress_pop();
    if (result == 0)
        result = damaged;
    return result;
}
