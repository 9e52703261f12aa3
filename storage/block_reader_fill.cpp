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
//   changes nothing. A device that is gone (device_gone) or data that ends
//   before the end of the range is fatal: the bytes read before the
//   failure are published, then an error marker (length 0, the errno), and
//   the filler ends. So is a device found to have stopped answering
//   (stopped_answering: a long run of failed reads, with reads further on
//   failing too); the run's blocks read so far stay among the bad ranges.
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
#include <random>
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

// A card that stops answering fails every read from some point on. Read
// around block by block like a bad range, it would cost one failed read per
// block to the end of the card: hours for a large card, days on a reader
// that takes seconds per failure. So a long run of failed reads with no read
// delivering bytes among them is checked with a few reads further on, and
// when those fail too the device is taken to have stopped answering: the
// reading ends as for a device gone.
//
// A run is long after kStopRunReads failed reads, or after kStopRunSlowReads
// that took kStopRunUsec or more. A bad range of a card that still answers is
// mostly a few sectors to a few flash pages (tens of KiB): 256 blocks (128
// KiB of 512-byte sectors) is well past that. A reader that takes seconds per
// failed read gets there by time instead: four of them in ten seconds or
// more.
//
// A card that still answers can have many long bad ranges (a flash die or a
// large interleave unit gone bad: every other few hundred KiB unreadable).
// Checked after every 256 failures, such a card would be checked thousands
// of times, and one check whose reads all fell on bad places would end the
// reading though most of the card reads. So every check that a read further
// on passes doubles both the count and the time the next check needs (up to
// kStopRunMaxReads and kStopRunMaxUsec): a card with long bad ranges is
// checked a few times in all, while a card that is really gone fails its
// first check and ends at once. Bounded, so that a card that stops answering
// after long bad ranges still ends: after at most kStopRunMaxUsec of failed
// reads and the reads further on.
constexpr int64_t kStopRunReads = 256;
constexpr int64_t kStopRunMaxReads = 65536; // 32 MiB of 512-byte sectors
constexpr int64_t kStopRunSlowReads = 4;
constexpr int64_t kStopRunUsec = 10 * 1000000;
constexpr int64_t kStopRunMaxUsec = 160 * 1000000;
constexpr int kStopMaxDoublings = 8; // kStopRunReads << 8 is kStopRunMaxReads
// The reads further on: one block each, at distinct places spread over all
// of what is left of the range after the failing block, the last one at its
// last block. What is left is cut into kStopProbes - 1 equal parts, each
// read once at a place within it drawn from a generator seeded with the
// failing block (so the same reading makes the same reads), the parts taken
// from middle to ends in turn (kProbeOrder): the first few reads already
// cover the rest of the card from near to far, and the places keep no
// spacing that bad ranges of a fixed size and period could match (places on
// a fixed fraction of the rest, of any step, all fall on bad stripes for
// some sizes). One read that delivers its block shows that the card still
// answers there: the run is a bad range, read around as before. So a card
// that still answers passes a check unless every one of these falls on a
// bad place: with half of it bad in long stripes, about one check in 30,000.
//
// Their time is bounded: once kStopMinProbes of them are made and they have
// together lasted kStopProbeUsec or more, the rest are not made and the
// check fails (a reader whose failed reads take seconds cannot spare more;
// fewer places would take too many cards that answer for gone). So a card
// that stopped answering ends after at most kStopRunUsec of failed reads
// plus one more read, and then kStopProbeUsec of reads further on plus one
// more read (or kStopMinProbes reads), each slow read followed by the slow
// pause: with failed reads of 3 s, 28 s in all; longer only when a single
// read takes longer than that. (A card
// that passed checks before, on long bad ranges, ends after at most
// kStopRunMaxUsec of failed reads and the reads further on.) The 16 reads
// cost little otherwise: on a card that answers the first read that
// delivers ends the check, and a card that is gone fails them fast.
constexpr int kStopProbes = 16;
constexpr int kProbeOrder[kStopProbes - 1] = {7, 3, 11, 1, 9, 5, 13, 0, 8, 4, 12, 2, 10, 6, 14};
constexpr int64_t kStopProbeUsec = 10 * 1000000;
constexpr int kStopMinProbes = 3;
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
// Errno of data that ends before the end of the range.
constexpr int kEndOfData = ENODATA;

std::atomic<int64_t (*)()> g_time_source{nullptr};

