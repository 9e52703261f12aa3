// The host side of recovery: the target folder, safe creation of folders
// and files under free names, length, times, and the guard that keeps a
// recovery from writing onto the medium it reads.
//
// Implementation notes
//   - Creation is relative to directory descriptors. A folder is made with
//     mkdirat and then opened with O_DIRECTORY | O_NOFOLLOW: when a link, a
//     file or anything else holds the name the open fails (ELOOP, ENOTDIR)
//     and the next free name is tried; the user's thing is never renamed or
//     followed. A file is created with O_CREAT | O_EXCL | O_NOFOLLOW: an
//     existing name, a dangling link included, gives EEXIST.
//   - The medium guard works on device numbers. The medium's path names a
//     block device (a card reader, a loop device) whose sysfs folder
//     /sys/dev/block/MAJ:MIN lists its partitions (sub-folders with a
//     "partition" file, their "start" and "size" in 512-byte sectors, and
//     "dev" = "MAJ:MIN") and the devices stacked on it ("holders/"). A
//     partition medium is a window on its disk's path: only the disk itself
//     and the partitions that overlap the window count. A target whose
//     st_dev is one of these lies on the medium.
#include "scan/recover/recover_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "scan/recover/recover.h"
#include "storage/media.h"

namespace {

constexpr int HOLDER_DEPTH_MAX = 4;    // device-mapper stacks seen in practice are 1-3 deep
constexpr size_t DEVICES_MAX = 1024;   // partitions + holders considered per medium

std::string errno_text(int errnum)
{
    char buffer[256];
    zv_strerror_r(errnum, buffer, sizeof buffer);
    return buffer;
}

std::string read_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool parse_dev(const std::string &text, dev_t *out)
{
    unsigned major_number = 0, minor_number = 0;
    if (std::sscanf(text.c_str(), "%u:%u", &major_number, &minor_number) != 2)
        return false;
    *out = makedev(major_number, minor_number);
    return true;
}

std::string sysfs_folder(dev_t device)
{
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(device), minor(device));
    return path;
}

// Adds the devices stacked on the sysfs folder's device (holders), depth-bounded.
void add_holders(const std::string &folder, int depth, std::set<dev_t> *out)
{
    if (depth > HOLDER_DEPTH_MAX || out->size() >= DEVICES_MAX)
        return;
    DIR *dir = opendir((folder + "/holders").c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string &name : names) {
        const std::string holder = "/sys/class/block/" + name;
        dev_t device;
        if (parse_dev(read_line(holder + "/dev"), &device) && out->insert(device).second)
            add_holders(holder, depth + 1, out);
    }
}

// The devices whose file systems live on the medium's bytes.
std::set<dev_t> medium_devices(Media *media)
{
    std::set<dev_t> devices;
    const char *path = media_path(media);
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0 || !S_ISBLK(st.st_mode))
        return devices;
    devices.insert(st.st_rdev);
    const std::string folder = sysfs_folder(st.st_rdev);
    add_holders(folder, 1, &devices);
    const bool window = media->kind == MEDIA_PARTITION;
    const int64_t from = media->start_pos, to = media->stop_pos;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return devices;
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string &name : names) {
        const std::string part = folder + "/" + name;
        struct stat ps;
        if (::stat((part + "/partition").c_str(), &ps) != 0)
            continue;
        if (window) {
            const long long start = std::atoll(read_line(part + "/start").c_str());
            const long long size = std::atoll(read_line(part + "/size").c_str());
            if (start < 0 || size <= 0 || start > INT64_MAX / 512 || size > INT64_MAX / 512 - start)
                continue;
            if (start * 512 >= to || (start + size) * 512 <= from)
                continue; // another partition of the card: not the bytes being read
        }
        dev_t device;
        if (parse_dev(read_line(part + "/dev"), &device) && devices.insert(device).second)
            add_holders(part, 1, &devices);
    }
    return devices;
}

