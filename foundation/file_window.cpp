// Kind 3: a descriptor read and written through a window of 256 blocks.
//
// The window holds the file range [window_start, window_end): window_start
// is a multiple of the block size, and the range never exceeds 256 blocks.
// One map byte per block says the block holds data not yet written.
//
//   window_start                window_data_end      window_end
//   |  file bytes (some dirty)  |  zero padding       |
//
// window_data_end marks where the file's own bytes end inside the window:
// when a fill meets the end of the file, the rest of the last block is zero
// padding. Reads return the padding (media reads depend on whole blocks),
// but a write-back never writes it, so writing a 1000-byte file through
// this kind leaves a 1000-byte file, not 1024 bytes.
//
// Implementation notes
// - A write-back clears a run's map bytes only after the whole run has been
//   written; a failed write-back leaves the window where it is, still
//   dirty, and the read or write that needed it fails (-3). Close, size and
//   truncate try the write-back again.
// - A write that covers a block only in part reads that block first (at most
//   two such blocks per window: the one holding the start and the one
//   holding the end of the data). Only the end of the file may leave part
//   of it unread, and that part becomes zeros; a read error fails the write
//   before anything changes, so an I/O error never turns existing bytes
//   into zeros.
// - Writes at the window's end grow the window up to its capacity before it
//   is written back, so sequential small writes become whole-window writes.
// - A write that fails leaves the position where the call began: the caller
//   may repeat it, and the bytes already put into the window are the same.
// - A request of at least a whole window that starts on a block boundary
//   outside the window's range moves its whole blocks straight between the
//   caller's buffer and the file, after writing the window back: the same
//   effect as passing them through the window one window at a time (which
//   writes each full window back at once), without the extra copy. The rest
//   of such a request, and a last block short of the end of the file, still
//   go through the window, so reads return the same padding either way.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/clock.h"
#include "foundation/error_list.h"
#include "foundation/file_internal.h"
#include "foundation/log.h"

namespace {

int64_t block_floor(const file_t *f, int64_t position)
{
    return position - position % f->block_size;
}

void mark_dirty(file_t *f, int64_t position, int64_t count)
{
    const int64_t first = (position - f->window_start) / f->block_size;
    const int64_t last = (position - f->window_start + count - 1) / f->block_size;
    std::memset(f->dirty_map + first, 1, static_cast<size_t>(last - first + 1));
    f->dirty = 1;
}

// Empties the window at a new block-aligned start.
void window_move(file_t *f, int64_t start)
{
    f->window_start = start;
    f->window_end = start;
    f->window_data_end = start;
}

// Reads length bytes at offset (offset >= window_start, inside the window's
// capacity) into the window; the part past the end of the file becomes
// zeros. The window then ends at offset + length. 0, or -1 after logging
// when the read failed (the window's valid range is unchanged).
int window_fill(file_t *f, int64_t offset, int64_t length)
{
    uint8_t *to = f->window + (offset - f->window_start);
    int failure = 0;
    const double started = ZVClockGet();
    const int64_t got = file_pread_all(f, to, static_cast<size_t>(length), offset, &failure);
    file_time_read(f, offset, started);
    if (failure != 0) {
        log_error("Can't read %lld @ %llx", static_cast<long long>(length), static_cast<unsigned long long>(offset));
        errno = failure;
        add_error_errno(481);
        f->last_error = failure;
        return -1;
    }
    std::memset(to + got, 0, static_cast<size_t>(length - got));
    f->window_end = offset + length;
    f->window_data_end = std::max(f->window_data_end, offset + got);
    return 0;
}

// True when a request of rest bytes at position may bypass the window.
bool window_bypass(const file_t *f, int64_t position, int64_t rest)
{
    return rest >= f->window_size && position % f->block_size == 0 &&
           !(position >= f->window_start && position < f->window_end);
}

} // namespace

void window_reset(file_t *f)
{
    window_move(f, 0);
    if (f->dirty_map != nullptr)
        std::memset(f->dirty_map, 0, FILE_WINDOW_BLOCKS);
    f->dirty = 0;
}

int window_write_back(file_t *f)
{
    if (!f->dirty)
        return 0;
    const int64_t block = f->block_size;
    for (int i = 0; i < FILE_WINDOW_BLOCKS;) {
        if (!f->dirty_map[i]) {
            ++i;
            continue;
        }
        int j = i + 1;
        while (j < FILE_WINDOW_BLOCKS && f->dirty_map[j])
            ++j;
        const int64_t offset = f->window_start + i * block;
        // The zero padding past the file's end is not written.
        const int64_t length = std::min((j - i) * block, std::max<int64_t>(0, f->window_data_end - offset));
        if (length > 0 && file_pwrite_all(f, f->window + i * block, static_cast<size_t>(length), offset) < 0) {
            const int e = errno;
            log_error("Can't write %lld @ %llx", static_cast<long long>(length), static_cast<unsigned long long>(offset));
            errno = e;
            add_error_errno(534);
            f->last_error = e;
            file_note_write_failure();
            return -3;
        }
        std::memset(f->dirty_map + i, 0, static_cast<size_t>(j - i));
        i = j;
    }
    f->dirty = 0;
    return 0;
}

