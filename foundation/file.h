// The file layer: one small file object (`file_t`) through which the core
// reads and writes every file, whatever lies underneath.
//
// Kinds of access (file_t::kind)
//   1  a descriptor; every transfer is positioned (pread/pwrite at the
//      object's position), so the descriptor's own offset is never used.
//   2  a stdio stream with a 0x20000-byte full buffer.
//   3  a descriptor read and written through a window of 256 blocks
//      (block size 512 unless the opener is given another); only the dirty
//      runs of the window are written back, each with one positioned write.
//   4  a gzip stream (zlib) over a descriptor.
//   Any other kind works only through a virtual-file type (the media layer
//   uses 6). A kind given with bit 0x10 set is taken as kind & 7.
//
// Virtual-file types
//   A type is a named table of operations (`vf_ops`), registered once under
//   a name (the opener registers and looks types up under the path). When a
//   file has a type attached, each slot of the table that is set replaces
//   the kind's own behaviour of the operation named beside it below.
//
// Status codes
//   -1 general failure, -3 write failed (also a failed flush, close or
//   write-back), -12 bad argument (NULL file, negative position), -15 not
//   supported by the kind, -18 gzip seek failed, -19 file already open,
//   -20 short read, -27 short write.
// Error-list codes recorded (see error_list.h)
//   3 open failed, 13 positioned write failed, 15 seek failed, 480
//   descriptor read failed, 481 window read failed, 482 stream read failed,
//   534 window write-back failed, 535 close or flush failed, 541/542 gzip
//   read failed (with errno / with zlib's text), 543/544 gzip write failed.
//
// What is promised about failures
//   - A failed read or write leaves the file open and the position where
//     the failed part began.
//   - Data is never reported written when it is not: file_close and
//     file_free return -3 (log the failure, record an error code and set the
//     write-failed flag) when flushing, writing back or closing fails; a
//     kind 3 window whose write-back fails keeps its data dirty and stays
//     where it is, so a later call (or close) tries again.
//   - A partial-block write through kind 3 reads the block first; when that
//     read fails the write fails and nothing is written. Only the part past
//     the end of the file is filled with zeros, and that padding is never
//     written back: a file keeps the length its data gives it.
//
// Threads: a file object is used by one thread at a time. The type registry,
// the slow-read callback and the write-failed flag may be used from any
// thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "foundation/sysutil.h"
#include "foundation/u8string.h"

struct gzFile_s; // zlib's stream (gzFile is a pointer to it)
struct file_t;
struct vf_entry;

// --- virtual-file types ----------------------------------------------------------

// Slots this layer never calls, free for the types that fill the table.
typedef int64_t (*vf_aux_fn)(file_t *f, void *arg);

// The operations of a virtual-file type, 20 slots in this order. A NULL slot
// leaves the operation to the file's kind. The type's argument (given at
// registration) is f->vf->arg.
struct vf_ops {
    // 0: called by the opener right after the type is attached; its result
    // is the opener's result (the object given, or NULL). On failure it
    // leaves the object alone: the opener frees an object it made itself.
    file_t *(*open)(file_t *f, const char *mode, int kind);
    vf_aux_fn aux1;
    vf_aux_fn aux2;
    vf_aux_fn aux3;
    // 4, 5: file_read and file_write in full: bytes moved or a negative code.
    int64_t (*read)(file_t *f, void *buffer, int64_t count);
    int64_t (*write)(file_t *f, const void *buffer, int64_t count);
    vf_aux_fn aux6;
    // 7: file_seek to a position >= 0; 0 or a negative code.
    int (*seek)(file_t *f, int64_t position);
    // 8: file_tell.
    int64_t (*tell)(file_t *f);
    // 9: file_free in full; receives the variable holding the file and
    // should set it to NULL. 0, or -3 when data could not be written.
    int (*free)(file_t **fp);
    // 10: file_error.
    int (*error)(file_t *f);
    // 11: file_close in full; 0 or -3.
    int (*close)(file_t *f);
    // 12: file_reopen in full (mode may be NULL); 0 or a negative code.
    int (*reopen)(file_t *f, const char *mode, int kind);
    vf_aux_fn aux13;
    // 14: file_size.
    int64_t (*size)(file_t *f);
    // 15: file_is_open (non-zero when open).
    int (*is_open)(file_t *f);
    // 16, 17: the positioned transfers under kinds 1 and 3. When set they
    // take the place of the descriptor for every kind 1 read and write and
    // for every window fill and write-back of kind 3, with the same contract
    // as pread(2)/pwrite(2) (bytes moved, a short count, or -1 with errno).
    // They let a type put faults or another store under the window while
    // the window logic itself runs unchanged.
    ssize_t (*pread)(file_t *f, void *buffer, size_t count, int64_t offset);
    ssize_t (*pwrite)(file_t *f, const void *buffer, size_t count, int64_t offset);
    vf_aux_fn aux18;
    vf_aux_fn aux19;
};

