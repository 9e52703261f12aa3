// The record archive: a keyed, typed record file in which the engine saves its
// C records (media, scan contexts, found file systems, the thorough-scan store,
// open engine files). A writer appends named items of a few types, grouped in
// named, nested blocks, and at the end a block table and a trailer. A reader
// loads every item into memory and finds each by name within the block that
// is open, so it may ask for items in any order inside a block and skip the
// ones it does not know.
//
// On-disk layout (every integer little-endian)
//
//   header, 8 bytes
//     0   4  "arch"
//     4   1  version (1)
//     5   1  0
//     6   2  magic 0x1133 (bytes 33 11)
//
//   items, back to back from offset 8. A named item is a name item followed
//   by a value item; item indexes count named items from 0 in file order.
//     name item    "n", u32 length (the NUL included, so >= 1), the name
//                  bytes ending in their NUL (no other NUL inside)
//     value item   one tag byte, then by tag:
//                    "c"  1 byte          "h"  i16        "l"  i32
//                    "f"  4 bytes (float) "q"  i64        "d"  8 bytes (double)
//                    "b"  u32 length, then that many bytes
//                    "s"  u32 length (>= 1, the NUL included), the text
//                         ending in its NUL; a NULL text is written as ""
//     No length above ARCHIVE_MAX_LENGTH (8 MiB) is written or accepted.
//
//   block table: one 48-byte entry per block, in the order the blocks were
//   started
//     0   4  "blk0"
//     4   4  0
//     8   4  block type (u32; the engine's blocks use 1)
//    12   4  depth (u32): 1 at top level, one more per enclosing block
//    16  16  name, NUL-terminated, cut to 15 bytes
//    32   4  index of the block's first item (named items written before it)
//    36   4  index one past its last item
//    40   8  0
//
//   trailer, 24 bytes, the last bytes of the file
//     0   4  0xACB1ACB1
//     4   4  block count
//     8   8  file offset of the block table
//    16   4  0
//    20   4  0xACB1ACB1
//   The table ends exactly where the trailer begins:
//   table offset + count x 48 = file size - 24.
//
// Reading
//   With a usable table, a lookup searches the items of the innermost open
//   block (its index range) for the first one not yet used whose depth equals
//   the block's depth and whose name matches, and marks it used: each item is
//   read at most once, items of nested blocks are not seen from the enclosing
//   block, and two items of one name come back in file order. An item's depth
//   is that of the deepest block whose range holds it (0 at top level).
//   Without a usable table (damaged or missing trailer) there are no blocks:
//   a lookup searches forward from the item after the last one found.
//
// Status codes
//   -1 not found, a value that does not fit the type asked, no such block, a
//      load failure; -3 a short write (sticky: see archive_finish); -10 out
//      of memory; -12 a NULL archive or argument; -15 an operation of the
//      other mode, a block nesting error or a finished writer; -16 a length
//      above 8 MiB.
//   Structural faults are logged as "<operation>: error on line <n>" with
//   fixed numbers that identify the check.
//
// Not promised: thread safety (one thread uses an archive at a time), and
// anything about an archive whose writer did not reach archive_finish or
// archive_free with 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct file_t;   // foundation/file.h
struct buf_t;    // foundation/buf.h
struct work_dir; // foundation/workdir.h

enum : int {
    ARCHIVE_WRITE = 0, // archive_new modes
    ARCHIVE_READ = 1,
};

enum : int {
    ARCHIVE_NOT_FOUND = -1,
    ARCHIVE_SHORT_WRITE = -3,
    ARCHIVE_NO_MEMORY = -10,
    ARCHIVE_BAD_ARGUMENT = -12,
    ARCHIVE_WRONG_MODE = -15,
    ARCHIVE_TOO_LONG = -16,
};

// Largest name or value length written or accepted: 8 MiB. The biggest
// records the engine saves (span and name tables) are written in pieces far
// below it; anything larger in a file is damage, and refusing it keeps a
// corrupt length from driving an allocation.
constexpr uint32_t ARCHIVE_MAX_LENGTH = 0x800000;

constexpr size_t ARCHIVE_HEADER_SIZE = 8;
constexpr size_t ARCHIVE_ENTRY_SIZE = 48;
constexpr size_t ARCHIVE_TRAILER_SIZE = 24;
constexpr size_t ARCHIVE_BLOCK_NAME = 16; // bytes of an entry's name field (15 used)
constexpr uint32_t ARCHIVE_TRAILER_MAGIC = 0xACB1ACB1u;
constexpr uint16_t ARCHIVE_MAGIC = 0x1133;

// One item of a reader, pointing into archive::data.
struct archive_item {
    uint64_t name_offset;  // the name and its NUL
    uint64_t value_offset; // the stored value bytes (after tag and length)
    uint32_t name_length;  // NUL included
    uint32_t length;       // bytes of the value
    uint32_t depth;        // depth of the deepest block holding it, 0 at top level
    uint8_t tag;           // 'c', 'h', 'l', 'f', 'q', 'd', 'b' or 's'
    uint8_t used;          // 1 once a lookup has returned it
};

