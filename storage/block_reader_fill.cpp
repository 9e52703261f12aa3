// The block reader's filling side: timed device reads, the retry of failed
// chunks block by block, end and error markers, the read-ahead thread, and
// restarting the ring at another position. See block_reader.h for what is
// promised and block_reader_internal.h for who owns what.
//
// Implementation notes
// - One device read covers a whole buffer (buffer size / block size
//   blocks): the kernel splits large reads itself, so there is nothing to
//   probe, and an unreadable sector 0 does not keep the reader from being
//   made (damaged cards are what the thorough scan is for).
// - Reads go through the main file object's positioned-transfer slot (a
//   virtual-file type registered under the path sees every device read) or
//   its descriptor, with file_pread_quiet rather than file_read: the retry
//   policy needs the exact errno of the failure and must tell "end of file"
//   (a read returning 0) from a failure after some bytes, and a failing
//   card would otherwise log two lines per bad block. A type that decodes
//   its own data (read slot set, no positioned slot) is read through
//   file_read.
// - A chunk that fails part-way is read again block by block from the
//   block where it stopped. A block that still fails is delivered as zeros
//   (never as bytes of an earlier pass of the ring) and recorded (errno,
//   block, and in the sorted list of bad ranges, merged with its
//   neighbours); reading goes on. Blocks reach the list in the order they
//   are read, mostly ascending, so the list is kept sorted by inserting at
//   the place a binary search finds; a restart may read a range again, which
//   changes nothing. A device that is gone (rd_device_gone) or data that ends
//   before the end of the range is fatal: the bytes read before the
//   failure are published, then an error marker (length 0, the errno), and
//   the filler ends. So is a device found to have stopped answering
//   (rd_run_failed, block_reader_run.cpp: a long run of failed reads, with
//   the reads skipping ahead failing too); the run's blocks read so far stay
//   among the bad ranges. A long run of a device that answers further on
//   makes the filler skip the blocks the run's rule hands back (skip_end):
//   they are kept among the bad ranges at once and delivered as zeros
//   without being read, in this chunk and the ones after.
//   File handles are not closed here: the random-access handle belongs to
//   the consumer's thread; rd_close_files closes both.
// - Every buffer holding the end of the data is zero-padded past its
//   valid bytes, so a consumer reading a whole block at the end sees the
//   valid bytes followed by zeros.
// - A consumer that catches up with the filler sleeps until half the ring
//   is filled (or the data ends, or the ring is full) rather than until its
//   next buffer is: the consumer is then woken once per batch instead of
//   once per buffer, which keeps the wake-ups off the filler's path. It
//   still looks at its buffer at every 100 ms slice.
// - Waits are cut into 100 ms slices that re-test abort, early stop and
//   halt requests (engine flags carry no notification), so no wait depends
//   on a wake-up arriving.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <vector>

#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "foundation/fileops.h"
#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "storage/block_reader_internal.h"

