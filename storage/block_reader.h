// The block reader: reads a device or file sequentially, block by block,
// between a start block and a stop block, into a ring of equal buffers, and
// hands its consumer pointers straight into the ring (never copies).
//
// Ring layout: N buffers of buffer-size bytes back to back, followed by the
// wrap area (max-request bytes). When a request runs past the end of the
// ring, the leading bytes of buffer 0 (and of as many following buffers as
// the request needs) are copied into the wrap area, so every request up to
// the maximum is one contiguous run of memory.
//
// With read-ahead one filler thread keeps the ring full while the consumer
// works through it; without read-ahead the consumer's own requests fill the
// buffers. A filled buffer belongs to the consumer, an empty one to the
// filler; only the filler sets "filled", only the consumer (or a reset)
// clears it.
//
// What is promised about the bytes handed out
//   - Never stale or shifted data: a chunk the device fails to deliver is
//     retried block by block; blocks that still fail are delivered as zeros,
//     and the failure is recorded (error number and block, and every such
//     block in the bad ranges) for the medium to report. A device that is
//     gone (ENODEV, ENXIO, ENOMEDIUM, EBADF, or a connection to it cut:
//     ENOTCONN, ECONNABORTED) or a file that ends before the stop position
//     is fatal: the filler publishes an error marker and every later request
//     returns 0 bytes with rd_failed() non-zero. The consumer never waits
//     for data that cannot come.
//   - A device that stops answering is not read to its end block by block,
//     nor is a long bad range (rd_run_failed): after a long run of failed
//     reads with none delivering bytes (256, or 4 lasting 10 s or more),
//     reads skip ahead over the rest of the range: one in each octave from
//     the failing block on and 16 spread over the rest. When they all fail,
//     the device is taken to have stopped answering: that is fatal as a
//     device gone is (marker, rd_failed: the errno of the last failed read),
//     and recorded with the run's first block (rd_stopped_block). Until a
//     read delivers bytes again, every failed read after it (also after a
//     restart elsewhere) is fatal at once. When one delivers, the blocks from the failing one to
//     the last that fails before the first good place found are delivered
//     as zeros without being read, kept among the bad ranges, and reading
//     goes on after them. An image format decoded by its file type
//     (rd_device_read) is always read around block by block: its failures
//     are damaged or missing parts of the image, which cost no device's
//     time.
//   - A range whose last block is partial (a plain file whose size is not a
//     multiple of the block size) is read to its last byte: the final buffer
//     counts only the valid bytes and is zero-padded to the block boundary.
//   - Slow reads (one device read taking more than 1,000,000 microseconds)
//     are recorded (the first slow block is kept until cleared) and followed
//     by a pause of the slow pause (1000 ms).
//
// Threads: the consumer side (every function here) is used by one thread at
// a time, with one exception: rd_stop may also come from another thread
// while the consumer waits; the wait then ends with 0 bytes. rd_stop,
// rd_close_files and rd_close join the filler. Every wait ends on abort or
// early stop (foundation/engine_status.h) and on rd_stop; the consumer then
// sees the bytes available so far (0 when none).
//
// Failures recorded for the medium: the error record holds the last device
// read that failed (errno, block) and the slow record the first slow block;
// the per-block queries take no lock while nothing is recorded. A clear
// removes what the caller last read; a failure recorded after that survives
// it, so none goes unreported. Every block delivered as zeros is also kept
// in the list of bad ranges (neighbours merged, at most RD_BAD_RANGES_MAX
// ranges; what does not fit is counted), which lives as long as the reader.
//
// Why a request came back short (rd_last_outcome): the end of the range, a
// fatal failure, an abort, or a stop (an early stop, or rd_stop from another
// thread). A stop is never reported as the end: the data goes on, and the
// next request reads on from the same position.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

struct buf_t;
struct file_t;
struct rd_reader;

// Creation parameters.
struct rd_params {
    const char *path;       // device or file, opened through the file layer
                            // (a virtual-file type registered under the path applies)
    int32_t block_size;     // bytes; a power of two
    int64_t start_block;    // first block read
    int64_t stop_block;     // exclusive, must not be 0; the block holding the last
                            // byte when the range ends inside a block
    int64_t stop_byte;      // absolute end of valid data in bytes (exclusive);
                            // 0 means stop_block x block_size
    int32_t max_request;    // largest contiguous request in bytes; capped at
                            // (buffers - 1) x buffer size
    int32_t buffer_size;    // bytes, a multiple of block_size
    int32_t num_buffers;    // at least 2
    bool read_ahead;        // start the filler thread
    buf_t *buffer_holder;   // holds the ring memory; NULL takes the pooled buffer "reader"
};

// Why the last request (rd_get, rd_get_offered, or an rd_request that grew
// it) got fewer bytes than asked.
enum rd_outcome : int {
    RD_OUTCOME_FULL = 0,    // every byte asked for was there
    RD_OUTCOME_END = 1,     // the range ended cleanly: nothing follows
    RD_OUTCOME_FAILED = 2,  // the filler failed fatally (rd_failed) or the ring is unusable
    RD_OUTCOME_ABORTED = 3, // abort was requested while the request waited
    RD_OUTCOME_STOPPED = 4, // an early stop, or rd_stop from another thread, cut the wait;
                            // the same request made again reads on
};

