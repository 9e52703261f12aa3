// Scan contexts, their fifteen slots, and keyrefs.
//
// Every scan of a medium lives in a ScanContext held in one of 15
// process-wide slots. Slot n owns the folder "Scan.NN" (two digits) in the
// workspace; inside it are the saved context ("context", a record archive)
// and one folder per found file system ("FAT.1", ...), each with its "key"
// (88 bytes, the type's key area) and "treeinfo" (five u64 selection
// counters, 40 bytes, little-endian).
//
// keyref: the 64-bit key of every node the engine shows, from the top bit:
//
//   bits 60-63   0
//   bits 56-59   scan slot, 1 to 15
//   bits 52-55   file-system type (2 the thorough-scan store, 4 FAT)
//   bits 40-51   file-system index within the scan; only 1 to 255 are made
//   bits  0-39   keynum: the node id within the file system
//
// Reserved values:
//   0xFFFFFFFFFFFFFFFE             none, and the root above all scans
//   slot << 56 | 0xFF << 32 | 0xFFFFFFFD   a whole scan (type and index 0)
//   fs base | 0xFF << 32 | 0xFFFFFFFC      the root of a found file system
// Keynums 0xFFFFFFFFFC to 0xFFFFFFFFFF are reserved (root, scan, -, no node),
// so no node keyref can be mistaken for a scan or root keyref.
//
// ScanInfo (672 bytes, little-endian): the element of "ScanInfoList" in a
// saved scan file and of the list handed to the front end (which also gets
// the fields after media status, not packed):
//
//     0   4  slot                     4   4  scan number
//     8   4  media id                12   4  0
//    16  32  scan name, NUL-terminated (cut to 31 bytes at a character boundary)
//    48 512  media name, NUL-terminated (cut to 511 bytes likewise)
//   560   8  keyref of the scan     568   8  start time, seconds
//   576   8  stop time, seconds     584   8  bytes of the files in the scan folder
//   592   4  scan type              596   4  scan state
//   600   4  media status           604  68  0
//
// Locking. One mutex guards the slot table, the current-scan pointer and
// every scan's list of detached media paths. A context itself is used by
// one thread at a time apart from: its medium and media status (changed
// under the slot mutex by a device removal), and its file-system list,
// whose records are shared (scan/catalog/fs_record.h). Contexts are held by
// shared pointers in the slot table: scx_from_keyref hands out a shared
// pointer, so deleting a scan on one thread never frees it under another.
//
// Status codes: -1 failure or bad input, -3 short write, -4 a folder could
// not be removed, -11 not enough free slots, -12 bad argument / empty slot,
// -24 archive too old, -25 archive too new, -39 no free slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Media;
struct work_dir;
struct archive;
struct fs_record;
struct NodeInfo;
struct FileArch;

// --- keyrefs -------------------------------------------------------------------------

constexpr uint64_t KEYREF_NONE = 0xFFFFFFFFFFFFFFFEull;
constexpr uint32_t KEYREF_SCAN_LOW = 0xFFFFFFFDu;
constexpr uint32_t KEYREF_ROOT_LOW = 0xFFFFFFFCu;
constexpr uint64_t KEYNUM_MASK = 0xFFFFFFFFFFull;     // 40 bits
constexpr uint64_t KEYNUM_FS_ROOT = 0xFFFFFFFFFCull;  // the root of a found file system
constexpr uint64_t KEYNUM_NO_NODE = 0xFFFFFFFFFFull;  // ends an ancestor list
constexpr uint64_t KEYNUM_LAST = 0xFFFFFFFFFBull;     // largest keynum of a node
constexpr uint32_t SCX_SLOTS = 15;
constexpr uint32_t FS_INDEX_MAX = 255;

inline uint32_t keyref_slot(uint64_t keyref) { return (uint32_t)(keyref >> 56) & 0xF; }
inline uint32_t keyref_fs_type(uint64_t keyref) { return (uint32_t)(keyref >> 52) & 0xF; }
inline uint32_t keyref_fs_index(uint64_t keyref) { return (uint32_t)(keyref >> 40) & 0xFFF; }
inline uint64_t keyref_keynum(uint64_t keyref) { return keyref & KEYNUM_MASK; }

