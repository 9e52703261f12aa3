// FileArch: a single-file container of folders and files, used for saved scan
// files. SaveScan packs a "ScanInfoList" member and the chosen scans' folders
// into one gzip-compressed container; loading scans reads that member and
// extracts the folders into the workspace through a path-rewriting filter.
//
// Layout (the whole file may be gzip-compressed; the reader takes both):
//
//   header, 24 bytes
//     0   8  "FileArch"
//     8   1  version, 1
//     9   1  1 when the file was written gzip-compressed, else 0
//    10   6  zero
//    16   8  creator tag, NUL-terminated, cut to 7 bytes ("ZO3divi" for SaveScan)
//
//   records, each a 32-byte record header and its payload
//     0   4  "Blk" and a 0 byte
//     4   4  type: "dnam", "fnam", "fdat" or "eof "
//     8  16  zero
//    24   8  payload length, u64 big-endian, at most INT64_MAX
//
//   "dnam"  a folder: its relative path and a NUL (the length counts the NUL)
//   "fnam"  a file's relative path and a NUL; the very next record is its "fdat"
//   "fdat"  the file's bytes
//   "eof "  end of the container, length 0
//
// Member paths are relative to the base folder given when the container is
// made, with backslashes between components (the format's separator; '/' is
// turned into '\' when writing and back when extracting). A path below the
// base folder is stored as the part after the base and the separator that
// follows it; any other path as it stands, less its leading separators.
//
// Member names (checked when writing, reading and after a filter rewrote an
// extraction path): 1 to 259 bytes, no NUL, not absolute, and no component
// that is empty, "." or "..". Both '\' and '/' separate components.
//
// Implementation notes:
// - Extraction never writes outside its target folder: the whole container is
//   read and checked once before anything is written (a damaged or hostile
//   container leaves the target as it was), every path is checked again after
//   the filter, and folders and files are made relative to a descriptor of the
//   target, one component at a time, without following symbolic links.
// - A file that shrinks while it is added fails the add (-1): the declared
//   "fdat" length is taken from the open descriptor and must be copied in full,
//   so the container is never left with a short payload that would shift every
//   later record. Bytes a growing file gains after that are not copied.
// - Adding walks folders without following symbolic links: a link (like any
//   entry that is neither a regular file nor a folder) is skipped in a walk and
//   refused (-1) when named directly.
//
// - The container is written under a temporary name in its own folder
//   (".<name>.zv-partial-" and 12 random hexadecimal digits, made
//   exclusively) and renamed over its path by far_finish once every byte is
//   on the disk, so a file of that name is replaced only by a complete
//   container: a save that fails (a full disk, an abort) leaves whatever
//   stood there before as it was, and removes its temporary file. The
//   temporary is written through the descriptor it was created with
//   (foundation/atomic_file.h), never opened again by name: a link or FIFO
//   put under its name meanwhile is neither written through nor waited for,
//   and is never renamed over the path.
// - The first failure is kept with the side it happened on: the container
//   (its temporary, its folder, the rename) or a source file being added.
//
// Threads: a FileArch belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/atomic_file.h"

struct buf_t;
struct file_t;

enum : int {
    FAR_HEADER_SIZE = 24,
    FAR_RECORD_HEADER_SIZE = 32,
    FAR_COPY_BUFFER_SIZE = 32768,  // pieces in which file data is copied
    FAR_MAX_NAME = 260,            // longest member name, its NUL included
    FAR_MAX_PATH = 1024,           // longest extraction path, its NUL included
    FAR_MAX_LOOKUP_NAME = 1024,    // far_get_member reads "fnam" payloads up to this
    FAR_KIND_FOLDER = 1,           // filter kinds
    FAR_KIND_FILE = 3,
    FAR_FILE_PLAIN = 2,            // file kinds of far_create (the file layer's)
    FAR_FILE_GZIP = 4,
};

// A member larger than this comes back empty from far_get_member.
constexpr uint64_t FAR_MAX_MEMBER_SIZE = 0xA00000; // 10 MiB

// Flags of a filter's result; its low 16 bits are returned when it stops.
enum : uint32_t {
    FAR_FILTER_SKIP_DATA = 0x10000,   // "fdat": do not write the file
    FAR_FILTER_SKIP_FOLDER = 0x20000, // "dnam": do not make the folder
    FAR_FILTER_STOP_BEFORE = 0x40000, // stop before this record's work
    FAR_FILTER_STOP_AFTER = 0x80000,  // stop after it
    FAR_FILTER_RESULT_MASK = 0xFFFF,
};

