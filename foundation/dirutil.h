// Folder and file-system utilities of the core: folder creation, sizes of
// files, devices and folder trees, a free numbered variant of a file name, a
// test that a folder can serve as a work folder, and deletion of folder trees.
//
// All paths are UTF-8 C strings.
//
// Listing a folder: the core uses the POSIX opendir, readdir, rewinddir and
// closedir of <dirent.h> directly. Entry names arrive as the bytes the file
// system stores (UTF-8 on every Linux file system we write to); "." and ".."
// are returned like any other name and callers skip them.
//
// Symbolic links: nothing here that walks a tree or deletes ever follows a
// link found inside the tree. A link is a leaf: it is counted as nothing by
// dir_tree_size and removed itself (never its target) by the deletions. The
// walks open every sub-folder relative to its parent's descriptor with
// O_NOFOLLOW, so a folder swapped for a link while we walk cannot lead us
// out of the tree either, and no walk builds (or cuts) a long path text.
//
// Mounts: a deletion keeps to the mount of the folder it starts from (as
// "rm --one-file-system" does, but also telling a bind mount of a folder of
// the same file system by its mount). A folder reached through another
// mount is never entered nor removed: it is logged as
// "<function>: mount point \"<path>\" not removed", the rest of the tree is
// deleted, the folders holding it stay, and the deletion ends with -1 and
// errno EXDEV.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>

// Results beside 0 and -1.
enum : int {
    DIRUTIL_CREATE_FAILED = -4, // make_dir_path*: the folder could not be made
    DIRUTIL_BAD_PATH = -12,     // a path that cannot be handled; remove_tree_safe: unsafe path
    DIRUTIL_NO_FREE_NAME = -37, // rename_aside: every numbered name is taken
};

// --- folders -------------------------------------------------------------------

// Creates the folder and every missing parent. New folders get 0777 reduced
// by the umask, whatever permission make_dir_path_mode is given (the file
// layer's rule for every folder it makes). Returns 0 (also when the folder
// was already there), -4 when a folder could not be made (or a component is
// a file), -12 for a NULL, empty or non-UTF-8 path.
int make_dir_path(const char *path);
int make_dir_path_mode(const char *path, int permission);
// Creates the folders leading to a file path: the path less its last
// component. A path without a folder part ("name") needs nothing: 0.
int make_parent_path(const char *path);

// 1 when stat(2) succeeds (following links) and the path is a folder, else 0.
int is_directory(const char *path);
// 1 when lstat(2) says the path is a regular file or a symbolic link (of any
// target, even a missing one), else 0.
int is_regular_file(const char *path);

// --- sizes ---------------------------------------------------------------------

// Size in bytes. stat(2) follows links, so a /dev/disk/by-id name reaches its
// device. A block device is asked for its size (BLKGETSIZE64), since stat
// reports 0 for it; anything else gives stat's st_size. When the size cannot
// be had, logs "Can't get size for %s" at error level and returns 0.
uint64_t utf8_file_size(const char *path);
// The same for an open descriptor (fstat(2), a device asked through the
// descriptor); on failure logs "Can't get size for fd %d" and returns 0.
uint64_t fd_file_size(int fd);
// Total size of the regular files in a folder and all its sub-folders. The
// folder named by path is opened even when path is a link to it; inside it,
// links are never followed (a link loop therefore ends), entries that cannot
// be examined are skipped, a folder that cannot be listed adds 0, and the
// walk stops descending below DIRUTIL_MAX_DEPTH levels.
uint64_t dir_tree_size(const char *path);

// How deep the walks of dir_tree_size and the deletions go. Each level holds
// one open descriptor, and the engine's own trees are three or four levels
// deep (workspace, scan folder, file-system folder); a deeper tree was not
// made by us. A deletion that meets a deeper folder fails with -1 (ELOOP).
constexpr int DIRUTIL_MAX_DEPTH = 128;