// One registered type. Entries are never removed; they live as long as the
// process.
struct vf_entry {
    vf_entry *next;     // older entry
    char *name;         // heap copy; lookups compare it exactly
    const vf_ops *ops;  // the table (owned by the type, not copied)
    void *arg;          // handed to the type through f->vf->arg
};

// Finds the type of that name or adds it at the head of the registry, then
// sets its table and argument. Returns the entry, NULL for a NULL name or
// when memory runs out.
vf_entry *file_register_vf(const char *name, const vf_ops *ops, void *arg);
// Attaches the registered type of that name. -1 when there is no such type,
// no file, or the file already has a different type; 0 otherwise.
int file_set_vf(file_t *f, const char *name);

// --- the file object -------------------------------------------------------------

enum : int {
    FILE_WINDOW_BLOCKS = 256,     // blocks in a kind 3 window
    FILE_DEFAULT_BLOCK = 512,     // kind 3 block size when none is given
    FILE_STREAM_BUFFER = 0x20000, // kind 2 stdio buffer
};

struct file_t {
    uint8_t kind;              // 1-4, or another value with a type attached
    int fd;                    // -1 when closed; kind 2/4: the descriptor under the stream
    FILE *fp;                  // kind 2
    gzFile_s *gz;              // kind 4
    uint8_t *window;           // kind 3, while open: window_size bytes (page-aligned)
    char *stream_buffer;       // kind 2, while open: the stream's FILE_STREAM_BUFFER bytes (page-aligned)
    int block_size;            // kind 3: as given, else 512
    int window_size;           // kind 3: 256 x block_size
    int flags;                 // O_* flags made by mode_bits from the given mode
    int last_error;            // errno (or stream error) of the last failed transfer
    int short_read;            // 1 after a read that returned fewer bytes than asked
    int64_t pos;               // every read and write happens here and advances it
    int64_t window_start;      // kind 3: block-aligned start of the window's range
    int64_t window_end;        // kind 3: end of the range the window holds (whole blocks)
    int64_t window_data_end;   // kind 3: end of the file's bytes in the window; past it,
                               // up to window_end, lies zero padding that is never written
    uint32_t kind_given;       // kind as passed to the opener
    char mode_given[8];        // mode text as given, cut to 7
    char mode[8];              // mode text as used ("W" -> "w", "R" -> "r")
    char *name;                // heap copy of the path, or NULL
    uint8_t *dirty_map;        // kind 3, while open: FILE_WINDOW_BLOCKS bytes right after the window,
                               // 1 for a block not yet written
    uint8_t dirty;             // kind 3: some block of the window is dirty
    uint8_t stream_writing;    // kind 2: last transfer 0 none/seek, 1 write, 2 read (a change
                               // of direction seeks first, as C requires)
    uint8_t regular_only;      // 1: the opener refuses a block device too (file_open_regular)
    vf_entry *vf;              // attached type, or NULL
    const void *free_lock;     // owner holding the free lock, or NULL
};

// O_* flags of a mode text. The first character: "r" read only; "R" read
// only (the opener first creates a missing file); "w" write only, create,
// truncate; "W" write only, in place (no create, no truncate); "a" write
// only, create, append. A "+" as second character, or right after a
// second-character "b", makes it read-write. "b" (anywhere after the first
// character) means binary, which is 0 on Linux. A NULL mode logs
// "mode_bits: NULL mode given", another first character "mode_bits: Unknown
// mode character", both at error level, and gives 0 (binary only).
int mode_bits(const char *mode);

// What the opener opens (kinds 1-4 without a type's open slot): a regular
// file, or a block device opened for reading only (a card or disk). Every
// other kind of file (FIFO, socket, character device, folder) and a block
// device opened for writing are refused: "file_open: refused <path>: <what>"
// is logged, error 3 recorded, errno is EISDIR for a folder and EINVAL
// otherwise, and the opener gives NULL (file_reopen -1). The open never
// waits: the descriptor is opened with O_NONBLOCK (cleared before use) and
// its type checked with fstat on that descriptor, not on the name. A
// descriptor handed to file_open_ex is checked the same way (closed when
// refused). A closed object keeps no window or stream buffer: closing frees
// them and opening makes them again.

