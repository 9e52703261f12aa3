// The file layer: the type registry, modes, opening, reopening, closing and
// freeing. See file.h for the contract; the transfers are in file.cpp.
//
// Implementation notes
// - mode_bits gives Linux O_* values. "Binary" has no flag on Linux, so a
//   "b" adds nothing and "binary only" is 0.
// - The flags stored in the object are mode_bits of the given mode; the
//   descriptor itself is opened with descriptor_flags(), which differs in
//   two ways for the positioned kinds 1 and 3:
//   * no O_APPEND: on Linux pwrite ignores its offset on an O_APPEND
//     descriptor and appends, so a write-back of a partially written last
//     block would append a second copy of it. These kinds start at the end
//     of the file instead, which gives the same result for a file only
//     this object writes;
//   * kind 3 opens a writing descriptor read-write, so the rest of a block
//     that a write covers only in part can be read first. A file that can
//     be opened for writing only still opens (write-only); its partial-block
//     writes then fail rather than zero the bytes around them.
// - Reopening with the stored mode never truncates: the file was made by
//   the first open and holds everything written before the close.
// - Closing reports every way data can be lost on the way out: a window
//   that cannot be written back, a stdio or gzip buffer that cannot be
//   flushed, a close(2) that fails. For a file opened for reading only such
//   a failure loses nothing and gives -1 without touching the write-failed
//   flag.
// - Closing also frees the kind 3 window and the kind 2 stream buffer
//   (128 KiB each by default); reopening makes them anew. A card with
//   thousands of partitions has a closed file object per partition medium,
//   and each must cost a few hundred bytes, not a window.
// - Special files are never opened for use. Every descriptor is opened with
//   O_NONBLOCK, so the open itself never waits (a FIFO without a writer, a
//   device that waits for a carrier), and its type is then checked with
//   fstat on that very descriptor, so nothing swapped in under the name
//   between a check and the open can get through. Accepted: a regular file,
//   and a block device opened for reading only (the cards and disks the
//   engine reads) unless the object takes regular files only. Refused: FIFOs,
//   sockets, character devices, folders, and block devices for writing.
//   O_NONBLOCK is cleared again before any transfer.
#include "foundation/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "foundation/error_list.h"
#include "foundation/file_internal.h"
#include "foundation/fileops.h"
#include "foundation/log.h"

namespace {

// Largest kind 3 block size: the window (256 blocks) must fit an int.
constexpr int kMaxBlockSize = INT_MAX / FILE_WINDOW_BLOCKS;
// The window and the stream buffer start on a page: the kernel copies to
// and from a buffer that is not aligned to a cache line several times
// slower (measured: 6x for 1 MiB reads from the page cache).
constexpr size_t kBufferAlignment = 4096;

std::mutex g_registry_mutex;
vf_entry *g_registry = nullptr; // newest first

vf_entry *registry_find_locked(const char *name)
{
    for (vf_entry *e = g_registry; e != nullptr; e = e->next)
        if (std::strcmp(e->name, name) == 0)
            return e;
    return nullptr;
}

vf_entry *registry_lookup(const char *name)
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    return registry_find_locked(name);
}

// The flags the descriptor of kinds 1 and 3 is opened with (see the notes).
int descriptor_flags(int flags, int kind)
{
    flags &= ~O_APPEND;
    if (kind == 3 && (flags & O_ACCMODE) == O_WRONLY)
        flags = (flags & ~O_ACCMODE) | O_RDWR;
    return flags;
}

// Checks that the descriptor the object is to use names a kind of file it
// accepts (see the notes) and clears O_NONBLOCK. 0, or -1 after logging
// "file_open: refused <path>: ...", recording error 3 and closing the
// descriptor, with errno EISDIR for a folder and EINVAL for anything else.
int check_descriptor(file_t *f, const char *path, int fd, int flags)
{
    struct stat info;
    int refused = 0;
    if (fstat(fd, &info) != 0) {
        refused = errno;
        log_error("file_open: Can't stat %s: %s", path, error_text(refused).c_str());
    } else if (S_ISREG(info.st_mode)) {
        refused = 0;
    } else if (S_ISBLK(info.st_mode) && !f->regular_only && (flags & O_ACCMODE) == O_RDONLY) {
        refused = 0;
    } else {
        refused = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        const char *why = !S_ISBLK(info.st_mode) ? "" : f->regular_only ? " (a regular file is required)"
                                                                          : " (opened for writing)";
        log_error("file_open: refused %s: %s%s", path, file_kind_text(info.st_mode), why);
    }
    if (refused == 0) {
        const int status = fcntl(fd, F_GETFL);
        if (status < 0 || ((status & O_NONBLOCK) && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)) {
            refused = errno;
            log_error("file_open: Can't clear O_NONBLOCK on %s: %s", path, error_text(refused).c_str());
        }
    }
    if (refused == 0)
        return 0;
    ::close(fd);
    add_error(3);
    f->last_error = refused;
    errno = refused;
    return -1;
}

