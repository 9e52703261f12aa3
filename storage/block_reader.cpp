// The block reader's ring and its consumer: creation, requests, seeking,
// random-access reads, the recorded failures and closing. The device reads
// and the read-ahead thread are in block_reader_fill.cpp.
//
// Memory layout (one block from the buffer holder, page-aligned start):
//
//   ring start                                     ring end
//   | buffer 0 | buffer 1 | ... | buffer N-1 | wrap area (max request bytes) |
//
// The wrap area holds a copy of the leading bytes of the ring's next pass
// (buffer 0 and as many following buffers as a request needs), so a request
// that runs past the ring's end reads on contiguously. The copy is made once
// per pass, growing only when a longer request needs more of it, and is
// forgotten when buffer 0 is released.
//
// Implementation notes
// - The consumer keeps a "frontier": the end of the contiguous valid bytes
//   it has already seen filled. A filled buffer stays filled until the
//   consumer releases it, so what it has seen stays true, and each request
//   costs a few comparisons and at most one acquire load of the next
//   buffer's filled flag. Locks are taken only to release a buffer (once per
//   buffer), to wait, and to restart.
// - A buffer shorter than the buffer size ends the data (end of the range,
//   or a fatal failure); the frontier never passes it, so the consumer never
//   waits for data behind an end and never reads buffers of an older pass.
// - The maximum request is capped at (buffers - 1) x buffer size: a request
//   from anywhere in a buffer then fits in the N buffers starting with it,
//   all of which the filler can fill while the consumer holds the first.
// - A request refused for its size changes nothing (position and pending
//   request stay as they were).
#include "storage/block_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "storage/block_reader_internal.h"

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(100);
constexpr auto kSpin = std::chrono::microseconds(50); // see wait_buffer

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
constexpr int kSlicesPerTimeoutLog = 50; // "timed out" every 5 s of waiting
// The ring starts on a page: the kernel copies into a buffer that is not
// cache-line aligned several times more slowly.
constexpr uintptr_t kRingAlignment = 4096;
constexpr uint64_t kNoneSeen = UINT64_MAX;

uint8_t *current_pointer(const rd_reader *r)
{
    return r->p.ring + (r->vpos - (r->cycle_end - r->p.ring_size));
}

// Marks every virtual buffer from cur_vbuf up to new_cur empty (consumed).
void release_through(rd_reader *r, int64_t new_cur)
{
    if (new_cur <= r->cur_vbuf)
        return;
    const int n = r->p.num_buffers;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        for (int64_t vb = r->cur_vbuf; vb < new_cur; ++vb) {
            const int index = static_cast<int>(vb % n);
            r->buffers[index].filled.store(0, std::memory_order_release);
            if (index == 0) {
                r->wrap_vstart = -1;
                r->wrap_len = 0;
            }
        }
    }
    r->space_cv.notify_one();
    r->cur_vbuf = new_cur;
}

// Moves the consumer to virtual position v, which lies in a buffer seen filled.
void move_to(rd_reader *r, int64_t v)
{
    r->vpos = v;
    const int64_t bs = r->p.buffer_size;
    if (v >= (r->cur_vbuf + 1) * bs)
        release_through(r, v / bs);
    if (v >= r->cycle_end || v < r->cycle_end - r->p.ring_size)
        r->cycle_end = (v / r->p.ring_size + 1) * r->p.ring_size;
}

// Consumes the pending request.
void consume(rd_reader *r)
{
    if (r->pending <= 0) {
        r->pending = 0;
        return;
    }
    const int64_t v = r->vpos + r->pending;
    r->pending = 0;
    move_to(r, v);
}

// Takes note of buffers filled since the last look, without waiting, until
// the frontier reaches limit.
void extend(rd_reader *r, int64_t limit)
{
    const int64_t bs = r->p.buffer_size;
    const int n = r->p.num_buffers;
    while (!r->closed && r->frontier < limit && r->known_vbuf < r->cur_vbuf + n) {
        const rd_buffer &b = r->buffers[r->known_index];
        if (!b.filled.load(std::memory_order_acquire))
            break;
        r->frontier = r->known_vbuf * bs + b.length;
        ++r->known_vbuf;
        if (++r->known_index == n)
            r->known_index = 0;
        if (b.length < bs)
            r->closed = true;
    }
}