namespace {

// A device read taking more than this is slow (exactly this is not).
constexpr int64_t kSlowReadUsec = 1000000;

constexpr auto kWaitSlice = std::chrono::milliseconds(100);
// Errno of data that ends before the end of the range.
constexpr int kEndOfData = ENODATA;

struct ErrorText {
    char text[128];
    explicit ErrorText(int errnum) { zv_strerror_r(errnum, text, sizeof text); }
};

bool halted(const rd_reader *r)
{
    return r->quit.load(std::memory_order_relaxed) || rd_interrupted();
}

// Records a failure; a slow read only when none is recorded (the first is kept).
void note(rd_reader *r, rd_record &record, int value, int64_t block, bool keep_first)
{
    std::lock_guard<std::mutex> lock(r->status_mutex);
    if (keep_first && record.set.load(std::memory_order_relaxed))
        return;
    record.value = value;
    record.block = block;
    ++record.seq;
    record.set.store(true, std::memory_order_release);
}

void note_error(rd_reader *r, int errnum, int64_t block)
{
    note(r, r->error_record, errnum, block, false);
}

// The pause after a slow read; it ends early on abort, early stop, halt or rd_stop.
void slow_pause(rd_reader *r)
{
    const int32_t milliseconds = r->slow_pause_ms.load(std::memory_order_relaxed);
    if (milliseconds < 1)
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> lock(r->mutex);
    while (!halted(r) && !r->stop_pending.load(std::memory_order_relaxed)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        r->space_cv.wait_until(lock, std::min(deadline, now + kWaitSlice));
    }
}

// One timed device read of bytes at block (rd_timed_read).
int64_t timed_read(rd_reader *r, uint8_t *destination, int64_t block, int64_t bytes, int *errnum)
{
    const int64_t started = rd_now_usec();
    const int64_t got = rd_device_read(r->main_file, destination, block * r->p.block_size, bytes, errnum);
    if (rd_now_usec() - started > kSlowReadUsec) {
        note(r, r->slow_record, 1, block, true);
        slow_pause(r);
    }
    return got;
}

// Records where the device stopped answering (the first time only).
void note_stop(rd_reader *r, int errnum, int64_t block)
{
    note(r, r->stop_record, errnum, block, true);
}

// A device read of block failed with errnum (not a device gone): the run's
// rule (rd_run_failed) with the filler's reads further on. A skip is kept
// among the bad ranges and in skip_end; a stop is recorded. Never a long
// run for an image format decoded by its file type: its failed reads are
// damaged or missing parts of the image, which fail at once however many
// there are, and are read around to show where they lie.
rd_run_verdict on_failed_read(rd_reader *r, int64_t block, int errnum)
{
    if (rd_decodes_own_data(r->main_file))
        return RD_RUN_READ_ON;
    const int64_t bs = r->p.block_size;
    std::vector<uint8_t> scratch;
    rd_run_device device;
    device.path = r->p.path;
    device.last_block = (r->p.end_byte - 1) / bs;
    device.chunk_blocks = r->p.read_blocks;
    device.read = [&](int64_t at, int64_t blocks, int *e) {
        const int64_t size = std::min(blocks * bs, r->p.end_byte - at * bs);
        scratch.resize(static_cast<size_t>(size));
        return timed_read(r, scratch.data(), at, size, e) == size;
    };
    device.halted = [r] { return halted(r); };
    int64_t skip_last = block;
    const rd_run_verdict verdict = rd_run_failed(&r->run, device, block, errnum, &skip_last);
    if (verdict == RD_RUN_STOPPED) {
        note_stop(r, r->run.errnum, r->run.first_block);
    } else if (verdict == RD_RUN_SKIPPED) {
        rd_note_bad_blocks(r, r->run.errnum, block, skip_last - block + 1);
        r->skip_end = skip_last + 1;
    }
    return verdict;
}

rd_fill_result write_marker(rd_reader *r, rd_buffer &b)
{
    std::memset(b.data, 0, static_cast<size_t>(r->p.buffer_size));
    b.length = 0;
    b.error = r->marker_errno;
    b.file_pos = r->next_block * r->p.block_size;
    r->finished = true;
    return rd_fill_result::marker;
}

// Records a fatal failure: the marker follows the bytes read before it.
rd_fill_result fail(rd_reader *r, rd_buffer &b, int errnum, int64_t block, int64_t valid)
{
    const ErrorText text(errnum);
    if (errnum == kEndOfData)
        log_error("%s: short read(%s): %s", "fill_buffer", r->p.path, text.text);
    else
        log_error("%s: read(%s): %s", "fill_buffer", r->p.path, text.text);
    note_error(r, errnum, block + valid / r->p.block_size);
    if (rd_device_gone(errnum) && errnum != EBADF)
        note_stop(r, errnum, block + valid / r->p.block_size);
    r->fatal_errno.store(errnum, std::memory_order_release);
    r->marker_due = true;
    r->marker_errno = errnum;
    if (valid <= 0)
        return write_marker(r, b);
    b.length = static_cast<int32_t>(valid);
    b.error = 0;
    b.file_pos = block * r->p.block_size;
    std::memset(b.data + valid, 0, static_cast<size_t>(r->p.buffer_size - valid));
    return rd_fill_result::last;
}

// Reads the chunk at next_block into b (fill_buffer). Blocks below
// skip_end are zeros, not read.
rd_fill_result fill_read(rd_reader *r, rd_buffer &b)
{
    const int64_t bs = r->p.block_size;
    const int64_t block = r->next_block;
    const int64_t blocks = std::min<int64_t>(r->p.read_blocks, r->p.stop_block - block);
    const int64_t start = block * bs;
    const int64_t want = std::min(blocks * bs, r->p.end_byte - start);
    const int64_t skipped = std::clamp<int64_t>(r->skip_end - block, 0, blocks);
    std::memset(b.data, 0, static_cast<size_t>(std::min(skipped * bs, want)));

    int errnum = 0;
    const int64_t from = skipped * bs;
    const int64_t got = from < want ? timed_read(r, b.data + from, block + skipped, want - from, &errnum) : 0;
    if (got > 0)
        rd_run_answered(&r->run);
    if (from + got < want) {
        if (errnum == 0)
            return fail(r, b, kEndOfData, block, from + got);
        if (rd_device_gone(errnum))
            return fail(r, b, errnum, block, from + got);
        if (got == 0) {
            const rd_run_verdict verdict = on_failed_read(r, block + skipped, errnum);
            if (verdict == RD_RUN_STOPPED)
                return fail(r, b, r->run.errnum, block, from);
            if (verdict == RD_RUN_HALTED)
                return rd_fill_result::aborted;
        }
        // Retry from the block where the chunk stopped, one block at a time.
        int64_t bad = 0, first_bad = -1;
        int last_errnum = 0;
        for (int64_t k = skipped + got / bs; k < blocks; ++k) {
            const int64_t offset = k * bs;
            const int64_t size = std::min(bs, want - offset);
            if (block + k < r->skip_end) {
                std::memset(b.data + offset, 0, static_cast<size_t>(size));
                continue;
            }
            if (halted(r))
                return rd_fill_result::aborted;
            int e = 0;
            const int64_t g = timed_read(r, b.data + offset, block + k, size, &e);
            if (g > 0)
                rd_run_answered(&r->run);
            if (g == size)
                continue;
            if (e == 0 || rd_device_gone(e))
                return fail(r, b, e == 0 ? kEndOfData : e, block, offset + g);
            std::memset(b.data + offset + g, 0, static_cast<size_t>(size - g));
            const rd_run_verdict verdict = on_failed_read(r, block + k, e);
            if (verdict == RD_RUN_STOPPED)
                return fail(r, b, r->run.errnum, block, offset);
            if (verdict == RD_RUN_HALTED)
                return rd_fill_result::aborted;
            if (verdict == RD_RUN_SKIPPED)
                continue; // kept with the skip
            rd_note_bad_blocks(r, e, block + k, 1);
            if (first_bad < 0)
                first_bad = block + k;
            last_errnum = e;
            ++bad;
        }
        if (bad > 0) {
            const ErrorText text(last_errnum);
            log_error("%s: read(%s): %s at block %lld; %lld unreadable block(s) delivered as zeros", "fill_buffer",
                      r->p.path, text.text, static_cast<long long>(first_bad), static_cast<long long>(bad));
        }
    }
    b.length = static_cast<int32_t>(want);
    b.error = 0;
    b.file_pos = start;
    if (want < r->p.buffer_size)
        std::memset(b.data + want, 0, static_cast<size_t>(r->p.buffer_size - want));
    r->next_block = block + blocks;
    if (r->next_block >= r->p.stop_block || r->next_block * bs >= r->p.end_byte) {
        r->marker_due = true;
        r->marker_errno = 0;
        return rd_fill_result::last;
    }
    return rd_fill_result::full;
}

// The read-ahead thread (rd_reader): fills the ring in order until the
// marker is published, then ends; also ends on abort, early stop or halt.
void filler_main(rd_reader *r)
{
    std::unique_lock<std::mutex> lock(r->mutex);
    for (;;) {
        if (halted(r))
            break;
        if (r->reset_requested) {
            rd_reset_filler_state(r, r->reset_block);
            r->reset_requested = false;
            r->reset_cv.notify_all();
            continue;
        }
        if (r->finished)
            break;
        if (r->buffers[r->fill_index].filled.load(std::memory_order_acquire)) {
            r->space_cv.wait_for(lock, kWaitSlice);
            continue;
        }
        lock.unlock();
        const rd_fill_result result = rd_fill_next(r);
        lock.lock();
        // A reset asked for during the read makes its bytes worthless.
        if (result == rd_fill_result::aborted || r->reset_requested)
            continue;
        const int index = r->fill_index;
        rd_publish(r);
        // Wake a waiting consumer only once a batch is ready (see wake_index),
        // at the end of the data, or when the ring is full: a wake-up costs
        // the filler a good part of the time it takes to copy a buffer from
        // the page cache.
        if (r->consumer_waiting && (index == r->wake_index || result != rd_fill_result::full ||
                                    r->buffers[r->fill_index].filled.load(std::memory_order_relaxed)))
            r->data_cv.notify_all();
    }
    r->filler_alive = false;
    r->data_cv.notify_all();
    r->reset_cv.notify_all();
}

} // namespace

