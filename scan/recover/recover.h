// Recovery of catalog nodes into a folder of the host.
//
// Recovery copies nodes of a found file system's catalog (catdb.h) out of
// the scan's medium into a folder the user chose: one node with everything
// under it (recover-node, also used for the previews) or every selected node
// (recover-marked). It rebuilds the folder tree below the target folder,
// copies each file's data fork extent by extent, keeps counters of what was
// recovered and, for the selection, clears the ticks of what was recovered.
//
// What reaches the host. Every name written to the host (node names, the
// numbered names, the file system's display name, the front end's folder
// name) goes through recover_safe_name: "/", "\", NUL, the C0 controls,
// DEL, the C1 controls and the bidirectional embedding, override and
// isolate controls (U+202A-U+202E, U+2066-U+2069: "photo\u202Egpj.exe"
// would show as "photoexe.jpg") become "_", "", "." and ".." become "_",
// "_." and "_..", invalid UTF-8 becomes U+FFFD, and the name is cut to 255
// bytes at a character boundary, keeping its extension. Everything below
// the target folder is created relative to directory descriptors opened
// with O_NOFOLLOW (mkdirat, openat with O_CREAT|O_EXCL|O_NOFOLLOW), so a
// symbolic link planted in the target is never followed and nothing is
// ever written outside it.
//
// Names are never overwritten. Each file is written under a temporary name
// of its folder, ".zv-partial-<pid>-<n>", and takes its final name only
// when it is complete, by a rename that never replaces anything: a run
// that is killed leaves no complete-looking file, only a temporary that no
// run takes for a recovered file. A file whose name is taken at that moment
// (by a user's file or by a file recovered a moment earlier in the same
// run) gets the first free name of "name-01.ext" .. "name-4998.ext"; a
// folder that meets a file (or a link) of its name is made under such a
// free name; an existing real folder is reused, so same-named folders merge
// and their files get free names. The target folder itself is made with
// its parents; its last component (for a recovery of the selection, its
// last two: the front end's folder and the file system's) is the program's
// and never followed when it is a link (a link there makes "<name>-01"
// beside it).
//
// Failures of one file:
//   - disk full or read-only target (ENOSPC, EDQUOT, EFBIG, EROFS, EIO on a
//     write, an allocation or the close): the incomplete file is deleted,
//     error 198 recorded, and the whole recovery stops with -3;
//   - an abort (-5) or a medium that went away (-30): the partial file is
//     deleted and the recovery stops;
//   - a card that stopped answering (-32: a long run of failed reads, with
//     reads further on failing too, as the block reader takes it; see
//     media_copy_read): the recovery stops there; what was read of the file
//     under way is kept as an incomplete file (below), and where the card
//     stopped is noted (recover_stopped_take);
//   - read errors (each unreadable sector zeroed, the rest of its chunk
//     read sector by sector; the unreadable ranges logged), short reads,
//     and extents that end before the file's size or beyond the medium: the
//     file is never left looking complete. It is kept under its name with
//     RECOVER_INCOMPLETE_SUFFIX added ("IMG_0001.JPG.incomplete"), never
//     longer than what its extents cover on the medium, with zeros where
//     data could not be read; its name and the missing length are logged
//     and noted (recover_notes_take) and the result is -34 (-18 when an
//     extent lies beyond the medium); such a file is not counted as
//     recovered and keeps its tick. A file of which nothing could be read
//     (nothing copied, or only zeros for unreadable sectors) is deleted and
//     noted without a path.
//   - the host refusing a file or folder (no permission, a name it cannot
//     hold): noted with the host path and errno, apart from read errors.
// The target folder is checked before anything is copied: it must be a
// folder (or one that can be made) that can be written; otherwise -3 with a
// note of the path and the system's reason.
// Counters: the record's `recovered` fields 0 (files), 1 (folders) and 4
// (bytes) grow with every complete file and every folder made; a recovery of
// the selection sets all five to 0 first, and fails (-1, error 254) when it
// wrote fewer files than the selection counted.
//
// Depth: every file a scan lists is recovered, however deep (up to
// RECOVER_DEPTH_MAX folders; the FAT scan enters 128) and however long its
// host path (PATH_MAX does not apply below the target folder).
//
// Status codes: -1 general failure (or a shortfall), -3 write failure on
// the target, -5 aborted, -7 no medium, -10 no memory, -12 a target folder
// on the medium being recovered, -15 fork other than the data fork, -18
// data beyond the medium, -30 the medium went away, -32 the card stopped
// answering, -34 data incomplete
// (kept with zeroed holes, or shorter than its size), -37 no free name.
// Error-list codes below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct catdb;
struct fs_record;
struct Media;

