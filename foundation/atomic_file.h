// Replacing a file whole: the new bytes are written into a temporary file in
// the file's own folder, which takes the file's name only once it is
// complete and on the disk. The settings store, the catalog's small files
// and the saved scan container are all written this way.
//
//   atomic_file af;
//   atomic_file_create(&af, path, ".name.tmp-", ATOMIC_FILE_RANDOM, 0666);
//   ... write through af.fd (or a dup of it handed to a stream) ...
//   atomic_file_finish(&af);      // or atomic_file_abandon(&af)
//
// The temporary's name is opened once, when it is created exclusively
// (O_CREAT | O_EXCL, never through a link) relative to a descriptor of the
// folder; from then on everything goes through the two descriptors and the
// name is never opened again. Whoever can write into the folder may still
// put something else under the temporary's name (a link, a FIFO, another
// file); nothing is ever written into it, and:
// - finishing first looks at the name (fstatat through the folder's
//   descriptor) and renames it over the file only when it named the file
//   written then (same device and inode); otherwise the file is left as it
//   was and the finish fails (EEXIST, or ENOENT when the name is gone);
// - abandoning removes the name only when it named the file written a
//   moment before.
// What is promised is the look, not that nothing changes after it: renameat
// and unlinkat act on a name, not on a file, so something put under the
// name between the look and the rename (or the removal) is renamed over the
// file (or removed) instead. Only whoever can write into the folder can do
// that, and only within that moment.
//
// Finishing: fsync of the file, close, the check above, renameat, fsync of
// the folder. A failed fsync of the folder fails the finish although the
// file already has the new bytes (replaced is set): the rename may not
// survive a crash. A folder its file system cannot sync (EINVAL, EROFS) is
// no failure.
//
// A failing step records its errno in the record (error) and in errno, and
// logs a line starting with the function's name. The record's descriptors
// are closed by finish and abandon, each of which may be called on a record
// that holds nothing. A record belongs to one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include <string>

// How the temporary's name is made from the given name.
enum : int {
    // The name and 12 random hexadecimal digits; another is tried when one
    // is taken.
    ATOMIC_FILE_RANDOM = 0,
    // The name as given. A regular file standing there (left by a write
    // that was cut short) is removed first; anything else there (a link, a
    // FIFO, a folder) refuses the create with EEXIST.
    ATOMIC_FILE_FIXED = 1,
};

struct atomic_file {
    int dir_fd = -1;          // the folder, open until finish or abandon
    int fd = -1;              // the temporary file, open for writing; -1 when none
    std::string path;         // the file to replace, as given
    std::string name;         // its last component
    std::string temp_name;    // the temporary's name in the folder; "" when none
    std::string temp_path;    // the folder's part of path and temp_name, for messages
    dev_t dev = 0;            // the temporary's identity
    ino_t ino = 0;
    int error = 0;            // errno of the step that failed, 0 when none did
    bool replaced = false;    // finish renamed the temporary over the file (its folder's sync may have failed)
};

// Opens path's folder and creates the temporary in it with permissions mode
// (less the umask). 0 with af->fd open; -1 with errno (and af->error) set
// and nothing left behind.
int atomic_file_create(atomic_file *af, const char *path, const char *temp_name, int naming, mode_t mode);

// Writes size bytes of data through af->fd, taking up where a short write
// left off. 0, or -1 with errno and af->error (ENOSPC when the file takes
// no more bytes); nothing is logged and the record stays as it was, for
// the caller to abandon.
int atomic_file_write(atomic_file *af, const void *data, size_t size);

// The whole of it for a small file: path replaced with size bytes of data
// through the temporary "<name>.tmp" (ATOMIC_FILE_FIXED) with permissions
// mode. 0, or -1 with errno (the file left as it was and the temporary
// removed, unless only the folder's sync after the rename failed); only the
// failing step's own line is logged.
int atomic_file_replace(const char *path, const void *data, size_t size, mode_t mode);

// Puts the temporary on the disk and renames it over the file (see above).
// Everything written through a stream on a duplicate of af->fd must have
// been flushed (the stream closed) first. 0, or -1 with errno and
// af->error: the file is then left as it was and the temporary removed
// (when it is still ours), unless af->replaced tells that only the sync of
// the folder after the rename failed. The record holds nothing afterwards.
int atomic_file_finish(atomic_file *af);

// Closes the descriptors and removes the temporary when its name still
// names the file written. The record holds nothing afterwards.
void atomic_file_abandon(atomic_file *af);

// For tests: called with the folder's descriptor and the temporary's name
// right after the temporary is created (stage ATOMIC_FILE_CREATED) and right
// after it took the file's name, before the folder's fsync
// (ATOMIC_FILE_RENAMED; the name given is then the file's). NULL clears it.
enum : int { ATOMIC_FILE_CREATED = 1, ATOMIC_FILE_RENAMED = 2 };
typedef void (*atomic_file_hook)(int stage, int dir_fd, const char *name, void *arg);
void atomic_file_set_test_hook(atomic_file_hook hook, void *arg);
