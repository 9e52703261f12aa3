// The host side of recovery: the target folder, safe creation of folders
// and files under free names, length and times; the medium guard
// (medium_guard.cpp) keeps a recovery from writing onto the medium it reads.
//
// Implementation notes
//   - Creation is relative to directory descriptors. A folder is made with
//     mkdirat and then opened with O_DIRECTORY | O_NOFOLLOW: when a link, a
//     file or anything else holds the name the open fails (ELOOP, ENOTDIR)
//     and the next free name is tried; the user's thing is never renamed or
//     followed. A file is created with O_CREAT | O_EXCL | O_NOFOLLOW: an
//     existing name, a dangling link included, gives EEXIST.
//   - The medium guard (medium_guard.cpp) tells whether a target lies on
//     the medium; it is built once per target and asked again for each
//     folder opened on the way.
//   - A folder the walk makes or reuses inside the target on another file
//     system than its parent's (a mount point: a folder of the card may be
//     mounted there) is checked the same way before anything goes into it.
//   - The guard is asked before anything is made in the target: a target
//     on the card ends with -12 with no folder made, not even its parents.
//     A FUSE server that holds the card only while a file of it is open
//     (a passthrough server) is seen by a probe in the target's nearest
//     existing folder (a file there opened for reading, else one made and
//     removed), and, for a FUSE mount met below the target,
//     at the first file the recovery makes on it (created_on_medium): that
//     file is removed and the recovery ends with -12.
//   - The target folder is checked before anything is copied: its parents
//     made, the folder made or reused, and its write permission asked of
//     the system (faccessat: a read-only mount answers EROFS even to root).
//     A host refusal is noted with the path it concerns and the system's
//     reason (a target that is a file names that file), and ends with -3.
//   - A file is written under a temporary name in its folder,
//     ".zv-partial-<pid>-<n>" (RECOVER_TEMP_PREFIX), and given its final name
//     only once it is complete: renameat2 with RENAME_NOREPLACE; where the
//     file system refuses the flag (EINVAL; FUSE file systems do), a hard
//     link to the final name and the unlink of the temporary; where it has
//     no hard links either (exfat-fuse), an empty file made under the final
//     name with O_EXCL and replaced by the rename, so the only thing ever
//     replaced is that placeholder of ours. A name taken at that moment
//     gives the next free name. A killed run leaves at most its temporary,
//     which no later run takes for a recovered file.
#include "scan/recover/recover_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>

#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "scan/recover/medium_guard.h"
#include "scan/recover/recover.h"
#include "storage/media.h"

namespace {

constexpr int TEMP_TRIES = 1000;       // temporary names tried in one folder (each is new but for leftovers)

// Notes the target refused by the host: the path concerned and why.
void note_target(const std::string &path, int errnum)
{
    recover_note note;
    note.path = path;
    note.errnum = errnum;
    note.host = 1;
    recover_note_add(note);
}

// The first leading part of path that exists and is not a folder ("" when
// none): what a mkdir failing with ENOTDIR ran into.
std::string first_non_folder(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string prefix = path.substr(0, i);
        struct stat st;
        if (::stat(prefix.c_str(), &st) != 0)
            return "";
        if (!S_ISDIR(st.st_mode))
            return prefix;
    }
    return "";
}

// The file systems (by device) whose first file of the recovery under way
// on this thread was looked at again (created_on_medium); open_target, the
// start of every recovery, empties it.
std::set<dev_t> &looked_again()
{
    thread_local std::set<dev_t> devices;
    return devices;
}

bool refuses_name(int errnum)
{
    return errnum == EINVAL;
}

