// The thorough-scan store as found-file-system type 2: its operations
// object (which owns the store state), the record setup and the "cbr "
// module.
//
// Implementation notes
// - CbrOps owns the cbr_store: fs_free runs CbrOps::free before it drops the
//   object, so the catalog and the open files are closed while the state
//   (and its prepared statements) still exist.
#include "scan/thorough/cbr_store.h"

#include <cstdio>
#include <memory>

#include "foundation/file.h"
#include "foundation/strings.h"
#include "scan/catalog/fs_record.h"
#include "scan/thorough/nameseq.h"

namespace {

class CbrOps : public fs_ops {
public:
    void free(fs_record *record) override
    {
        cbr_set_cat_mode(record, CBR_CAT_CLOSED);
        catdb_close(&record->cat);
        for (file_t **f : {&state.spans, &state.reader, &state.gaps, &state.names})
            file_free(f);
        if (nameseq_ctx *ctx = nameseq_context(); ctx != nullptr && ctx->store == record)
            ctx->store = nullptr;
    }
    int finish(fs_record *record) override { return cbr_end_of_scan(record); }

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
    record->id_root = 1;
    catdb_set_id_root(&record->cat, 1);
    std::snprintf(record->prefix, sizeof record->prefix, "%s", "CBR");
    std::snprintf(record->fs_name, sizeof record->fs_name, "%s", "CBR");
    std::snprintf(record->display_name, sizeof record->display_name, "%s", cbr_root_name());
    if (nameseq_ctx *ctx = nameseq_context())
        ctx->store = record;
    return fs_make_folder(record);
}

fil_module *cbr_describe()
{
    fil_module *module = fil_module_get_or_create(FIL_MODULE_CBR, sizeof(fil_module));
    if (module == nullptr)
        return nullptr;
    module->fs_init = cbr_fs_init;
    module->enabled = 1;
    if (fs_register_type(module, FS_TYPE_STORE, FS_RECORD_COMMON_SIZE) != 0)
        return nullptr;
    return module;
}
