// The "fat " module and found-file-system type 4: the module record, the
// type's record setup and operations, boot-sector probes, the search for the
// volumes of a medium, and the thorough scan's detect, measure and attach.
//
// Where a FAT volume's boot sector is looked for
//
//   offset + 0                 the boot sector (FAT12/16/32)
//   offset + 6 x sector size   FAT32's backup copy; the sector size is not
//                              known while the first sector is unreadable,
//                              so 512, 1024, 2048 and 4096 are tried and a
//                              copy counts only when it declares the size
//                              it was found with
//
// offset is the start of each partition entry of the medium, or 0 for a
// medium without entries (a card formatted without a partition table, or a
// partition medium of its own). When no entry holds a volume offset 0 is
// tried too: a boot sector at offset 0 can read as a partition table.
//
// Implementation notes
// - The record's operations object (FatOps) owns the FAT state: the reader
//   used to parse boot sectors in memory, the volumes found, the volumes
//   walked into the catalog and the cached statements. fs_free runs
//   FatOps::free before it drops the object, so the catalog is closed (and
//   the statements finalized by the close hook) while the state still exists.
// - Thorough-scan detect runs once per medium block: a non-boot sector is
//   refused by parseBootSector's first checks (jump byte, signature).
#include "scan/fat/fat_scan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/log.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "scan/catalog/catalog_ops.h"
#include "scan/catalog/selection.h"
#include "scan/module.h"
#include "scan/recover/recover.h"
#include "scan/scan_context.h"
#include "storage/media.h"

namespace {

constexpr uint32_t kBootSectorBytes = 512;
constexpr uint32_t kBackupSectorSizes[] = {512, 1024, 2048, 4096};

class FatOps : public CatalogOps {
public:
    void free(fs_record *fs) override
    {
        // The close hook finalizes this state's statements: close while it lives.
        catdb_close(&fs->cat);
        state.boot_reader.reset();
    }
    int probe(fs_record *fs) override { return fat_detect(fs); }
    int probe2(fs_record *fs) override
    {
        fat_detect(fs);
        return fat_find_volumes(fs) == 0 ? 1 : 0;
    }
    int quick_scan(fs_record *fs) override { return fat_quickscan(fs); }
    int volume_name(fs_record *fs, char *out, size_t size) override { return fat_volume_label(fs, out, size); }
    int node_info(fs_record *fs, uint64_t keynum, NodeInfo *out, int flags) override
    {
        return fatdb_node_info(fs, (int64_t)keynum, out, flags & NODE_INFO_SELECTION_ONLY);
    }
    int node_extents(fs_record *fs, uint64_t keynum, int fork, std::vector<fs_extent> *out) override
    {
        return fat_node_extents(fs, keynum, fork, out);
    }