// What a keyref names.
enum keyref_kind : int {
    KEYREF_KIND_INVALID = -1,
    KEYREF_KIND_NONE = 0, // the root above all scans
    KEYREF_KIND_SCAN = 1,
    KEYREF_KIND_FS_ROOT = 2,
    KEYREF_KIND_NODE = 3,
};

struct keyref_parts {
    uint32_t slot;    // 1..15
    uint32_t type;    // 0..15
    uint32_t index;   // 1..255 (0 for a scan)
    uint64_t keynum;  // 40 bits
};

// The scan keyref of a slot; 0 for a slot outside 1..15.
uint64_t keyref_scan(uint32_t slot);
// slot << 56 | type << 52 | index << 40; 0 when a field is out of range
// (slot 1..15, type 0..15, index 1..255).
uint64_t keyref_fs_base(uint32_t slot, uint32_t type, uint32_t index);
// The keyref of a node: the base with the keynum. -1 (out untouched) for a
// field out of range or a reserved keynum other than KEYNUM_FS_ROOT.
int keyref_encode(uint32_t slot, uint32_t type, uint32_t index, uint64_t keynum, uint64_t *out);
// Splits a keyref. Returns its kind; KEYREF_KIND_INVALID for bits 60-63 set,
// slot 0, or (fs root and nodes) an index outside 1..255 or the reserved
// keynums 0xFFFFFFFFFD to 0xFFFFFFFFFF.
int keyref_decode(uint64_t keyref, keyref_parts *out);
// Bits 56-59 not 0, low word 0xFFFFFFFD, bits 32-39 all ones.
bool keyref_is_scan(uint64_t keyref);

// --- the context ------------------------------------------------------------------

enum : int {
    SCX_TYPE_QUICK = 1,
    SCX_TYPE_DELETED = 2,
    SCX_TYPE_THOROUGH = 3,
};
enum : int {
    SCX_STATE_RUNNING = 1,
    SCX_STATE_DONE = 2,
    SCX_STATE_ABORTED = 3,
};
// What a scan's medium is: a device (a card in its reader, a loop device)
// or an image or plain file (also a partition of one); unknown while only
// its saved copy is known.
enum : int {
    SCX_KIND_UNKNOWN = 0,
    SCX_KIND_DEVICE = 1,
    SCX_KIND_IMAGE = 2,
};
// status0 of a thorough scan that an early stop ended before the end of
// its medium (byte_pos: how far it read), of one whose card stopped
// answering (byte_pos: where, as the scan's end said), 0 otherwise.
constexpr int SCX_STATUS_STOPPED_EARLY = -6;
constexpr int SCX_STATUS_STOPPED_ANSWERING = -8;
enum : int {
    SCX_MEDIA_UNKNOWN = 0,
    SCX_MEDIA_ATTACHED = 1,
    SCX_MEDIA_DETACHED = 2,
    SCX_MEDIA_AMBIGUOUS = 3,
    SCX_MEDIA_INCOMPATIBLE = 4,
};

constexpr int SCX_COMPAT_VERSION = 4;

// Error-list codes.
enum : int {
    SCX_ERROR_PATH_COPY = 545,
    SCX_ERROR_NO_FS_INDEX = 571,
    SCX_ERROR_BAD_FS_INDEX = 582,
    SCX_ERROR_NO_SCAN_INFO = 583,
};

struct scx_time {
    int32_t seconds;      // since 1970
    int32_t microseconds;
};