// Called for each folder (kind FAR_KIND_FOLDER, length 0) and each file
// (FAR_KIND_FILE, its length) before it is made. path holds the full target
// path ("<target>/<member with '/'>", NUL-terminated, the target without
// trailing '/' as given to far_extract) in a buffer of
// path_size (FAR_MAX_PATH) bytes that the filter may rewrite; the rewritten
// path must still lie below the target and obey the member-name rules, or
// extraction ends with -1. The result is 0 or FAR_FILTER_* flags with a code
// in the low 16 bits; a negative result ends extraction with that result.
typedef int (*far_filter_fn)(void *context, char *path, size_t path_size, int kind, int64_t length);

// The side of a failure (FileArch::error_side).
enum : int {
    FAR_SIDE_NONE = 0,
    FAR_SIDE_CONTAINER = 1, // writing the container: its temporary file, its folder, the rename
    FAR_SIDE_SOURCE = 2,    // reading a file or folder being added
};

struct FileArch {
    std::string base;        // base folder, without trailing '/'
    std::string path;        // the container's path
    std::string temp_path;   // the name written until far_finish; "" when none
    atomic_file target;      // the temporary and its folder while writing
    int error = 0;           // errno of the first failure, 0 when none or unknown
    int error_side = FAR_SIDE_NONE; // where the first failure happened
    file_t *file;            // open while writing, else NULL
    std::vector<uint8_t> copy_buffer; // FAR_COPY_BUFFER_SIZE bytes
    uint64_t total_size;     // sizes counted by a count-only pass
    int count_only;          // 1: adding a file only adds its size to total_size
};

// True when name (length bytes, no NUL counted) obeys the member-name rules
// above, with max_length bytes allowed.
bool far_member_name_ok(const char *name, size_t length, size_t max_length = FAR_MAX_NAME - 1);

// A new FileArch for the container at path with base folder base (the
// current folder for NULL, "" or "."). NULL when getcwd fails ("far_new:
// getcwd failed: %d") or memory runs out.
FileArch *far_new(const char *path, const char *base);

// Creates the container's temporary file beside its path, opens it with the
// file kind (FAR_FILE_GZIP for a gzip stream, else plain) and writes the
// header with the creator tag. 0, or -1 (nothing left behind) when the path
// is a folder or the temporary file cannot be made or written.
int far_create(FileArch *far, int kind, const char *creator);

// Keeps errnum (0: unknown) as the failure on side unless a failure is kept
// already: for a caller whose own step failed while it filled the container.
void far_note_failure(FileArch *far, int side, int errnum);

// Adds a regular file ("fnam" + "fdat") or a folder ("dnam", and with
// recursive everything below it, names in sorted order). Anything else, a
// failed stat or read, a file that shrank while it was copied, or a member
// name that breaks the rules gives -1. With count_only set only file sizes are
// totalled and nothing is written.
int far_add_path(FileArch *far, const char *path, int recursive);

// Adds a member named name holding the buffer's bytes (element size x count).
int far_add_member(FileArch *far, const char *name, const buf_t *buffer);
int far_add_member_bytes(FileArch *far, const char *name, const void *data, size_t size);

// Writes the "eof ", closes the container, flushes it to the disk and renames
// it over its path. 0, or -1 when a write, the close, the flush or the rename
// failed: the temporary file is then removed and the path left as it was.
int far_finish(FileArch *far);

// Closes (without "eof ") and frees *far, removing the temporary file of a
// container not finished; sets *far to NULL.
void far_free(FileArch **far);

// Whether the file at path begins as a container does (plain or
// gzip-compressed: its header as the reader sees it). False when it cannot
// be opened as a regular file.
bool far_is_container(const char *path);

// The bytes of the member called name ('/' or '\' separators) in the container
// at path: into buffer when given, else into a buffer of the pool. A member
// over FAR_MAX_MEMBER_SIZE comes back empty (count 0). NULL when the container
// cannot be read, is damaged before the member, or holds no such member (a
// pool buffer is then released; a given one is left as it was, or empty when
// the member's bytes could not be read).
buf_t *far_get_member(const char *path, const char *name, buf_t *buffer);

// Extracts the container at path below target (made when missing) through
// filter (may be NULL). Returns 0 at "eof ", -1 for a container that cannot be
// read, is damaged or truncated, or names a member that breaks the rules (in
// which case nothing was written), -1 when a folder or file cannot be made or
// written, or the filter's code when it stops extraction.
int far_extract(const char *path, const char *target, far_filter_fn filter, void *context);
