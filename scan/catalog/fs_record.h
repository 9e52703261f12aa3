// File systems found by a scan.
//
// Every file system a scan finds on a medium -- a FAT volume of the quick
// scan, the thorough-scan store of reconstructed files -- is an `fs_record`
// in its scan context (scan/scan_context.h). A record has a type (2 the
// thorough-scan store, 4 FAT) whose operations it carries, an index 1..255
// within its scan, a folder "<prefix>.<index>" ("FAT.1") in the scan's
// folder, and a catalog (`catdb`, scan/catalog/catdb.h) in that folder.
//
// Types register with fs_register_type; the type's descriptor is its file
// module record (scan/module.h), whose init operation gives a new record
// its operations (an `fs_ops` object: a base class whose methods return the
// results of an absent operation) and its folder (fs_make_folder).
//
// Saved form: block "fs" (type 1) of the scan's "context" archive, items in
// this order
//
//   fs_type long    index long      subtype long    id_root quad
//   fskey bytes 88  max_dir_entries quad            mode long   cat_mode long
//   selected bytes 40 (five u64)    recovered bytes 40 (five u64)
//   biggest_id quad recurse_depth long  filter long  options long
//   path bytes 268
//
// then the type's own items (its save operation) in the same block. Read
// back only when the scan archive's compat version is at least 4.
//
// Ownership and threads. Live records are held by shared pointers: in the
// process-wide live list (newest first, one mutex) and in their scan's list.
// Lookups (fs_from_keyref, fs_list_selected) hand out shared pointers, so a
// record found on a caller's thread stays valid while another thread
// deletes its scan. Each record has a recursive mutex that every fs_*
// operation below holds while it runs; fs_free takes it too, so it waits for
// an operation in progress, and afterwards the record is "dead": every
// operation fails with -1 (or returns NULL / 0) on it.
//
// Status codes: -1 no record, no operation or bad input; -10 no memory;
// -18 data beyond the medium. Error-list codes: 596 no memory for node
// data, 597 seek failure, 598 read failure, 653 node data beyond the medium.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "scan/catalog/catdb.h"

struct Media;
struct work_dir;
struct archive;
struct buf_t;
struct fil_module;
struct ScanContext;
struct path_index_entry;

enum : uint32_t {
    FS_TYPE_STORE = 2, // the thorough-scan store
    FS_TYPE_FAT = 4,
};

enum : int {
    FS_ERROR_NODE_DATA_MEMORY = 596,
    FS_ERROR_NODE_DATA_SEEK = 597,
    FS_ERROR_NODE_DATA_READ = 598,
    FS_ERROR_NODE_DATA_RANGE = 653,
};

constexpr size_t FS_NAME_SIZE = 64;
constexpr size_t FS_KEY_SIZE = 88;
constexpr size_t FS_PATH_SIZE = 268;
constexpr int64_t FS_DEFAULT_MAX_DIR_ENTRIES = 10000;

// NodeInfo flags.
enum : uint32_t {
    NODE_SELECTION_MASK = 3, // selection value (scan/catalog/selection.h)
    NODE_FOLDER = 4,
    NODE_CATALOG_FLAG_1 = 8,
    NODE_CATALOG_FLAG_2 = 16,
    NODE_HIDDEN = 0x400,
    NODE_DELETED = 0x1000,
    // A found file system's root whose catalog exists but can't be read
    // (damaged, foreign or of a newer layout): listed without children.
    NODE_DAMAGED_CATALOG = 0x4000,
};

// Flags of a node-information request.
enum : int {
    NODE_INFO_SELECTION_ONLY = 1, // refresh only the two selection bits
    NODE_INFO_SIZES = 2,          // the fork sizes are what is wanted
};

struct fs_extent {
    uint64_t start;  // byte position on the medium
    uint64_t length; // bytes
};