int64_t window_read(file_t *f, void *buffer, int64_t count)
{
    uint8_t *out = static_cast<uint8_t *>(buffer);
    int64_t total = 0;
    bool bypass = true; // until a direct read comes back short
    while (total < count) {
        const int64_t position = f->pos;
        if (bypass && window_bypass(f, position, count - total)) {
            if (window_write_back(f) != 0)
                return total > 0 ? total : -3;
            const int64_t direct = (count - total) / f->block_size * f->block_size;
            int failure = 0;
            const double started = ZVClockGet();
            const int64_t got = file_pread_all(f, out + total, static_cast<size_t>(direct), position, &failure);
            file_time_read(f, position, started);
            if (failure != 0 && got == 0) {
                if (total > 0)
                    return total;
                log_error("Can't read %lld @ %llx", static_cast<long long>(direct),
                          static_cast<unsigned long long>(position));
                errno = failure;
                add_error_errno(481);
                f->last_error = failure;
                return -1;
            }
            // Whole blocks count; a partial last one is read again through
            // the window, which pads it.
            const int64_t taken = got / f->block_size * f->block_size;
            total += taken;
            f->pos += taken;
            window_move(f, f->pos);
            bypass = taken == direct;
            continue;
        }
        if (position >= f->window_start && position < f->window_end) {
            const int64_t n = std::min(count - total, f->window_end - position);
            std::memcpy(out + total, f->window + (position - f->window_start), static_cast<size_t>(n));
            total += n;
            f->pos += n;
            if (total == count)
                return total;
            // The request goes on past the window: the next window starts
            // at this one's end.
            if (window_write_back(f) != 0)
                return total;
            window_move(f, f->window_end);
        } else {
            if (window_write_back(f) != 0)
                return total > 0 ? total : -3;
            window_move(f, block_floor(f, position));
        }

        // Fill the window from its start.
        int failure = 0;
        const double started = ZVClockGet();
        const int64_t got =
            file_pread_all(f, f->window, static_cast<size_t>(f->window_size), f->window_start, &failure);
        file_time_read(f, f->window_start, started);
        if (failure != 0) {
            f->window_end = f->window_start;
            if (total > 0)
                return total;
            log_error("Can't read %d @ %llx", f->window_size, static_cast<unsigned long long>(f->window_start));
            errno = failure;
            add_error_errno(481);
            f->last_error = failure;
            return -1;
        }
        if (got == 0)
            return total; // end of the file
        const int64_t rest = got % f->block_size;
        const int64_t padded = rest == 0 ? got : got + (f->block_size - rest);
        std::memset(f->window + got, 0, static_cast<size_t>(padded - got));
        f->window_data_end = f->window_start + got;
        f->window_end = f->window_start + padded;
        if (position >= f->window_end)
            return total; // the position lies in a hole past the end
    }
    return total;
}

int64_t window_write(file_t *f, const void *buffer, int64_t count)
{
    const uint8_t *in = static_cast<const uint8_t *>(buffer);
    const int64_t began = f->pos;
    const int64_t capacity = f->window_size;
    int64_t total = 0;
    while (total < count) {
        const int64_t position = f->pos;
        const int64_t rest = count - total;
        if (window_bypass(f, position, rest)) {
            if (window_write_back(f) != 0) {
                f->pos = began;
                return -3;
            }
            const int64_t direct = rest / f->block_size * f->block_size;
            window_move(f, position + direct);
            if (file_pwrite_all(f, in + total, static_cast<size_t>(direct), position) < 0) {
                const int e = errno;
                log_error("Can't write %lld @ %llx", static_cast<long long>(direct),
                          static_cast<unsigned long long>(position));
                f->last_error = e;
                file_note_write_failure();
                f->pos = began;
                return -3;
            }
            total += direct;
            f->pos += direct;
            continue;
        }
        // The position must lie in the window or at its end, with room left.
        if (position < f->window_start || position > f->window_end || position >= f->window_start + capacity) {
            if (window_write_back(f) != 0) {
                f->pos = began;
                return -3;
            }
            window_move(f, block_floor(f, position));
            // Keep the bytes of the first block in front of the data.
            if (position > f->window_start && window_fill(f, f->window_start, f->block_size) != 0) {
                f->pos = began;
                return -1;
            }
            continue;
        }
        if (position + rest > f->window_end) {
            // Grow the window over the data, up to its capacity. Blocks the
            // data covers completely need no reading; a last block it covers
            // in part is read first.
            const int64_t end = std::min(position + rest, f->window_start + capacity);
            const int64_t tail = block_floor(f, end);
            if (end > tail) {
                if (window_fill(f, tail, f->block_size) != 0) {
                    f->pos = began;
                    return -1;
                }
            } else {
                f->window_end = end;
            }
        }
        const int64_t n = std::min(rest, f->window_end - position);
        mark_dirty(f, position, n);
        std::memcpy(f->window + (position - f->window_start), in + total, static_cast<size_t>(n));
        total += n;
        f->pos += n;
        f->window_data_end = std::max(f->window_data_end, f->pos);
        if (total < count) {
            // The window is full: write it back and go on after it.
            if (window_write_back(f) != 0) {
                f->pos = began;
                return -3;
            }
            window_move(f, f->window_end);
        }
    }
    return total;
}
