// The thorough-scan store's state-archive reader on arbitrary bytes: the
// input is loaded as a record archive (archive_load_memory), marked with the
// compat version of a current scan archive, and read by cbr_unarchive into
// the store of a thorough scan in a scratch workspace. The "gfm " module
// hands out a small module list, so archived lists meet entries to match
// and translate. What was read back is then used: every ring record goes
// through the translation, a name is written to a reopened names file, and
// the store is saved again.
//
// Checked besides memory safety: a failed read leaves the store as it was
// made; the ring indexes stay inside the ring; files are opened for writing
// only inside the store's folder (a sentinel beside the workspace keeps its
// one file); saving what was read back succeeds; and once the scan is
// deleted the workspace is empty.
//
// Seeds (corpus/cbr_archive/): archives written by cbr_archive of a store
// with state, open files and an empty module list, and of one whose module
// list holds entries to translate and an entry without its NUL.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/archive.h"
#include "foundation/file.h"
#include "foundation/workdir.h"
#include "modules/gfm.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"
#include "scan/thorough/cbr_store.h"
#include "scratch_support.h"

namespace {

using fuzzsupport::entries;
using fuzzsupport::require;

cbr_fmlist_entry entry(const char *path, uint32_t id, uint16_t subtype)
{
    cbr_fmlist_entry e{};
    std::snprintf(e.path, sizeof e.path, "%s", path);
    e.id = id;
    e.subtype = subtype;
    return e;
}

int current_list(fil_module *, std::vector<cbr_fmlist_entry> *list)
{
    list->push_back(entry("Images/JPEG/.jpg", fil_module_code("jpeg"), 1));
    list->push_back(entry("Movies/MOV/.mov", fil_module_code("mov "), 1));
    list->push_back(entry(std::string(255, 'A').c_str(), fil_module_code("aaa "), 3));
    return 0;
}

struct Scratch : fuzzsupport::WorkspaceScratch {
    Scratch()
    {
        require(cbr_init() == 0);
        require(gfm_describe() != nullptr);
        gfm_module_of(fil_module_find(FIL_MODULE_GFM))->add_paths = current_list;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Scratch s;
    ScanContext *scan = scx_new(SCX_TYPE_THOROUGH, nullptr, s.workspace);
    require(scan != nullptr && scan->store != nullptr);
    fs_record *record = scan->store;
    cbr_store *store = cbr_store_of(record);
    require(store != nullptr);
    // The files a saved store names, so that reopening them in place can work.
    for (const char *name : {"spans", "gaps", "cbrnames"}) {
        file_t *f = dir_file_open(record->folder, name, "wb", 2);
        require(f != nullptr && file_write_full(f, "xx", 3) == 0 && file_free(&f) == 0);
    }

    archive *a = nullptr;
    if (archive_load_memory(data, size, &a) == 0) {
        scx_set_archive_compat(a, SCX_COMPAT_VERSION);
        const int rc = cbr_unarchive(record, a);
        archive_free(&a);
        require(store->ring_read < CBR_RING_SIZE && store->ring_write < CBR_RING_SIZE);
        if (rc != 0) {
            require(store->span_count == 0 && store->spans == nullptr && store->gaps == nullptr &&
                    store->names == nullptr && store->translations.empty());
        } else {
            for (cbr_span &span : store->ring)
                cbr_translate_span(record, &span);
            cbr_write_name(record, "IMG_0001.JPG");
            archive *again = archive_open(record->folder, "again", ARCHIVE_WRITE);
            require(again != nullptr);
            require(cbr_archive(record, again) == 0);
            require(archive_free(&again) == 0);
        }
    }

    require(scx_delete_one(&scan, false) == 0);
    require(scan == nullptr && scx_live_slots().empty() && fs_live_count() == 0);
    require(entries(s.ws).empty());
    require(entries(s.root).size() == 2); // the workspace and the sentinel
    return 0;
}