// Opens path with flags without waiting and checks what it names. The
// descriptor, or -1 (logged by xopen or check_descriptor) with errno.
int open_checked(file_t *f, const char *path, int flags)
{
    const int fd = xopen(f, path, flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    return check_descriptor(f, path, fd, flags) == 0 ? fd : -1;
}

// Opens the descriptor of a kind 1 or 3 file; -1 (logged).
int open_descriptor(file_t *f, const char *path, int flags, int kind)
{
    const int wanted = descriptor_flags(flags, kind);
    if (wanted != (flags & ~O_APPEND)) {
        // Kind 3 asked for read-write; a write-only file falls back below.
        const int fd = utf8_open(path, wanted | O_NONBLOCK, 0666);
        if (fd >= 0)
            return check_descriptor(f, path, fd, wanted) == 0 ? fd : -1;
    }
    return open_checked(f, path, flags & ~O_APPEND);
}

// Frees the kind 3 window and its dirty map (one block).
void free_window(file_t *f)
{
    std::free(f->window);
    f->window = nullptr;
    f->dirty_map = nullptr;
    f->dirty = 0;
}

// Frees what the object holds and the object itself, without closing.
void release_object(file_t *f)
{
    free_window(f);
    std::free(f->stream_buffer);
    std::free(f->name);
    std::memset(f, 0, sizeof *f);
    std::free(f);
}

// Logs and records a failed flush or close. -3 (and the write-failed flag)
// for a file opened for writing, -1 otherwise.
int close_failed(file_t *f, const char *what, int errnum)
{
    log_error("file_close: %s failed for %s: %s (%d)", what, name_or_null(f), error_text(errnum).c_str(), errnum);
    f->last_error = errnum;
    if (!file_opened_for_writing(f))
        return -1;
    errno = errnum;
    add_error_errno(kFileCloseFailedError);
    file_note_write_failure();
    errno = errnum; // for the caller, whatever the recording did
    return -3;
}

// Puts a fresh stream into the object: its descriptor, the full buffer and,
// for "a", the position at the end.
void adopt_stream(file_t *f, FILE *fp)
{
    f->fp = fp;
    f->fd = fileno(fp);
    f->stream_writing = 0;
    // glibc ignores the size asked for when it is to allocate the buffer
    // itself (it takes the file system's block size, 4 KiB), so the buffer
    // is ours; it is kept for the object's life and reused on reopening.
    void *buffer = f->stream_buffer;
    if (buffer == nullptr && posix_memalign(&buffer, kBufferAlignment, FILE_STREAM_BUFFER) != 0)
        buffer = nullptr;
    f->stream_buffer = static_cast<char *>(buffer);
    setvbuf(fp, f->stream_buffer, _IOFBF, f->stream_buffer != nullptr ? FILE_STREAM_BUFFER : 0);
    if (f->mode[0] == 'a' && fseeko(fp, 0, SEEK_END) == 0)
        f->pos = ftello(fp);
}

// A stream over a descriptor, checked first with flags (see
// check_descriptor); closed when refused or when no stream can be made.
// NULL with errno.
FILE *stream_over(file_t *f, const char *path, int fd, int flags)
{
    if (check_descriptor(f, path, fd, flags) != 0)
        return nullptr;
    FILE *fp = fdopen(fd, f->mode);
    if (fp == nullptr) {
        const int e = errno;
        log_error("file_open: Can't open a stream on %s mode %s", path, f->mode);
        ::close(fd);
        errno = e;
    }
    return fp;
}

// A stream over a checked descriptor opened with flags and the used mode.
// NULL with errno; "W" failures are logged by xopen, the others as xfopen
// logs them.
FILE *stream_checked(file_t *f, const char *path, int flags)
{
    int fd;
    if (f->mode_given[0] == 'W') {
        fd = xopen(f, path, flags | O_NONBLOCK, 0666);
    } else {
        // fopen's rule: a mode begins with r, w or a.
        fd = std::strchr("rwa", f->mode[0]) != nullptr && f->mode[0] != 0 ? utf8_open(path, flags | O_NONBLOCK, 0666)
                                                                          : (errno = EINVAL, -1);
        if (fd < 0) {
            const int e = errno;
            log_error("%s: Can't open %s mode %s: %s", "xfopen", path, f->mode, error_text(e).c_str());
            f->last_error = e;
            errno = e;
        }
    }
    return fd < 0 ? nullptr : stream_over(f, path, fd, flags);
}

// Kind 2 for the opener, over the descriptor given (>= 0) or the path. 0 or -1.
int open_stream(file_t *f, const char *path, int fd)
{
    if (fd >= 0) {
        FILE *fp = stream_over(f, path, fd, f->flags); // handed to the opener
        if (fp == nullptr)
            return -1;
        adopt_stream(f, fp);
        return 0;
    }
    FILE *fp = stream_checked(f, path, f->flags);
    // A file that cannot be written may still be replaced.
    if (fp == nullptr && errno == EACCES && (std::strcmp(f->mode, "w") == 0 || std::strcmp(f->mode, "wb") == 0)) {
        utf8_unlink(path);
        fp = stream_checked(f, path, f->flags);
    }
    if (fp == nullptr)
        return -1;
    adopt_stream(f, fp);
    return 0;
}

// Allocates the kind 3 window for block_size (<= 0: the default). 0 or -1.
int setup_window(file_t *f, int block_size)
{
    const int size = block_size > 0 ? block_size : FILE_DEFAULT_BLOCK;
    if (size > kMaxBlockSize) {
        log_error("file_open: block size %d too large", size);
        return -1;
    }
    free_window(f);
    f->block_size = size;
    f->window_size = size * FILE_WINDOW_BLOCKS;
    // The dirty map follows the window in the same block: a closed object
    // holds neither.
    void *window = nullptr;
    if (posix_memalign(&window, kBufferAlignment, static_cast<size_t>(f->window_size) + FILE_WINDOW_BLOCKS) != 0)
        window = nullptr;
    f->window = static_cast<uint8_t *>(window);
    f->dirty_map = f->window != nullptr ? f->window + f->window_size : nullptr;
    window_reset(f);
    if (f->window == nullptr) {
        log_error("file_open: Can't allocate window of %d bytes", f->window_size);
        return -1;
    }
    return 0;
}

// Sets the position of a kind 1 or 3 file opened for appending to its end.
// 0 or -1 (logged by xlseek).
int start_at_end(file_t *f)
{
    const int64_t end = xlseek(f->fd, 0, SEEK_END);
    if (end < 0)
        return -1;
    f->pos = end;
    return 0;
}

// Closes by kind, without the type's slot.
int close_by_kind(file_t *f)
{
    int rc = 0;
    switch (f->kind) {
    case 1:
    case 3:
        if (f->fd < 0)
            break;
        if (f->kind == 3 && f->window != nullptr) {
            rc = window_write_back(f);
            window_reset(f);
        }
        if (::close(f->fd) != 0) {
            const int e = errno;
            const int failed = close_failed(f, "close", e);
            if (rc == 0)
                rc = failed;
        }
        // A closed file keeps no window (see the notes).
        free_window(f);
        break;
    case 2:
        if (f->fp == nullptr)
            break;
        {
            // A flush that failed inside a seek (or a turn from writing to
            // reading) dropped the buffered bytes and left only the stream's
            // error indicator; fclose does not report it.
            const bool lost = file_opened_for_writing(f) && std::ferror(f->fp);
            if (std::fclose(f->fp) != 0) {
                const int e = errno;
                rc = close_failed(f, "fclose", e);
            } else if (lost) {
                rc = close_failed(f, "flush", f->last_error != 0 ? f->last_error : EIO);
            }
        }
        f->fp = nullptr;
        std::free(f->stream_buffer);
        f->stream_buffer = nullptr;
        break;
    case 4:
        rc = gzip_close(f);
        break;
    default:
        break;
    }
    f->fd = -1;
    f->stream_writing = 0;
    return rc;
}

} // namespace