// One block table entry, as written or as loaded.
struct archive_block {
    uint32_t type;                  // the engine's blocks use 1
    uint32_t depth;                 // 1 at top level
    char name[ARCHIVE_BLOCK_NAME];  // cut to 15 bytes, always NUL-terminated
    uint32_t first;                 // index of the first item
    uint32_t end;                   // index one past the last item
    uint8_t used;                   // reader: started once
    uint8_t done;                   // reader: ended; writer: end index stored
};

// An open block: its table entry (-1 for a reader without table), its cut
// name, and (reader) the first item of its range that may still be unused:
// every item before it is used or belongs to a nested block, so lookups start
// there and reading a block in order costs one step per item.
struct archive_open_block {
    int64_t entry;
    char name[ARCHIVE_BLOCK_NAME];
    uint64_t hint;
};

struct archive;
typedef void (*archive_free_fn)(archive *a, void *arg);

struct archive_callback {
    archive_free_fn fn;
    void *arg;
};

struct archive {
    int mode;                               // ARCHIVE_WRITE or ARCHIVE_READ
    file_t *file;                           // writer: the open file; reader: NULL after loading
    buf_t *scratch;                         // values and names copied out by the readers
    std::vector<archive_open_block> stack;  // open blocks, innermost last
    std::vector<archive_callback> callbacks;// run by archive_free
    std::vector<uint8_t> data;              // reader: the bytes the items point into
    std::vector<archive_item> items;        // reader: every item, in file order
    std::vector<archive_block> blocks;      // the block table
    bool has_table;                         // reader: a usable table was loaded
    uint32_t items_written;                 // writer: named items so far
    uint32_t depth;                         // blocks open
    uint64_t table_offset;                  // writer: bytes written so far (where the table goes)
    int64_t last_found;                     // reader: index of the last item returned, -1 at first
    uint64_t top_hint;                      // reader: as archive_open_block::hint, at top level
    int status;                             // writer: 0, or -3 after any short write (sticky)
    int status_errno;                       // writer: the system's error of that first short write
    bool finished;                          // writer: table and trailer written, file closed
};

// ---- Opening, ending, freeing ---------------------------------------------

// Mode ARCHIVE_WRITE: creates path ("wb", stdio kind) and writes the header
// with the given version (1 when 0 is given, 1-255 otherwise).
// Mode ARCHIVE_READ: loads the whole file (see archive_load_memory); the file
// is closed again before this returns. version is not used. Only a regular
// file is read (checked on the open descriptor; anything else: line 151).
// NULL on any failure, logged as "archive_new: error on line <n>".
archive *archive_new(const char *path, int mode, int version);

// Mode ARCHIVE_WRITE through a descriptor the caller opened for writing an
// empty file (a temporary made exclusively, foundation/atomic_file.h): the
// name is never opened, path only names the file in the file layer and in
// messages. The archive owns fd from then on: archive_free closes it, and
// so does a failure here (NULL, logged as archive_new's). The file must be
// flushed this way (archive_free) before it is finished or renamed.
archive *archive_new_fd(const char *path, int fd, int version);

// archive_new on the file of that name inside a folder object, version 1.
archive *archive_open(const work_dir *dir, const char *name, int mode);

// The pure loader: parses size bytes of an archive held in memory into a
// reader (the bytes are copied; the caller's range may go away). 0 and the
// reader through out, or -1 (malformed: header, item, block range) or -16 (a
// stored length above 8 MiB) with *out NULL, logged with "archive_new". The
// memory used is the input's size plus a fixed amount per item and block
// actually present: no count read from the input drives an allocation.
int archive_load_memory(const void *bytes, size_t size, archive **out);

// Writer: ends every block still open (each logged as an error, since the
// writer forgot it; its items stay readable), writes the block table and
// the trailer, and closes the file. Returns 0 only when every byte of the
// archive reached the file: -3 after any short write, now or earlier,
// including a failed flush at close, with errno set to the system's error of
// the first one (EIO when none was told). Later writes give -15. A second
// call, and any call on a reader, returns the same result again.
int archive_finish(archive *a);

// Ends (archive_finish for a writer) and frees: *ap is cleared first, then the
// free callbacks run in the order registered, then everything is released.
// Returns archive_finish's result for a writer (errno as it leaves it), 0
// for a reader or NULL.
int archive_free(archive **ap);

// Registers fn(a, arg) to run when the archive is freed. 0, -10 or -12.
int archive_add_free_callback(archive *a, archive_free_fn fn, void *arg);

// ---- Blocks (both modes) ----------------------------------------------------

// Writer: appends a table entry (name cut to 15 bytes, first item = items
// written so far) one level deeper and opens it.
// Reader: opens the first unused entry of that name nested directly in the
// open block (entries at top level when none is open); -1 and "archive_start_block:
// error on line 1342" when there is none. Without a table only the depth rises.
int archive_start_block(archive *a, const char *name, uint32_t type);
// Closes the innermost block, which must carry this name (compared cut to 15
// bytes). -15 with line 1404 (nothing open), 1416 (no entry) or 1420 (another
// name); -12 for a NULL archive.
int archive_end_block(archive *a, const char *name);

