// Work-folder objects. The core never builds the path of a workspace file by
// hand: it holds one work_dir for the engine's workspace folder and one for
// each folder inside it (a scan's folder "Scan.01", the folder "%s.%d" of a
// file system found by a scan), and names every file relative to such an
// object ("spans", "gaps", "cat.db", "sel-state", numbered sort files ...).
//
// A top-level object holds an absolute path (leading "/"); a child holds its
// parent's path joined with a relative name. The first top-level object made
// becomes the global root (the engine's workspace folder), which
// remove_tree_safe (dirutil.h) takes as the boundary of every deletion.
//
// Objects are made and freed on the engine's threads in order (start-up,
// scan set-up and tear-down); one object may be read from several threads,
// but changing it (dir_set_path) while others read it is not supported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/u8string.h"

struct file_t;
namespace ZV {
class ByteStreamFile;
}

// Error-list codes and results.
enum : int {
    WORKDIR_ERROR_NEW = 560,      // dir_new refused the name or could not make the folder
    WORKDIR_ERROR_SET_PATH = 563, // dir_set_path refused
    WORKDIR_CLIPPED = -16,        // get_file_path: the path did not fit
};

struct work_dir {
    work_dir *parent;       // the folder this one lies in; NULL for a top-level object
    zorvant::u8string path; // absolute path of the folder, no trailing "/"
};

// A new object, or NULL with an error recorded in the error list.
// - Without a parent, name must be an absolute path; with one, a relative
//   name without "." or ".." components (a child never leaves its parent).
//   A name of two or more bytes that ends in "/", a NULL, empty or non-UTF-8
//   name are refused too. Each refusal records 560.
// - The folder and any missing parents are then made on disk; when that
//   fails, "Can't create directory %s: %s" is logged and 560 + errno * 1000
//   recorded, and NULL returned (nothing half-made is handed out).
// - A top-level object becomes the global root when there is none yet.
work_dir *dir_new(work_dir *parent, const char *name);
// Frees *dir and sets *dir to NULL; clears the global root when it was this
// object (the root is not handed on to another object). Nothing on disk
// changes. NULL and a NULL *dir are ignored. Children must be freed first.
void dir_free(work_dir **dir);
// Moves a top-level object to another absolute path (the engine's change of
// workspace); nothing is made on disk. 0, or -1 with 563 recorded when dir is
// NULL, has a parent, or path is not absolute (or NULL, or not UTF-8).
int dir_set_path(work_dir *dir, const char *path);

// The folder's path; NULL for NULL.
const char *dir_path(const work_dir *dir);
// The path of the top-level object at the end of the parent chain; NULL for NULL.
const char *dir_root_path(const work_dir *dir);
// The first top-level object made (and not yet freed), or NULL.
work_dir *dir_global_root();

// The path of a file of the folder: zorvant::path_join(dir path, name); ""
// when dir or name is NULL or name is not UTF-8.
zorvant::u8string dir_file_path(const work_dir *dir, const char *name);
// The same as a malloc'ed C string (free() it); NULL when dir or name is NULL
// or memory runs out.
char *dir_file_path_dup(const work_dir *dir, const char *name);
// Copies dir_file_path into buffer. 0 when it fits; when it does not, logs
// "get_file_path: clipping '%s'" at error level, stores the text cut at a
// character boundary (NUL-terminated) and returns -16, so that the caller
// does not use a path that names another file. -16 also for a NULL buffer
// or size 0 (nothing written), -1 for a NULL dir or name (buffer emptied).
int get_file_path(const work_dir *dir, const char *name, char *buffer, size_t size);

// 0 when stat(2) succeeds on the file, else -1.
int dir_file_exists(const work_dir *dir, const char *name);
// utf8_file_size of the file; 0 when unknown.
uint64_t dir_file_size(const work_dir *dir, const char *name);

// file_open (file.h) of the file with the mode text and kind; NULL on failure.
file_t *dir_file_open(const work_dir *dir, const char *name, const char *mode, int kind);
// The same for the file named by the decimal number ("%d"), kind 2 (stdio);
// a mode that writes opens it as dir_file_create does.
file_t *dir_file_open_num(const work_dir *dir, int number, const char *mode);
// Opens a file of the folder for writing, never through a link: mode "w"
// or "wb" creates it or cuts it to nothing, "a" or "ab" creates it or
// writes at its end. A link, a FIFO, a device or a folder at the name, and
// a regular file with another name (a hard link), refuse the open, and
// nothing of them is cut or written. The file object (kind as file_open),
// or NULL with errno, logged as "dir_file_create: ...".
file_t *dir_file_create(const work_dir *dir, const char *name, const char *mode, int kind);

// Renames a file of the folder, replacing an existing target. 0 or -1.
int dir_file_rename(const work_dir *dir, const char *old_name, const char *new_name);
int dir_file_rename_num(const work_dir *dir, int number, const char *new_name);
// Deletes a file of the folder. 0, or -1 (also for a NULL or empty name,
// which would otherwise name the folder itself).
int dir_file_unlink(const work_dir *dir, const char *name);
int dir_file_unlink_num(const work_dir *dir, int number);

// A file stream over a file of the folder, opened in a ZV::ByteStream open
// mode: 1 "rb", 2 "wb", 3 "r+b", 4 "ab". Empty when the mode is none of
// these, dir or name is NULL, or the open fails.
std::shared_ptr<ZV::ByteStreamFile> dir_open_stream(const work_dir *dir, const char *name, int mode);