// What the engine hands to the front end for one node.
struct NodeInfo {
    uint64_t keyref = 0;        // the file system's base ORed with the keynum
    uint32_t media_id = 0;      // set by fs_node_info
    uint32_t flags = 0;         // NODE_* bits
    uint64_t child_count = 0;   // folders: children; files: 0
    int64_t date_modified = 0;  // seconds since 1970; <= 0 unknown
    int64_t date_created = 0;
    uint64_t data_size = 0;     // data fork
    int32_t rsrc_size = 0;      // resource fork
    std::string name;           // UTF-8, any length
    uint64_t keynum = 0;
    uint64_t parent = 0;        // parent keynum
    uint64_t start = 0;         // media position of the data, when known
    uint32_t hfs_type = 0, hfs_creator = 0;
    uint8_t has_data = 0;
    uint32_t num_extents = 0;   // extents the node has (may exceed 8)
    fs_extent extents[8] = {};  // the first eight
};

// The operations of a found-file-system type. Each default is the result of
// an absent operation.
class fs_ops {
public:
    virtual ~fs_ops() = default;
    // The type's own cleanup, run once by fs_free.
    virtual void free(fs_record *) {}
    virtual int post_process(fs_record *) { return 0; }
    // Does the record's medium hold this file system: non-zero yes.
    virtual int probe(fs_record *) { return 0; }
    virtual int probe2(fs_record *) { return 0; }
    virtual int scan_deleted(fs_record *) { return -1; }
    virtual int quick_scan(fs_record *) { return -1; }
    virtual int recover_marked(fs_record *, const char * /*target*/) { return -1; }
    virtual int unreached(fs_record *) { return -15; }
    virtual int recover_node(fs_record *, uint64_t /*keynum*/, const char * /*target*/, std::string * /*path*/,
                             uint64_t * /*size*/) { return -1; }
    virtual int select(fs_record *, const int64_t * /*list*/, size_t /*count*/, uint32_t /*value*/) { return -1; }
    virtual int num_children(fs_record *, uint64_t /*keynum*/) { return 0; }
    virtual int node_info(fs_record *, uint64_t /*keynum*/, NodeInfo *, int /*flags*/) { return -1; }
    virtual int children(fs_record *, uint64_t /*keynum*/, std::vector<NodeInfo> *) { return -1; }
    // The fork's extents in bytes on the medium, in file order.
    virtual int node_extents(fs_record *, uint64_t /*keynum*/, int /*fork*/, std::vector<fs_extent> *) { return -1; }
    virtual int alloc_geometry(fs_record *, uint64_t * /*unit*/, uint64_t * /*data_start*/) { return -1; }
    virtual void *copy_abl(fs_record *) { return nullptr; }
    virtual void set_abl(fs_record *, void *) {}
    virtual int abl_count(fs_record *) { return -1; }
    virtual int volume_name(fs_record *, char * /*out*/, size_t /*size*/) { return -1; }
    // End of a scan (the scan driver runs it for every file system).
    virtual int finish(fs_record *) { return 0; }
    // Flushes files the type keeps open before its folder is saved.
    virtual int flush(fs_record *) { return 0; }
    virtual int save_extra(fs_record *, archive *) { return 0; }
    virtual int load_extra(fs_record *, archive *) { return 0; }
    virtual void prefs_changed(fs_record *) {}
    virtual int ext_attr(fs_record *, uint64_t /*keynum*/) { return 0; }
};

struct fs_record : std::enable_shared_from_this<fs_record> {
    fs_record();
    ~fs_record();
    fs_record(const fs_record &) = delete;
    fs_record &operator=(const fs_record &) = delete;

