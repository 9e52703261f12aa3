// Internal interface between the two halves of the block reader: the ring
// and its consumer (block_reader.cpp) and the device reads with the filler
// thread (block_reader_fill.cpp). Not for use outside them.
//
// Coordinates
//   The consumer works in "virtual" byte positions counted from the start
//   of the ring's current run (set by every restart): virtual position v
//   lies in virtual buffer v / buffer_size, which lives in ring buffer
//   (v / buffer_size) % num_buffers, at ring byte v % ring_size. The device
//   byte of v is base_pos + v. Buffers are filled strictly in order, so
//   virtual buffer k always holds the device bytes
//   [base_pos + k x buffer_size, ... + length).
//
// Ownership
//   - Buffer data and length/file_pos/error: written by the filler while the
//     buffer is empty, read by the consumer while it is filled. The filled
//     flag is stored with release by the filler and loaded with acquire by
//     the consumer, so the consumer's fast path takes no lock.
//   - Filler state (next_block, fill_index, marker_*, finished): owned by the
//     filler thread while it is alive (filler_alive, under the mutex), else
//     by the consumer (which then fills buffers itself).
//   - Consumer state: the consumer thread only. rd_stop, the one call that
//     may come from another thread, never touches it: it leaves stop_pending
//     for the consumer to apply on its next call.
//   - The mutex guards filler_alive, the reset request and the waits; the
//     thread mutex guards the std::thread object (spawn and join).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/block_reader.h"

struct file_t;

// One buffer of the ring.
struct alignas(64) rd_buffer { // one cache line each: the filler publishes one while the consumer polls the next
    uint8_t *data = nullptr;        // fixed: ring start + index x buffer size
    int32_t length = 0;             // valid bytes; below the buffer size the data ends there
    int32_t error = 0;              // errno carried by an error marker (length 0), else 0
    int64_t file_pos = 0;           // device byte of data[0]
    std::atomic<uint8_t> filled{0}; // 1: owned by the consumer
};

// A failure recorded for the medium to report. The flag lets the per-block
// queries skip the lock while nothing is recorded; seq and seen let a clear
// keep a failure recorded after the caller last looked.
struct rd_record {
    std::atomic<bool> set{false};
    int value = 0;
    int64_t block = 0;
    uint64_t seq = 0;         // bumped by every record
    uint64_t seen = UINT64_MAX; // seq when the caller last looked; MAX: not since the last clear
};

// Outcome of filling one buffer.
enum class rd_fill_result {
    full,    // a whole buffer of data; more follows
    last,    // data (possibly short) and the range or the readable data ends after it
    marker,  // an end or error marker (length 0) was written: nothing follows
    aborted, // abort, early stop or a halt came first: nothing written, state unchanged
};

struct rd_reader {
    // --- parameters, fixed after rd_new (plain data, poisoned by rd_close)
    struct {
        char path[1024];        // the parameter cut to 1023 characters
        int32_t buffer_size;    // bytes, a multiple of the block size
        int32_t num_buffers;    // at least 2
        int32_t max_request;    // at most (num_buffers - 1) x buffer_size
        int32_t block_size;
        int64_t start_block;
        int64_t stop_block;     // exclusive
        int64_t end_byte;       // end of valid data: min(stop_byte, stop_block x block_size)
        int32_t read_blocks;    // blocks per device read (buffer_size / block_size)
        int64_t ring_size;      // num_buffers x buffer_size
        uint8_t *ring;          // page-aligned inside the holder's data
        uint8_t *wrap;          // ring + ring_size, max_request bytes
        buf_t *holder;
        bool owns_holder;
    } p{};
    std::unique_ptr<rd_buffer[]> buffers;

    file_t *main_file = nullptr;   // kind 1, sequential device reads (filler)
    file_t *random_file = nullptr; // kind 3, rd_read (consumer)
    int64_t random_pos = 0;

    // --- filler state (see Ownership); the groups below sit on cache lines
    // of their own, so the consumer's per-block updates do not slow the filler.
    alignas(64) int64_t next_block = 0;   // next block to read
    int32_t fill_index = 0;   // ring buffer the next fill goes to
    bool marker_due = false;  // the next fill writes the marker
    int32_t marker_errno = 0; // errno of the marker (0: plain end of range)
    bool finished = false;    // the marker has been published
    int64_t skip_end = 0;     // blocks below it, from a skip over a long bad range, are zeros unread
    // The run of failed device reads since the last one that delivered
    // bytes (filler state like the above, but kept across restarts: seeking
    // elsewhere does not make a card answer again).
    rd_run run;