// Read-ahead: waits until virtual buffer vbuf is filled. False on abort,
// early stop, rd_stop, or when nothing more can come.
bool wait_buffer(rd_reader *r, int64_t vbuf)
{
    const int n = r->p.num_buffers;
    const rd_buffer &b = r->buffers[vbuf % n];
    // From the page cache a buffer is filled in a few tens of microseconds,
    // about what a sleep and wake-up costs: look again for a short while
    // before sleeping. A slow card is waited for asleep.
    const auto spin_until = std::chrono::steady_clock::now() + kSpin;
    do {
        for (int i = 0; i < 64; ++i) {
            if (b.filled.load(std::memory_order_acquire))
                return true;
            cpu_relax();
        }
    } while (std::chrono::steady_clock::now() < spin_until);
    // Wake up once a batch is there: half the ring, within the buffers the
    // filler can fill while the consumer holds cur_vbuf .. vbuf - 1.
    const int64_t batch = std::max<int64_t>(1, std::min<int64_t>(n / 2, n - (vbuf - r->cur_vbuf)));
    std::unique_lock<std::mutex> lock(r->mutex);
    int slices = 0;
    for (;;) {
        if (b.filled.load(std::memory_order_acquire))
            return true;
        if (r->stop_pending.load() || rd_interrupted())
            return false;
        if (!r->filler_alive) {
            if (r->finished)
                return false;
            // The filler ended on an abort or early stop that is over: go on.
            lock.unlock();
            if (!rd_start_filler(r))
                return false;
            lock.lock();
            continue;
        }
        r->wake_index = static_cast<int32_t>((vbuf + batch - 1) % n);
        r->consumer_waiting = true;
        r->data_cv.wait_for(lock, kWaitSlice);
        r->consumer_waiting = false;
        if (++slices == kSlicesPerTimeoutLog && !b.filled.load(std::memory_order_acquire)) {
            slices = 0;
            lock.unlock();
            log_info("%s: timed out", "q_wait_for_data");
            lock.lock();
        }
    }
}

// Without read-ahead: fills the next buffer here.
bool fill_here(rd_reader *r)
{
    if (r->finished)
        return false;
    if (r->fill_index != r->known_index ||
        r->buffers[r->fill_index].filled.load(std::memory_order_acquire)) {
        log_error("Corrupt buffers in rd_reader!");
        return false;
    }
    if (rd_fill_next(r) == rd_fill_result::aborted)
        return false;
    rd_publish(r);
    return true;
}

// Why a wait gave up: an abort wins over a stop; a fatal failure shows as
// one; anything else (an early stop, rd_stop, a flag already cleared again
// by another thread) is a stop, after which the same request reads on.
rd_outcome why_cut(const rd_reader *r)
{
    if (abort_requested() != 0)
        return RD_OUTCOME_ABORTED;
    if (r->fatal_errno.load(std::memory_order_acquire) != 0)
        return RD_OUTCOME_FAILED;
    return RD_OUTCOME_STOPPED;
}

// Makes the bytes up to virtual position limit ready (or the data end).
// False when that could not be waited for (r->cut says why).
bool ensure(rd_reader *r, int64_t limit)
{
    for (;;) {
        extend(r, limit);
        if (r->closed || r->frontier >= limit)
            return true;
        if (r->read_ahead.load()) {
            if (wait_buffer(r, r->known_vbuf))
                continue;
            // Read-ahead switched itself off (no thread): fill here instead.
            if (r->read_ahead.load() || r->stop_pending.load()) {
                r->cut = why_cut(r);
                return false;
            }
        } else {
            if (r->stop_pending.load()) {
                r->cut = why_cut(r);
                return false;
            }
            if (!fill_here(r)) {
                r->cut = r->finished ? RD_OUTCOME_FAILED : why_cut(r);
                return false;
            }
        }
    }
}

// Sets the outcome of a request for the bytes up to virtual position limit.
void note_outcome(rd_reader *r, int64_t limit)
{
    if (r->vpos + r->pending >= limit)
        r->outcome = RD_OUTCOME_FULL;
    else if (r->closed) // the data ends at the frontier: the range's end, or a failure
        r->outcome = r->fatal_errno.load(std::memory_order_acquire) != 0 ? RD_OUTCOME_FAILED : RD_OUTCOME_END;
    else
        r->outcome = r->cut;
}