// Status codes (see above).
enum : int {
    RECOVER_FAILED = -1,
    RECOVER_WRITE_FAILED = -3,
    RECOVER_ABORTED = -5,
    RECOVER_NO_MEDIA = -7,
    RECOVER_NO_MEMORY = -10,
    RECOVER_TARGET_ON_MEDIUM = -12,
    RECOVER_NOT_DATA_FORK = -15,
    RECOVER_BEYOND_MEDIUM = -18,
    RECOVER_DETACHED = -30,
    RECOVER_STOPPED_ANSWERING = -32,
    RECOVER_INCOMPLETE = -34,
    RECOVER_NO_FREE_NAME = -37,
};

enum : int {
    RECOVER_ERROR_READ = 197,          // read error in a file (zeroed)
    RECOVER_ERROR_WRITE = 198,         // write error on the target (with errno)
    RECOVER_ERROR_CHILDREN = 246,      // child list unavailable
    RECOVER_ERROR_SELECTION = 247,     // selection unavailable
    RECOVER_ERROR_FOLDER_INFO = 248,   // folder information unavailable
    RECOVER_ERROR_MKDIR = 250,         // folder creation (with errno)
    RECOVER_ERROR_NAME = 251,          // final name of a complete file (with errno)
    RECOVER_ERROR_FILE_INFO = 252,     // file information unavailable
    RECOVER_ERROR_COPY = 253,          // data copy failed
    RECOVER_ERROR_SHORTFALL = 254,     // fewer files written than selected
    RECOVER_ERROR_OPEN = 368,          // target open / path too long (with errno)
    RECOVER_ERROR_BAD_START = 465,     // extent start cannot be sought
    RECOVER_ERROR_BEYOND_MEDIA = 466,  // extent beyond the medium
    RECOVER_ERROR_RECURSION = 512,     // tree too deep, or a folder below itself
    RECOVER_ERROR_NUMBERED_NAME = 611, // numbered name unavailable
};

constexpr size_t RECOVER_CHUNK = 131072;      // bytes per read (256 sectors)
constexpr size_t RECOVER_NAME_MAX = 255;      // bytes per name on the host
constexpr int RECOVER_MAX_SUFFIX = 4998;      // "-01" .. "-4998"
constexpr size_t RECOVER_PATH_MAX = 4096;     // bytes of the target folder's path, terminator included
// Folders walked below the start of a walk: twice what a scan lists (the
// FAT scan enters 128 levels), so a catalog gone round in circles ends; each
// level holds one open descriptor.
constexpr int RECOVER_DEPTH_MAX = 256;
// The start of the temporary name a file is written under.
constexpr const char *RECOVER_TEMP_PREFIX = ".zv-partial-";
// Added to the name of a file that could not be copied whole.
constexpr const char *RECOVER_INCOMPLETE_SUFFIX = ".incomplete";
// Notes kept per recovery; past this only the catalog's ticks tell.
constexpr size_t RECOVER_NOTES_MAX = 10000;

// Called after each folder made and each file written completely, with the
// catalog, the node's keynum, the host path just written and the hook data.
typedef void (*recover_hook)(catdb *db, int64_t keynum, const char *path, void *data);

struct recover_options {
    uint8_t selected_only;   // 1: visit only nodes whose selection is not 0
    uint8_t clear_selection; // 1: untick each file recovered, recompute its folders
    recover_hook hook;       // may be null
    void *hook_data;
};

// --- notes -----------------------------------------------------------------------------

// What a recovery could not do, one entry per file (or for the target
// folder itself), for the front end to tell the user. Kept for the process
// (the engine's command thread recovers one thing at a time), at most
// RECOVER_NOTES_MAX entries.
struct recover_note {
    uint64_t keyref = 0;  // the node (its file system's base | keynum); 0 for the target folder
    std::string path;     // host path: the incomplete file kept, or what the host refused; "" when nothing was kept
    uint64_t size = 0;    // the file's size
    uint64_t missing = 0; // bytes of it that are zeros or absent
    int errnum = 0;       // the system's error (read or host), 0 when there is none (data ends early)
    uint8_t host = 0;     // 1: the host refused (the target); 0: the medium's data
};

void recover_notes_clear();
void recover_note_add(const recover_note &note);
// The notes since the last clear, and clears them.
std::vector<recover_note> recover_notes_take();
// Where the card stopped answering during the recovery (-32): the byte of
// the device or image file (the medium's window start added); the first one
// noted since the last clear is kept. recover_stopped_take: that byte, -1
// when none, and clears it.
void recover_note_stopped(int64_t device_byte);
int64_t recover_stopped_take();

