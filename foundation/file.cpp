// The file layer: the transfers, dispatched by kind (kinds 1 and 2 here,
// kind 3's window in file_window.cpp, kind 4's gzip stream in
// file_gzip.cpp), the queries, and the process-wide state. See file.h for
// the contract; opening and closing are in file_open.cpp, the checked
// wrappers in file_wrappers.cpp.
//
// Implementation notes
// - Kind 1 reads and writes are positioned and loop until the whole count
//   is moved, the end of the file is met, or an error stops them; the
//   descriptor's own offset is never used.
// - A stdio stream needs a seek between a write and a following read (and
//   back); stream_writing remembers the direction of the last transfer and
//   the stored position is where the stream is.
// - The size of an open file counts what the object still holds: the stdio
//   buffer is flushed and the window written back first.
#include "foundation/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "foundation/clock.h"
#include "foundation/dirutil.h"
#include "foundation/error_list.h"
#include "foundation/file_internal.h"
#include "foundation/log.h"

std::atomic<int> file_write_failed{0};

namespace {

std::mutex g_slow_mutex;
file_slow_read_fn g_slow_callback;
int64_t g_slow_threshold = 0;
// Lets reads skip the mutex while no callback is set (the common case).
std::atomic<bool> g_slow_callback_set{false};

int64_t read_descriptor(file_t *f, void *buffer, int64_t count)
{
    const int64_t position = f->pos;
    int failure = 0;
    const double started = ZVClockGet();
    const int64_t got = file_pread_all(f, buffer, static_cast<size_t>(count), position, &failure);
    file_time_read(f, position, started);
    if (failure != 0 && got == 0) {
        log_error("Can't read %lld @ %lld from %s", static_cast<long long>(count), static_cast<long long>(position),
                  name_or_null(f));
        errno = failure;
        add_error_errno(480);
        f->last_error = failure;
        return -1;
    }
    if (got < count)
        f->short_read = 1;
    f->pos += got;
    return got;
}

int64_t write_descriptor(file_t *f, const void *buffer, int64_t count)
{
    if (file_pwrite_all(f, buffer, static_cast<size_t>(count), f->pos) < 0) {
        f->last_error = errno;
        file_note_write_failure();
        return -3;
    }
    f->pos += count;
    return count;
}

// C requires a seek between a write and a following read on one stream
// (and between a read and a following write); the stored position is where
// the stream is.
int stream_turn(file_t *f, uint8_t direction)
{
    if (f->stream_writing != 0 && f->stream_writing != direction && fseeko(f->fp, f->pos, SEEK_SET) != 0)
        return -1;
    f->stream_writing = direction;
    return 0;
}

int64_t read_stream(file_t *f, void *buffer, int64_t count)
{
    if (f->fp == nullptr || stream_turn(f, 2) != 0)
        return -1;
    const int64_t position = f->pos;
    const double started = ZVClockGet();
    errno = 0;
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(count), f->fp);
    file_time_read(f, position, started);
    if (static_cast<int64_t>(got) < count) {
        f->short_read = 1;
        if (std::ferror(f->fp)) {
            const int e = errno != 0 ? errno : EIO;
            log_error("Can't read %lld @ %llx", static_cast<long long>(count),
                      static_cast<unsigned long long>(position));
            errno = e;
            add_error_errno(482);
            f->last_error = e;
            std::clearerr(f->fp);
            if (got == 0)
                return -1;
        }
    }
    f->pos += static_cast<int64_t>(got);
    return static_cast<int64_t>(got);
}

int64_t write_stream(file_t *f, const void *buffer, int64_t count)
{
    if (f->fp == nullptr || stream_turn(f, 1) != 0)
        return -3;
    errno = 0;
    const size_t wrote = std::fwrite(buffer, 1, static_cast<size_t>(count), f->fp);
    if (static_cast<int64_t>(wrote) < count) {
        const int e = errno != 0 ? errno : EIO;
        log_error("Can't write %zu x %zu: %d", size_t(1), static_cast<size_t>(count), e);
        f->last_error = e;
        f->pos += static_cast<int64_t>(wrote);
        file_note_write_failure();
        return -3;
    }
    f->pos += count;
    return count;
}

} // namespace

// --- shared with the other parts ------------------------------------------------------

bool file_opened_for_writing(const file_t *f)
{
    return (f->flags & O_ACCMODE) != O_RDONLY;
}

void file_note_write_failure()
{
    file_write_failed.store(1);
}

void file_time_read(file_t *f, int64_t position, double started)
{
    if (!g_slow_callback_set.load(std::memory_order_relaxed) || f->name == nullptr)
        return;
    double elapsed = (ZVClockGet() - started) * 1000.0;
    const int64_t milliseconds = elapsed > 0 ? static_cast<int64_t>(elapsed) : 0;
    std::lock_guard<std::mutex> lock(g_slow_mutex);
    if (g_slow_callback && milliseconds >= g_slow_threshold) {
        // The name's bytes as they are: a path need not be valid UTF-8.
        const zorvant::u8string name(f->name, f->name + std::strlen(f->name));
        g_slow_callback(name, position, milliseconds);
    }
}

// --- transfers ------------------------------------------------------------------------------

