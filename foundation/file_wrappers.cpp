// The checked wrappers of the file layer (xopen, xlseek, xpread, xpwrite and
// the stdio ones) and the positioned transfers of kinds 1 and 3.
//
// Implementation notes
// - A positioned write is continued until every byte is written: a short
//   count without an error (a device filling up in the middle of a run) is
//   not success. A call that moves nothing and reports no error is taken as
//   a full device (ENOSPC), so the loop always ends.
// - Positioned reads are continued the same way until the end of the file,
//   so a short count means the end of the file, not an interrupted call.
#include "foundation/file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "foundation/error_list.h"
#include "foundation/file_internal.h"
#include "foundation/fileops.h"
#include "foundation/log.h"

namespace {

// The positioned loops shared by xpwrite and file_pwrite_all.
template <class Write>
int64_t pwrite_loop(Write write, const void *buffer, size_t count, int64_t offset)
{
    const char *p = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < count) {
        const ssize_t r = write(p + done, count - done, offset + static_cast<int64_t>(done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (r == 0) {
            // No progress and no error: treat as a full device.
            errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(r);
    }
    if (done == count)
        return static_cast<int64_t>(count);
    const int e = errno;
    log_error("%s: Can't write %lu: %d", "xpwrite", static_cast<unsigned long>(count), e);
    add_error(13);
    errno = e;
    return -1;
}

} // namespace

int64_t file_pread_quiet(file_t *f, void *buffer, size_t count, int64_t offset, int *failure)
{
    const vf_ops *ops = type_ops(f);
    char *p = static_cast<char *>(buffer);
    size_t done = 0;
    *failure = 0;
    while (done < count) {
        const int64_t at = offset + static_cast<int64_t>(done);
        const ssize_t r = (ops != nullptr && ops->pread != nullptr) ? ops->pread(f, p + done, count - done, at)
                                                                     : pread_eintr(f->fd, p + done, count - done, at);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            *failure = errno != 0 ? errno : EIO;
            break;
        }
        if (r == 0)
            break; // end of the file
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t file_pread_all(file_t *f, void *buffer, size_t count, int64_t offset, int *failure)
{
    const int64_t done = file_pread_quiet(f, buffer, count, offset, failure);
    if (*failure != 0)
        log_error("%s: Can't pread %lu: %s (%d)", "xpread", static_cast<unsigned long>(count - done),
                  error_text(*failure).c_str(), *failure);
    return done;
}

int64_t file_pwrite_all(file_t *f, const void *buffer, size_t count, int64_t offset)
{
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->pwrite != nullptr)
        return pwrite_loop([f, ops](const void *p, size_t n, int64_t at) { return ops->pwrite(f, p, n, at); }, buffer,
                           count, offset);
    const int fd = f->fd;
    return pwrite_loop([fd](const void *p, size_t n, int64_t at) { return pwrite_eintr(fd, p, n, at); }, buffer, count,
                       offset);
}

// --- checked wrappers ---------------------------------------------------------------------------------

int xopen(file_t *f, const char *path, int flags, int permission)
{
    const int fd = utf8_open(path, flags, permission);
    if (fd >= 0)
        return fd;
    const int e = errno;
    log_error("%s: Can't open %s mode %d: %s (%d)", "xopen", path != nullptr ? path : "(null)", permission,
              error_text(e).c_str(), e);
    add_error(3);
    if (f != nullptr)
        f->last_error = e;
    errno = e;
    return -1;
}

int64_t xlseek(int fd, int64_t offset, int whence)
{
    if (fd < 0) {
        log_error("%s: file not open", "xlseek");
        return -1;
    }
    const off_t r = lseek(fd, static_cast<off_t>(offset), whence);
    if (r < 0) {
        const int e = errno;
        log_error("%s: Can't lseek to %lld", "xlseek", static_cast<long long>(offset));
        add_error(15);
        errno = e;
        return -1;
    }
    return static_cast<int64_t>(r);
}

int64_t xpread(int fd, void *buffer, size_t count, int64_t offset)
{
    const ssize_t r = pread_eintr(fd, buffer, count, offset);
    if (r < 0) {
        const int e = errno;
        log_error("%s: Can't pread %lu: %s (%d)", "xpread", static_cast<unsigned long>(count), error_text(e).c_str(),
                  e);
        errno = e;
        return -1;
    }
    return static_cast<int64_t>(r);
}

int64_t xpwrite(int fd, const void *buffer, size_t count, int64_t offset)
{
    return pwrite_loop([fd](const void *p, size_t n, int64_t at) { return pwrite_eintr(fd, p, n, at); }, buffer, count,
                       offset) < 0
               ? -3
               : static_cast<int64_t>(count);
}

FILE *xfopen(const char *path, const char *mode)
{
    FILE *fp = utf8_fopen(path, mode);
    if (fp == nullptr) {
        const int e = errno;
        log_error("%s: Can't open %s mode %s: %s", "xfopen", path != nullptr ? path : "(null)",
                  mode != nullptr ? mode : "(null)", error_text(e).c_str());
        errno = e;
    }
    return fp;
}

int64_t xfread(void *buffer, size_t size, size_t count, FILE *stream)
{
    if (stream == nullptr)
        return -1;
    const size_t got = std::fread(buffer, size, count, stream);
    if (got == 0 && std::ferror(stream))
        return -1;
    return static_cast<int64_t>(got);
}

int64_t xfwrite(const void *buffer, size_t size, size_t count, FILE *stream)
{
    const size_t wrote = stream != nullptr ? std::fwrite(buffer, size, count, stream) : 0;
    if (wrote == count)
        return static_cast<int64_t>(count);
    const int e = stream != nullptr ? errno : EINVAL;
    log_error("%s: Can't write %zu x %zu: %d", "xfwrite", size, count, e);
    errno = e;
    return -3;
}

