// The FAT quick scan on arbitrary bytes: the input is a card image (a file
// in a scratch folder attached as a medium, its partition map read), which
// is quick-scanned through the type registry into a catalog in a scratch
// workspace, listed from the root down, its files read back over their
// catalog extents, and walked once more as a thorough-scan span at offset 0.
// Checked besides memory safety: every listed node's parent is the folder
// it was listed under, no file's data runs past the medium, and once the
// scan is deleted the workspace is empty and the sentinel beside it intact.
//
// Seeds (corpus/fat_scan/) are small images made with mkfs.fat and mtools:
// FAT12 with nested folders, long names, a deleted and a fragmented file;
// the heads of a FAT16 and a FAT32 volume; a card with an MBR and two FAT12
// partitions; and two damaged FAT12 volumes patched after mkfs.fat -s 1:
// fat12_crosslinks (the reader's seed: folders cross-linked into one tail,
// cross-linked files, odd 8.3 names, a long-name part left in a
// sub-folder) and fat12_blank_fat1 (128 KiB, folders and files, FAT 1
// blank behind its header, a file starting inside another's chain, an 8.3
// name with "/" and DEL).
#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/buf.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "scan/catalog/fs_record.h"
#include "scan/fat/fat_scan.h"
#include "scan/module.h"
#include "scan/scan_context.h"
#include "scratch_support.h"
#include "storage/media.h"

namespace {

using fuzzsupport::entries;
using fuzzsupport::require;

// Nodes listed and bytes read per input: enough for every seed, bounded so
// a crafted catalog of many thousands of rows stays quick.
constexpr size_t kMaxNodes = 4096;
constexpr int64_t kMaxRead = 1 << 20;

struct Scratch : fuzzsupport::WorkspaceScratch {
    std::string image = root + "/card.img";
    Scratch() { require(fat_describe() != nullptr); }
};

void walk(fs_record *fs, uint64_t keynum, uint64_t parent, int depth, size_t *seen, int64_t media_size)
{
    std::vector<NodeInfo> children;
    if (depth > FAT_MAX_DEPTH + 2 || fs_node_children(fs, keynum, &children) != 0)
        return;
    for (const NodeInfo &child : children) {
        if (++*seen > kMaxNodes)
            return;
        require(child.parent == parent);
        if (child.flags & NODE_FOLDER) {
            walk(fs, child.keynum, child.keynum, depth + 1, seen, media_size);
            continue;
        }
        std::vector<fs_extent> extents;
        if (fs->ops->node_extents(fs, child.keynum, 0, &extents) == 0)
            for (const fs_extent &e : extents)
                require(e.start <= (uint64_t)media_size && e.length <= (uint64_t)media_size - e.start);
        int status = 0;
        buf_t *data = fs_node_data(fs, child.keynum, 0, kMaxRead, 0, &status);
        if (data != nullptr) {
            require((uint64_t)data->count <= child.data_size);
            buf_free(data);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Scratch s;
    fuzzsupport::write_file(s.image, data, size);

    Media *media = media_attach_file(s.image.c_str());
    if (media == nullptr)
        return 0;
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, media, s.workspace);
    require(scan != nullptr);
    const int rc = fs_quick_scan(scan);
    if (rc == 0) {
        require(scan->fs_list.size() == 1);
        fs_record *fs = scan->fs_list[0].get();
        size_t seen = 0;
        NodeInfo root;
        require(fs_node_info(fs, KEYNUM_FS_ROOT, &root, 0) == 0);
        walk(fs, KEYNUM_FS_ROOT, (uint64_t)fs->id_root, 0, &seen, media_length(media));
        // A second walk of the same volume adds nothing.
        const int again = fat_walk_span(fs, 0);
        require(again == 0 || again == 2);
    } else {
        require(scan->fs_list.empty());
    }
    require(scx_delete_one(&scan, false) == 0);
    require(scan == nullptr && scx_live_slots().empty() && fs_live_count() == 0);
    require(entries(s.ws).empty());
    require(entries(s.root).size() == 3); // the workspace, the sentinel and the image
    media_free_all(); // the medium and the partition media made for its entries
    return 0;
}
