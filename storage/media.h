// Media records: the core's record of one readable medium (a whole disk,
// one partition of it, a plain file, a disk-image file, or a medium restored
// from a saved scan). Every scan, recovery and file module reads a card
// through a Media: its byte window [start_pos, stop_pos) on the underlying
// file or device, a read position, the block size, an optional block reader
// with read-ahead, the partition map found on it, its content checksum and
// the file-system type found on it.
//
// All listed media live in one process-wide list (newest first) under one
// mutex; callers hold plain pointers and look media up by id. Ids count
// from 1. A listed medium takes the id its identity had before (the kind
// and path of a card or file, a disk's size, a partition's slice and window
// on its card), unless a listed medium holds it now; otherwise a fresh id,
// never handed out before. A disk under a device path it never had takes
// the id its contents (size and checksum) had, and its partitions theirs.
// Unlisted media have id 0. A single medium is
// not locked: its positions and reader belong to the thread using it; its
// open count, and whether its file is open, change under the list mutex
// (media_retain, media_release), so several threads may retain it.
//
// Paths are compared byte for byte (Linux file names are case-sensitive).
//
// Status codes: -1 failure, -4 no reader could be made, -5 aborted, -6
// stopped early (not the end: reading may go on), -10 out of memory, -12 bad
// argument, -15 no reader / request too large, -16 an archive value missing
// or unreadable, -17 pattern not found, -18 position out of range or end of
// the medium, -34 short read through the block reader (the reader failed).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/block_reader.h"

struct archive;
struct buf_t;
struct file_t;
struct rd_reader;
struct rd_bad_report;

// How a read through the block reader ends when it cannot hand out what was
// asked. A block loop must tell them apart: only MEDIA_END means the whole
// medium was read; MEDIA_STOPPED (an early stop, or media_rd_stop from
// another thread while the read waited) ends a scan as an early stop, with
// what was found kept; MEDIA_READ_FAILED is a read failure.
enum : int {
    MEDIA_ABORTED = -5,      // abort requested
    MEDIA_STOPPED = -6,      // an early stop or media_rd_stop cut the read; the position is
                             // unchanged and the same read made again reads on
    MEDIA_END = -18,         // the end of the medium: nothing more to read
    MEDIA_READ_FAILED = -34, // the reader failed (device error it could not get past, medium gone)
};

// Kinds of medium.
enum : uint32_t {
    MEDIA_PARTITION = 1, // a window on the parent's path
    MEDIA_DISK = 2,      // a whole disk (block device)
    MEDIA_ARCHIVED = 3,  // restored from an archive; not listed
    MEDIA_FILE = 4,      // a plain file added by the user
    MEDIA_IMAGE = 6,     // a disk-image file read through its virtual-file type
};

enum : uint32_t {
    MEDIA_FLAG_UNLISTED = 1, // not entered in the global list
};

// Partition-map types.
enum : uint32_t {
    PARTITION_MAP_NONE = 0,
    PARTITION_MAP_APPLE = 1,
    PARTITION_MAP_GPT = 2,
    PARTITION_MAP_MBR = 3,
    PARTITION_SCHEME_WHOLE = 4, // partition scheme only: a file system fills the medium
};

struct media_partition_entry {
    int32_t slice; // 1, 2, 3 ... in the order found (0 for the whole-medium pseudo-entry)
    int64_t start; // bytes from the medium's start
    int64_t size;  // bytes
};

struct media_partition_table {
    uint32_t type = PARTITION_MAP_NONE;
    std::vector<media_partition_entry> entries;
};

enum : int { MEDIA_CHECKSUM_COUNT = 16, MEDIA_CHECKSUM_SAMPLE = 4096 };

struct media_checksum {
    int32_t count = 0;                          // values computed, 0..16
    uint32_t values[MEDIA_CHECKSUM_COUNT] = {}; // CRC-32 of each sample, 0 where not computed
};

// What a card names itself, read when it is attached (media_identity.cpp):
// its partition table's disk id and the serial and label of each FAT or
// exFAT volume on it. Kept with a scan's medium beside the content checksum,
// so that a scan is not taken for another card of its size whose samples
// fall mostly on blank space (see media_content_agrees).
struct media_identity {
    bool kept = false;              // false: a medium restored from a record saved before these were kept
    std::vector<std::string> names; // one text per name, in the order found ("disk id 1A2B3C4D", ...)
};

