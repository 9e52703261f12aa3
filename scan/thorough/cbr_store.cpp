// The thorough-scan store as found-file-system type 2: its operations
// object (which owns the store state), the record setup and the "cbr "
// module.
//
// Operations of the store
//
//   free            catalog and names file closed, open store files freed
//   finish          end of scan: spans parsed and measured, the tree, its
//                   pid index and child counts (cbr_end_of_scan)
//   num_children    the catalog's count (the root row's for the root)
//   node_info       the root: folder, "Reconstructed Files", the scan's
//                   start time, the store's flags, the root's child count;
//                   any other keynum: its catalog row (cbr_db_node_info)
//   children, select, recover_node, recover_marked   the catalog's own
//   node_extents    a file's one extent {start, size}: recovered files are
//                   contiguous runs of the medium
//   flush           (before the scan's folder is saved) the open store
//                   files flushed, the catalog closed, catalog mode 0
//   save_extra, load_extra   the state archive (cbr_archive.cpp)
//   unreached       not supported (-15, the default)
//
// Implementation notes
// - CbrOps owns the cbr_store: fs_free runs CbrOps::free before it drops the
//   object, so the catalog and the open files are closed while the state
//   (and its prepared statements) still exist.
// - The naming context's max_dir_entries is not taken from the record here:
//   the record's value comes from "Scanning/CBR" like every found file
//   system's, while the numbering reads "Scanning/Reconstructed Files" again
//   at every thorough scan (nameseq_reset).
#include "scan/thorough/cbr_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "foundation/file.h"
#include "foundation/strings.h"
#include "scan/catalog/catalog_ops.h"
#include "scan/catalog/fs_record.h"
#include "scan/catalog/selection.h"
#include "scan/recover/recover.h"
#include "scan/scan_context.h"
#include "scan/thorough/nameseq.h"

namespace {

// Flags the store's root carries in its node information besides the
// selection (whose two low bits come from the catalog).
constexpr uint32_t kStoreFlags = 0x205;

int root_info(fs_record *record, NodeInfo *out, int flags)
{
    uint32_t selection = 0;
    catdb_get_root_selection(&record->cat, &selection);
    if (flags & NODE_INFO_SELECTION_ONLY) {
        out->flags = (out->flags & ~(uint32_t)NODE_SELECTION_MASK) | (selection & NODE_SELECTION_MASK);
        return 0;
    }
    const int n = record->ops->num_children(record, KEYNUM_FS_ROOT);
    if (n < 0)
        return n;
    *out = NodeInfo();
    out->keyref = fs_keyref_base(record) | 0xFFull << 32 | KEYREF_ROOT_LOW;
    out->keynum = KEYNUM_FS_ROOT;
    out->name = cbr_root_name();
    out->flags = NODE_FOLDER | (kStoreFlags & ~(uint32_t)NODE_SELECTION_MASK) | (selection & NODE_SELECTION_MASK);
    out->child_count = (uint64_t)n;
    if (record->scan != nullptr)
        out->date_created = out->date_modified = record->scan->start_time.seconds;
    return 0;
}

class CbrOps : public CatalogOps {
public:
    void free(fs_record *record) override
    {
        cbr_set_cat_mode(record, CBR_CAT_CLOSED);
        catdb_close(&record->cat);
        for (file_t **f : {&state.spans, &state.reader, &state.gaps, &state.names})
            file_free(f);
        state.translations.clear();
        if (nameseq_ctx *ctx = nameseq_context(); ctx != nullptr && ctx->store == record)
            ctx->store = nullptr;
    }
    int finish(fs_record *record) override { return cbr_end_of_scan(record); }
    int node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int flags) override
    {
        if (keynum == KEYNUM_FS_ROOT)
            return root_info(record, out, flags);
        return cbr_db_node_info(record, keynum, out, flags & NODE_INFO_SELECTION_ONLY);
    }
    int node_extents(fs_record *record, uint64_t keynum, int fork, std::vector<fs_extent> *out) override
    {
        NodeInfo info;
        if (fork != 0 || out == nullptr || keynum == KEYNUM_FS_ROOT ||
            cbr_db_node_info(record, keynum, &info, 0) != 0 || (info.flags & NODE_FOLDER) || !info.has_data)
            return -1;
        out->push_back(fs_extent{info.start, info.data_size});
        return 0;
    }
    int flush(fs_record *record) override
    {
        // file_size flushes a stream before it asks for the size, so a
        // failed flush shows here (-3) rather than as a short saved copy.
        int result = 0;
        for (file_t *f : {state.spans, state.gaps, state.names})
            if (f != nullptr && file_is_open(f) && file_size(f) < 0 && result == 0)
                result = -3;
        const int closed = cbr_set_cat_mode(record, CBR_CAT_CLOSED);
        return result != 0 ? result : closed;
    }
    int save_extra(fs_record *record, archive *a) override { return cbr_archive(record, a); }
    int load_extra(fs_record *record, archive *a) override { return cbr_unarchive(record, a); }

    cbr_store state;
};

} // namespace

cbr_store *cbr_store_of(fs_record *record)
{
    if (record == nullptr)
        return nullptr;
    auto *ops = dynamic_cast<CbrOps *>(record->ops.get());
    return ops != nullptr ? &ops->state : nullptr;
}

int cbr_fs_init(fs_record *record)
{
    if (record == nullptr)
        return -1;
    auto ops = std::make_unique<CbrOps>();
    ops->state.record = record;
    record->ops = std::move(ops);
    record->cat.on_open_for_writing = cbr_catalog_created;
    record->cat.on_close = cbr_catalog_closing;
    record->id_root = 1;
    catdb_set_id_root(&record->cat, 1);
    std::snprintf(record->prefix, sizeof record->prefix, "%s", "CBR");
    std::snprintf(record->fs_name, sizeof record->fs_name, "%s", "CBR");
    std::snprintf(record->display_name, sizeof record->display_name, "%s", cbr_root_name());
    if (nameseq_ctx *ctx = nameseq_context())
        ctx->store = record;
    return fs_make_folder(record);
}

void cbr_prefilter_refuse_all(fil_module *, int, uint8_t allowed[256])
{
    if (allowed != nullptr)
        std::memset(allowed, 0, 256);
}

fil_module *cbr_describe()
{
    fil_module *module = fil_module_get_or_create(FIL_MODULE_CBR, sizeof(fil_module));
    if (module == nullptr)
        return nullptr;
    module->fs_init = cbr_fs_init;
    module->prefilter = cbr_prefilter_refuse_all;
    module->after_processing = cbr_module_after_processing;
    module->enabled = 1;
    if (fs_register_type(module, FS_TYPE_STORE, FS_RECORD_COMMON_SIZE) != 0)
        return nullptr;
    return module;
}