// Told, on the recovering thread, each time a recovery has opened its target
// folder, before anything is copied into it: the host path of the front
// end's folder (the first folder the recovery names below the user's, as
// "<DIR>/Recovered Files from <card>"), as really made: with the free name
// it took when a link or a file held its name. One listener for the
// process; null tells nobody.
typedef void (*recover_target_listener)(const char *folder, void *data);
void recover_set_target_listener(recover_target_listener listener, void *data);
void recover_target_opened(const char *folder);

// --- names --------------------------------------------------------------------------

// The host-safe form of one path component (see the top of this file).
// Catalog and display names are never changed; only what reaches the host.
std::string recover_safe_name(const std::string &name);
// The form retried once when the target refuses a name with EINVAL (a
// FAT, exFAT or NTFS target): recover_safe_name with <>:"|?* mapped to "_"
// and trailing dots and blanks replaced by "_".
std::string recover_windows_safe_name(const std::string &name);
// The n-th free-name candidate (n 1..4998) of a safe name: "base-NN.ext"
// ("-%02d"), the base (or, when the base is too short, the start of the
// extension) cut at a character boundary so the result stays within 255
// bytes. The extension is the text after the last dot; a name without a dot,
// or whose only dot leads or ends it, has none.
std::string recover_numbered_variant(const std::string &name, int n);

// The numbered name of a node: "%020llu" of slot << 56 | index << 40 |
// keynum, followed by "." and the node name's text after its last dot when
// it has one; made host-safe. -1 when the node information fails.
int fs_recovered_name(fs_record *record, std::string *out, uint64_t keynum);

// --- the medium guard ----------------------------------------------------------------

// 1 when path (or, when it does not exist yet, its nearest existing parent)
// lies on a file system stored on the medium's bytes. Those bytes are shown
// by the medium's block device or image file, and by everything that shows
// the same bytes in turn: a disk's partitions that overlap the medium's
// window and a partition's disk, the devices stacked on them (device mapper
// and the like), the file or device behind a loop device, every loop device
// over such a file or device whose window overlaps them, with its
// partitions (files told by device and inode numbers, not by path), every
// loop device over a file stored on one of those devices, and the FUSE
// mounts served by a FUSE server process (one holding /dev/fuse open) that
// holds one of those devices or files, or a file stored on them, open, as
// /proc/PID/fd and fdinfo show. The path's device, or the source of the
// mount that holds it (/proc/self/mountinfo: btrfs and FUSE mounts give
// their files device numbers of their own), or the file system that source
// lies on, is one of those devices or files; or the mount is a FUSE file
// system whose source names nothing (fusefat's entry names "fusefat") and
// such a server holds the medium while the kernel does not tell which
// mounts it serves. 0 when not.
int recover_path_on_medium(const char *path, Media *media);

// --- recovery --------------------------------------------------------------------------

// Recovers one node with everything below it into target (made with its
// parents, its last component never followed): a folder is made for a folder node (the file system's root walks
// its children straight into the target), free names are taken, the walk
// visits every node whatever its selection. *path (may be null) gets the
// host path written last; *size (may be null) the bytes recovered.
int catdb_recover_node(catdb *db, int64_t keynum, const char *target, std::string *path, uint64_t *size);
// Recovers every selected node of the record into target (made with its
// parents; its last two components, the front end's folder and the file
// system's as fs_recover_marked joins them, never followed), unticking what
// was recovered. Sets the five recovered counters
// to 0 first. Logs "Recovering selected files to \"%s\""; ends with "User
// abort during recovery" or "Errors during recovery: %s".
int catdb_recover_selected(catdb *db, const char *target);
// The walk under both: from keynum into the open folder target_fd whose
// host path is target_path. Exposed for tests.
int catdb_recover_tree_(catdb *db, int64_t keynum, int target_fd, const std::string &target_path,
                        const recover_options &options);

// A catalog-backed file-system type's operations call the two functions
// above:
//   int recover_marked(fs_record *r, const char *t) override
//       { return catdb_recover_selected(&r->cat, t); }
//   int recover_node(fs_record *r, uint64_t k, const char *t, std::string *p, uint64_t *s) override
//       { return catdb_recover_node(&r->cat, (int64_t)k, t, p, s); }
// The record-level entries fs_recover_node and fs_recover_marked
// (fs_record.h) are defined in recover.cpp.