int64_t file_read(file_t *f, void *buffer, int64_t count)
{
    if (f == nullptr) {
        log_error("file_read f = 0");
        return -1;
    }
    if (buffer == nullptr || count < 0 || f->pos < 0)
        return -1;
    if (count == 0)
        return 0;
    if (f->vf != nullptr) {
        if (f->vf->ops == nullptr)
            log_error("file_read f->vf->ops = 0, name=%s", name_or_null(f));
        else if (f->vf->ops->read != nullptr)
            return f->vf->ops->read(f, buffer, count);
    }
    switch (f->kind) {
    case 1:
        return read_descriptor(f, buffer, count);
    case 2:
        return read_stream(f, buffer, count);
    case 3:
        return f->window != nullptr ? window_read(f, buffer, count) : -15;
    case 4:
        return gzip_read(f, buffer, count);
    default:
        return -15;
    }
}

int file_read_full(file_t *f, void *buffer, int64_t count)
{
    const int64_t got = file_read(f, buffer, count);
    if (got < 0)
        return static_cast<int>(got);
    return got == count ? 0 : -20;
}

int64_t file_write(file_t *f, const void *buffer, int64_t count)
{
    if (f == nullptr || buffer == nullptr || count < 0 || f->pos < 0)
        return -12;
    if (count == 0)
        return 0;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->write != nullptr)
        return ops->write(f, buffer, count);
    switch (f->kind) {
    case 1:
        return write_descriptor(f, buffer, count);
    case 2:
        return write_stream(f, buffer, count);
    case 3:
        return f->window != nullptr ? window_write(f, buffer, count) : -15;
    case 4:
        return gzip_write(f, buffer, count);
    default:
        return -15;
    }
}

int file_write_full(file_t *f, const void *buffer, int64_t count)
{
    const int64_t wrote = file_write(f, buffer, count);
    if (wrote < 0)
        return static_cast<int>(wrote);
    return wrote == count ? 0 : -27;
}

int file_seek(file_t *f, int64_t position)
{
    if (f == nullptr || position < 0)
        return -12;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->seek != nullptr)
        return ops->seek(f, position);
    switch (f->kind) {
    case 1:
    case 3:
        break;
    case 2:
        if (f->fp == nullptr || fseeko(f->fp, position, SEEK_SET) != 0)
            return -1;
        f->stream_writing = 0;
        break;
    case 4:
        if (gzip_seek(f, position) != 0)
            return -18;
        break;
    default:
        return -15;
    }
    f->pos = position;
    return 0;
}

int file_skip(file_t *f, int64_t delta)
{
    if (f == nullptr)
        return -12;
    if ((delta > 0 && f->pos > INT64_MAX - delta) || f->pos + delta < 0)
        return -12;
    return file_seek(f, f->pos + delta);
}

int64_t file_tell(file_t *f)
{
    if (f == nullptr)
        return -12;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->tell != nullptr)
        return ops->tell(f);
    return f->kind >= 1 && f->kind <= 4 ? f->pos : -15;
}

int64_t file_size(file_t *f)
{
    if (f == nullptr)
        return -12;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->size != nullptr)
        return ops->size(f);
    if (f->fd == -1)
        return f->name != nullptr ? static_cast<int64_t>(utf8_file_size(f->name)) : -1;
    // Count what the object still holds.
    if (f->kind == 2 && f->fp != nullptr && std::fflush(f->fp) != 0) {
        const int e = errno;
        log_error("file_size: Can't flush %s: %s", name_or_null(f), error_text(e).c_str());
        f->last_error = e;
        file_note_write_failure();
        return -3;
    }
    if (f->kind == 3 && f->window != nullptr && window_write_back(f) != 0)
        return -3;
    return static_cast<int64_t>(fd_file_size(f->fd));
}

int file_truncate(file_t *f, int64_t length)
{
    if (f == nullptr)
        return -12;
    switch (f->kind) {
    case 3:
        if (f->window != nullptr) {
            if (window_write_back(f) != 0)
                return -3;
            // The window may hold bytes past the new end.
            window_reset(f);
        }
        [[fallthrough]];
    case 1:
        return ftruncate(f->fd, length);
    case 2:
        if (f->fp == nullptr)
            return -1;
        if (std::fflush(f->fp) != 0) {
            f->last_error = errno;
            file_note_write_failure();
            return -3;
        }
        return ftruncate(fileno(f->fp), length);
    default:
        return -15;
    }
}

// --- accessors ----------------------------------------------------------------------------------

int file_fd(file_t *f)
{
    if (f == nullptr)
        return -12;
    switch (f->kind) {
    case 1:
    case 3:
    case 4:
        return f->fd;
    case 2:
        return f->fp != nullptr ? fileno(f->fp) : -1;
    default:
        return -15;
    }
}

const char *file_name(file_t *f)
{
    return f != nullptr ? f->name : nullptr;
}

int file_error(file_t *f)
{
    if (f == nullptr)
        return -12;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->error != nullptr)
        return ops->error(f);
    return f->last_error;
}

bool file_is_open(file_t *f)
{
    if (f == nullptr)
        return false;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->is_open != nullptr)
        return ops->is_open(f) != 0;
    return f->fd != -1;
}

// --- process-wide state ----------------------------------------------------------------------------

int file_write_error_occurred()
{
    return file_write_failed.load();
}

void file_clear_write_error()
{
    file_write_failed.store(0);
}

void file_set_slow_read_callback(file_slow_read_fn callback)
{
    std::lock_guard<std::mutex> lock(g_slow_mutex);
    g_slow_callback = std::move(callback);
    g_slow_callback_set.store(static_cast<bool>(g_slow_callback));
}

void file_set_slow_read_threshold(int64_t milliseconds)
{
    std::lock_guard<std::mutex> lock(g_slow_mutex);
    g_slow_threshold = milliseconds;
}
