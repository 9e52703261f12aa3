// Replacing a file whole through a temporary file (see atomic_file.h).
#include "foundation/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/log.h"
#include "foundation/sysutil.h"

namespace {

std::atomic<atomic_file_hook> g_hook{nullptr};
std::atomic<void *> g_hook_arg{nullptr};

void call_hook(int stage, int dir_fd, const char *name)
{
    if (atomic_file_hook hook = g_hook.load())
        hook(stage, dir_fd, name, g_hook_arg.load());
}

// Records errno as the record's failure and returns -1 with errno kept.
int failed(atomic_file *af, int error)
{
    af->error = error != 0 ? error : EIO;
    errno = af->error;
    return -1;
}

// Whether the folder's entry name is the file written (never following a
// link); errno tells why not (ENOENT, or EEXIST for something else).
bool names_ours(const atomic_file *af, const char *name)
{
    struct stat st;
    if (fstatat(af->dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (st.st_dev == af->dev && st.st_ino == af->ino && S_ISREG(st.st_mode))
        return true;
    errno = EEXIST;
    return false;
}

void close_descriptors(atomic_file *af)
{
    if (af->fd >= 0)
        close(af->fd);
    if (af->dir_fd >= 0)
        close(af->dir_fd);
    af->fd = af->dir_fd = -1;
    af->temp_name.clear();
}

// ".name.tmp-" and 12 random hexadecimal digits.
std::string random_name(const char *base)
{
    unsigned char bytes[6];
    random_bytes(bytes, sizeof bytes);
    char suffix[sizeof bytes * 2 + 1];
    for (size_t i = 0; i < sizeof bytes; i++)
        snprintf(suffix + 2 * i, 3, "%02x", bytes[i]);
    return std::string(base) + suffix;
}

// Creates the temporary under af->temp_name; the descriptor or -1 (errno).
int create_exclusive(atomic_file *af, mode_t mode)
{
    return openat(af->dir_fd, af->temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// Removes a regular file left at the fixed temporary name; anything else
// there is left alone (the create then fails with EEXIST).
void remove_leftover(const atomic_file *af)
{
    struct stat st;
    if (fstatat(af->dir_fd, af->temp_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        unlinkat(af->dir_fd, af->temp_name.c_str(), 0);
}

} // namespace

int atomic_file_create(atomic_file *af, const char *path, const char *temp_name, int naming, mode_t mode)
{
    static const char *const fn = "atomic_file_create";
    if (af == nullptr || path == nullptr || temp_name == nullptr || temp_name[0] == '\0' ||
        std::strchr(temp_name, '/') != nullptr) {
        errno = EINVAL;
        return af != nullptr ? failed(af, EINVAL) : -1;
    }
    atomic_file_abandon(af);
    af->error = 0;
    af->replaced = false;
    try {
        af->path = path;
        const size_t slash = af->path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : af->path.substr(0, slash);
        af->name = slash == std::string::npos ? af->path : af->path.substr(slash + 1);
        if (af->name.empty() || af->name == "." || af->name == "..") {
            log_error("%s: %s names no file", fn, path);
            return failed(af, EISDIR);
        }
        af->dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (af->dir_fd < 0) {
            const int error = errno;
            log_error("%s: Can't open the folder %s: %s", fn, folder.c_str(), strerror(error));
            return failed(af, error);
        }
        const std::string prefix = slash == std::string::npos ? "" : af->path.substr(0, slash + 1);
        // Another name is tried only when one is taken, which random names
        // almost never are.
        for (int attempt = 0; attempt < 16 && af->fd < 0; attempt++) {
            af->temp_name = naming == ATOMIC_FILE_FIXED ? std::string(temp_name) : random_name(temp_name);
            af->temp_path = prefix + af->temp_name;
            if (naming == ATOMIC_FILE_FIXED)
                remove_leftover(af);
            af->fd = create_exclusive(af, mode);
            if (af->fd < 0 && (errno != EEXIST || naming == ATOMIC_FILE_FIXED))
                break;
        }
    } catch (const std::bad_alloc &) {
        close_descriptors(af);
        return failed(af, ENOMEM);
    }
    struct stat st;
    if (af->fd < 0 || fstat(af->fd, &st) != 0) {
        const int error = errno;
        log_error("%s: Can't create %s: %s", fn, af->temp_path.c_str(), strerror(error));
        if (af->fd >= 0)
            unlinkat(af->dir_fd, af->temp_name.c_str(), 0);
        close_descriptors(af);
        return failed(af, error);
    }
    af->dev = st.st_dev;
    af->ino = st.st_ino;
    call_hook(ATOMIC_FILE_CREATED, af->dir_fd, af->temp_name.c_str());
    return 0;
}

int atomic_file_write(atomic_file *af, const void *data, size_t size)
{
    if (af == nullptr || (data == nullptr && size > 0)) {
        errno = EINVAL;
        return af != nullptr ? failed(af, EINVAL) : -1;
    }
    if (af->fd < 0)
        return failed(af, EBADF);
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(af->fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed(af, n < 0 ? errno : ENOSPC);
        done += (size_t)n;
    }
    return 0;
}

int atomic_file_replace(const char *path, const void *data, size_t size, mode_t mode)
{
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return -1;
    }
    const char *slash = std::strrchr(path, '/');
    atomic_file af;
    if (atomic_file_create(&af, path, (std::string(slash != nullptr ? slash + 1 : path) + ".tmp").c_str(),
                           ATOMIC_FILE_FIXED, mode) != 0)
        return -1;
    if (atomic_file_write(&af, data, size) == 0 && atomic_file_finish(&af) == 0)
        return 0;
    const int error = af.error != 0 ? af.error : EIO;
    atomic_file_abandon(&af);
    errno = error;
    return -1;
}

int atomic_file_finish(atomic_file *af)
{
    static const char *const fn = "atomic_file_finish";
    if (af == nullptr)
        return -1;
    if (af->fd < 0 || af->dir_fd < 0) {
        log_error("%s: no file being written for %s", fn, af->path.c_str());
        atomic_file_abandon(af);
        return failed(af, EBADF);
    }
    int error = 0;
    if (fsync(af->fd) != 0) {
        error = errno;
        log_error("%s: Can't flush %s to the disk: %s", fn, af->temp_path.c_str(), strerror(error));
    }
    const int fd = af->fd;
    af->fd = -1;
    if (close(fd) != 0 && error == 0) {
        error = errno;
        log_error("%s: Can't close %s: %s", fn, af->temp_path.c_str(), strerror(error));
    }
    if (error == 0 && !names_ours(af, af->temp_name.c_str())) {
        error = errno;
        log_error("%s: %s no longer names the file written (%s); %s left as it was", fn, af->temp_path.c_str(),
                  strerror(error), af->path.c_str());
    }
    if (error == 0 && renameat(af->dir_fd, af->temp_name.c_str(), af->dir_fd, af->name.c_str()) != 0) {
        error = errno;
        log_error("%s: Can't rename %s to %s: %s", fn, af->temp_path.c_str(), af->path.c_str(), strerror(error));
    }
    if (error != 0) {
        atomic_file_abandon(af);
        return failed(af, error);
    }
    af->temp_name.clear();
    af->replaced = true;
    call_hook(ATOMIC_FILE_RENAMED, af->dir_fd, af->name.c_str());
    // The rename is on the disk only once the folder is: a crash before
    // that may bring the earlier file back. A folder its file system cannot
    // sync (EINVAL, EROFS) is no failure.
    if (fsync(af->dir_fd) != 0 && errno != EINVAL && errno != EROFS) {
        error = errno;
        log_error("%s: %s replaced, but its folder could not be put on the disk: %s", fn, af->path.c_str(),
                  strerror(error));
        close_descriptors(af);
        return failed(af, error);
    }
    close_descriptors(af);
    return 0;
}

void atomic_file_abandon(atomic_file *af)
{
    if (af == nullptr)
        return;
    const int error = errno;
    if (af->dir_fd >= 0 && !af->temp_name.empty() && names_ours(af, af->temp_name.c_str()) &&
        unlinkat(af->dir_fd, af->temp_name.c_str(), 0) != 0 && errno != ENOENT)
        log_error("atomic_file_abandon: Can't remove %s: %s", af->temp_path.c_str(), strerror(errno));
    close_descriptors(af);
    errno = error;
}

void atomic_file_set_test_hook(atomic_file_hook hook, void *arg)
{
    g_hook_arg.store(arg);
    g_hook.store(hook);
}