struct Media {
    file_t *io = nullptr;            // owned; NULL when the medium has no path
    char *name = nullptr;            // heap text; display name
    int32_t slice = 0;               // partition entry number, else 0
    uint32_t id = 0;
    int32_t open_count = 0;
    uint32_t flags = 0;
    uint32_t kind = 0;
    uint8_t attached = 0;
    uint32_t fs_type = 0;            // high nibble of the packed code
    uint32_t fs_subtype = 0;         // low nibble
    uint32_t partition_scheme = 0;   // map type with >= 1 entry, 4 whole, else 0
    int64_t start_pos = 0, stop_pos = 0;
    int64_t byte_pos = 0;            // read position, relative to start_pos
    int64_t data_pos = 0;            // relative position of the bytes last handed out
    int64_t orig_start_pos = 0, orig_stop_pos = 0;
    uint8_t write_protected = 1;
    int32_t block_size = 0;
    rd_reader *reader = nullptr;     // owned
    int32_t available = 0;           // bytes offered at the last media_get_max_bytes
    media_partition_table partitions;
    Media *parent = nullptr;
    std::vector<uint32_t> children;
    media_checksum checksum;
    media_identity identity;
    uint8_t characteristics_initialised = 0;
    uint8_t initialising = 0;        // listed, but its window and characteristics are still
                                     // being set (changed under the list mutex only);
                                     // media_for_each passes it by until it and its
                                     // partition media are set up
    char *description = nullptr;     // cached media_description
    char *saved_path = nullptr;      // heap text; a medium restored from an archive: the path it
                                     // was saved with (never opened by this layer), else NULL
    // A copy's reads outside the block reader (media_copy_read), in 512-byte
    // sectors of the window: their run of failed reads, and the sectors its
    // rule last took as unreadable without reading them.
    rd_run copy_run;
    int64_t copy_skip_first = -1, copy_skip_last = -1;
    uint8_t not_answering = 0;       // a top-level medium whose device stopped answering
                                     // (media_note_not_answering): an attach does not read it
                                     // again until it has been detached
};

// The engine's media parameters record.
struct MediaParams {
    int32_t block_size;
    int64_t orig_start_pos, orig_stop_pos;
    int64_t start_pos, stop_pos;
};

// --- creation and lookup -------------------------------------------------------------

Media *media_new(const char *path, const char *name, uint32_t kind, uint32_t flags);
// The scoring match of a returning physical disk (see media.cpp). Does not
// initialise the characteristics: the caller sets the window first.
Media *media_find_or_new(const char *path, const char *name, int64_t size, int write_protected,
                         uint32_t kind);
// A whole disk: device path, display name, write-protected flag, size in
// bytes and logical block size (not a power of two from 512 to 65536: 512,
// logged). Finds or makes the medium, sets its window, reads its partition
// map and checksum outside the list mutex, then makes its partition media.
Media *media_attach_disk(const char *device_path, const char *name, int write_protected,
                         int64_t size, int32_t block_size);
Media *media_attach_image(const char *path);
// A plain file (or a disk named by path): its size is that of the
// descriptor the file layer opened and checked. NULL, logged "media_attach_file:
// Can't open <path>", when it cannot be opened as a regular file or a disk
// for reading (missing, a FIFO, another device, a folder); a medium found
// again under that path is then left detached.
Media *media_attach_file(const char *path);
Media *media_find_by_id(uint32_t id, int flags); // flags bit 0 attached, bit 1 detached
Media *media_find_attached_by_id(uint32_t id);
void media_detach_path(const char *path);
// Visits every listed medium, newest first, under the list mutex, until
// visit returns false. A medium still being attached (its window, map and
// checksum not yet set) is passed by. visit must not call anything that takes the list
// mutex (media_new, media_free, media_find_*, media_detach_path, the
// attach functions) and should do no device I/O.
void media_for_each(const std::function<bool(Media *)> &visit);
void media_free(Media **media);
// Every listed medium is freed (process end and tests).
void media_free_all();