// The device of path, or of its nearest existing parent.
bool device_of(const std::string &path, dev_t *out)
{
    std::string at = path.empty() ? "." : path;
    for (int guard = 0; guard < 4096; ++guard) {
        struct stat st;
        if (::stat(at.c_str(), &st) == 0) {
            *out = st.st_dev;
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return false;
        while (at.size() > 1 && at.back() == '/')
            at.pop_back();
        const size_t slash = at.rfind('/');
        if (slash == std::string::npos)
            at = ".";
        else if (slash == 0)
            at = "/";
        else
            at.resize(slash);
    }
    return false;
}

bool on_devices(dev_t device, const std::set<dev_t> &devices)
{
    return devices.count(device) != 0;
}

bool refuses_name(int errnum)
{
    return errnum == EINVAL;
}

// mkdir -p on the path's bytes as given (the user's folder: links followed).
int make_parents(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        if (path[i - 1] == '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST)
            continue;
        return -1;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

} // namespace

int recover_path_on_medium(const char *path, Media *media)
{
    if (path == nullptr || media == nullptr)
        return 0;
    const std::set<dev_t> devices = medium_devices(media);
    dev_t device;
    return !devices.empty() && device_of(path, &device) && on_devices(device, devices) ? 1 : 0;
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

int create_file_at(int parent_fd, const std::string &name, int *fd, std::string *made)
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
        const int opened = ::openat(parent_fd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                    0666);
        if (opened >= 0) {
            *fd = opened;
            *made = candidate;
            if (hint != nullptr && !retried)
                *hint = n + 1;
            return 0;
        }
        return errno == EEXIST ? 1 : -1;
    });
}

int open_target(const char *caller, const char *target, Media *media, int *fd, std::string *path)
{
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
    const std::set<dev_t> devices = media != nullptr ? medium_devices(media) : std::set<dev_t>();
    dev_t device;
    if (!devices.empty() && device_of(full, &device) && on_devices(device, devices)) {
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    const size_t slash = full.rfind('/');
    std::string parent, leaf;
    if (slash == std::string::npos) {
        parent = ".";
        leaf = full;
    } else {
        parent = slash == 0 ? "/" : full.substr(0, slash);
        leaf = full.substr(slash + 1);
    }
    if (make_parents(parent) != 0) {
        const int e = errno;
        log_error("%s: Can't make folder \"%s\": %s", caller, parent.c_str(), errno_text(e).c_str());
        errno = e;
        return -1;
    }
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) {
        const int e = errno;
        log_error("%s: Can't open folder \"%s\": %s", caller, parent.c_str(), errno_text(e).c_str());
        errno = e;
        return -1;
    }
    struct stat st;
    if (!devices.empty() && fstat(parent_fd, &st) == 0 && on_devices(st.st_dev, devices)) {
        ::close(parent_fd);
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    if (leaf.empty()) { // the target is "/"
        *fd = parent_fd;
        *path = parent;
        return 0;
    }
    std::string made;
    bool created = false;
    const int rc = make_folder_at(parent_fd, leaf, fd, &made, &created);
    const int e = errno;
    ::close(parent_fd);
    if (rc != 0) {
        if (rc == -1)
            log_error("%s: Can't mkdir \"%s\": %s", caller, full.c_str(), errno_text(e).c_str());
        errno = e;
        return rc;
    }
    if (!devices.empty() && fstat(*fd, &st) == 0 && on_devices(st.st_dev, devices)) {
        // The folder was there already, as a mount point of the medium.
        ::close(*fd);
        *fd = -1;
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    *path = (parent == "/" ? "" : parent) + "/" + made;
    return 0;
}

int preallocate(int fd, uint64_t size)
{
    if (size > (uint64_t)INT64_MAX) {
        errno = EFBIG;
        return -1;
    }
    const int rc = ::posix_fallocate(fd, 0, (off_t)size);
    if (rc == 0)
        return 0;
    if (rc != EOPNOTSUPP) {
        errno = rc;
        return -1;
    }
    return ::ftruncate(fd, (off_t)size) == 0 ? 0 : -1;
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
