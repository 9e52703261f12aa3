// Internals of recovery shared by its files: the walk's state and the copy
// of one file (recover.cpp, recover_file.cpp), and the host-side helpers
// (recover_host.cpp). Not for other modules.
//
// Implementation notes
//   - Every folder of the walk is held as an open descriptor (O_DIRECTORY |
//     O_NOFOLLOW); names are created relative to it, so the host path kept
//     beside it (std::string, for logs and the hook) is never used to reach
//     the file system below the target, so a tree deeper than PATH_MAX is
//     written like any other.
//   - "Free name" search is done by the calls that take the name themselves
//     (mkdirat, renameat2 RENAME_NOREPLACE, linkat, openat O_EXCL): no
//     test-then-create window exists.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scan/recover/recover.h"

struct buf_t;
struct catdb;
struct fs_record;
struct Media;

// The state of one walk, passed down to the copy of each file.
struct recover_walk {
    catdb *db = nullptr;
    fs_record *record = nullptr;
    recover_options options = {};
    uint32_t flags = 0;           // bit 0 selected only, bit 1 clear selection
    int depth = 0;                // folders entered below the walk's start
    int fatal = 0;                // a result that ends the walk, else 0
    int dir_fd = -1;              // the current folder
    std::string path;             // its host path (logs and the hook only)
    std::vector<int64_t> trail;   // keynums of the folders being walked, outermost first
    buf_t *buffer = nullptr;      // "copy", RECOVER_CHUNK bytes
    bool creation_time_noted = false;
};

// The system's text for an errno value.
std::string recover_errno_text(int errnum);

// Results after which every later file would fail the same way: -3 (target
// full or failing), -5 (abort), -7 (no medium), -12 (a folder of the target
// on the medium), -30 (medium gone), -32 (the card stopped answering).
bool recover_ends_walk(int rc);

// Recovers one file node into the walk's current folder (recover_file.cpp).
// 0 with *out_path = the host path written; -34 or -18 with the incomplete
// file kept (and *out_path set); another negative code with nothing left
// behind. Counts a complete file in the record's recovered counters.
int recover_file(recover_walk &w, uint64_t keynum, std::string *out_path);

namespace recover_host {

// errno values of a write, an allocation or a close that mean the target
// cannot take more data: the recovery stops.
bool is_target_full(int errnum);

// Opens the target folder of a recovery. Its last `named` components are
// the program's names (the front end's folder for the card, the file
// system's folder): each is made (or reused when it is a real folder)
// relative to the descriptor of the one above and opened with O_NOFOLLOW,
// taking a free name when a file or link holds it. What lies above them is
// the user's folder, made with its parents when missing (following links:
// they are the user's choice). A target on the medium
// (recover_path_on_medium, medium_guard_probe_on) is refused with -12
// before anything is made but, where no file there shows it, that probe's
// file, removed at once. The
// folder must then take new files (write permission, not a read-only
// mount). 0 with *fd and *path (the host path of the folder opened), the
// first named folder as made told to recover_target_opened; -1 with errno
// for no target or a path too long; -3 with errno when the host refuses the
// folder (a parent that is a file, no permission, a read-only mount), noted
// with the path concerned (all logged with caller); -37 no free name.
int open_target(const char *caller, const char *target, int named, Media *media, int *fd, std::string *path);

// Makes (or reuses) the folder name in parent_fd: tries name, then its
// numbered variants while a non-folder (or a link) holds the name; retries
// once with the Windows-safe form when the target refuses a name with
// EINVAL. 0 with *fd open on it, *made = the name used, *created = whether
// this call made it; -1 with errno; -37 when no free name is left.
int make_folder_at(int parent_fd, const std::string &name, int *fd, std::string *made, bool *created);

// Whether the folder open at fd, just made or reused in the folder open at
// parent_fd, lies on the medium (recover_path_on_medium): asked only when it
// is on another file system than its parent (a mount point, a folder of the
// card mounted there, is a real folder and is reused), else false.
bool folder_on_medium(int parent_fd, int fd, Media *media);

// Creates a new, empty file under a temporary name of the folder
// (RECOVER_TEMP_PREFIX, the process id and a number), with O_EXCL |
// O_NOFOLLOW. 0 with *fd open for writing and *temp = its name; -1 with
// errno.
int create_temp_at(int parent_fd, int *fd, std::string *temp);

// Whether the file just created at fd, the first of this recovery on its
// file system, is seen to lie on the medium while it is open
// (medium_guard_open_file_on: a FUSE server that holds the card only while
// a file of it is open). Asked once per file system and recovery; false at
// once off FUSE mounts.
bool created_on_medium(int fd, Media *media);

// Gives the complete file at temp its final name: the first free name of
// the series name, name-01, ... name-4998 (with the same EINVAL retry),
// never replacing anything (see recover_host.cpp). 0 with *made = the name
// used; -1 with errno (temp left in place); -37 when no free name is left
// (logged "%s: too many renames for %s").
int commit_file_at(int parent_fd, const std::string &temp, const std::string &name, std::string *made);

// Reserves size bytes of disk for a new file without changing its length
// (fallocate with FALLOC_FL_KEEP_SIZE: no zeros are written, the file grows
// as it is written). A file system that cannot reserve is left to allocate
// as the data comes. 0, or -1 with errno (ENOSPC: the target cannot hold
// the file).
int reserve(int fd, uint64_t size);

// Writes all n bytes at offset (short writes continued, EINTR retried).
// 0 or -1 with errno (ENOSPC for a write that makes no progress).
int write_all(int fd, const void *data, size_t n, uint64_t offset);

// Access and modification time = seconds, when seconds > 0 (a time of 0 or
// less is unknown and left alone). 0, or -1 with errno.
int set_times(int fd, int64_t seconds);

// Closes fd; 0 or -1 with errno of the close.
int close_checked(int fd);

} // namespace recover_host