// A run of neighbouring device blocks that could not be read and were
// delivered as zeros.
struct rd_bad_range {
    int64_t first_block; // absolute device block (byte first_block x block size)
    int64_t blocks;      // at least 1
    int32_t errnum;      // errno of the first failed read of the run
};

// At most this many bad ranges are kept per reader (24 bytes each, so the
// list never passes 24 KiB, however damaged the card). A card with more
// separate bad places than this is failing everywhere; past the cap the
// ranges and blocks are still counted.
enum : int { RD_BAD_RANGES_MAX = 1024 };

struct rd_bad_report {
    int64_t blocks = 0;          // unreadable blocks in all, kept or not (a block past the
                                 // cap read again after a restart counts again)
    int64_t ranges = 0;          // ranges in all: the list plus ranges_not_kept
    int64_t ranges_not_kept = 0; // ranges found while the list was full
    int32_t block_size = 0;      // bytes per block
    std::vector<rd_bad_range> list; // the kept ranges, by first block
};

// Creates and opens the reader, or NULL (logged: "bufsize must be multiple
// of blocksize" (also for a block size below 1), "There must be at least 2
// buffers", "Missing rd stop_block param.", "rd_new: bad maximum request",
// "rd_new: block range ... out of range", "rd_new: Can't allocate %d bytes
// of memory", or rd_open's line). Nothing is read here: a device whose first
// sectors cannot be read still gets a reader (the failures show in the data
// as zeros and in rd_error_number). A maximum request above (buffers - 1) x
// buffer size is capped (logged).
rd_reader *rd_new(const rd_params *params);
// Opens the main (kind 1) and random-access (kind 3) handles when not open.
// 0, or -1 after logging "rd_open: open(<path>): <errno text>". Not while
// the filler runs (after rd_new, call rd_close_files first).
int rd_open(rd_reader *reader);

// Consumes the previous request, then returns a pointer to the bytes at the
// reader position with *count set to min(n, bytes available). Waits (in 5 s
// rounds, logging "q_wait_for_data: timed out") until every buffer the n
// bytes cover is filled, or the range ended, or the filler failed, or abort
// or early stop was requested. NULL with *count 0 for n above the maximum
// request ("Maximum read request is %d, got %d").
const uint8_t *rd_get(rd_reader *reader, int32_t n, int32_t *count);
// Like rd_get for at least `min` bytes (min >= 1), but *count is every byte
// contiguously available from the position without further waiting, up to
// the maximum request (at least min unless the range ended or failed). The
// pending request is *count; shorten it with rd_request.
const uint8_t *rd_get_offered(rd_reader *reader, int32_t min, int32_t *count);
// Changes the length of the current (pending) request to n and returns the
// bytes available for it (at most n); waits like rd_get when n grows. n
// above the maximum request logs "Maximum request length exceeded,
// reqlen=%d, n=%d" and returns 0, leaving the request as it was.
int32_t rd_request(rd_reader *reader, int32_t n);
// Moves the reader to an absolute byte position. Inside a filled buffer only
// the offset moves (no device read); elsewhere the ring restarts at the
// containing block (never deadlocks, also when the filler has already ended).
// -1 for a negative position or one past stop_block x block_size.
int rd_seek(rd_reader *reader, int64_t position);
// Random-access reads on the second handle, at their own position.
// rd_set_pos: 0, or -1 for a negative position or a failed seek.
int rd_set_pos(rd_reader *reader, int64_t position);
// Reads up to n bytes at the random-access position and advances it by the
// count. Never past the end of the range (stop_byte) nor past the real end
// of the file (a kind 3 handle pads the last block with zeros: those are
// not data). The count (0 at or past the end), or -1 for n < 1 or when
// nothing could be read.
int64_t rd_read(rd_reader *reader, void *buffer, int64_t n);

// Switches read-ahead off: ends the filler (joined) and empties the ring.
// The consumer's next call restarts the ring at its position (after the
// pending request for rd_get/rd_get_offered) and from then on fills the
// buffers itself. May be called from another thread while the consumer
// waits (see Threads).
void rd_stop(rd_reader *reader);
// rd_stop, then frees both file handles (after a fatal failure, and by the
// medium before rd_close). Later reads fail with EBADF (rd_failed).
void rd_close_files(rd_reader *reader);
// rd_stop, then frees the reader, its buffer holder when it owns it, and
// any file handle still open.
void rd_close(rd_reader *reader);

