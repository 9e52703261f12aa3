// The JPEG file module: registration, preferences and recognise (layout in
// jpeg.h; its detect is in jpeg_detect.cpp, its measure in jpeg_measure.cpp).
#include "modules/jpeg.h"

#include <cstdio>

#include "foundation/log.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "scan/path_index.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"

namespace {

// The type folder "JPEG" below the images category, made on first use;
// NULL until the naming tree exists.
nameseq_node *type_folder()
{
    const char *const path[] = {"JPEG"};
    nameseq_node *images = nameseq_category_node(NAMESEQ_IMAGES);
    return images != nullptr ? nameseq_find_in(images, path, 1, true) : nullptr;
}

int jpeg_scan_prepare(fil_module *module)
{
    jpeg_load_prefs(module);
    jpeg_module *jpeg = jpeg_module_of(module);
    if (jpeg == nullptr)
        return 0;
    if (jpeg->kinds[JPEG_SUBTYPE].type_folder == nullptr)
        jpeg->kinds[JPEG_SUBTYPE].type_folder = type_folder();
    jpeg_start_search_reset(&jpeg->search);
    return 0;
}

int jpeg_reset(fil_module *module)
{
    if (jpeg_module *jpeg = jpeg_module_of(module)) {
        jpeg->measured = 0;
        jpeg->not_measured = 0;
        jpeg->too_small = 0;
        jpeg->bytes_read = 0;
        jpeg_start_search_reset(&jpeg->search);
    }
    return 0;
}

int jpeg_end_spans(fil_module *module, int aborted)
{
    jpeg_module *jpeg = jpeg_module_of(module);
    if (jpeg == nullptr || (jpeg->measured | jpeg->not_measured | jpeg->too_small) == 0)
        return 0;
    log_info("jpeg: %llu files measured, %llu damaged or cut, %llu below min_image_dim%s",
             (unsigned long long)jpeg->measured, (unsigned long long)jpeg->not_measured,
             (unsigned long long)jpeg->too_small, aborted ? " (aborted)" : "");
    return 0;
}

} // namespace

void jpeg_load_prefs(fil_module *module)
{
    jpeg_module *jpeg = jpeg_module_of(module);
    if (jpeg == nullptr)
        return;
    char path[128];
    std::snprintf(path, sizeof path, "%s/%s", localize_cstring("File Modules"), localize_cstring("Images"));
    PropNode *node = prop_node(path, PROP_NODE_CREATE);
    jpeg->base.enabled = prop_get_ll(node, &prop_schema_enabled, 1, 1) != 0 ? 1 : 0;
    jpeg->max_file_size = prop_get_ll(node, &prop_schema_max_file_size, JPEG_DEFAULT_MAX_FILE_SIZE, 1);
    jpeg->min_image_dim = prop_get_ll(node, &prop_schema_min_image_dim, JPEG_DEFAULT_MIN_IMAGE_DIM, 0);
}

fil_module *jpeg_describe()
{
    jpeg_module *jpeg = reinterpret_cast<jpeg_module *>(fil_module_get_or_create(JPEG_MODULE_ID, sizeof(jpeg_module)));
    if (jpeg == nullptr)
        return nullptr;
    fil_module *module = &jpeg->base;
    module->filter = FIL_FILTER_1;
    module->prefilter = nullptr; // every block reaches the detect
    module->detect = jpeg_detect;
    module->detect_runs = 1;
    module->recognise = jpeg_recognise;
    module->extract = jpeg_extract;
    module->scan_prepare = jpeg_scan_prepare;
    module->end_blocks = jpeg_end_blocks;
    module->end_spans = jpeg_end_spans;
    module->reset = jpeg_reset;
    module->load_prefs = jpeg_load_prefs;
    fil_module_subtype &kind = jpeg->kinds[JPEG_SUBTYPE];
    kind.prefix = "";
    kind.extension = "jpg";
    if (kind.type_folder == nullptr)
        kind.type_folder = type_folder();
    module->subtypes = jpeg->kinds;
    module->subtype_count = JPEG_SUBTYPE_COUNT;
    jpeg->next_span = cbr_next_span;
    jpeg->raise_high_water = cbr_raise_high_water;
    jpeg_start_search_reset(&jpeg->search);
    char path[128];
    std::snprintf(path, sizeof path, "%s/JPEG/.jpg", localize_cstring("Images"));
    path_index_register(path, path_index_kind_key(JPEG_MODULE_ID, JPEG_SUBTYPE), PATH_INDEX_PARENTS);
    jpeg_load_prefs(module);
    return module;
}

int jpeg_recognise(fil_module *module, const uint8_t *block, int32_t size)
{
    // SOI, the first marker and its length must be in the block; the walk
    // then checks every segment header the block holds.
    if (block == nullptr || size < 6 || block[0] != 0xFF || block[1] != 0xD8 || block[2] != 0xFF ||
        !jpeg_first_marker_allowed(block[3]))
        return 0;
    jpeg_walk walk;
    jpeg_walk_init(&walk);
    jpeg_walk_feed(&walk, block, (size_t)size);
    if (walk.state == JPEG_WALK_DAMAGED)
        return 0;
    if (module != nullptr)
        module->cur_subtype = JPEG_SUBTYPE;
    return walk.identified ? JPEG_SCORE_IDENTIFIED : JPEG_SCORE;
}