bool rd_interrupted()
{
    return abort_requested() != 0 || stop_requested() != 0;
}

bool rd_decodes_own_data(const file_t *f)
{
    const vf_ops *ops = f != nullptr && f->vf != nullptr ? f->vf->ops : nullptr;
    return ops != nullptr && ops->read != nullptr && ops->pread == nullptr;
}

int64_t rd_device_read(file_t *f, void *destination, int64_t offset, int64_t count, int *errnum)
{
    *errnum = 0;
    if (f == nullptr) {
        *errnum = EBADF;
        return 0;
    }
    if (rd_decodes_own_data(f)) {
        if (file_seek(f, offset) != 0) {
            *errnum = EIO;
            return 0;
        }
        const int64_t got = file_read(f, destination, count);
        if (got < 0) {
            *errnum = f->last_error != 0 ? f->last_error : EIO;
            return 0;
        }
        return got;
    }
    return file_pread_quiet(f, destination, static_cast<size_t>(count), offset, errnum);
}

void rd_note_bad_blocks(rd_reader *r, int errnum, int64_t first, int64_t count)
{
    note_error(r, errnum, first);
    const int64_t end = first + count;
    std::lock_guard<std::mutex> lock(r->status_mutex);
    auto &list = r->bad;
    // The ranges the blocks touch or adjoin (the list is sorted and its
    // ranges apart, so their ends are sorted too).
    auto low = std::lower_bound(list.begin(), list.end(), first, [](const rd_reader::bad_entry &e, int64_t b) {
        return e.range.first_block + e.range.blocks < b;
    });
    auto high = low;
    while (high != list.end() && high->range.first_block <= end)
        ++high;
    if (low == high) {
        if (list.size() < static_cast<size_t>(RD_BAD_RANGES_MAX)) {
            list.insert(low, rd_reader::bad_entry{rd_bad_range{first, count, errnum}, false});
            r->bad_untaken.store(true, std::memory_order_release);
        } else {
            if (first != r->bad_last_not_kept + 1)
                ++r->bad_ranges_not_kept;
            r->bad_blocks_not_kept += count;
            r->bad_last_not_kept = end - 1;
        }
        return;
    }
    // Joined into the first of them: taken again unless every part was
    // (blocks added to a range taken do not make it new).
    const int64_t joined_first = std::min(first, low->range.first_block);
    const int64_t joined_end = std::max(end, (high - 1)->range.first_block + (high - 1)->range.blocks);
    for (auto it = low + 1; it != high; ++it)
        low->taken = low->taken && it->taken;
    low->range.first_block = joined_first;
    low->range.blocks = joined_end - joined_first;
    list.erase(low + 1, high);
    if (!low->taken)
        r->bad_untaken.store(true, std::memory_order_release);
}