// --- virtual-file types ------------------------------------------------------------------

vf_entry *file_register_vf(const char *name, const vf_ops *ops, void *arg)
{
    if (name == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    vf_entry *e = registry_find_locked(name);
    if (e == nullptr) {
        e = static_cast<vf_entry *>(std::calloc(1, sizeof *e));
        char *copy = strdup(name);
        if (e == nullptr || copy == nullptr) {
            std::free(e);
            std::free(copy);
            log_error("file_register_vf: out of memory");
            return nullptr;
        }
        e->name = copy;
        e->next = g_registry;
        g_registry = e;
    }
    e->ops = ops;
    e->arg = arg;
    return e;
}

int file_set_vf(file_t *f, const char *name)
{
    if (f == nullptr || name == nullptr)
        return -1;
    vf_entry *e = registry_lookup(name);
    if (e == nullptr || (f->vf != nullptr && f->vf != e))
        return -1;
    f->vf = e;
    return 0;
}

// --- modes -------------------------------------------------------------------------------

int mode_bits(const char *mode)
{
    if (mode == nullptr) {
        log_error("%s: NULL mode given", "mode_bits");
        return 0;
    }
    int flags;
    switch (mode[0]) {
    case 'r':
    case 'R':
        flags = O_RDONLY;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'W':
        flags = O_WRONLY;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        log_error("%s: Unknown mode character", "mode_bits");
        return 0;
    }
    // "+" is the second character, or the third after a "b" ("rb+").
    if (mode[1] == '+' || (mode[1] == 'b' && mode[2] == '+'))
        flags = (flags & ~O_ACCMODE) | O_RDWR;
    return flags;
}

// --- opening and closing ------------------------------------------------------------------

file_t *file_open(const char *path, const char *mode, int kind)
{
    return file_open_ex(nullptr, path, mode, kind, 0, nullptr, nullptr, -1);
}

file_t *file_open_ex(file_t *given, const char *path, const char *mode, int kind, int block_size, const vf_ops *ops,
                     void *arg, int fd)
{
    // A descriptor handed over is the object's from here on: closed on
    // every early return too.
    const auto give_up = [fd]() -> file_t * {
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    };
    const uint32_t kind_given = static_cast<uint32_t>(kind);
    if (kind & 0x10)
        kind &= 7;
    if (path == nullptr || kind < 1 || kind > 4)
        return give_up();
    if (given != nullptr && given->fd != -1) {
        log_error("file_open: %s is already open", name_or_null(given));
        return give_up();
    }

    char used[8] = {};
    if (mode != nullptr)
        std::strncpy(used, mode, sizeof used - 1);
    if (used[0] == 'W') {
        used[0] = 'w';
    } else if (used[0] == 'R') {
        used[0] = 'r';
        struct stat info;
        if (utf8_stat(path, &info) != 0 && errno == ENOENT) {
            // Exclusive: whatever appeared under the name meanwhile (a FIFO,
            // a link) is left alone and goes to the checked open below.
            const int created = utf8_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK, 0666);
            if (created >= 0)
                ::close(created);
        }
    }

    file_t *f = given != nullptr ? given : file_new(nullptr);
    if (f == nullptr)
        return give_up();
    char *name = strdup(path); // path may be f->name itself
    if (name == nullptr) {
        if (given == nullptr)
            release_object(f);
        return give_up();
    }
    std::free(f->name);
    f->name = name;
    std::memset(f->mode_given, 0, sizeof f->mode_given);
    if (mode != nullptr)
        std::strncpy(f->mode_given, mode, sizeof f->mode_given - 1);
    std::memcpy(f->mode, used, sizeof f->mode);
    f->kind_given = kind_given;
    f->kind = static_cast<uint8_t>(kind);
    f->flags = mode_bits(mode);
    f->last_error = 0;
    f->short_read = 0;
    f->pos = 0;

    vf_entry *type = ops != nullptr ? file_register_vf(path, ops, arg) : registry_lookup(path);
    if (type != nullptr) {
        f->vf = type;
        if (type->ops != nullptr && type->ops->open != nullptr) {
            if (fd >= 0)
                ::close(fd); // the type opens what it needs itself
            file_t *opened = type->ops->open(f, mode, kind);
            if (opened == nullptr && given == nullptr)
                release_object(f);
            return opened;
        }
    }

    int rc = 0;
    switch (kind) {
    case 2:
        rc = open_stream(f, path, fd);
        break;
    case 4:
        if (fd >= 0)
            f->fd = check_descriptor(f, path, fd, f->flags) == 0 ? fd : -1;
        else
            f->fd = open_checked(f, path, f->flags);
        rc = f->fd < 0 ? -1 : gzip_open(f);
        break;
    default: // 1 and 3
        if (fd >= 0)
            f->fd = check_descriptor(f, path, fd, f->flags) == 0 ? fd : -1;
        else
            f->fd = open_descriptor(f, path, f->flags, kind);
        if (f->fd < 0) {
            rc = -1;
            break;
        }
        if (kind == 3)
            rc = setup_window(f, block_size);
        if (rc == 0 && (f->flags & O_APPEND))
            rc = start_at_end(f);
        if (rc != 0) {
            ::close(f->fd);
            f->fd = -1;
        }
        break;
    }
    if (rc != 0) {
        f->fd = -1;
        if (given == nullptr)
            release_object(f);
        return nullptr;
    }
    return f;
}

