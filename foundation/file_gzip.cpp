// Kind 4: a gzip stream (zlib) over a descriptor.
//
// Implementation notes
// - zlib counts a transfer in an unsigned int, so larger requests are made
//   in chunks of at most 1 GiB.
// - Positions are those of the uncompressed data. On LP64 zlib's offsets are
//   64 bits wide, so there is no 2 GiB limit. A stream opened for writing
//   seeks only forwards (zlib writes zeros up to the new position); a
//   backward seek fails and file_seek gives -18.
// - zlib keeps its own buffer: data written reaches the descriptor only as
//   compressed blocks fill up, and the rest inside gzclose. A failing
//   gzclose of a stream opened for writing therefore means lost data and is
//   reported as such (-3, the write-failed flag). For a stream opened for
//   reading it only means the input ended early or was damaged (-1).
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>

#include "foundation/clock.h"
#include "foundation/error_list.h"
#include "foundation/file_internal.h"
#include "foundation/log.h"

namespace {

constexpr int64_t kMaxChunk = int64_t(1) << 30;

gzFile stream_of(const file_t *f)
{
    return reinterpret_cast<gzFile>(f->gz);
}

// Logs and records a failed transfer: with errno when zlib reports a system
// error, else with zlib's text.
void gzip_failed(file_t *f, const char *what, int64_t count, int code_errno, int code_text)
{
    const int saved = errno;
    int zerror = 0;
    const char *text = gzerror(stream_of(f), &zerror);
    if (zerror == Z_ERRNO) {
        log_error("Can't %s %lld: errno=%d", what, static_cast<long long>(count), saved);
        errno = saved;
        add_error_errno(code_errno);
        f->last_error = saved;
    } else {
        log_error("Can't %s %lld: %s", what, static_cast<long long>(count), text != nullptr ? text : "");
        add_error(code_text);
        f->last_error = zerror;
    }
}

} // namespace

int gzip_open(file_t *f)
{
    gzFile gz = gzdopen(f->fd, f->mode);
    if (gz == nullptr) {
        log_error("gzdopen: Can't open %s mode %s", f->name != nullptr ? f->name : "(null)", f->mode);
        ::close(f->fd);
        f->fd = -1;
        return -1;
    }
    // Larger than zlib's default 8 KiB, like the stdio kind's buffer.
    gzbuffer(gz, FILE_STREAM_BUFFER);
    f->gz = reinterpret_cast<gzFile_s *>(gz);
    return 0;
}

int64_t gzip_read(file_t *f, void *buffer, int64_t count)
{
    if (f->gz == nullptr)
        return -1;
    char *out = static_cast<char *>(buffer);
    const int64_t position = f->pos;
    const double started = ZVClockGet();
    int64_t total = 0;
    bool failed = false;
    while (total < count) {
        const unsigned chunk = static_cast<unsigned>(std::min(count - total, kMaxChunk));
        errno = 0;
        const int got = gzread(stream_of(f), out + total, chunk);
        if (got < 0) {
            gzip_failed(f, "gzread", count, 541, 542);
            failed = true;
            break;
        }
        total += got;
        if (static_cast<unsigned>(got) < chunk)
            break;
    }
    file_time_read(f, position, started);
    if (failed && total == 0)
        return -1;
    if (total < count)
        f->short_read = 1;
    f->pos += total;
    return total;
}

int64_t gzip_write(file_t *f, const void *buffer, int64_t count)
{
    if (f->gz == nullptr)
        return -3;
    const char *in = static_cast<const char *>(buffer);
    int64_t total = 0;
    while (total < count) {
        const unsigned chunk = static_cast<unsigned>(std::min(count - total, kMaxChunk));
        errno = 0;
        const int wrote = gzwrite(stream_of(f), in + total, chunk);
        if (wrote <= 0) {
            gzip_failed(f, "gzwrite", count, 543, 544);
            file_note_write_failure();
            return -3;
        }
        total += wrote;
    }
    f->pos += total;
    return total;
}

int gzip_seek(file_t *f, int64_t position)
{
    if (f->gz == nullptr)
        return -1;
    return gzseek64(stream_of(f), static_cast<z_off64_t>(position), SEEK_SET) < 0 ? -1 : 0;
}

int gzip_close(file_t *f)
{
    if (f->gz == nullptr)
        return 0;
    errno = 0;
    const int rc = gzclose(stream_of(f));
    const int e = errno != 0 ? errno : EIO;
    f->gz = nullptr;
    f->fd = -1; // gzclose closed it
    if (rc == Z_OK)
        return 0;
    log_error("gzclose failed");
    f->last_error = e;
    if (!file_opened_for_writing(f))
        return -1;
    errno = e;
    add_error_errno(kFileCloseFailedError);
    file_note_write_failure();
    return -3;
}