// ---- Writing items (each -15 on a reader or a finished writer, -12 for a NULL
// archive or name, -16 for a length above 8 MiB, -3 for a short write) --------

int archive_long(archive *a, const char *name, int32_t value);            // "l"
int archive_quad(archive *a, const char *name, int64_t value);            // "q"
int archive_char(archive *a, const char *name, uint8_t value);            // "c"
int archive_bytes(archive *a, const char *name, const void *bytes, uint32_t length); // "b"
int archive_string(archive *a, const char *name, const char *text);       // "s"; NULL as ""
// Any tag with its value bytes as stored (little-endian for numbers). The
// length must fit the tag: 1, 2, 4 or 8 bytes for the fixed tags, and for "s"
// at least 1 byte ending in a NUL; -12 otherwise. The writers above use it.
int archive_value(archive *a, const char *name, uint8_t tag, const void *bytes, uint32_t length);

// The block "fp" (type 1) describing an open engine file: "fp_exist" (char, 1
// when f is given) and for a file "mode" (its mode text as used), "io_type"
// (long, its kind), "pos" (quad, its position) and "name" (its path
// relative to base when it lies inside base, else the whole path).
// _archive_fp writes the same items into the block that is open.
int archive_fp(archive *a, file_t *f, const work_dir *base);
int _archive_fp(archive *a, file_t *f, const work_dir *base);

// ---- Reading items (each -15 on a writer, -12 for a NULL archive or name,
// -1 when the item is not found or its value does not fit) ----------------------

// "l"; "c" and "h" sign-extended; "q" when it lies in -2^31 .. 2^32-1 (its low
// 32 bits, so 4294967295 reads as -1).
int unarchive_long(archive *a, const char *name, int32_t *out);
// "q"; "l", "c" and "h" sign-extended.
int unarchive_quad(archive *a, const char *name, int64_t *out);
// "c"; "h", "l" and "q" when the value lies in -128 .. 255 (its low byte).
int unarchive_char(archive *a, const char *name, uint8_t *out);
// Copy the stored bytes of the item, whatever its tag, into the scratch buffer
// and return their number. The scratch copy is always followed by a NUL that
// is not counted, so archive_scratch_text is a C string even for a damaged or
// non-text item. unarchive_string's count includes the text's own NUL.
int unarchive_bytes(archive *a, const char *name);
int unarchive_string(archive *a, const char *name);
// Copies the item into dest. When the stored length differs from size it logs
// "unarchive_bytes_copy: count=<size> n=<stored>" (information), copies the
// smaller amount and zero-fills the rest. Returns the stored length.
int unarchive_bytes_copy(archive *a, const char *name, void *dest, uint32_t size);
// Copies the item into dest only when it holds exactly size bytes: 0, the
// lookup's failure, or -1 for another length (dest untouched).
int unarchive_bytes_exact(archive *a, const char *name, void *dest, uint32_t size);
// Puts the name of the item after the last one found into the scratch buffer
// without consuming anything. Its length (NUL included), or -1 at the end.
int unarchive_peek_name(archive *a);

// Reads the block "fp" and reopens the file it describes: *out is NULL when
// none was saved. A relative name is joined to base's path; the result must
// fit PATH_MAX. Refused (-1, logged): a name that is empty or has a ".."
// component, a mode or kind that is not valid, a negative position, a mode
// that writes with kind 4 (a gzip stream cannot be continued), any mode
// that writes or creates for a name that is not inside base, and anything
// but a regular file (a FIFO, a device, a folder: never waited for). A saved
// "w" reopens as "W" (in place, never truncating). 0, or -1 (also when the
// file cannot be opened); a missing item logs "unarchive_fp: archive error
// for <n>".
int unarchive_fp(archive *a, file_t **out, const work_dir *base);

// ---- The scratch buffer ------------------------------------------------------

const uint8_t *archive_scratch_data(const archive *a); // never NULL for an archive
const char *archive_scratch_text(const archive *a);    // NUL-terminated
int archive_scratch_size(const archive *a);            // bytes of the last copy

// ---- Shared by the archive's own source files ---------------------------------

namespace archive_internal {
// Logs "<operation>: error on line <line>" at error level.
void log_line(const char *operation, int line);
// Copies name cut to 15 bytes into a 16-byte field, zero-padded.
void cut_name(char field[ARCHIVE_BLOCK_NAME], const char *name);
// Copies bytes into the scratch buffer followed by an uncounted NUL. 0, -10 or -16.
int scratch_set(archive *a, const void *bytes, size_t length);
// Allocates an archive of that mode with its scratch buffer; NULL (logged
// with line 140 or 205) when memory runs out.
archive *allocate(int mode);
// Releases everything an archive holds and the object (no callbacks, no writing).
void release(archive *a);
// Writer: table and trailer at the current end (archive_finish's writing part).
int write_table(archive *a);
// Writer: creates the file (or, fd >= 0, writes through that descriptor,
// which it owns) and writes the header.
archive *create(const char *path, int version, int fd);
// Reader: loads the file at path.
archive *load_file(const char *path);
// Reader's start of a block.
int read_start_block(archive *a, const char *name);
} // namespace archive_internal