file_t *file_open_regular(const char *path, const char *mode, int kind)
{
    file_t *f = file_new(nullptr);
    if (f == nullptr)
        return nullptr;
    f->regular_only = 1;
    if (file_open_ex(f, path, mode, kind, 0, nullptr, nullptr, -1) == nullptr) {
        release_object(f);
        return nullptr;
    }
    return f;
}

file_t *file_new(const char *name)
{
    file_t *f = static_cast<file_t *>(std::calloc(1, sizeof(file_t)));
    if (f == nullptr)
        return nullptr;
    f->fd = -1;
    if (name != nullptr) {
        f->name = strdup(name);
        if (f->name == nullptr) {
            std::free(f);
            return nullptr;
        }
    }
    return f;
}

int file_reopen(file_t *f, const char *mode, int kind)
{
    if (f == nullptr)
        return -12;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->reopen != nullptr)
        return ops->reopen(f, mode, kind);
    if (f->fd != -1) {
        log_error("file_reopen: already open");
        return -19;
    }
    if (f->name == nullptr)
        return -1;
    if (mode != nullptr) {
        const std::string name = f->name;
        return file_open_ex(f, name.c_str(), mode, kind, f->block_size, nullptr, nullptr, -1) != nullptr ? 0 : -1;
    }

    // The stored mode, without truncating what the first open made.
    const int flags = f->flags & ~O_TRUNC;
    switch (f->kind) {
    case 2: {
        const int fd = open_checked(f, f->name, flags);
        if (fd < 0)
            return -1;
        FILE *fp = fdopen(fd, f->mode);
        if (fp == nullptr) {
            log_error("file_reopen: Can't open a stream on %s mode %s", f->name, f->mode);
            ::close(fd);
            return -1;
        }
        adopt_stream(f, fp);
        if (f->mode[0] != 'a' && fseeko(fp, f->pos, SEEK_SET) != 0)
            f->pos = 0;
        return 0;
    }
    case 1:
    case 3:
        f->fd = open_descriptor(f, f->name, flags, f->kind);
        if (f->fd < 0)
            return -1;
        if (f->kind == 3) {
            if (f->window == nullptr && setup_window(f, f->block_size) != 0) {
                ::close(f->fd);
                f->fd = -1;
                return -1;
            }
            window_reset(f);
            f->pos = 0;
        }
        if ((flags & O_APPEND) && start_at_end(f) != 0) {
            ::close(f->fd);
            f->fd = -1;
            return -1;
        }
        return 0;
    default:
        // A gzip stream cannot be continued where it was left.
        return -15;
    }
}