    char prefix[FS_NAME_SIZE] = {};       // folder prefix ("FAT")
    char fs_name[FS_NAME_SIZE] = {};      // shown in "Found Files (%s)"
    char display_name[FS_NAME_SIZE] = {};
    fil_module *descriptor = nullptr;     // the type's module record
    std::unique_ptr<fs_ops> ops;          // never null
    ScanContext *scan = nullptr;          // cleared by fs_free
    uint32_t slot = 0;                    // the scan's slot, for keyrefs
    uint32_t type = 0;                    // FS_TYPE_*
    Media *media = nullptr;               // the scan's medium at creation (not owned)
    work_dir *folder = nullptr;           // owned; "<prefix>.<index>" in the scan folder
    uint32_t index = 0;                   // 1..255 within the scan
    uint32_t subtype = 0;
    int64_t id_root = -1;                 // keynum of the root in the catalog
    uint8_t fskey[FS_KEY_SIZE] = {};      // owned by the type
    int64_t max_dir_entries = FS_DEFAULT_MAX_DIR_ENTRIES;
    uint32_t mode = 0, cat_mode = 0;      // owned by the type
    uint64_t recovered[5] = {};           // recovery counters
    int64_t biggest_id = 0;
    uint32_t recurse_depth = 0, filter = 0;
    uint32_t options = 0;                 // bit 0: name recovered files by number
    uint8_t path[FS_PATH_SIZE] = {};      // owned by the type
    int keyed = 0;                        // its "key" file was read
    int has_children = 0;                 // set by the type when its catalog has nodes
    // Byte ranges of the medium (offset, length) the type's reader could
    // not read while it walked the file system into the catalog, so a
    // quick scan can tell which parts it may have listed incompletely.
    std::vector<std::pair<int64_t, int64_t>> unreadable;
    catdb cat = {};                       // the catalog (its state holds the
                                          // root selection, the selection counters
                                          // and the children-state histogram)
    std::vector<uint8_t> type_fields;     // bytes of the record size beyond the common fields
    std::recursive_mutex mutex;           // held by every fs_* operation
    bool dead = false;                    // set by fs_free
    bool linked = false;                  // in the live list
};

// Size of the common fields: the smallest record size a type may register.
constexpr uint32_t FS_RECORD_COMMON_SIZE = (uint32_t)sizeof(fs_record);

// --- types ---------------------------------------------------------------------------

struct fs_type_entry {
    fil_module *descriptor;
    uint32_t code;
    uint32_t record_size;
};

// -1 for a record size below FS_RECORD_COMMON_SIZE or a NULL descriptor;
// a registered code gets the new descriptor; otherwise added in front. The
// descriptor learns its code (fs_type). 0 on success.
int fs_register_type(fil_module *descriptor, uint32_t code, uint32_t record_size);
// The registered types, newest first.
std::vector<fs_type_entry> fs_types();
// Forgets every type (tests).
void fs_unregister_all_types();

// --- records ---------------------------------------------------------------------------

// A record of a type in a scan: index 0 takes the lowest free index of the
// scan, 1..255 reserves that one (refused when taken or out of range). The
// type's init runs; a non-zero result refuses the record. NULL on failure.
std::shared_ptr<fs_record> fs_record_new(ScanContext *scan, const fs_type_entry &type, uint32_t index);
std::shared_ptr<fs_record> fs_new_of_type(ScanContext *scan, uint32_t code);
std::shared_ptr<fs_record> fs_new_with_index(ScanContext *scan, uint32_t code, uint32_t index);
// Makes the folder "<prefix>.<index>" in the scan's folder, points the
// catalog at it and links the record into the live list. 0 or -1. A record
// of a prescan context (which has no folder) is linked without one.
int fs_make_folder(fs_record *record);
// Takes the record out of its scan and the live list, runs its free
// operation, closes the catalog and marks it dead; *record is cleared.
void fs_free(std::shared_ptr<fs_record> *record);

// The first type whose probe (then second probe) accepts the scan's medium.
std::shared_ptr<fs_record> fs_identify(ScanContext *scan);
// Quick scan with each type in registry order (see fs_record.cpp).
int fs_quick_scan(ScanContext *scan);
// Prescan of a medium: file-system code and volume name (see fs_record.cpp).
int scx_prescan_media(Media *media);

// The live record named by the keyref's slot and index; empty when none.
std::shared_ptr<fs_record> fs_from_keyref(uint64_t keyref);
// The live record of a node's or file-system root's keyref, with the node's
// keynum in *keynum (may be NULL); empty for any other keyref.
std::shared_ptr<fs_record> fs_of_node(uint64_t keyref, uint64_t *keynum);
// Live records whose root selection is not 0, in live-list order.
std::vector<std::shared_ptr<fs_record>> fs_list_selected();
// Number of live records.
size_t fs_live_count();

