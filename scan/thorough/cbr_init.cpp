// Engine start of the thorough-scan component: the built-in module source,
// the top folder name, the process's naming context with its eight
// category folders, the "cbr " module, the preferences of the file modules,
// the registry's store hooks and the "PrefsChanged" observer.
//
// Preferences registered (node, property, default, flags). Each category
// node is the localized "File Modules" + "/" + the localized category name;
// "Archives" gets none, "Text" a node without properties.
//
//   File Modules                     enabled 1 (2), max_file_size 100 MiB (2)
//   Text                             -
//   Movies                           enabled 1 (1), min_image_dim 64 (0), max_file_size 10 GiB (0)
//   Misc, Mail, Documents, Audio     enabled 1 (1), max_file_size 1 GiB (1)
//   Images                           enabled 1 (1), min_image_dim 64 (0), max_file_size 1 GiB (1)
//   Scanning                         max_dir_entries 10000 (2)
//   Scanning/Reconstructed Files     max_dir_entries 10000 (1)
//
// max_dir_entries lives in three places: "Scanning", "Scanning/CBR" (read
// into the store's record like every found file system's) and
// "Scanning/Reconstructed Files". The numbering of recovered names reads
// the last one, again at every thorough scan (nameseq_reset).
//
// Implementation notes
// - The naming context and the categories are made once and live for the
//   process. The rest runs on every call: tests clear the module registry
//   and the types between cases, and a second engine start must find "cbr "
//   registered again; each step is idempotent.
#include <cstdio>
#include <mutex>
#include <string>

#include "foundation/log.h"
#include "foundation/module_source.h"
#include "foundation/notify.h"
#include "foundation/prefs.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "scan/path_index.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"

namespace {

std::mutex g_init_mutex;
nameseq_ctx *g_naming = nullptr;
nameseq_node *g_categories[NAMESEQ_CATEGORIES] = {};
char g_root_name[128] = {};

// In the order of nameseq_category.
const char *const kCategoryNames[NAMESEQ_CATEGORIES] = {"Archives", "Images",    "Audio", "Movies",
                                                        "Text",     "Documents", "Mail",  "Misc"};

// One category's preference node.
struct category_prefs {
    nameseq_category category;
    bool properties;         // false: the node only
    int enabled_flags;
    bool min_image_dim;      // has "min_image_dim" (default 64, flags 0)
    int64_t max_file_size;
    int max_file_size_flags;
};

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kGiB = 1 << 30;

// In the order they are registered.
const category_prefs kCategoryPrefs[] = {
    {NAMESEQ_TEXT, false, 0, false, 0, 0},
    {NAMESEQ_MOVIES, true, 1, true, 10 * kGiB, 0},
    {NAMESEQ_MISC, true, 1, false, kGiB, 1},
    {NAMESEQ_MAIL, true, 1, false, kGiB, 1},
    {NAMESEQ_IMAGES, true, 1, true, kGiB, 1},
    {NAMESEQ_DOCUMENTS, true, 1, false, kGiB, 1},
    {NAMESEQ_AUDIO, true, 1, false, kGiB, 1},
};

std::string joined(const char *first, const char *second)
{
    std::string path = localize_cstring(first);
    path += '/';
    path += second;
    return path;
}

void register_prefs()
{
    PropNode *modules = prop_node(localize_cstring("File Modules"), PROP_NODE_CREATE);
    prop_get_ll(modules, &prop_schema_enabled, 1, 2);
    prop_get_ll(modules, &prop_schema_max_file_size, 100 * kMiB, 2);
    for (const category_prefs &row : kCategoryPrefs) {
        const char *name = localize_cstring(kCategoryNames[row.category]);
        PropNode *node = prop_node(joined("File Modules", name).c_str(), PROP_NODE_CREATE);
        path_index_register(name, 0, 0);
        if (!row.properties)
            continue;
        prop_get_ll(node, &prop_schema_enabled, 1, row.enabled_flags);
        if (row.min_image_dim)
            prop_get_ll(node, &prop_schema_min_image_dim, 64, 0);
        prop_get_ll(node, &prop_schema_max_file_size, row.max_file_size, row.max_file_size_flags);
    }
    prop_get_ll(prop_node(localize_cstring("Scanning"), PROP_NODE_CREATE), &prop_schema_max_dir_entries, 10000, 2);
    nameseq_register_prefs();
}

void prefs_changed(const char *, std::uintptr_t, void *)
{
    prefs_begin_update();
    fil_module_load_all_prefs();
    prefs_end_update();
}

cbr_span *hook_current_span(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    return store != nullptr ? &store->span : nullptr;
}

const char *hook_next_name(nameseq_node *folder)
{
    return nameseq_next_name(folder);
}

const fil_store_hooks kStoreHooks = {hook_current_span, cbr_write_span, hook_next_name, nameseq_add_now};

// The naming context and its categories, made on the first call.
void make_naming()
{
    if (g_naming != nullptr)
        return;
    g_naming = nameseq_new();
    g_naming->folder_callback = cbr_folder_callback;
    g_naming->file_callback = cbr_file_callback;
    for (int i = 0; i < NAMESEQ_CATEGORIES; i++) {
        const char *name = localize_cstring(kCategoryNames[i]);
        g_categories[i] = nameseq_find(g_naming, &name, 1, true);
    }
}

} // namespace

int cbr_init()
{
    std::lock_guard<std::mutex> lock(g_init_mutex);
    prop_use_builtin_source();
    std::snprintf(g_root_name, sizeof g_root_name, "%s", localize_cstring("Reconstructed Files"));
    make_naming();
    if (cbr_describe() == nullptr) {
        log_error("%s: can't register the \"cbr \" module", "cbr_init");
        return -1;
    }
    register_prefs();
    fil_module_set_store_hooks(&kStoreHooks);
    notification_add_observer("PrefsChanged", prefs_changed, nullptr);
    return 0;
}

const char *cbr_root_name()
{
    return g_root_name[0] != '\0' ? g_root_name : "Reconstructed Files";
}

nameseq_ctx *nameseq_context()
{
    return g_naming;
}

nameseq_node *nameseq_category_node(nameseq_category category)
{
    if (category < 0 || category >= NAMESEQ_CATEGORIES)
        return nullptr;
    return g_categories[category];
}