rd_fill_result rd_fill_next(rd_reader *r)
{
    rd_buffer &b = r->buffers[r->fill_index];
    if (r->finished)
        return rd_fill_result::aborted; // nothing follows the marker
    if (r->marker_due || r->next_block >= r->p.stop_block || r->next_block * r->p.block_size >= r->p.end_byte) {
        if (!r->marker_due)
            r->marker_errno = 0;
        return write_marker(r, b);
    }
    return fill_read(r, b);
}

void rd_publish(rd_reader *r)
{
    r->buffers[r->fill_index].filled.store(1, std::memory_order_release);
    r->fill_index = (r->fill_index + 1) % r->p.num_buffers;
}

void rd_reset_filler_state(rd_reader *r, int64_t block)
{
    for (int i = 0; i < r->p.num_buffers; ++i)
        r->buffers[i].filled.store(0, std::memory_order_release);
    r->next_block = block;
    r->skip_end = 0;
    r->fill_index = 0;
    r->marker_due = false;
    r->marker_errno = 0;
    r->finished = false;
    r->fatal_errno.store(0, std::memory_order_release);
}

bool rd_start_filler(rd_reader *r)
{
    std::lock_guard<std::mutex> threads(r->thread_mutex);
    if (!r->read_ahead.load())
        return false;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (r->filler_alive)
            return true;
    }
    if (r->thread.joinable())
        r->thread.join(); // it has ended: filler_alive is cleared as its last step
    r->quit.store(false);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->filler_alive = true;
    }
    try {
        r->thread = std::thread(filler_main, r);
    } catch (const std::system_error &e) {
        log_error("rd_new: can't start the read-ahead thread for %s: %s", r->p.path, e.what());
        std::lock_guard<std::mutex> lock(r->mutex);
        r->filler_alive = false;
        r->read_ahead.store(false); // the consumer fills the buffers itself
        return false;
    }
    return true;
}