uint32_t media_child_id(const Media *media, int index);
const char *media_description(Media *media);
const char *media_name(const Media *media);
const char *media_path(const Media *media);
// The kind of the card or file a medium belongs to: its own for a top-level
// medium, its parent's for a partition (MEDIA_DISK, MEDIA_IMAGE,
// MEDIA_FILE; MEDIA_ARCHIVED for a saved copy); 0 for NULL or a partition
// whose parent is gone. Takes the list mutex.
uint32_t media_top_kind(const Media *media);
int64_t media_length(const Media *media);
// NULL-safe accessors for the fields that have a rule of their own.
int64_t media_byte_pos(const Media *media); // -1 for NULL
int64_t media_data_pos(const Media *media); // -1 for NULL
uint32_t media_fs_code(const Media *media); // fs_type x 16 + fs_subtype
int media_partition_count(const Media *media);
const media_partition_entry *media_partition_at(const Media *media, int index); // NULL beyond the end
int media_get_params(const Media *media, MediaParams *params);
int media_set_params(Media *media, const MediaParams *params);

// The partition step and one child (both public for the disks manager).
void media_make_partitions(Media *media);
Media *media_partition_child(Media *parent, const media_partition_entry &entry, bool whole);
// Partition map and checksum, once per attachment.
void media_init_characteristics(Media *media);

// The file-system prescan of a new partition medium, installed by the scan
// layer; it sets fs_type/fs_subtype and returns 0 when a file system was
// found. Without a hook nothing is found (a whole-medium child is dropped).
typedef int (*media_prescan_fn)(Media *media);
void media_set_prescan_hook(media_prescan_fn hook);

// --- ids kept by the workspace -----------------------------------------------------------

// Identities kept at most: beyond it the least recently used is forgotten.
enum : int { MEDIA_IDS_KEPT_MAX = 1024 };

// One identity (a text made by the media layer) and the id it takes.
struct media_known_id {
    uint32_t id;
    std::string identity;
};

// Replaces the table of kept ids with one saved earlier (least recently used
// first), before anything is attached; fresh ids then count on from above
// next_id and every id of the table. media_ids_known gives the table, least
// recently used first, and the next fresh id.
void media_ids_restore(const std::vector<media_known_id> &known, uint32_t next_id);
std::vector<media_known_id> media_ids_known(uint32_t *next_id);

// --- opening and positioning -------------------------------------------------------------

int media_retain(Media *media);
// Opens the medium's file object for reading when it is closed: 0, or the
// file layer's code. Opening sets the object's name anew, and other threads
// compare the names of listed media under the list mutex (media_detach_path
// from the device monitor, the attach functions), so the open is made under
// that mutex.
int media_open_io(Media *media);
void media_release(Media *media);
int media_seek(Media *media, int64_t offset);
// Positions the file object at the absolute window offset start_pos + offset
// (used to step over a chunk that could not be read: callers pass the next
// chunk's offset, never a delta from a position a short read left behind).
int media_io_seek(Media *media, int64_t offset);

// --- reading --------------------------------------------------------------------------------

