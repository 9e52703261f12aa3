// The "gfm " module (see gfm.h).
#include "modules/gfm.h"

#include "scan/thorough/cbr_store.h"

namespace {

int add_no_paths(fil_module *, std::vector<cbr_fmlist_entry> *)
{
    return 0;
}

} // namespace

fil_module *gfm_describe()
{
    fil_module *module = fil_module_get_or_create(FIL_MODULE_GFM, sizeof(gfm_module));
    if (module == nullptr)
        return nullptr;
    module->filter = FIL_FILTER_1;
    module->prefilter = cbr_prefilter_refuse_all;
    module->enabled = 1;
    reinterpret_cast<gfm_module *>(module)->add_paths = add_no_paths;
    return module;
}