int file_close(file_t *f)
{
    if (f == nullptr)
        return -12;
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->close != nullptr)
        return ops->close(f);
    return close_by_kind(f);
}

int file_free(file_t **fp)
{
    if (fp == nullptr || *fp == nullptr)
        return 0;
    file_t *f = *fp;
    if (f->free_lock != nullptr) {
        log_error("can't free file");
        return -1;
    }
    const vf_ops *ops = type_ops(f);
    if (ops != nullptr && ops->free != nullptr)
        return ops->free(fp);
    const int rc = file_close(f);
    const int error = errno;
    release_object(f);
    *fp = nullptr;
    errno = error;
    return rc;
}

int file_delete(file_t **fp)
{
    if (fp == nullptr || *fp == nullptr)
        return 0;
    int unlinked = 0;
    if ((*fp)->name != nullptr && utf8_unlink((*fp)->name) != 0) {
        const int e = errno;
        log_error("file_delete: Can't delete %s: %s", (*fp)->name, error_text(e).c_str());
        unlinked = -1;
    }
    const int rc = file_free(fp);
    return rc != 0 ? rc : unlinked;
}

int file_free_lock(file_t *f, const void *owner)
{
    if (f == nullptr)
        return -12;
    if (f->free_lock != nullptr) {
        log_error("file already free locked");
        return -1;
    }
    f->free_lock = owner;
    return 0;
}

int file_free_unlock(file_t **fp, const void *owner)
{
    if (fp == nullptr || *fp == nullptr)
        return 0;
    if ((*fp)->free_lock != nullptr && (*fp)->free_lock != owner) {
        log_error("file bad free lock");
        return -1;
    }
    (*fp)->free_lock = nullptr;
    return file_free(fp);
}

