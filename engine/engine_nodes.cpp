// The engine's short requests on the caller's thread: scans, nodes and
// their children, selection.
#include "engine/engine.h"

#include <cerrno>

#include "foundation/log.h"
#include "scan/catalog/catdb.h"

namespace {

// Folders between a node and its file system's root, at most: far more
// than any scan lists (the FAT scan enters 128 levels), so a catalog gone
// round in circles ends the walk.
constexpr int kAncestorMax = 1024;

} // namespace

std::vector<ScanInfo> HVEngine::scans()
{
    return scx_copy_scan_infos();
}

int HVEngine::deleteScan(uint64_t scan_keyref)
{
    if (busy()) {
        log_error("%s: an operation is running", "HVEngine::deleteScan");
        return ENGINE_BAD_ARGUMENT;
    }
    std::shared_ptr<ScanContext> scan = keyref_is_scan(scan_keyref) ? scx_from_keyref(scan_keyref) : nullptr;
    if (scan == nullptr)
        return ENGINE_BAD_ARGUMENT;
    ScanContext *raw = scan.get();
    scan.reset();
    return scx_delete(&raw);
}

int HVEngine::nodeInfo(uint64_t keyref, NodeInfo *out, int flags)
{
    return scx_node_info(keyref, out, flags);
}

bool HVEngine::damagedCatalog(uint64_t keyref, std::string *file)
{
    return scx_damaged_catalog(keyref, file);
}

int HVEngine::children(uint64_t keyref, std::vector<NodeInfo> *out)
{
    if (out == nullptr)
        return ENGINE_BAD_ARGUMENT;
    if (keyref == KEYREF_NONE || keyref_is_scan(keyref))
        return scx_children(keyref, out);
    uint64_t keynum = 0;
    std::shared_ptr<fs_record> fs = fs_of_node(keyref, &keynum);
    if (fs == nullptr)
        return ENGINE_BAD_ARGUMENT;
    return fs_node_children(fs.get(), keynum, out);
}

int HVEngine::selectNode(uint64_t keyref, bool selected)
{
    const uint32_t value = selected ? 1u : 0u;
    if (keyref_is_scan(keyref)) {
        std::vector<NodeInfo> systems;
        int rc = scx_children(keyref, &systems);
        for (const NodeInfo &fs : systems) {
            const int one = selectNode(fs.keyref, selected);
            if (rc == 0)
                rc = one;
        }
        return rc;
    }
    uint64_t keynum = 0;
    std::shared_ptr<fs_record> fs = fs_of_node(keyref, &keynum);
    if (fs == nullptr)
        return ENGINE_BAD_ARGUMENT;
    int64_t root;
    {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        root = fs->id_root;
    }
    // The node, its parent, ..., the root, then the end marker.
    std::vector<int64_t> list;
    int64_t current = keynum == KEYNUM_FS_ROOT ? root : (int64_t)keynum;
    list.push_back(current);
    while (current != root) {
        NodeInfo info;
        if ((int)list.size() > kAncestorMax || fs_node_info(fs.get(), (uint64_t)current, &info, 0) != 0) {
            log_error("%s: no way from %lld to the root", "HVEngine::selectNode", (long long)keynum);
            return ENGINE_BAD_ARGUMENT;
        }
        current = (int64_t)info.parent;
        list.push_back(current);
    }
    list.push_back(CATDB_KEYNUM_NONE);
    return fs_select_nodes(fs.get(), list.data(), list.size(), value);
}

int HVEngine::saveSelection(uint64_t keyref)
{
    std::vector<NodeInfo> systems;
    if (scx_children(keyref_scan(keyref_slot(keyref)), &systems) != 0)
        return 0;
    for (const NodeInfo &one : systems) {
        uint64_t keynum = 0;
        std::shared_ptr<fs_record> fs = fs_of_node(one.keyref, &keynum);
        errno = 0;
        if (fs != nullptr && fs_save_selection(fs.get()) != 0)
            return errno != 0 ? errno : EIO;
    }
    return 0;
}