int64_t now_usec()
{
    int64_t (*source)() = g_time_source.load(std::memory_order_acquire);
    if (source != nullptr)
        return source();
    // Durations only: a clock that a time server or a resume sets forward
    // would end a check of the card before its reads are made.
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Errors after which no further read of the device can succeed: the device
// or its medium is gone, the handle is closed, or the connection to the
// device was cut (a network or user-space device whose server went away:
// ECONNABORTED for the read under way, ENOTCONN for every one after it).
bool device_gone(int errnum)
{
    return errnum == ENODEV || errnum == ENXIO || errnum == ENOMEDIUM || errnum == EBADF || errnum == ENOTCONN ||
           errnum == ECONNABORTED;
}

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
    const int64_t started = now_usec();
    const int64_t got = rd_device_read(r->main_file, destination, block * r->p.block_size, bytes, errnum);
    if (now_usec() - started > kSlowReadUsec) {
        note(r, r->slow_record, 1, block, true);
        slow_pause(r);
    }
    return got;
}

// Whether the file's type decodes its own data (an image format: a read
// slot and no positioned one), as rd_device_read tells them apart.
bool decodes_own_data(const file_t *f)
{
    const vf_ops *ops = f != nullptr && f->vf != nullptr ? f->vf->ops : nullptr;
    return ops != nullptr && ops->read != nullptr && ops->pread == nullptr;
}

// A device read delivered bytes: the device answers.
void answered(rd_reader *r)
{
    r->run_reads = 0;
    r->not_answering = false;
}

// Records where the device stopped answering (the first time only).
void note_stop(rd_reader *r, int errnum, int64_t block)
{
    note(r, r->stop_record, errnum, block, true);
}

// The place of the k-th read further on (see kStopProbes) from the failed
// read of block, with last the range's last block; draw gives the generator
// its turn.
int64_t probe_block(int64_t block, int64_t last, int k, std::mt19937_64 &draw)
{
    if (k == kStopProbes)
        return last;
    const double within = static_cast<double>(draw() >> 11) * 0x1.0p-53; // [0, 1)
    const double fraction = (kProbeOrder[k - 1] + within) / (kStopProbes - 1);
    return block + 1 + static_cast<int64_t>(static_cast<double>(last - block - 1) * fraction);
}

// The outcome of a check of a long run.
enum class probe_result {
    answers,   // a read further on delivered its block
    silent,    // every read further on failed (or their time ran out)
    no_verdict // nothing further on to read (the run ends with the range:
               // reading on costs nothing), or a halt (the fill ends anyway)
};

// The reads further on (see kStopProbes) after the failed read of block.
probe_result read_further_on(rd_reader *r, int64_t block, int *made, int64_t *answering)
{
    const int64_t bs = r->p.block_size;
    const int64_t last = (r->p.end_byte - 1) / bs;
    *made = 0;
    if (last <= block)
        return probe_result::no_verdict;
    std::vector<uint8_t> scratch(static_cast<size_t>(bs));
    int64_t probed[kStopProbes];
    std::mt19937_64 draw(static_cast<uint64_t>(block));
    const int64_t started = now_usec();
    for (int k = 1; k <= kStopProbes; ++k) {
        const int64_t at = probe_block(block, last, k, draw);
        if (std::find(probed, probed + *made, at) != probed + *made)
            continue; // a short rest of the range: places repeat
        if (halted(r))
            return probe_result::no_verdict;
        probed[(*made)++] = at;
        const int64_t size = std::min(bs, r->p.end_byte - at * bs);
        int errnum = 0;
        if (timed_read(r, scratch.data(), at, size, &errnum) == size) {
            *answering = at;
            return probe_result::answers;
        }
        if (*made >= kStopMinProbes && now_usec() - started >= kStopProbeUsec)
            break;
    }
    return probe_result::silent;
}