// --- operations (each holds the record's mutex) -------------------------------------------

int fs_node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int flags);
int fs_node_children(fs_record *record, uint64_t keynum, std::vector<NodeInfo> *out);
// 0 for a failure or a fork other than 0 and 1.
uint64_t fs_node_fork_size(fs_record *record, uint64_t keynum, int fork);
// Up to count bytes of the fork from position, read over its extents from
// the medium. NULL when nothing could be read (detached medium, no extents,
// position at or past the fork's size, count <= 0); the result may be shorter
// than asked: it stops at the fork's size, at the end of the extents, or at
// a failure, and *status (when given) says which: 0, or the failure's code
// (-10, -18, a seek or read code). Callers must check the status of a
// partial result.
buf_t *fs_node_data(fs_record *record, uint64_t keynum, int64_t position, int64_t count, int fork, int *status);
int fs_select_nodes(fs_record *record, const int64_t *list, size_t count, uint32_t value);
// Saves the record's ticks now ("sel-state", written by a background
// thread after each change otherwise). 0, or non-zero with errno telling
// why the workspace refused it.
int fs_save_selection(fs_record *record);
// Recovery (scan/recover/recover.h). fs_recover_node sets the record's
// options word to options while it runs (bit 0: numbered names), pushes a
// progress task and runs the type's recover-node operation when the file
// system is recoverable (-1 otherwise); *size gets the bytes recovered.
// fs_recover_marked returns 0 at once when nothing is selected, -1 when not
// recoverable, and recovers into target joined with the display name.
int fs_recover_node(fs_record *record, uint64_t keynum, const char *target, std::string *path, uint64_t *size,
                    uint32_t options = 0);
int fs_recover_marked(fs_record *record, const char *target);
int fs_num_children(fs_record *record, uint64_t keynum);
int fs_scan_deleted(fs_record *record);
int fs_finish(fs_record *record);
int fs_post_process(fs_record *record);
int fs_flush(fs_record *record);
int fs_volume_name(fs_record *record, char *out, size_t size);
int fs_alloc_geometry(fs_record *record, uint64_t *unit, uint64_t *data_start);
void *fs_copy_abl(fs_record *record);
int fs_abl_count(fs_record *record);
void fs_set_abl(fs_record *record, void *abl);
int fs_node_ext_attr(fs_record *record, uint64_t keynum);
// The scan is done and its medium matched.
bool fs_is_recoverable(fs_record *record);

// Adds the record's five selection counters.
void fs_add_tree_info(fs_record *record, uint64_t totals[5]);
int fs_get_selected(fs_record *record, uint64_t out[5]);
int fs_set_selected(fs_record *record, const uint64_t in[5]);
uint32_t fs_root_selection(fs_record *record);
// "Found Files" / "Found Files (%s)" for other types than the store.
void fs_set_display_name(fs_record *record, bool many);
uint32_t fs_table_code(const fs_record *record);   // type << 4 | subtype
uint64_t fs_keyref_base(const fs_record *record);  // slot << 56 | type << 52 | index << 40

// --- saved form (fs_record_archive.cpp) ---------------------------------------------------

int fs_archive(fs_record *record, archive *a);
// compat version from scx_archive_compat(a).
int fs_unarchive(fs_record *record, archive *a);

// --- preferences ---------------------------------------------------------------------------

// Registers the preference nodes, observes "PrefsChanged" and applies the
// preferences to every live record. Once per process; later calls apply only.
void fs_prefs_init();
// Reads "max_dir_entries" into the record and the Recovery values into its
// descriptor, then runs its preferences-changed operation.
void fs_apply_prefs(fs_record *record);

// Registers a catalog folder path in the path index (no parents) and adds its
// entry once to the module's folder list. The entry, or NULL when refused.
const path_index_entry *fil_module_add_folder(fil_module *module, const char *path);