// Copies into the wrap area what a request reaching virtual position upto
// needs from the ring's next pass.
void make_contiguous(rd_reader *r, int64_t upto)
{
    if (upto <= r->cycle_end)
        return;
    const int64_t need = upto - r->cycle_end; // < max request
    if (r->wrap_vstart != r->cycle_end) {
        r->wrap_vstart = r->cycle_end;
        r->wrap_len = 0;
    }
    if (need > r->wrap_len) {
        std::memcpy(r->p.wrap + r->wrap_len, r->p.ring + r->wrap_len, static_cast<size_t>(need - r->wrap_len));
        r->wrap_len = static_cast<int32_t>(need);
    }
}

// Sets the current request to n bytes (pending < n <= max request).
int32_t request_more(rd_reader *r, int32_t n)
{
    const int64_t v = r->vpos;
    const int64_t limit = v + n;
    if (r->frontier < limit && !r->closed)
        ensure(r, limit);
    const int64_t upto = std::min(limit, r->frontier);
    make_contiguous(r, upto);
    r->pending = static_cast<int32_t>(std::max<int64_t>(upto - v, 0));
    note_outcome(r, limit);
    return r->pending;
}

// Applies an rd_stop: the ring restarts at the consumer's position (after
// the pending request when consume is set), to be filled by the consumer.
// False while the filler has not ended yet.
bool settle(rd_reader *r, bool consume_pending)
{
    if (!r->stop_pending.load(std::memory_order_acquire))
        return true;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (r->filler_alive)
            return false;
        r->reset_requested = false;
    }
    const int64_t position = r->base_pos + r->vpos + (consume_pending ? r->pending : 0);
    const int64_t block = position / r->p.block_size;
    rd_reset_filler_state(r, block);
    rd_reset_consumer(r, block, position);
    r->stop_pending.store(false);
    return true;
}

void log_too_large(const rd_reader *r, int32_t n)
{
    log_error("Maximum read request is %d, got %d", r->p.max_request, n);
}

} // namespace

void rd_reset_consumer(rd_reader *r, int64_t block, int64_t position)
{
    r->base_pos = block * r->p.block_size;
    r->vpos = position - r->base_pos;
    r->pending = 0;
    r->cur_vbuf = 0;
    r->cycle_end = r->p.ring_size;
    r->known_vbuf = 0;
    r->known_index = 0;
    r->frontier = 0;
    r->closed = false;
    r->wrap_vstart = -1;
    r->wrap_len = 0;
}

// --- creation and closing ------------------------------------------------------------