// A device read of block failed with errnum (not a device gone): true when
// the device is now taken to have stopped answering (see kStopRunReads),
// which is logged and recorded. From then on every failed read is taken so
// at once, until a read delivers bytes again. Never for an image format
// decoded by its file type: its failed reads are damaged or missing parts
// of the image, which fail at once however many there are, and are read
// around to show where they lie.
bool stopped_answering(rd_reader *r, int64_t block, int errnum)
{
    if (decodes_own_data(r->main_file))
        return false;
    const int64_t now = now_usec();
    if (r->run_reads++ == 0) {
        r->run_first_block = block;
        r->run_started = now;
    }
    if (r->not_answering)
        return true;
    // The run the check needs: doubled by every check passed (bounded).
    const int shift = r->checks_answered;
    const int64_t reads_needed = std::min(kStopRunReads << shift, kStopRunMaxReads);
    const int64_t usec_needed = std::min(kStopRunUsec << shift, kStopRunMaxUsec);
    const int64_t lasted = now - r->run_started;
    if (r->run_reads < reads_needed && (r->run_reads < kStopRunSlowReads || lasted < usec_needed))
        return false;
    int made = 0;
    int64_t answering = -1;
    const probe_result found = read_further_on(r, block, &made, &answering);
    if (found != probe_result::silent) {
        if (found == probe_result::answers) {
            if (r->checks_answered < kStopMaxDoublings)
                ++r->checks_answered;
            log_error("%s: read(%s): %lld reads from block %lld on failed in %lld ms and none delivered, but block "
                      "%lld further on did: a long bad range, read around",
                      "fill_buffer", r->p.path, static_cast<long long>(r->run_reads),
                      static_cast<long long>(r->run_first_block), static_cast<long long>(lasted / 1000),
                      static_cast<long long>(answering));
        }
        r->run_reads = 0; // counted afresh from the next failure
        return false;
    }
    r->not_answering = true;
    note_stop(r, errnum, r->run_first_block);
    const ErrorText text(errnum);
    log_error("%s: read(%s): %s: %lld reads from block %lld on failed in %lld ms and none delivered, nor did the %d "
              "read(s) further on: the device stopped answering",
              "fill_buffer", r->p.path, text.text, static_cast<long long>(r->run_reads),
              static_cast<long long>(r->run_first_block), static_cast<long long>(lasted / 1000), made);
    return true;
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
    if (device_gone(errnum) && errnum != EBADF)
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

// Reads the chunk at next_block into b (fill_buffer).
rd_fill_result fill_read(rd_reader *r, rd_buffer &b)
{
    const int64_t bs = r->p.block_size;
    const int64_t block = r->next_block;
    const int64_t blocks = std::min<int64_t>(r->p.read_blocks, r->p.stop_block - block);
    const int64_t start = block * bs;
    const int64_t want = std::min(blocks * bs, r->p.end_byte - start);

    int errnum = 0;
    const int64_t got = timed_read(r, b.data, block, want, &errnum);
    if (got > 0)
        answered(r);
    if (got < want) {
        if (errnum == 0)
            return fail(r, b, kEndOfData, block, got);
        if (device_gone(errnum))
            return fail(r, b, errnum, block, got);
        if (got == 0 && stopped_answering(r, block, errnum))
            return fail(r, b, errnum, block, 0);
        // Retry from the block where the chunk stopped, one block at a time.
        int64_t bad = 0, first_bad = -1;
        int last_errnum = 0;
        for (int64_t k = got / bs; k < blocks; ++k) {
            if (halted(r))
                return rd_fill_result::aborted;
            const int64_t offset = k * bs;
            const int64_t size = std::min(bs, want - offset);
            int e = 0;
            const int64_t g = timed_read(r, b.data + offset, block + k, size, &e);
            if (g > 0)
                answered(r);
            if (g == size)
                continue;
            if (e == 0 || device_gone(e))
                return fail(r, b, e == 0 ? kEndOfData : e, block, offset + g);
            if (stopped_answering(r, block + k, e))
                return fail(r, b, e, block, offset);
            std::memset(b.data + offset + g, 0, static_cast<size_t>(size - g));
            rd_note_bad_block(r, e, block + k);
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

void rd_set_time_source(int64_t (*now)())
{
    g_time_source.store(now, std::memory_order_release);
}

bool rd_interrupted()
{
    return abort_requested() != 0 || stop_requested() != 0;
}

int64_t rd_device_read(file_t *f, void *destination, int64_t offset, int64_t count, int *errnum)
{
    *errnum = 0;
    if (f == nullptr) {
        *errnum = EBADF;
        return 0;
    }
    if (decodes_own_data(f)) {
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

void rd_note_bad_block(rd_reader *r, int errnum, int64_t block)
{
    note_error(r, errnum, block);
    std::lock_guard<std::mutex> lock(r->status_mutex);
    auto &list = r->bad;
    // The first range starting after the block, and the one before it.
    auto next = std::upper_bound(list.begin(), list.end(), block, [](int64_t b, const rd_reader::bad_entry &e) {
        return b < e.range.first_block;
    });
    rd_reader::bad_entry *before = next != list.begin() ? &*(next - 1) : nullptr;
    if (before != nullptr && block < before->range.first_block + before->range.blocks)
        return; // read again after a restart: already kept
    const bool joins_before = before != nullptr && before->range.first_block + before->range.blocks == block;
    const bool joins_next = next != list.end() && next->range.first_block == block + 1;
    if (joins_before && joins_next) {
        before->range.blocks += 1 + next->range.blocks;
        before->taken = before->taken && next->taken; // taken again unless both parts were
        list.erase(next);
    } else if (joins_before) {
        ++before->range.blocks;
    } else if (joins_next) {
        --next->range.first_block;
        ++next->range.blocks;
    } else if (list.size() < static_cast<size_t>(RD_BAD_RANGES_MAX)) {
        list.insert(next, rd_reader::bad_entry{rd_bad_range{block, 1, errnum}, false});
        r->bad_untaken.store(true, std::memory_order_release);
    } else {
        if (block != r->bad_last_not_kept + 1)
            ++r->bad_ranges_not_kept;
        ++r->bad_blocks_not_kept;
        r->bad_last_not_kept = block;
    }
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