// Opens path as kind with no existing object, the default block size, no
// type and no descriptor. The new object, or NULL (logged).
file_t *file_open(const char *path, const char *mode, int kind);
// file_open for a file that must be a regular file: a block device is
// refused too, also when the object is reopened. For names taken from data
// (a saved scan) that should name the engine's own files.
file_t *file_open_regular(const char *path, const char *mode, int kind);
// The general opener.
//   f          an object to reuse (closed), or NULL for a new one; an object
//              given is never freed here, even on failure
//   block_size kind 3 block size; <= 0 for 512
//   ops, arg   register a type under path with these and attach it; with
//              ops NULL a type already registered under path is attached
//   fd         a descriptor to use instead of opening path (>= 0), which
//              then only names the file; the object owns it from then on
//              (closes it when refused, and when closed). Reopening such an
//              object opens the name
// Mode "R" creates a missing file first; "a" with kinds 1 and 3 opens
// without O_APPEND and starts at the end; kind 3 opens its descriptor
// read-write when the mode writes, so partial blocks can be read first.
file_t *file_open_ex(file_t *f, const char *path, const char *mode, int kind, int block_size,
                     const vf_ops *ops, void *arg, int fd);
// A zeroed, closed object (descriptor -1) named name (none for NULL); NULL
// when memory runs out. For files that exist only through a type.
file_t *file_new(const char *name);
// Opens a closed object again. -12 for NULL, -19 when it is open. With a
// mode, the general opener runs on the same object and name. With NULL the
// stored name and mode are used, but never to truncate: kind 2 through a
// stream on a descriptor opened without O_TRUNC (at the stored position),
// kinds 1 and 3 through xopen (kind 3 also resets position and window to
// 0); with mode "a" the position is the end. 0 or -1; -15 for kind 4 (a
// gzip stream cannot be continued where it was left) and other kinds.
int file_reopen(file_t *f, const char *mode, int kind);
// Closes the file; the object stays allocated. Kinds 1 and 3 write back a
// dirty window and close the descriptor, kind 2 fcloses, kind 4 gzcloses.
// The descriptor is -1 afterwards even when closing failed. 0, -12 for NULL,
// or -3 when data may not have reached the file (logged, error 534 or 535
// recorded, write-failed flag set). A failure to close a file opened for
// reading only loses nothing: -1, logged. A closed file gives 0.
int file_close(file_t *f);
// Closes and frees the file held by *fp and sets *fp to NULL. NULL or *fp
// NULL does nothing (0). While a free lock is held: logs "can't free file"
// and returns -1, leaving the file open. Returns -3 like file_close; the
// object is freed all the same.
int file_free(file_t **fp);
// Deletes the file at its name, then frees the object. The result of
// file_free, or -1 when the unlink failed (the object is freed either way).
int file_delete(file_t **fp);
// Records owner as the only code path allowed to free the file. When an
// owner is already recorded: logs "file already free locked" and keeps it
// (-1). 0 otherwise.
int file_free_lock(file_t *f, const void *owner);
// Clears the lock held by owner and frees the file. When another owner
// holds it: logs "file bad free lock" and returns -1. Else file_free's result.
int file_free_unlock(file_t **fp, const void *owner);

// --- transfers ----------------------------------------------------------------------

// Reads up to count bytes at the position. Bytes read (0 at the end of the
// file), or a negative code: -1 for a NULL file, NULL buffer, negative count
// or position, or a failed read; -3 when a kind 3 window could not be
// written back before moving. A count of 0 gives 0. Kind 3 returns whole
// blocks: the part of the last block past the end of the file reads as
// zeros. Reads are timed for the slow-read callback.
int64_t file_read(file_t *f, void *buffer, int64_t count);
// 0 when exactly count bytes were read, a failed read's code, else -20.
int file_read_full(file_t *f, void *buffer, int64_t count);
// Reads count bytes at offset with the positioned transfer of kinds 1 and 3
// (the type's pread slot, else the descriptor), continuing short reads and
// retrying EINTR; logs nothing and leaves the position alone. Bytes read:
// fewer than count at the end of the file or after a failure, whose errno
// is then in *failure (0 otherwise). For callers that handle each failure
// themselves, such as a reader retrying a damaged card block by block.
int64_t file_pread_quiet(file_t *f, void *buffer, size_t count, int64_t offset, int *failure);
// Writes count bytes at the position. Bytes written or a negative code: -12
// for a NULL file, NULL buffer, negative count or position, -15 for an
// unknown kind or a kind 3 object without window, -3 when writing failed
// (the write-failed flag is then set), -1 when kind 3 could not read the
// rest of a partial block (nothing written).
int64_t file_write(file_t *f, const void *buffer, int64_t count);
// 0 when exactly count bytes were written, a failed write's code, else -27.
int file_write_full(file_t *f, const void *buffer, int64_t count);