struct ScanContext {
    int outside_slots = 0;          // a prescan context (no folder)
    uint32_t scan_number = 0;       // from the process-wide counter
    uint32_t slot = 0;              // 1..15 (0 for a prescan context)
    uint8_t fs_index_used[256] = {};// index 1..255 taken (0 unused)
    scx_time start_time = {};
    scx_time stop_time = {};
    char name[32] = {};             // "Scan %d"
    Media *media = nullptr;         // attached medium (not owned); NULL while detached
    // Owned copy read back from an archive. Shared so that a thread matching
    // it against the attached media keeps it while a device removal replaces
    // it or the scan is freed; changed under the slot mutex.
    std::shared_ptr<Media> saved_media;
    work_dir *folder = nullptr;     // owned folder object
    std::vector<std::shared_ptr<fs_record>> fs_list; // found file systems
    std::vector<std::string> detached_paths;         // under the slot mutex
    Media *pending_detach = nullptr; // removed during this scan's run: detached by scx_finish
    std::vector<std::string> failed_fs; // folders of file systems whose catalog failed (under the slot mutex)
    fs_record *store = nullptr;     // the thorough-scan store (also in fs_list)
    int scan_state = 0;             // SCX_STATE_*
    int media_status = 0;           // SCX_MEDIA_*
    int media_locked = 0;
    int16_t match_score[2] = {};
    int scan_type = 0;              // SCX_TYPE_*
    int64_t start_pos = 0, stop_pos = 0, byte_pos = 0, data_pos = 0;
    int status0 = 0;                // SCX_STATUS_STOPPED_EARLY, SCX_STATUS_STOPPED_ANSWERING or 0
    int scanned_here = 0;           // scanned in this process
    int num_children = 0;           // file systems with children
    int many_file_systems = 0;
    // The last save of the scan's state into its folder (scx_finish) failed:
    // the folder still says running. Its errno, 0 when unknown.
    int not_kept = 0;
    int not_kept_errno = 0;
};

// The packed ScanInfo record.
constexpr size_t SCAN_INFO_SIZE = 672;
struct ScanInfo {
    uint32_t slot;
    uint32_t scan_number;
    uint32_t media_id;
    char scan_name[32];
    char media_name[512];
    uint64_t keyref;
    int64_t start_seconds;
    int64_t stop_seconds;
    uint64_t folder_bytes;
    uint32_t scan_type;
    uint32_t scan_state;
    uint32_t media_status;
    // Not packed (0 when unpacked):
    uint32_t media_kind;     // SCX_KIND_*
    uint32_t stopped_early;  // 1: a thorough scan an early stop ended before the end of its medium
    uint64_t scanned_bytes;  // a scan stopped early: the bytes it read from the start of its medium;
                             // one whose card stopped answering: the byte where it did
    uint64_t medium_bytes;   // the length of the scan's medium
    uint32_t other_medium;   // 1: not attached, while another card or image (or this one written since) is
                             // attached at the path its medium was saved with
    uint32_t stopped_answering; // 1: a thorough scan whose card stopped answering
};
void scan_info_pack(const ScanInfo &info, uint8_t out[SCAN_INFO_SIZE]);
void scan_info_unpack(const uint8_t in[SCAN_INFO_SIZE], ScanInfo *info);
// The record of a scan; attached_only: media id and name only of an attached
// medium (as saved scan files keep them).
ScanInfo scan_info_of(const ScanContext *scan, bool attached_only);

// --- slots and lifecycle -------------------------------------------------------------

// A new scan in the first free slot ("Scan %d", state running, times now);
// scan types 2 and 3 also get the thorough-scan store (type 2). NULL when no
// slot is free or the store cannot be made.
ScanContext *scx_new(int scan_type, Media *media, work_dir *workspace);
// Takes the slot for scan (0: first free), makes its folder object under
// the workspace, raises the scan counter and names the scan "Scan %d"
// before the slot shows it to other threads. 0, or -39 when no slot is free / the slot is taken or
// out of range, -1 when the folder cannot be made.
int scx_slot_alloc(const std::shared_ptr<ScanContext> &scan, work_dir *workspace, uint32_t slot);
// Makes scan the current scan; start time now; copies the medium's window;
// archives it as started (a failure is logged).
void scx_begin(ScanContext *scan);
// Notes how far a thorough scan read (bytes from its medium's start) and
// whether an early stop ended it there, before scx_finish saves it.
void scx_note_reach(ScanContext *scan, int64_t scanned_bytes, bool stopped_early);
// Notes that the card of a thorough scan stopped answering at byte at of
// its medium, before scx_finish saves it (kept with the scan: listed in
// later runs and in saved scans).
void scx_note_stopped_answering(ScanContext *scan, int64_t at);
// Ends the current scan with a verdict (see scan_context.cpp). When the
// scan's state cannot be saved into its folder, the scan records it (see
// scx_not_kept).
void scx_finish(ScanContext *scan, int verdict);
// Whether the end of the scan's run could not be saved into its folder, so
// that the workspace still holds it as running; *errnum: why (0 unknown).
bool scx_not_kept(const ScanContext *scan, int *errnum);
ScanContext *scx_current();
// Deletes the scan and its folder; *scan is cleared. 0, -4, or -12 (nothing
// done) for a folder path that cannot be copied or the running scan (the
// current one until scx_finish).
int scx_delete(ScanContext **scan);
int scx_delete_one(ScanContext **scan, bool notify);
int scx_delete_all();
// Frees a context and its records; the slot folder stays (a prescan
// context's folder is removed). *scan is cleared.
void scx_free(ScanContext **scan);
// Frees every live scan (folders stay), writing "treeinfo" first for scans
// whose media status is not 0.
void scx_free_all();