rd_reader *rd_new(const rd_params *params)
{
    if (params == nullptr || params->path == nullptr) {
        log_error("rd_new: no path given");
        return nullptr;
    }
    const rd_params &q = *params;
    if (q.block_size <= 0 || q.buffer_size <= 0 || q.buffer_size % q.block_size != 0) {
        log_error("bufsize must be multiple of blocksize");
        return nullptr;
    }
    if (q.num_buffers < 2) {
        log_error("There must be at least 2 buffers");
        return nullptr;
    }
    if (q.stop_block == 0) {
        log_error("Missing rd stop_block param.");
        return nullptr;
    }
    if (q.start_block < 0 || q.stop_block < 0 || q.stop_block > INT64_MAX / q.block_size) {
        log_error("rd_new: block range %lld to %lld out of range", static_cast<long long>(q.start_block),
                  static_cast<long long>(q.stop_block));
        return nullptr;
    }
    if (q.max_request < 1) {
        log_error("rd_new: bad maximum request %d", q.max_request);
        return nullptr;
    }
    int32_t max_request = q.max_request;
    const int64_t max_limit = static_cast<int64_t>(q.num_buffers - 1) * q.buffer_size;
    if (max_request > max_limit) {
        log_info("rd_new: maximum request %d capped at %lld bytes (%d buffers of %d bytes)", max_request,
                 static_cast<long long>(max_limit), q.num_buffers, q.buffer_size);
        max_request = static_cast<int32_t>(max_limit);
    }
    const int64_t ring_size = static_cast<int64_t>(q.num_buffers) * q.buffer_size;
    const int64_t bytes = ring_size + max_request + static_cast<int64_t>(kRingAlignment);

    rd_reader *r = new (std::nothrow) rd_reader;
    if (r == nullptr || bytes > INT_MAX) {
        log_error("%s: Can't allocate %lld bytes of memory", "rd_new", static_cast<long long>(bytes));
        delete r;
        return nullptr;
    }
    r->p.holder = q.buffer_holder != nullptr ? q.buffer_holder : buf_pool_get_named("reader");
    r->p.owns_holder = q.buffer_holder == nullptr;
    r->buffers.reset(new (std::nothrow) rd_buffer[q.num_buffers]);
    if (r->p.holder == nullptr || r->buffers == nullptr || buf_reserve(r->p.holder, static_cast<size_t>(bytes)) != 0) {
        log_error("%s: Can't allocate %lld bytes of memory", "rd_new", static_cast<long long>(bytes));
        rd_close(r);
        return nullptr;
    }
    std::strncpy(r->p.path, q.path, sizeof r->p.path - 1);
    r->p.buffer_size = q.buffer_size;
    r->p.num_buffers = q.num_buffers;
    r->p.max_request = max_request;
    r->p.block_size = q.block_size;
    r->p.start_block = q.start_block;
    r->p.stop_block = q.stop_block;
    r->p.end_byte = q.stop_block * q.block_size;
    if (q.stop_byte > 0 && q.stop_byte < r->p.end_byte)
        r->p.end_byte = q.stop_byte;
    r->p.read_blocks = q.buffer_size / q.block_size;
    r->p.ring_size = ring_size;
    const uintptr_t data = reinterpret_cast<uintptr_t>(r->p.holder->data);
    r->p.ring = r->p.holder->data + ((kRingAlignment - data % kRingAlignment) % kRingAlignment);
    r->p.wrap = r->p.ring + ring_size;
    for (int i = 0; i < q.num_buffers; ++i)
        r->buffers[i].data = r->p.ring + static_cast<int64_t>(i) * q.buffer_size;

    if (rd_open(r) != 0) {
        rd_close(r);
        return nullptr;
    }
    const int fd = file_fd(r->main_file);
    if (fd >= 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const int64_t start = std::min(q.start_block, q.stop_block);
    rd_reset_filler_state(r, start);
    rd_reset_consumer(r, start, start * q.block_size);
    r->read_ahead.store(q.read_ahead);
    if (q.read_ahead)
        rd_start_filler(r);
    return r;
}

int rd_open(rd_reader *r)
{
    if (r == nullptr)
        return -1;
    for (auto [handle, kind] : {std::pair<file_t **, int>{&r->main_file, 1}, {&r->random_file, 3}}) {
        if (*handle != nullptr)
            continue;
        *handle = file_open(r->p.path, "rb", kind);
        if (*handle == nullptr) {
            char text[128];
            zv_strerror_r(errno, text, sizeof text);
            log_error("%s: open(%s): %s", "rd_open", r->p.path, text);
            return -1;
        }
    }
    return 0;
}

void rd_close_files(rd_reader *r)
{
    if (r == nullptr)
        return;
    rd_stop(r); // the filler reads the main handle
    file_free(&r->main_file);
    file_free(&r->random_file);
}

void rd_close(rd_reader *r)
{
    if (r == nullptr)
        return;
    rd_stop(r);
    {
        std::lock_guard<std::mutex> threads(r->thread_mutex);
        if (r->thread.joinable())
            r->thread.join();
    }
    file_free(&r->main_file);
    file_free(&r->random_file);
    if (r->p.owns_holder)
        buf_free(r->p.holder);
    std::memset(&r->p, 0x88, sizeof r->p);
    delete r;
}

// --- requests ----------------------------------------------------------------------------

const uint8_t *rd_get(rd_reader *r, int32_t n, int32_t *count)
{
    if (count != nullptr)
        *count = 0;
    if (r == nullptr)
        return nullptr;
    if (n > r->p.max_request) {
        log_too_large(r, n);
        return nullptr;
    }
    if (!settle(r, true)) {
        r->outcome = RD_OUTCOME_STOPPED; // rd_stop has not finished: nothing can be read yet
        return current_pointer(r);
    }
    consume(r);
    r->outcome = RD_OUTCOME_FULL;
    const int32_t got = n > 0 ? request_more(r, n) : 0;
    if (count != nullptr)
        *count = got;
    return current_pointer(r);
}

const uint8_t *rd_get_offered(rd_reader *r, int32_t min, int32_t *count)
{
    if (count != nullptr)
        *count = 0;
    if (r == nullptr)
        return nullptr;
    if (min > r->p.max_request) {
        log_too_large(r, min);
        return nullptr;
    }
    if (min < 1)
        min = 1;
    if (!settle(r, true)) {
        r->outcome = RD_OUTCOME_STOPPED;
        return current_pointer(r);
    }
    consume(r);
    const int64_t v = r->vpos;
    if (r->frontier < v + min && !r->closed)
        ensure(r, v + min);
    make_contiguous(r, std::min(v + min, r->frontier));
    // Everything already there, through the wrap area only as far as it is copied.
    extend(r, v + r->p.max_request);
    int64_t end = std::min(r->frontier, v + r->p.max_request);
    const int64_t contiguous = r->cycle_end + (r->wrap_vstart == r->cycle_end ? r->wrap_len : 0);
    end = std::min(end, std::max(contiguous, std::min(v + min, r->frontier)));
    r->pending = static_cast<int32_t>(std::max<int64_t>(end - v, 0));
    note_outcome(r, v + min);
    if (count != nullptr)
        *count = r->pending;
    return current_pointer(r);
}

int32_t rd_request(rd_reader *r, int32_t n)
{
    if (r == nullptr)
        return 0;
    n = std::max(n, 0);
    // Shortening needs no device read: it must not wait for an rd_stop to
    // settle, nor restart the ring under the pointer the caller holds.
    if (n <= r->pending) {
        r->pending = n;
        r->outcome = RD_OUTCOME_FULL;
        return n;
    }
    if (!settle(r, false)) {
        r->outcome = RD_OUTCOME_STOPPED;
        return 0;
    }
    if (n > r->p.max_request) {
        log_error("Maximum request length exceeded, reqlen=%d, n=%d", r->pending, n);
        return 0;
    }
    return request_more(r, n);
}

int rd_seek(rd_reader *r, int64_t position)
{
    if (r == nullptr || position < 0 || position > r->p.stop_block * r->p.block_size)
        return -1;
    if (!settle(r, false))
        return -1; // rd_stop from another thread has not finished
    r->pending = 0;
    const int64_t v = position - r->base_pos;
    if (v >= r->cur_vbuf * r->p.buffer_size) {
        extend(r, v + 1);
        if (v < r->frontier) {
            move_to(r, v); // no device read
            return 0;
        }
    }
    rd_restart_at(r, position);
    return 0;
}

// --- random access ------------------------------------------------------------------------

int rd_set_pos(rd_reader *r, int64_t position)
{
    if (r == nullptr || position < 0 || r->random_file == nullptr || file_seek(r->random_file, position) != 0)
        return -1;
    r->random_pos = position;
    return 0;
}

int64_t rd_read(rd_reader *r, void *buffer, int64_t n)
{
    if (r == nullptr || buffer == nullptr || n < 1)
        return -1;
    // Never past the range, nor past the file's own bytes: the handle's
    // window pads the last block with zeros that are not data.
    int64_t end = r->p.end_byte;
    const int64_t size = r->random_file != nullptr ? file_size(r->random_file) : -1;
    if (size >= 0)
        end = std::min(end, size);
    if (r->random_pos >= end)
        return 0;
    n = std::min(n, end - r->random_pos);
    uint8_t *out = static_cast<uint8_t *>(buffer);
    int64_t done = 0;
    // The part the current buffer already holds.
    if (!r->stop_pending.load(std::memory_order_acquire) && r->known_vbuf > r->cur_vbuf) {
        const int64_t bs = r->p.buffer_size;
        const int64_t start = r->base_pos + r->cur_vbuf * bs;
        const int64_t end = r->base_pos + std::min(r->frontier, (r->cur_vbuf + 1) * bs);
        if (r->random_pos >= start && r->random_pos < end) {
            done = std::min(n, end - r->random_pos);
            const uint8_t *data = r->buffers[r->cur_vbuf % r->p.num_buffers].data;
            std::memcpy(out, data + (r->random_pos - start), static_cast<size_t>(done));
        }
    }
    if (done < n) {
        int64_t got = -1;
        if (r->random_file != nullptr && file_seek(r->random_file, r->random_pos + done) == 0)
            got = file_read(r->random_file, out + done, n - done);
        if (got > 0)
            done += got;
        else if (got < 0 && done == 0)
            return -1;
    }
    r->random_pos += done;
    return done;
}

// --- queries ----------------------------------------------------------------------------------

namespace {

// The record's value and block (0, 0 when none), remembered as seen.
std::pair<int, int64_t> look(const rd_reader *r, rd_record &record)
{
    if (r == nullptr || !record.set.load(std::memory_order_acquire))
        return {0, 0};
    std::lock_guard<std::mutex> lock(r->status_mutex);
    record.seen = record.seq;
    return {record.value, record.block};
}

// Clears the record unless a failure was recorded after the caller last looked.
void clear(rd_reader *r, rd_record &record)
{
    std::lock_guard<std::mutex> lock(r->status_mutex);
    if (record.seen == kNoneSeen || record.seen == record.seq) {
        record.value = 0;
        record.block = 0;
        record.set.store(false, std::memory_order_release);
    }
    record.seen = kNoneSeen;
}

} // namespace

int rd_error_number(const rd_reader *r)
{
    return r != nullptr ? look(r, r->error_record).first : 0;
}

int64_t rd_error_block(const rd_reader *r)
{
    return r != nullptr ? look(r, r->error_record).second : 0;
}

void rd_clear_error(rd_reader *r)
{
    if (r != nullptr)
        clear(r, r->error_record);
}

int64_t rd_stopped_block(const rd_reader *r, int *errnum)
{
    if (errnum != nullptr)
        *errnum = 0;
    if (r == nullptr || !r->stop_record.set.load(std::memory_order_acquire))
        return -1;
    std::lock_guard<std::mutex> lock(r->status_mutex);
    if (errnum != nullptr)
        *errnum = r->stop_record.value;
    return r->stop_record.block;
}

bool rd_slow(const rd_reader *r)
{
    return r != nullptr && look(r, r->slow_record).first != 0;
}

int64_t rd_slow_block(const rd_reader *r)
{
    return r != nullptr ? look(r, r->slow_record).second : 0;
}

void rd_clear_slow(rd_reader *r)
{
    if (r != nullptr)
        clear(r, r->slow_record);
}

int rd_failed(const rd_reader *r)
{
    return r != nullptr ? r->fatal_errno.load(std::memory_order_acquire) : 0;
}

bool rd_at_end(const rd_reader *r)
{
    return r != nullptr && r->base_pos + r->vpos >= r->p.end_byte;
}

rd_outcome rd_last_outcome(const rd_reader *r)
{
    return r != nullptr ? r->outcome : RD_OUTCOME_FAILED;
}

void rd_bad_blocks(const rd_reader *r, rd_bad_report *report)
{
    if (report == nullptr)
        return;
    *report = rd_bad_report{};
    if (r == nullptr)
        return;
    std::lock_guard<std::mutex> lock(r->status_mutex);
    report->block_size = r->p.block_size;
    report->list.reserve(r->bad.size());
    for (const auto &e : r->bad) {
        report->list.push_back(e.range);
        report->blocks += e.range.blocks;
    }
    report->blocks += r->bad_blocks_not_kept;
    report->ranges_not_kept = r->bad_ranges_not_kept;
    report->ranges = static_cast<int64_t>(r->bad.size()) + r->bad_ranges_not_kept;
}

int rd_take_new_bad_ranges(rd_reader *r, std::vector<rd_bad_range> *out)
{
    if (r == nullptr || !r->bad_untaken.load(std::memory_order_acquire))
        return 0;
    std::lock_guard<std::mutex> lock(r->status_mutex);
    int taken = 0;
    for (auto &e : r->bad) {
        if (e.taken)
            continue;
        e.taken = true;
        if (out != nullptr)
            out->push_back(e.range);
        ++taken;
    }
    r->bad_untaken.store(false, std::memory_order_release);
    return taken;
}

int32_t rd_max_request(const rd_reader *r)
{
    return r != nullptr ? r->p.max_request : 0;
}

int32_t rd_block_size(const rd_reader *r)
{
    return r != nullptr ? r->p.block_size : 0;
}

void rd_set_slow_pause(rd_reader *r, int32_t milliseconds)
{
    if (r != nullptr)
        r->slow_pause_ms.store(milliseconds);
}