    fat_state state;
};

// The module record of the type's descriptor, when it is the "fat " module.
fil_module *fat_module_of(fs_record *fs)
{
    return fs != nullptr && fs->descriptor != nullptr && fs->descriptor->id == FIL_MODULE_FAT ? fs->descriptor
                                                                                                : nullptr;
}

// Reads n bytes at a byte offset of the medium (retained by the caller).
bool read_at(Media *media, int64_t offset, uint8_t *out, int64_t n)
{
    if (offset < 0 || media_seek(media, offset) != 0)
        return false;
    return media_read(media, out, n) == n;
}

// Copies text into a label field, cut at a UTF-8 character boundary.
void copy_label(char *out, size_t size, const std::string &text)
{
    size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && ((uint8_t)text[n] & 0xC0) == 0x80)
        n--;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

fat_state *fat_state_of(fs_record *fs)
{
    if (fs == nullptr)
        return nullptr;
    auto *ops = dynamic_cast<FatOps *>(fs->ops.get());
    return ops != nullptr ? &ops->state : nullptr;
}

// --- module and type ---------------------------------------------------------------------

int fat_refresh_enabled(fil_module *module)
{
    if (module == nullptr)
        return 1;
    char path[64];
    std::snprintf(path, sizeof path, "%s/%s", localize_cstring("Scanning"), "FAT");
    module->enabled = (int)prop_get_ll(prop_node(path, PROP_NODE_CREATE), &prop_schema_enabled, 1, 0) != 0 ? 1 : 0;
    return module->enabled;
}

static void fat_load_prefs(fil_module *module)
{
    fat_refresh_enabled(module);
}

// A boot sector opens with a jump instruction, 0xEB or 0xE9; the boot-sector
// check refuses any other first byte, so the thorough scan asks this module
// only about blocks that start with one of them.
static void fat_prefilter(fil_module *, int position, uint8_t allowed[256])
{
    if (position != 0)
        return;
    for (int b = 0; b < 256; b++)
        allowed[b] = b == 0xEB || b == 0xE9;
}

static int fat_scan_prepare(fil_module *module)
{
    if (module != nullptr && module->fs != nullptr)
        fat_refresh_enabled(module);
    return 0;
}

fil_module *fat_describe()
{
    fil_module *module = fil_module_get_or_create(FIL_MODULE_FAT, sizeof(fil_module));
    if (module == nullptr)
        return nullptr;
    module->filter = FIL_FILTER_FS;
    module->prefilter = fat_prefilter;
    module->fs_init = fat_fs_init;
    module->detect = fat_cbr_detect;
    module->measure = fat_cbr_measure;
    module->scan_attach = fat_scan_attach;
    module->scan_prepare = fat_scan_prepare;
    module->load_prefs = fat_load_prefs;
    if (fs_register_type(module, FS_TYPE_FAT, FS_RECORD_COMMON_SIZE) != 0)
        return nullptr;
    fat_refresh_enabled(module);
    return module;
}

int fat_fs_init(fs_record *fs)
{
    if (fs == nullptr)
        return -1;
    auto ops = std::make_unique<FatOps>();
    ops->state.boot_reader = std::make_unique<ZV::Fat>();
    fs->ops = std::move(ops);
    fs->cat.on_open_for_writing = fat_create_tables;
    fs->cat.on_close = fat_finalize_statements;
    fs->id_root = FAT_ID_ROOT;
    catdb_set_id_root(&fs->cat, FAT_ID_ROOT);
    std::snprintf(fs->prefix, sizeof fs->prefix, "%s", "FAT");
    std::snprintf(fs->fs_name, sizeof fs->fs_name, "%s", "FAT");
    return fs_make_folder(fs);
}

// --- volumes -------------------------------------------------------------------------------

int fat_open_boot_sector(fs_record *fs, const uint8_t *bytes, size_t size)
{
    if (bytes == nullptr || size < kBootSectorBytes)
        return 0;
    fat_state *state = fat_state_of(fs);
    ZV::Fat local;
    ZV::Fat *reader = &local;
    if (state != nullptr) {
        if (state->boot_reader == nullptr)
            state->boot_reader = std::make_unique<ZV::Fat>();
        reader = state->boot_reader.get();
    }
    int type = -1;
    if (!reader->parseBootSector(bytes, size, &type))
        return 0;
    if (state != nullptr) {
        copy_label(state->label, sizeof state->label, reader->volumeLabel().str());
        fs->subtype = (uint32_t)(type + 1);
    }
    return FAT_BOOT_SECTOR_MATCH;
}

int fat_detect(fs_record *fs)
{
    Media *media = fs != nullptr ? fs->media : nullptr;
    const int rc = media_retain(media);
    if (rc != 0) {
        log_error("Failed to retain media: %d", rc);
        return 0;
    }
    uint8_t sector[kBootSectorBytes];
    const bool yes = read_at(media, 0, sector, sizeof sector) &&
                     fat_open_boot_sector(fs, sector, sizeof sector) == FAT_BOOT_SECTOR_MATCH;
    media_release(media);
    return yes ? 1 : 0;
}

int fat_probe_volume(fs_record *fs, int64_t offset, fat_volume *out)
{
    Media *media = fs != nullptr ? fs->media : nullptr;
    fat_state *state = fat_state_of(fs);
    if (media == nullptr || state == nullptr || offset < 0)
        return -1;
    uint8_t sector[kBootSectorBytes];
    fat_volume found;
    found.offset = offset;
    if (read_at(media, offset, sector, sizeof sector) &&
        fat_open_boot_sector(fs, sector, sizeof sector) == FAT_BOOT_SECTOR_MATCH) {
        found.subtype = fs->subtype;
        std::memcpy(found.label, state->label, sizeof found.label);
    } else {
        bool ok = false;
        for (uint32_t size : kBackupSectorSizes) {
            if (offset > INT64_MAX - (int64_t)ZV::Fat::kBackupBootSector * size)
                break;
            const int64_t at = offset + (int64_t)ZV::Fat::kBackupBootSector * size;
            if (read_at(media, at, sector, sizeof sector) &&
                fat_open_boot_sector(fs, sector, sizeof sector) == FAT_BOOT_SECTOR_MATCH &&
                state->boot_reader->bytesPerSector() == size) {
                ok = true;
                break;
            }
        }
        if (!ok)
            return -1;
        found.backup = true;
        found.subtype = fs->subtype;
        std::memcpy(found.label, state->label, sizeof found.label);
    }
    if (out != nullptr)
        *out = found;
    return 0;
}

int fat_find_volumes(fs_record *fs)
{
    fat_state *state = fat_state_of(fs);
    Media *media = fs != nullptr ? fs->media : nullptr;
    if (state == nullptr)
        return -1;
    const int rc = media_retain(media);
    if (rc != 0) {
        log_error("Failed to retain media: %d", rc);
        log_error("FNCC media could not be opened (%d)", rc);
        return -7;
    }
    state->volumes.clear();
    auto probe = [&](int64_t offset) {
        for (const fat_volume &known : state->volumes)
            if (known.offset == offset)
                return;
        fat_volume volume;
        if (fat_probe_volume(fs, offset, &volume) == 0)
            state->volumes.push_back(volume);
    };
    const int entries = media_partition_count(media);
    for (int i = 0; i < entries; i++) {
        const media_partition_entry *entry = media_partition_at(media, i);
        if (entry != nullptr && entry->start >= 0 && entry->start < media_length(media))
            probe(entry->start);
    }
    if (state->volumes.empty())
        probe(0);
    media_release(media);
    if (!state->volumes.empty()) {
        // The label and subtype the record reports are the first volume's.
        std::memcpy(state->label, state->volumes.front().label, sizeof state->label);
        fs->subtype = state->volumes.front().subtype;
    }
    return state->volumes.empty() ? -1 : 0;
}

int fat_volume_label(fs_record *fs, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return -1;
    out[0] = '\0';
    fat_refresh_enabled(fat_module_of(fs));
    const int rc = fat_find_volumes(fs);
    fat_state *state = fat_state_of(fs);
    if (rc == 0 && state != nullptr && state->label[0] != '\0')
        copy_label(out, size, state->label);
    return rc;
}

// --- thorough-scan hooks -----------------------------------------------------------------------

int fat_cbr_detect(fil_module *module, const uint8_t *block, int32_t size)
{
    if (module == nullptr || module->enabled != 1 || block == nullptr || size < (int32_t)kBootSectorBytes)
        return 0;
    if (fat_open_boot_sector(module->fs, block, (size_t)size) != FAT_BOOT_SECTOR_MATCH)
        return 0;
    Media *media = scx_media(module->scan);
    fs_record *store = module->scan != nullptr ? module->scan->store : nullptr;
    const fil_store_hooks hooks = fil_module_store_hooks();
    cbr_span *span = store != nullptr && hooks.current_span != nullptr ? hooks.current_span(store) : nullptr;
    if (media == nullptr || span == nullptr)
        return 0;
    std::memset(span, 0, sizeof *span);
    span->start = span->end = (uint64_t)media_data_pos(media);
    span->module_id = module->id;
    span->subtype = FAT_SPAN_SUBTYPE;
    span->result = FAT_SPAN_SCORE;
    if (hooks.write_span != nullptr)
        hooks.write_span(store);
    return 1;
}

int fat_cbr_measure(fil_module *module)
{
    static const char *const fn = "fat_cbr_measure";
    if (module == nullptr)
        return 2;
    Media *media = scx_media(module->scan);
    if (media == nullptr && module->fs != nullptr)
        media = module->fs->media;
    if (media == nullptr || module->start_pos > (uint64_t)INT64_MAX)
        return 2;
    const int rc = media_seek(media, (int64_t)module->start_pos);
    if (rc != 0)
        return rc;
    if (module->cur_subtype != FAT_SPAN_SUBTYPE)
        return 0;
    if (module->fs == nullptr) {
        log_error("%s: no FAT file system for the scan", fn);
        return 2;
    }
    return fat_walk_span(module->fs, (int64_t)module->start_pos);
}

int fat_scan_attach(fil_module *module)
{
    if (module == nullptr || module->scan == nullptr || module->scan->scan_type != SCX_TYPE_THOROUGH)
        return 0;
    for (const std::shared_ptr<fs_record> &fs : module->scan->fs_list)
        if (fs != nullptr && fs->type == FS_TYPE_FAT && fat_state_of(fs.get()) != nullptr) {
            module->fs = fs.get();
            return 0;
        }
    std::shared_ptr<fs_record> fs = fs_new_of_type(module->scan, FS_TYPE_FAT);
    if (fs == nullptr) {
        log_error("%s: can't make the FAT file system", "fat_scan_attach");
        return -1;
    }
    module->fs = fs.get(); // the scan's list keeps it
    return 0;
}