// --- names ---------------------------------------------------------------------

// malloc'ed zorvant::path_join of both ("/" put in between as needed); NULL
// when either is NULL or not UTF-8, or when memory runs out. free() it.
char *path_join_dup(const char *first, const char *second);

// Finds a name for a file that must not overwrite what is at path.
// - 0: nothing is at path (lstat says ENOENT, so a dangling link counts as
//   taken); out holds path itself.
// - 1: out holds the first free name of "<stem>-NN<extension>" for NN from 01
//   to 99 ("photo.jpg" gives "photo-01.jpg", "photo-02.jpg", ...). The
//   extension begins at the last "." of the last component, unless that dot
//   is the component's first character (".profile" and "dir/.profile" have
//   none); a dot in a folder name is not an extension ("dir.v2/file" gives
//   "dir.v2/file-01").
// - -1: out emptied (when out_size > 0): NULL arguments, path longer than
//   out_size - 4 bytes, an lstat error other than ENOENT, or all 99 names
//   taken (errno EEXIST then).
int unique_path(const char *path, char *out, size_t out_size);

// Moves whatever is at path aside to the free name unique_path finds, so a
// new file can be made at path. 0 when nothing was in the way or the move
// was made; -37 when all 99 numbered names are taken; -1 when the move
// failed or path could not be examined (errno tells why). Nothing is moved
// on failure.
int rename_aside(const char *path);

// Tests that a folder can serve as a work folder: it is made when missing,
// then a test file "<path>/0" holding "This is a test." and its NUL is
// written, closed and deleted. 0 when all went well; otherwise -4, with the
// failing step's line logged at error level and its code recorded in the
// error list: 24 stat failed (not ENOENT), 25 the folder could not be made,
// 26 the path is not a folder, 27 the test file could not be made, 28 it
// could not be written (a failed close counts here too: the bytes did not
// reach the disk), 29 it could not be deleted. The test file is never left
// behind when a later step fails.
int check_work_dir(const char *path);

// --- deletion ------------------------------------------------------------------

// Deletes everything inside a folder; the folder stays. Returns 0 when all is
// gone, or when the folder cannot be opened as a folder (missing, not a
// folder, or itself a link: a link's target is never emptied); -1 (errno
// set) at the first entry that cannot be examined (other than vanished) or
// deleted, leaving what was not yet deleted; -1 with EXDEV when all but
// mount points (see "Mounts" above) is gone. Sub-folders are emptied and
// removed; links and other entries are unlinked. Passes over the listing
// repeat while a pass deletes something (at most DIRUTIL_MAX_PASSES).
int remove_dir_contents(const char *path);

// A folder that keeps getting new entries while we delete would make the
// passes run forever; past this many passes the deletion gives up with -1
// (EBUSY). One pass normally empties a folder and a second finds it empty.
constexpr int DIRUTIL_MAX_PASSES = 64;

// remove_dir_contents, then the folder itself: the first failure's result,
// else rmdir's (0, or -1 with errno; a link at path is never removed here).
int remove_tree(const char *path);

// remove_tree for folders inside the engine's workspace only. Refused with
// -12 and the error line "recursive delete: unsafe path \"%s\"" (nothing
// deleted) unless all of these hold:
// - path is not empty and has no "." or ".." component;
// - there is a global root (the workspace folder object of workdir.h) and
//   path lies strictly below the root's path (compared component by
//   component, so "/ws2/x" is not below "/ws");
// - one of path's components equals engine_workspace_name() byte for byte.
// The folders between the root and the target are then opened one by one
// without following links, so a link planted inside the workspace cannot
// redirect the deletion outside it. The deletion keeps to the root's mount:
// when a folder on the way or the target itself is a mount point, nothing is
// deleted (-1, EXDEV, the mount point logged); mount points inside the
// target are left as described under "Mounts" above.
int remove_tree_safe(const char *path);
