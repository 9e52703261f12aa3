// Host-side helpers of recovery, shared by recover.cpp and recover_host.cpp.
// Not for other modules.
//
// Implementation notes
//   - Every folder of the walk is held as an open descriptor (O_DIRECTORY |
//     O_NOFOLLOW); names are created relative to it, so the host path kept
//     beside it (std::string, for logs, the hook and the length check) is
//     never used to reach the file system below the target.
//   - "Free name" search is done by the create calls themselves (mkdirat,
//     openat O_EXCL): no test-then-create window exists.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct Media;

namespace recover_host {

// errno values of a write, an allocation or a close that mean the target
// cannot take more data: the recovery stops.
bool is_target_full(int errnum);

// Opens the target folder of a recovery. Its parents are made when missing
// (following links: they are the user's choice); its last component is made
// (or reused when it is a real folder) relative to the parent's descriptor
// and opened with O_NOFOLLOW, taking a free name when a file or link holds
// it. A target on the medium (recover_path_on_medium) is refused with -12
// before anything is made. 0 with *fd and *path (the host path of the
// folder opened); -1 with errno (logged with caller); -37 no free name.
int open_target(const char *caller, const char *target, Media *media, int *fd, std::string *path);

// Makes (or reuses) the folder name in parent_fd: tries name, then its
// numbered variants while a non-folder (or a link) holds the name; retries
// once with the Windows-safe form when the target refuses a name with
// EINVAL. 0 with *fd open on it, *made = the name used, *created = whether
// this call made it; -1 with errno; -37 when no free name is left.
int make_folder_at(int parent_fd, const std::string &name, int *fd, std::string *made, bool *created);

// Creates a new file (O_EXCL | O_NOFOLLOW) under the first free name of the
// series: name, name-01, ... name-4998 (with the same EINVAL retry). 0 with
// *fd open for writing and *made = the name used; -1 with errno; -37 when no
// free name is left (logged "%s: too many renames for %s").
int create_file_at(int parent_fd, const std::string &name, int *fd, std::string *made);

// Sets length size on a new file: posix_fallocate, or ftruncate when the
// file system cannot allocate (EOPNOTSUPP). 0 or -1 with errno.
int preallocate(int fd, uint64_t size);

// Writes all n bytes at offset (short writes continued, EINTR retried).
// 0 or -1 with errno (ENOSPC for a write that makes no progress).
int write_all(int fd, const void *data, size_t n, uint64_t offset);

// Access and modification time = seconds, when seconds > 0 (a time of 0 or
// less is unknown and left alone). 0, or -1 with errno.
int set_times(int fd, int64_t seconds);

// Closes fd; 0 or -1 with errno of the close.
int close_checked(int fd);

} // namespace recover_host
