// The scan-context reader on arbitrary bytes: the input is written as the
// "context" archive of slot 1 of a scratch workspace, and the slot is loaded
// as at start-up (scx_load_slot: scx_init_with_archive, the found file
// systems of types 2 and 4 made with the indexes the archive names, their
// "fs" blocks, "key" and "treeinfo"), then deleted. Checked besides memory
// safety: the workspace holds nothing but the slot folder while loaded, and
// nothing at all (and no live record or scan) once the scan is deleted; a
// sentinel beside the workspace keeps its one file.
//
// An input that begins like a saved scan file (a FileArch header, or gzip's
// magic) is loaded as one instead (scx_load_scans into the scratch
// workspace), and each scan it loaded is listed and deleted. Checked
// besides: nothing is written outside the workspace, no member lands whose
// path names one of SQLite's side files of a database ("-journal", "-wal",
// "-shm"), and the workspace is empty again once the scans are deleted.
//
// Seeds (corpus/scan_context/) are "context" files written by scx_archive:
// a finished quick scan with one and with two FAT file systems and a medium,
// and a thorough scan holding the store and a FAT volume; and a saved scan
// file made by the FileArch writer whose catalog folder holds a journal
// (tests/scan/test_file_arch.cpp checks that one).
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/dirutil.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "scan/catalog/fs_record.h"
#include "scan/module.h"
#include "scan/scan_context.h"
#include "scratch_support.h"

namespace {

using fuzzsupport::entries;
using fuzzsupport::require;

int init_fat(fs_record *record)
{
    std::snprintf(record->prefix, sizeof record->prefix, "FAT");
    std::snprintf(record->fs_name, sizeof record->fs_name, "FAT");
    record->id_root = 1;
    return fs_make_folder(record);
}

int init_store(fs_record *record)
{
    std::snprintf(record->prefix, sizeof record->prefix, "CBR");
    std::snprintf(record->fs_name, sizeof record->fs_name, "Reconstructed");
    record->id_root = 1;
    return fs_make_folder(record);
}

struct Scratch : fuzzsupport::WorkspaceScratch {
    Scratch()
    {
        fil_module *fat = fil_module_get_or_create(FIL_MODULE_FAT, sizeof(fil_module));
        fil_module *cbr = fil_module_get_or_create(FIL_MODULE_CBR, sizeof(fil_module));
        require(fat != nullptr && cbr != nullptr);
        fat->fs_init = init_fat;
        cbr->fs_init = init_store;
        require(fs_register_type(fat, FS_TYPE_FAT, FS_RECORD_COMMON_SIZE) == 0);
        require(fs_register_type(cbr, FS_TYPE_STORE, FS_RECORD_COMMON_SIZE) == 0);
    }
};


// Whether any name below path ends like a database side file.
bool holds_side_file(const std::string &path)
{
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        for (char &c : name)
            c = (char)std::tolower((unsigned char)c);
        for (const char *suffix : {"-journal", "-wal", "-shm"}) {
            const size_t n = std::strlen(suffix);
            if (name.size() >= n && name.compare(name.size() - n, n, suffix) == 0)
                return true;
        }
    }
    return false;
}

void load_saved_scan(Scratch &s, const uint8_t *data, size_t size)
{
    const std::string file = s.root + "/input.scan";
    fuzzsupport::write_file(file, data, size);
    int loaded = -1;
    const int rc = scx_load_scans(file.c_str(), nullptr, 0, s.workspace, &loaded);
    require(rc == 0 || rc == -1 || rc == -11);
    require(loaded >= 0 && (size_t)loaded == scx_live_slots().size());
    require(!holds_side_file(s.ws));
    for (uint32_t slot : scx_live_slots()) {
        std::vector<NodeInfo> list;
        require(scx_children(keyref_scan(slot), &list) == 0);
    }
    std::remove(file.c_str());
    require(scx_delete_all() == 0);
    require(scx_live_slots().empty() && fs_live_count() == 0);
    require(entries(s.ws).empty());
    require(entries(s.root).size() == 2); // the workspace and the sentinel
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Scratch s;
    if ((size >= 8 && std::memcmp(data, "FileArch", 8) == 0) || (size >= 2 && data[0] == 0x1f && data[1] == 0x8b)) {
        load_saved_scan(s, data, size);
        return 0;
    }
    const std::string slot = s.ws + "/Scan.01";
    require(make_dir_path(slot.c_str()) == 0);
    fuzzsupport::write_file((slot + "/context"), data, size);

    ScanContext *scan = nullptr;
    require(scx_load_slot(s.workspace, 1, &scan) == 0 && scan != nullptr);
    require(scx_in_slot(1).get() == scan);
    require(entries(s.ws) == std::vector<std::string>{"Scan.01"});
    // What the front end asks of a loaded scan must hold up too.
    std::vector<NodeInfo> list;
    require(scx_children(keyref_scan(1), &list) == 0);
    std::vector<ScanInfo> infos = scx_copy_scan_infos();
    require(infos.size() == 1 && infos[0].slot == 1);
    uint64_t totals[5] = {};
    scx_get_tree_info(scan, totals);

    require(scx_delete_one(&scan, false) == 0);
    require(scan == nullptr && scx_live_slots().empty() && fs_live_count() == 0);
    require(entries(s.ws).empty());
    require(entries(s.root).size() == 2); // the workspace and the sentinel
    return 0;
}