// Up to n bytes at byte_pos (a pointer into the reader's ring): 0 with the
// count when some were got (fewer than n only when the read was cut short),
// else -18 (MEDIA_END) at the end, -6 (MEDIA_STOPPED) on a stop, -5 on an
// abort, -34 when the reader failed, -15 without a reader. byte_pos
// advances by the count. media_get_bytes_full gives the same codes when it
// gets fewer than n (the position still advances by the count got).
int media_get_bytes(Media *media, const uint8_t **out, int32_t n, int32_t *count);
int media_get_bytes_full(Media *media, const uint8_t **out, int32_t n, int32_t *count);
// The block loop's read: a pointer to at least n bytes (n < 1: everything
// offered). 0 with byte_pos advanced; -18 (MEDIA_END) at the end of the
// medium only, -6 (MEDIA_STOPPED) when an early stop or media_rd_stop cut
// the wait, -5 when aborted, -34 when the reader failed, -15 without a
// reader. On failure byte_pos is unchanged. At the end of a medium whose
// length is not a multiple of the block size the last request returns 0
// with the valid bytes first and zeros after them; `available` holds the
// valid count.
int media_get_max_bytes(Media *media, const uint8_t **out, int32_t n);
// Reads n bytes at byte_pos (any n: large requests are read in pieces).
// Without a reader: at most up to the end of the window and of the file's
// own bytes; the count. With a reader: n, or -5/-6 when an abort or stop
// cut it, else -34 for any shorter read; byte_pos is then moved back.
int64_t media_read(Media *media, void *buffer, int64_t n);
// Appends up to n bytes read at byte_pos through the file object (also
// when the medium has a block reader) to the growable buffer: never past
// the window's end nor past the file's own bytes (the file object's zero
// padding of the last block is not data). The count, advancing byte_pos;
// 0 at the end or without a file object; a negative read or buffer code.
int64_t media_read_append(Media *media, buf_t *buffer, int n);
// The reader's random-access read (its own position, set by media_rd_seek
// to the window offset): never past the window or the file's end; the
// count, 0 at the end, -1 without a reader. media_rd_seek: 0, -1 without a
// reader or when the seek fails, -18 for an offset outside [0, length].
int64_t media_rd_read(Media *media, void *buffer, int64_t n);
// Reads n bytes at the window offset straight from the device, the way the
// block reader reads a damaged chunk again block by block (rd_device_read):
// never past the window, nothing logged or recorded, byte_pos left alone.
// The count; *errnum is 0 when a short count means the end of the data,
// else the errno that stopped it (EBADF without a file object).
int64_t media_read_quiet(Media *media, void *buffer, int64_t offset, int64_t n, int *errnum);
// A copy's read of n bytes at the window offset (a multiple of 512) that a
// larger read could not deliver (the recovery of files reading sector by
// sector): media_read_quiet under the block reader's rule for runs of failed
// reads (rd_run_failed), with the medium's own run. A long run makes the
// reads further on: the sectors a skip passes then fail without being read,
// and once the device stopped answering (media_copy_stopped_at, the medium
// marked as with media_note_not_answering) every failed read says so at
// once, until a read of the medium delivers again; a read whose connection
// to the device was cut (ENOTCONN, ECONNABORTED) finds it stopped at once.
// The count; *errnum as media_read_quiet's (the run's errno for a skipped
// sector); *verdict RD_RUN_SKIPPED for a skipped sector, RD_RUN_STOPPED,
// RD_RUN_HALTED for an abort during the reads further on, else
// RD_RUN_READ_ON (also for the end of the data, EBADF, a medium gone
// (media_gone) and every failure of an image format decoded by its file
// type (rd_decodes_own_data), which the rule leaves to the caller).
int64_t media_copy_read(Media *media, void *buffer, int64_t offset, int64_t n, int *errnum, rd_run_verdict *verdict);
// Where a copy's reads found the medium stopped answering (media_copy_read):
// the byte of the window where its failing reads began, else -1.
int64_t media_copy_stopped_at(const Media *media);
// Marks the card of the medium (the top-level medium) as a device that
// stopped answering: the attaches of a reload do not read it again (its
// partition map and checksum stay as they were) until it is detached, as a
// card taken out and put back is.
void media_note_not_answering(Media *media);
int media_rd_seek(Media *media, int64_t offset);