void rd_halt_filler(rd_reader *r)
{
    std::lock_guard<std::mutex> threads(r->thread_mutex);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->quit.store(true);
        r->space_cv.notify_all();
    }
    if (r->thread.joinable())
        r->thread.join();
    r->quit.store(false); // the consumer's own fills test it too
}

void rd_restart_at(rd_reader *r, int64_t position)
{
    const int64_t block = position / r->p.block_size;
    if (r->read_ahead.load()) {
        std::unique_lock<std::mutex> lock(r->mutex);
        if (r->filler_alive) {
            // Empty the ring first: a filler waiting for room would otherwise
            // never look at the request.
            for (int i = 0; i < r->p.num_buffers; ++i)
                r->buffers[i].filled.store(0, std::memory_order_release);
            r->reset_requested = true;
            r->reset_block = block;
            r->space_cv.notify_all();
            while (r->reset_requested && r->filler_alive && !r->stop_pending.load() && !rd_interrupted())
                r->reset_cv.wait_for(lock, kWaitSlice);
            if (!r->reset_requested) {
                lock.unlock();
                rd_reset_consumer(r, block, position);
                return;
            }
        }
    }
    // No filler to acknowledge (ended behind its marker, after a failure or
    // an abort, or read-ahead is off): restart here.
    rd_halt_filler(r);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->reset_requested = false;
    }
    rd_reset_filler_state(r, block);
    rd_reset_consumer(r, block, position);
    if (r->read_ahead.load() && !rd_interrupted())
        rd_start_filler(r);
}

void rd_stop(rd_reader *r)
{
    if (r == nullptr)
        return;
    std::lock_guard<std::mutex> threads(r->thread_mutex);
    if (!r->read_ahead.load())
        return;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        // stop_pending first: a consumer that sees read-ahead off must also
        // see that the filler may still be running.
        r->stop_pending.store(true);
        r->quit.store(true);
        r->read_ahead.store(false);
        r->space_cv.notify_all();
        r->data_cv.notify_all();
        r->reset_cv.notify_all();
    }
    if (r->thread.joinable())
        r->thread.join();
    r->quit.store(false);
}