// Errors recorded by the reader. rd_error_number/rd_error_block describe the
// last failed device read (errno, block); rd_clear_error clears both.
int rd_error_number(const rd_reader *reader);
int64_t rd_error_block(const rd_reader *reader);
void rd_clear_error(rd_reader *reader);
// Where the device stopped answering, the first time it did (see above):
// the first block of the run of failed reads that made the reader take it
// so, or the block of a read that found the device gone; -1 while it
// answers. *errnum (when given) gets that read's errno, 0 with -1. Kept for
// the reader's life: a restart, a clear or a read that delivers later does
// not undo it.
int64_t rd_stopped_block(const rd_reader *reader, int *errnum = nullptr);
// The first slow block since the last clear.
bool rd_slow(const rd_reader *reader);
int64_t rd_slow_block(const rd_reader *reader);
void rd_clear_slow(rd_reader *reader);
// Non-zero (an errno) once the filler has failed fatally (ENODATA when the
// data ended before the end of the range); requests at or past the failure
// then offer 0 bytes. A restart (rd_seek outside the ring) clears it.
int rd_failed(const rd_reader *reader);
// True once the consumer's position (the start of the current request) has
// reached the end of the valid data.
bool rd_at_end(const rd_reader *reader);
// Why the last request was short (see rd_outcome); RD_OUTCOME_FULL when it was not.
rd_outcome rd_last_outcome(const rd_reader *reader);
// The bad ranges recorded so far, with their counts.
void rd_bad_blocks(const rd_reader *reader, rd_bad_report *report);
// Appends to *out the kept ranges not handed out by an earlier call (each
// range once, as it stood when taken; a range that grows after that is not
// taken again, unless it grew by joining a range not yet taken) and returns
// how many. Takes no lock when there are none.
int rd_take_new_bad_ranges(rd_reader *reader, std::vector<rd_bad_range> *out);
// One device read as the reader makes it: count bytes at the absolute
// offset through the file object's positioned transfer (a registered type's
// slot, else the descriptor), or through file_seek and file_read for a type
// that decodes its own data (read slot, no positioned slot). Logs nothing
// and records nothing, so a caller retrying a damaged chunk block by block
// sees each block's own errno. The bytes read; *errnum is 0 when a short
// count means the end of the data, else the errno that stopped it.
int64_t rd_device_read(file_t *f, void *destination, int64_t offset, int64_t count, int *errnum);
// Whether the file's type decodes its own data (an image format: a read
// slot and no positioned one), as rd_device_read tells them apart. Its
// failed reads are damaged or missing parts of the image, never a device
// that stopped answering: neither the filler nor a copy's reads
// (media_copy_read) hold them to the rule for runs of failed reads.
bool rd_decodes_own_data(const file_t *f);
int32_t rd_max_request(const rd_reader *reader);
int32_t rd_block_size(const rd_reader *reader);

// --- a run of failed reads (block_reader_run.cpp) -----------------------------------------

// The failed reads of one device since one last delivered bytes. The block
// reader keeps one per reader; another reader of a device (the recovery of
// files) keeps its own.
struct rd_run {
    int64_t reads = 0;          // failed reads in the run
    int64_t first_block = 0;    // block of its first failed read
    int64_t started = 0;        // clock (us) at its first failed read
    int32_t errnum = 0;         // errno of its last failed read
    bool not_answering = false; // judged: the device stopped answering (until a read delivers)
};

// What a failed read makes of the run (rd_run_failed).
enum rd_run_verdict : int {
    RD_RUN_READ_ON = 0, // not a long run (or nothing further on): read on, block by block
    RD_RUN_SKIPPED = 1, // a long bad range of a device that answers further on: the blocks
                        // from the failing one to *skip_last are to be taken as unreadable
                        // without reading them; reading goes on after them
    RD_RUN_STOPPED = 2, // the device stopped answering at the run's first block (run->errnum:
                        // the errno to end with, a device gone's when one showed)
    RD_RUN_HALTED = 3,  // read() or halted() asked to stop the reads further on: no verdict
};

// The device a run's reads further on are made of.
struct rd_run_device {
    const char *caller = "fill_buffer"; // for the log
    const char *path = nullptr;
    int64_t last_block = 0;   // the last block of the range read
    int64_t chunk_blocks = 1; // blocks per read when reading back over a good area
    // Reads blocks at block (cut at the range's end) into scratch memory of
    // its own: whether every byte was delivered; *errnum as rd_device_read.
    std::function<bool(int64_t block, int64_t blocks, int *errnum)> read;
    std::function<bool()> halted; // an abort or halt: the reads further on end
};

// A device read of block failed with errnum. Counts it in the run and, when
// the run is long, makes the reads further on (see block_reader_run.cpp for
// the rule and its bound), which are logged. A device gone (ENODEV, ENXIO,
// ENOMEDIUM, EBADF, ENOTCONN, ECONNABORTED) stopped answering at once. A
// device that stopped answering stays so for the run (every later failed
// read returns RD_RUN_STOPPED at once) until rd_run_answered.
rd_run_verdict rd_run_failed(rd_run *run, const rd_run_device &device, int64_t block, int errnum, int64_t *skip_last);
// A device read delivered bytes: the run ends.
void rd_run_answered(rd_run *run);

// Test seams: the microsecond clock used to time device reads and runs of
// failed reads (NULL restores the steady clock) and the slow pause in
// milliseconds (default 1000).
void rd_set_time_source(int64_t (*now_usec)());
void rd_set_slow_pause(rd_reader *reader, int32_t milliseconds);