    // --- consumer state
    alignas(64) int64_t base_pos = 0;    // device byte of virtual position 0
    int64_t vpos = 0;        // the consumer's position (start of the pending request)
    int32_t pending = 0;     // bytes of the current request
    int64_t cur_vbuf = 0;    // vpos / buffer_size: every virtual buffer below it is released
    int64_t cycle_end = 0;   // virtual position where the ring's current pass ends
    int64_t known_vbuf = 0;  // first virtual buffer not yet seen filled
    int32_t known_index = 0; // its ring buffer: known_vbuf % num_buffers
    int64_t frontier = 0;    // end of the contiguous valid bytes seen from cur_vbuf on
    bool closed = false;     // the frontier ends at a short buffer: nothing follows it
    int64_t wrap_vstart = -1; // virtual position copied to the wrap area's start (-1 none)
    int32_t wrap_len = 0;     // bytes of the wrap area holding that copy
    rd_outcome cut = RD_OUTCOME_STOPPED;     // why the last wait gave up (set by ensure)
    rd_outcome outcome = RD_OUTCOME_FULL;    // why the last request was short

    // --- threads
    alignas(64) std::mutex mutex;
    std::condition_variable data_cv;  // a buffer was filled, or the filler ended
    std::condition_variable space_cv; // a buffer was emptied, a reset or a halt was asked
    std::condition_variable reset_cv; // a reset was done
    bool filler_alive = false;        // under mutex
    bool consumer_waiting = false;    // under mutex: the consumer sleeps on data_cv
    int32_t wake_index = 0;           // under mutex: the buffer whose filling wakes it
    bool reset_requested = false;     // under mutex
    int64_t reset_block = 0;          // under mutex
    std::mutex thread_mutex;          // guards thread (spawn, join)
    std::thread thread;
    std::atomic<bool> read_ahead{false};
    std::atomic<bool> quit{false};         // the filler is to end
    std::atomic<bool> stop_pending{false}; // rd_stop happened; the consumer resets the ring
    std::atomic<int> fatal_errno{0};
    std::atomic<int32_t> slow_pause_ms{1000};

    // --- recorded failures, under status_mutex
    alignas(64) mutable std::mutex status_mutex;
    mutable rd_record error_record; // errno and block of the last failed device read
    mutable rd_record slow_record;  // 1 and the first slow block
    rd_record stop_record;          // errno and block where the device stopped answering (the first time)
    // Bad ranges (blocks delivered as zeros), by first block; neighbours merged.
    struct bad_entry {
        rd_bad_range range;
        bool taken; // handed out by rd_take_new_bad_ranges
    };
    std::vector<bad_entry> bad;              // at most RD_BAD_RANGES_MAX
    int64_t bad_blocks_not_kept = 0;         // blocks that did not fit in the list
    int64_t bad_ranges_not_kept = 0;         // runs of them
    int64_t bad_last_not_kept = -2;          // the last such block (joins the next one's run)
    std::atomic<bool> bad_untaken{false};    // some entry is not taken yet
};

// --- block_reader_fill.cpp ---------------------------------------------------------------

// Abort or early stop requested (engine_status.h).
bool rd_interrupted();
// Records blocks first.. first + count - 1, unreadable and delivered as
// zeros: the error record (errnum, first) and the bad ranges.
void rd_note_bad_blocks(rd_reader *r, int errnum, int64_t first, int64_t count);
// The clock of device reads and runs (microseconds; rd_set_time_source).
int64_t rd_now_usec();
// Errors after which no further read of the device can succeed: the device
// or its medium is gone, the handle is closed, or the connection to the
// device was cut (a network or user-space device whose server went away:
// ECONNABORTED for the read under way, ENOTCONN for every one after it).
bool rd_device_gone(int errnum);
// Fills buffers[fill_index] from next_block (or writes the marker) without
// publishing it; the caller sets filled and advances fill_index.
rd_fill_result rd_fill_next(rd_reader *r);
// Publishes buffers[fill_index] (release) and moves fill_index on.
void rd_publish(rd_reader *r);
// Starts the filler thread from the current filler state (joining an ended
// one first). False when read-ahead is off.
bool rd_start_filler(rd_reader *r);
// Makes the filler end and joins it.
void rd_halt_filler(rd_reader *r);
// Empties the ring and restarts reading at the device byte position.
void rd_restart_at(rd_reader *r, int64_t position);
// Resets the filler state for a run from block (filler not running).
void rd_reset_filler_state(rd_reader *r, int64_t block);

// --- block_reader.cpp ---------------------------------------------------------------------

// Resets the consumer state for a run whose buffer 0 starts at block, with
// the consumer at position.
void rd_reset_consumer(rd_reader *r, int64_t block, int64_t position);
