// The "gfm " record as the scan finds it (see gfm_paths.h).
#include "scan/thorough/gfm_paths.h"

gfm_module *gfm_module_of(fil_module *module)
{
    // The registered record, and only when it was made with the size of a
    // gfm record (asking for that size again finds it, or refuses it logged).
    if (module == nullptr || module->id != FIL_MODULE_GFM || fil_module_find(FIL_MODULE_GFM) != module ||
        fil_module_get_or_create(FIL_MODULE_GFM, sizeof(gfm_module)) != module)
        return nullptr;
    return reinterpret_cast<gfm_module *>(module);
}

int gfm_module_paths(std::vector<cbr_fmlist_entry> *list)
{
    gfm_module *gfm = gfm_module_of(fil_module_find(FIL_MODULE_GFM));
    if (gfm == nullptr || gfm->add_paths == nullptr || list == nullptr)
        return 0;
    return gfm->add_paths(&gfm->base, list);
}