// Creates the medium's block reader over its window (a block size that is
// not a power of two from 512 to 65536 is logged and read as 512). 0 or -1.
int setup_reader(Media *media, bool read_ahead, buf_t *buffer_holder);
// May come from another thread while the medium is read: the read waiting
// then ends with MEDIA_STOPPED, and the next read goes on without read-ahead.
void media_rd_stop(Media *media);
void media_rd_close(Media *media);
// Called once per block, and after each read whose failure matters: logs a
// slow read ("Slow read of %s near block %lld"), each new unreadable range
// ("Error reading %s near block %lld", its first device block) and a fatal
// read failure (same line, its block). Returns the errno that ended the
// reader's reading (see block_reader.h: a device gone, data ending early),
// also when a restart of the ring has cleared it since for a device gone;
// 0 while it can read on (unreadable blocks delivered as zeros included)
// or without a reader.
int media_check_reader_errors(Media *media);
// Whether a read that failed with errnum met a medium that is gone: the
// medium is detached, errnum is what a removed device answers (ENODEV,
// ENXIO, ENOMEDIUM), or a block device ended inside the medium (ENODATA:
// its card was taken out). Any other failure is the medium's own.
bool media_gone(const Media *media, int errnum);
// Where the medium stopped answering while its block reader read it
// (rd_stopped_block: a long run of failed reads that reads further on
// confirmed, or a read that found the device gone): the byte of the window
// where the failing reads began, else -1 (also without a reader). Whether
// the medium was removed is media_gone's to say: a removed card has stopped
// answering too.
int64_t media_stopped_at(const Media *media);
// The medium's error report: every unreadable range its reader found since
// setup_reader (blocks delivered as zeros; device blocks, neighbours
// merged, at most RD_BAD_RANGES_MAX listed and the rest counted). Returns
// the number of unreadable blocks (0 without a reader; report zeroed).
int64_t media_read_errors(const Media *media, rd_bad_report *report);
// Logs that report (information level): "Unreadable parts of %s: %lld
// blocks of %d bytes in %lld ranges" (and "%lld ranges not listed" when
// some did not fit), then "  blocks %lld to %lld: %s" per listed range.
// Nothing when every block could be read. Returns the block count.
int64_t media_log_read_errors(const Media *media);
// Logs a report of unreadable ranges under a name (a medium's path, a
// recovered file's path) in the lines of media_log_read_errors. Nothing
// when the report has no block. Returns the block count.
int64_t media_log_bad_report(const char *name, const rd_bad_report &report);

int64_t media_byte_search(Media *media, int64_t from, int64_t to, const void *pattern, int length);

// --- archive ----------------------------------------------------------------------------------

int media_archive(Media *media, archive *a, bool refresh);
int media_unarchive(archive *a, Media **out);

// --- partition map (partition_map.cpp) ---------------------------------------------------------

int media_read_partition_map(Media *media, media_partition_table *table);
int media_partition_table_archive(const media_partition_table *table, archive *a);
int media_partition_table_unarchive(media_partition_table *table, archive *a);

// --- checksum and matching (media_checksum.cpp) ---------------------------------------------------

void media_checksum_compute(Media *media, media_checksum *record);
int media_checksum_refresh(Media *media, media_checksum *record, bool retain);
int media_checksum_archive(const media_checksum *record, archive *a);
int media_checksum_unarchive(media_checksum *record, archive *a);
// Score (low 16 bits, signed) and maximum (high 16 bits), both saturated.
uint32_t media_compare(Media *attached, Media *saved, buf_t *report);
struct media_match {
    Media *media;
    uint32_t result;
};
// The attached media whose score ratio reaches level and that obey
// media_content_agrees (one that does not is logged, "Media %s is not %s:
// %s"), best first; level 0: every attached medium with its score.
std::vector<media_match> media_find_matching(Media *saved, double level, bool report);
// The checksum's values as text ("%08x" each, blank-separated), or "" when
// none of them is of written content (a blank medium, or none computed).
std::string media_content_text(const media_checksum &record);
// The content rule every match of a saved medium obeys (media_find_matching
// drops the attached media that break it): every sample that held data
// when saved (not blank, not unread) and can be read now is equal, at least
// one of them (every one for a record older than the names); where fewer
// than MEDIA_SAMPLES_THAT_IDENTIFY of them are, the names of the card
// (media_identity) are equal too, unless the saved medium comes from a
// record older than them. A blank sample that holds data now breaks
// nothing. With why, why it is broken, in words.
enum : int { MEDIA_SAMPLES_THAT_IDENTIFY = 4 };
bool media_content_agrees(const Media *attached, const Media *saved, std::string *why);
// Whether attached holds what saved was saved with, its name aside: the
// same window and slice, media_content_agrees, and at least one sample
// saved of written content (a blank medium says nothing of which card it
// is). How a medium the user names for a scan is recognised when its file
// was renamed since.
bool media_same_contents(const Media *attached, const Media *saved);

// --- the card's own names (media_identity.cpp) ------------------------------------------------

// Reads the names of an open medium into record (kept set): nothing is
// logged; a boot sector that cannot be read or is not one names nothing.
void media_identity_read(Media *media, media_identity *record);
// The names' items in the medium's block, after its partition table (a
// record not kept writes none). Unarchiving a record without them gives
// kept false and 0; -16 for a damaged one.
int media_identity_archive(const media_identity *record, archive *a);
int media_identity_unarchive(media_identity *record, archive *a);