// Moves the position. -12 for NULL or a negative position; kind 2 seeks the
// stream, kind 4 the gzip stream (-18 when that fails, e.g. backwards in a
// stream opened for writing); -15 for other kinds without type. 0 on success.
int file_seek(file_t *f, int64_t position);
// file_seek to the position plus delta.
int file_skip(file_t *f, int64_t delta);
// The position; -12 for NULL, -15 for other kinds without type.
int64_t file_tell(file_t *f);
// Size in bytes. -12 for NULL. A closed file: the size of its named path
// (0 when missing), -1 without a name. An open file: its descriptor's size
// (block devices asked with BLKGETSIZE64), after flushing the stream (kind
// 2) or writing back the window (kind 3), so data written through the
// object is counted. Kind 4 gives the compressed size on disk so far. A
// failed flush or write-back gives -3.
int64_t file_size(file_t *f);
// Sets the file's length (kind 3 writes back first, kind 2 flushes first).
// 0, -1 (errno), -3 when the write-back failed, -12 for NULL, -15 for other
// kinds.
int file_truncate(file_t *f, int64_t length);

// --- accessors ------------------------------------------------------------------------

// The descriptor (kind 2: the stream's); -12 for NULL, -15 for other kinds.
int file_fd(file_t *f);
// The name, NULL for NULL.
const char *file_name(file_t *f);
// The type's error slot, else the last error; -12 for NULL.
int file_error(file_t *f);
// The type's is-open slot, else descriptor != -1; false for NULL.
bool file_is_open(file_t *f);

// --- process-wide state ----------------------------------------------------------------

// Set by every failed write, flush, close or write-back; never cleared by
// this layer. The scan driver clears it before a scan and tests it after.
extern std::atomic<int> file_write_failed;
int file_write_error_occurred();
void file_clear_write_error();

// Called after a read that took at least the threshold (milliseconds, 0 by
// default), for files with a name, with the name, the read position and the
// milliseconds taken (for kind 3 the position of the transfer that filled
// the window). It runs under the slow-read mutex: it must neither set the
// callback or the threshold nor read through this layer. An empty function
// clears it.
typedef std::function<void(const zorvant::u8string &name, int64_t position, int64_t milliseconds)>
    file_slow_read_fn;
void file_set_slow_read_callback(file_slow_read_fn callback);
void file_set_slow_read_threshold(int64_t milliseconds);

// --- checked wrappers ----------------------------------------------------------------------
// Each logs with its own name first ("xopen: ...") and, where it matters,
// records an error code.

// open through the UTF-8 layer (close-on-exec). On failure logs "xopen: Can't
// open <path> mode <perm>: <text> (<errno>)", records error 3, stores errno
// in f->last_error when f is given, and returns -1 with errno kept.
int xopen(file_t *f, const char *path, int flags, int permission);
// lseek. A negative descriptor logs "xlseek: file not open" (-1); a failed
// seek logs "xlseek: Can't lseek to <offset>", records error 15 and returns -1.
int64_t xlseek(int fd, int64_t offset, int whence);
// Positioned read (EINTR retried). Bytes read (maybe short), or -1 after
// logging "xpread: Can't pread <count>: <text> (<errno>)"; errno kept.
int64_t xpread(int fd, void *buffer, size_t count, int64_t offset);
// Positioned write of all count bytes (short writes are continued). count,
// or -3 after logging "xpwrite: Can't write <count>: <errno>" and recording
// error 13; errno kept (ENOSPC for a write that made no progress).
int64_t xpwrite(int fd, const void *buffer, size_t count, int64_t offset);

// fopen through the UTF-8 layer (close-on-exec); logs "xfopen: Can't open
// <path> mode <mode>: <text>" and returns NULL on failure.
FILE *xfopen(const char *path, const char *mode);
// fread of count items of size bytes: the items read, or -1 only when none
// was read and the stream's error indicator is set.
int64_t xfread(void *buffer, size_t size, size_t count, FILE *stream);
// fwrite: count, or -3 after logging "xfwrite: Can't write <size> x <count>:
// <errno>" when not all items were written.
int64_t xfwrite(const void *buffer, size_t size, size_t count, FILE *stream);