// The live scan of the keyref's slot, or empty.
std::shared_ptr<ScanContext> scx_from_keyref(uint64_t keyref);
// The scan in a slot (1..15), or empty.
std::shared_ptr<ScanContext> scx_in_slot(uint32_t slot);
// Slots in use, ascending.
std::vector<uint32_t> scx_live_slots();
// Id of the attached medium, else of the saved copy, else 0 (under the slot mutex).
uint32_t scx_media_id(const ScanContext *scan);
// Scan state 2 (done) and media status 1 (matched), read under the slot mutex.
bool scx_is_recoverable(const ScanContext *scan);
// The attached medium; NULL for NULL or while detached.
Media *scx_media(const ScanContext *scan);
// The path the scan's medium had when the scan was saved, kept with its
// saved copy ("" for none, or while no saved copy is kept); read under the
// slot mutex. It names a file or device of the session that saved it: a
// caller checks what is there now before attaching it.
std::string scx_saved_media_path(const ScanContext *scan);
// Whether a plain image file of size bytes could hold the medium the scan
// was saved with: exactly its size for a whole medium, at least the end of
// its window for a partition. False without a saved copy.
bool scx_saved_media_fits(const ScanContext *scan, int64_t size);

// Gives a file system its index in the scan and appends it to the list:
// a record with an index (1..255) must find it free, one with index 0 gets
// the lowest free one. 0 or -1 (errors 582 / 571).
int scx_new_fs_index(ScanContext *scan, const std::shared_ptr<fs_record> &fs);
// Takes a file system out of the scan and frees its index.
void scx_remove_fs(ScanContext *scan, fs_record *fs);

// A context outside the slots that identifies the file system of a medium
// (dir: the workspace; NULL makes none). It has no folder and writes
// nothing, so a workspace that refuses writes recognises media the same way.
ScanContext *scx_new_prescan(Media *media, work_dir *dir);

// --- archives (scan_context_archive.cpp) -------------------------------------------------

// Writes "context", "key" and "treeinfo". 0 or the first failure (errno
// tells why). Success clears the scan's not-kept mark (scx_not_kept).
int scx_archive(ScanContext *scan);
// Writes the scan's state down before a save packs its folder. A failure
// fails the save (its code, errno telling why) only for a scan whose end the
// folder does not hold (scx_not_kept): for any other the folder holds what
// a later start would load, and a workspace that refuses writes (read-only)
// is still saved from (the failure is logged). 0 otherwise.
int scx_archive_for_save(ScanContext *scan);
// Writes "context" of a scan that starts: its medium, times, type and state
// without file systems. 0 or the first failure.
int scx_archive_started(ScanContext *scan);
// Reads a "context" archive into scan.
int scx_init_with_archive(ScanContext *scan, archive *a);
// The compat version of a scan archive being read (0 when unknown); the
// file-system readers test it.
int scx_archive_compat(const archive *a);
void scx_set_archive_compat(archive *a, int version);
// Writes "key" and "treeinfo" of one file system. 0, -1 or -3.
int scx_write_fs_files(fs_record *fs);
// Loads the slot folders of the workspace; the number loaded.
int scx_load_workspace_scans(work_dir *workspace);
// Loads one slot whose folder is in place: 0, or -39 when the slot is taken.
// A folder without "context" loads as a running scan without a medium.
int scx_load_slot(work_dir *workspace, uint32_t slot, ScanContext **out);