// mkdir -p on the path's bytes as given (the user's folder: links followed).
// -1 with errno and *failed = the folder that could not be made (or the
// file in its way).
int make_parents(const std::string &path, std::string *failed)
{
    *failed = path;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        if (path[i - 1] == '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST)
            continue;
        const int e = errno;
        const std::string in_the_way = e == ENOTDIR ? first_non_folder(prefix) : "";
        *failed = in_the_way.empty() ? prefix : in_the_way;
        errno = e;
        return -1;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        const std::string in_the_way = first_non_folder(path);
        *failed = in_the_way.empty() ? path : in_the_way;
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

} // namespace

std::string recover_errno_text(int errnum)
{
    char buffer[256];
    zv_strerror_r(errnum, buffer, sizeof buffer);
    return buffer;
}

namespace recover_host {

bool is_target_full(int errnum)
{
    return errnum == ENOSPC || errnum == EDQUOT || errnum == EFBIG || errnum == EROFS || errnum == EIO;
}

// Walks the free-name series of a name: the name itself (from `first` on),
// then "name-01" .. "name-4998". `attempt` is given each candidate and
// returns 0 when it is done, 1 when the name is taken (next one), or -1 with
// errno set; a name the target file system refuses (a FAT or NTFS target)
// is tried once more in its Windows-safe form, from the start. -37 when the
// series runs out.
template <typename Attempt>
static int walk_free_names(const std::string &name, int first, const char *who, Attempt attempt)
{
    std::string base = name;
    bool retried = false;
    for (int n = first; n <= RECOVER_MAX_SUFFIX; ++n) {
        const std::string candidate = n == 0 ? base : recover_numbered_variant(base, n);
        const int rc = attempt(candidate, n, retried);
        if (rc == 0)
            return 0;
        if (rc > 0)
            continue;
        if (refuses_name(errno) && !retried) {
            retried = true;
            base = recover_windows_safe_name(base);
            n = -1;
            continue;
        }
        return -1;
    }
    log_error("%s: too many renames for %s", who, name.c_str());
    return -37;
}

int make_folder_at(int parent_fd, const std::string &name, int *fd, std::string *made, bool *created)
{
    return walk_free_names(name, 0, "make_folder_at", [&](const std::string &candidate, int, bool) {
        bool made_here = false;
        if (::mkdirat(parent_fd, candidate.c_str(), 0777) == 0)
            made_here = true;
        else if (errno != EEXIST)
            return -1;
        const int opened = ::openat(parent_fd, candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (opened >= 0) {
            *fd = opened;
            *made = candidate;
            *created = made_here;
            return 0;
        }
        if (errno != ELOOP && errno != ENOTDIR)
            return -1;
        // A file, a link or something else holds the name (or took it
        // since): the folder goes under the next free name.
        return 1;
    });
}

// Where the free-name series of a name in a folder went on last time, so
// that a card folder holding thousands of entries of one name costs one
// try per file rather than thousands (the names before it were taken when
// it was given out). Kept per thread and bounded; a miss only means
// starting from the name itself again.
static int *free_name_hint(int parent_fd, const std::string &name)
{
    constexpr size_t kMaxHints = 65536;
    thread_local std::unordered_map<std::string, int> hints;
    struct stat folder;
    if (::fstat(parent_fd, &folder) != 0)
        return nullptr;
    if (hints.size() >= kMaxHints)
        hints.clear();
    const std::string key = std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino) + ":" + name;
    return &hints[key];
}

int create_temp_at(int parent_fd, int *fd, std::string *temp)
{
    static std::atomic<uint32_t> sequence{0};
    char name[64];
    for (int tries = 0; tries < TEMP_TRIES; ++tries) {
        std::snprintf(name, sizeof name, "%s%ld-%u", RECOVER_TEMP_PREFIX, (long)::getpid(), sequence.fetch_add(1) + 1);
        const int opened =
            ::openat(parent_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (opened >= 0) {
            *fd = opened;
            *temp = name;
            return 0;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// Gives the complete file at temp the name final when nothing holds it (see
// the top of this file). 0 when done, 1 when the name is taken, or -1 with
// errno (EINVAL when the file system refuses the name itself).
static int publish_at(int parent_fd, const std::string &temp, const std::string &final_name)
{
    if (::renameat2(parent_fd, temp.c_str(), parent_fd, final_name.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST)
        return 1;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // The flag refused (or the name: the link and the create below tell).
    if (::linkat(parent_fd, temp.c_str(), parent_fd, final_name.c_str(), 0) == 0) {
        ::unlinkat(parent_fd, temp.c_str(), 0);
        return 0;
    }
    if (errno == EEXIST)
        return 1;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
        return -1;
    // No hard links either: an empty placeholder of ours takes the name,
    // and only it is replaced.
    const int placeholder =
        ::openat(parent_fd, final_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (placeholder < 0)
        return errno == EEXIST ? 1 : -1;
    ::close(placeholder);
    if (::renameat(parent_fd, temp.c_str(), parent_fd, final_name.c_str()) == 0)
        return 0;
    const int e = errno;
    ::unlinkat(parent_fd, final_name.c_str(), 0);
    errno = e;
    return -1;
}

int commit_file_at(int parent_fd, const std::string &temp, const std::string &name, std::string *made)
{
    int *hint = free_name_hint(parent_fd, name);
    int first = 0;
    if (hint != nullptr && *hint > 0) {
        // Only while the name given out last is still there (the folder may
        // be a new one that reuses an old folder's inode number).
        struct stat taken;
        const std::string last = *hint == 1 ? name : recover_numbered_variant(name, *hint - 1);
        if (::fstatat(parent_fd, last.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
            first = *hint;
    }
    return walk_free_names(name, first, "recover_file", [&](const std::string &candidate, int n, bool retried) {
        const int rc = publish_at(parent_fd, temp, candidate);
        if (rc == 0) {
            *made = candidate;
            if (hint != nullptr && !retried)
                *hint = n + 1;
        }
        return rc;
    });
}

int reserve(int fd, uint64_t size)
{
    if (size == 0)
        return 0;
    if (size > (uint64_t)INT64_MAX) {
        errno = EFBIG;
        return -1;
    }
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)size) == 0)
        return 0;
    // A file system without it (exFAT, many FUSE file systems) is written
    // as it comes.
    return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : -1;
}

bool folder_on_medium(int parent_fd, int fd, Media *media)
{
    struct stat parent, folder;
    if (::fstat(parent_fd, &parent) != 0 || ::fstat(fd, &folder) != 0 || parent.st_dev == folder.st_dev)
        return false;
    return medium_guard_holds_fd(medium_guard_of(media), fd);
}

bool created_on_medium(int fd, Media *media)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !looked_again().insert(st.st_dev).second)
        return false;
    return medium_guard_open_file_on(fd, media);
}

int open_target(const char *caller, const char *target, int named, Media *media, int *fd, std::string *path)
{
    looked_again().clear();
    if (target == nullptr || *target == '\0') {
        log_error("%s: no target folder", caller);
        errno = EINVAL;
        return -1;
    }
    std::string full = target;
    while (full.size() > 1 && full.back() == '/')
        full.pop_back();
    if (full.size() >= RECOVER_PATH_MAX) {
        log_error("%s: target folder path too long: %s", caller, full.c_str());
        errno = ENAMETOOLONG;
        return -1;
    }
    const medium_guard guard = medium_guard_of(media);
    if (medium_guard_holds_path(guard, full) || medium_guard_probe_on(full, media)) {
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    // The user's folder (parent), and the names the program gives below it
    // (outermost first).
    std::string parent = full;
    std::vector<std::string> names;
    while ((int)names.size() < named && parent != "/" && parent != ".") {
        const size_t slash = parent.rfind('/');
        names.insert(names.begin(), slash == std::string::npos ? parent : parent.substr(slash + 1));
        parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
        while (parent.size() > 1 && parent.back() == '/')
            parent.pop_back();
    }
    std::string failed;
    if (make_parents(parent, &failed) != 0) {
        const int e = errno;
        log_error("%s: Can't make folder \"%s\": %s", caller, failed.c_str(), recover_errno_text(e).c_str());
        note_target(failed, e);
        errno = e;
        return -3;
    }
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) {
        const int e = errno;
        log_error("%s: Can't open folder \"%s\": %s", caller, parent.c_str(), recover_errno_text(e).c_str());
        note_target(parent, e);
        errno = e;
        return -3;
    }
    if (medium_guard_holds_opened(guard, parent_fd, parent)) {
        ::close(parent_fd);
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    std::string opened = parent, front = parent;
    *fd = parent_fd;
    for (const std::string &name : names) {
        std::string made;
        bool created = false;
        const int outer = *fd;
        const int rc = make_folder_at(outer, name, fd, &made, &created);
        const int e = errno;
        ::close(outer);
        const std::string wanted = (opened == "/" ? "" : opened) + "/" + name;
        if (rc != 0) {
            *fd = -1;
            if (rc != -1)
                return rc;
            log_error("%s: Can't mkdir \"%s\": %s", caller, wanted.c_str(), recover_errno_text(e).c_str());
            note_target(wanted, e);
            errno = e;
            return -3;
        }
        opened = (opened == "/" ? "" : opened) + "/" + made;
        if (&name == &names.front())
            front = opened;
        if (medium_guard_holds_opened(guard, *fd, opened)) {
            // The folder was there already, as a mount point of the medium.
            ::close(*fd);
            *fd = -1;
            log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                      media_path(media));
            return -12;
        }
    }
    // A folder that exists already (or "/") may still refuse new files.
    if (::faccessat(*fd, ".", W_OK | X_OK, 0) != 0) {
        const int e = errno;
        ::close(*fd);
        *fd = -1;
        log_error("%s: Can't write in folder \"%s\": %s", caller, opened.c_str(), recover_errno_text(e).c_str());
        note_target(opened, e);
        errno = e;
        return -3;
    }
    *path = opened;
    recover_target_opened(front.c_str());
    return 0;
}

int write_all(int fd, const void *data, size_t n, uint64_t offset)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        const ssize_t wrote = ::pwrite(fd, p, n, (off_t)offset);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (wrote == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += wrote;
        n -= (size_t)wrote;
        offset += (uint64_t)wrote;
    }
    return 0;
}

int set_times(int fd, int64_t seconds)
{
    if (seconds <= 0)
        return 0;
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = (time_t)seconds;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::futimens(fd, times);
}

int close_checked(int fd)
{
    if (::close(fd) == 0)
        return 0;
    // Linux releases the descriptor even when close reports an error; the
    // error (EIO, ENOSPC, EDQUOT on network and some local file systems)
    // means written data may be lost.
    return errno == EINTR ? 0 : -1;
}

} // namespace recover_host