struct scx_rematch_change {
    uint32_t slot;
    int scan_state;
    int media_status;
};
// Matches every scan with a saved copy against the attached media.
std::vector<scx_rematch_change> scx_rematch_media();
// The user named `named` as the medium of scans without one: each scan
// still without its medium whose saved medium holds the same contents as
// `named` or one of its partitions, by media_same_contents (whatever the
// names: an image file renamed since), is given it, and its saved copy and
// "context" take that medium's name and path. The slots given it.
std::vector<uint32_t> scx_take_named_media(Media *named);
// Device removal: detaches every scan whose medium has that path; 1 when the
// current scan's own medium was removed during a command (abort requested,
// path recorded for scx_finish), else 0.
int scx_media_removed(const char *path, int kind);
// The running scan's own thread found its medium gone (a read failed the
// way a removed device fails, or the medium was detached): the removal of
// media (the medium it read; NULL: the scan's) is recorded as
// scx_media_removed records it for the running scan (abort requested, path
// kept for scx_finish, which takes the saved copy and detaches the medium),
// and every other scan of that path is detached. The verdict is then -30.
// 1 when the removal is recorded (now or before), 0 for NULL or a medium
// without a path.
int scx_media_gone(ScanContext *scan, Media *media);
// Saves the medium into the saved copy and clears it. 0 or -1.
int scx_detach_media(ScanContext *scan);

// --- saved scan files (scan_context_save.cpp) ---------------------------------------------

// Adds "ScanInfoList" and the named scans to an open container (all live
// scans for count 0 or the single keyref 0). The first error.
int scx_save_scans(FileArch *far, const uint64_t *keyrefs, size_t count);
// Loads scans from a saved scan file into free slots (see the source);
// *out: the scans loaded. SCX_TOO_FEW_SLOTS, with nothing loaded, when the
// file holds more scans than there are free slots: *room (when given) then
// says how many of each.
constexpr int SCX_TOO_FEW_SLOTS = -11;
struct scx_load_room {
    int saved = 0; // scans in the file
    int free = 0;  // free slots in the workspace
};
int scx_load_scans(const char *path, const uint64_t *keyrefs, size_t count, work_dir *workspace, int *out,
                   scx_load_room *room = nullptr);

// --- nodes (scan_context_nodes.cpp) --------------------------------------------------------

// Status of a recovery that could not read a file system's catalog.
constexpr int SCX_CATALOG_DAMAGED = -34;

// Children of the none keyref (the scans) or of a scan keyref (its file
// systems with children, and those whose cat.db is there but can't be read,
// flagged NODE_DAMAGED_CATALOG, without ticks or children); -1 for any other
// keyref.
int scx_children(uint64_t keyref, std::vector<NodeInfo> *out);
// Node information of any keyref (roots, scans, nodes of found file
// systems); the root of a damaged catalog is its listed root.
int scx_node_info(uint64_t keyref, NodeInfo *out, int flags);
// Whether the file system of a keyref (its root or a node) has a damaged
// catalog, listed with NODE_DAMAGED_CATALOG; *file (may be NULL) gets the
// catalog's file in the workspace ("Scan.01/FAT.1/cat.db").
bool scx_damaged_catalog(uint64_t keyref, std::string *file);
// The file systems of the scan whose catalog could not be read when they
// were last listed, by folder name ("FAT.1"), each once.
std::vector<std::string> scx_catalog_failures(const ScanContext *scan);
// Adds the five selection counters of every file system of the scan.
void scx_get_tree_info(ScanContext *scan, uint64_t totals[5]);
// ScanInfo of every live scan, newest stop time first.
std::vector<ScanInfo> scx_copy_scan_infos();
// Recovers the selected items of the scan's recoverable file systems. When
// one of them has a damaged catalog the others are still recovered and the
// result is their first failure, else SCX_CATALOG_DAMAGED.
int scx_recover_marked(ScanContext *scan, const char *target, uint64_t totals[3]);

namespace scx_testing {
// Frees every slot (folders stay) and resets the current scan and the
// process-wide counter. Tests only.
void reset();
// When set, scx_load_scans calls it between extracting a saved scan and
// loading its slots (tests only: the window in which another scan may start).
extern void (*after_load_extract)();
} // namespace scx_testing
