// Folder and file-system utilities; see dirutil.h.
//
// Implementation notes
// - Tree walks (dir_tree_size, the deletions) never build entry paths. Each
//   level is a descriptor opened relative to its parent's descriptor with
//   O_NOFOLLOW | O_DIRECTORY, listed with fdopendir, examined with
//   fstatat(AT_SYMLINK_NOFOLLOW) and deleted with unlinkat. A path text
//   would have to be cut somewhere (and a cut path names another file), and
//   a path re-resolved from the top at every step could be redirected by a
//   link swapped in between our test and our use; descriptors have neither
//   weakness. A walk holds one descriptor per level, hence the depth cap.
//   (The deletions keep the names of the folders they are in, but only to
//   name a mount point they leave in a log line.)
// - A deletion checks the mount of every folder on the descriptor it has
//   opened, before listing it, so a mount made or swapped in while we walk
//   is seen as well.
// - Paths arriving as C strings are validated as UTF-8 but passed to the
//   system byte for byte (never normalised), like the utf8_* calls of
//   fileops.h: a name stored decomposed must be found under its own bytes.
#include "foundation/dirutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <utf8cpp/utf8.h>

#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/fileops.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/sysutil.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;


const char *printable(const char *path) { return path != nullptr ? path : "(null)"; }

std::string errno_text(int errnum) { return ZV::errorString(errnum).str(); }

// --- tree size ------------------------------------------------------------------------

// Sums the regular files below the folder open at fd (which this takes over
// and closes). depth counts the levels open, this one included.
uint64_t tree_size_fd(int fd, int depth)
{
    DIR *listing = fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return 0;
    }
    uint64_t total = 0;
    while (const dirent *entry = ::readdir(listing)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat info;
        if (fstatat(dirfd(listing), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(info.st_mode)) {
            total += static_cast<uint64_t>(info.st_size);
        } else if (S_ISDIR(info.st_mode) && depth < DIRUTIL_MAX_DEPTH) {
            const int sub = openat(dirfd(listing), name, kDirFlags);
            if (sub >= 0)
                total += tree_size_fd(sub, depth + 1);
        }
    }
    ::closedir(listing);
    return total;
}

// --- deletion -------------------------------------------------------------------------

// Where a folder is reached: its file system (st_dev) and the mount it lies
// on. A folder of the same file system bind-mounted elsewhere has the same
// st_dev but its own mount, so the mount id (statx, Linux 5.8) is what tells
// a mount point; st_dev alone decides only on kernels without it.
struct Place {
    dev_t device = 0;
    uint64_t mount = 0;
    bool has_mount = false;
};

bool place_of(int fd, Place *place)
{
    struct statx info;
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &info) == 0) {
        place->device = makedev(info.stx_dev_major, info.stx_dev_minor);
        place->has_mount = (info.stx_mask & STATX_MNT_ID) != 0;
        place->mount = info.stx_mnt_id;
        return true;
    }
    struct stat old;
    if (errno != ENOSYS || fstat(fd, &old) != 0)
        return false;
    place->device = old.st_dev;
    place->has_mount = false;
    return true;
}

bool same_place(const Place &a, const Place &b)
{
    return a.device == b.device && (!a.has_mount || !b.has_mount || a.mount == b.mount);
}

// One recursive deletion. It keeps to the mount of its top folder, as
// "rm --one-file-system" does: a folder reached through another mount is
// neither entered nor removed, but reported, and the deletion goes on with
// the rest of the tree.
struct Deletion {
    const char *caller;             // the public function, for its log lines
    Place top;                      // where every folder deleted must lie
    std::string top_path;           // the path the caller gave, for log lines only
    std::vector<std::string> names; // the folders below top_path being walked, likewise
};

// Results of the walk below the public functions (beside 0 and -1).
constexpr int kKeptMount = 1; // done, except for mount points left in place

// Reports a mount point met at name inside the folder being walked.
void report_mount(Deletion &deletion, const char *name)
{
    std::string shown = deletion.top_path;
    for (const std::string &folder : deletion.names)
        shown += "/" + folder;
    shown += std::string("/") + name;
    log_error("%s: mount point \"%s\" not removed", deletion.caller, shown.c_str());
}

int remove_tree_at(Deletion &deletion, int parent_fd, const char *name, int depth);

// Deletes everything in the folder open at fd (taken over and closed).
// 0 when done or when the descriptor cannot be listed, kKeptMount when only
// mount points (or folders holding them) are left, -1 with errno at the
// first failure.
int remove_contents_fd(Deletion &deletion, int fd, int depth)
{
    DIR *listing = fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return 0;
    }
    // Entries left in place for a mount point; later passes pass over them.
    std::vector<std::string> kept;
    int result = 0;
    for (int pass = 0;; ++pass) {
        if (pass == DIRUTIL_MAX_PASSES) {
            errno = EBUSY;
            result = -1;
            break;
        }
        ::rewinddir(listing);
        int deleted = 0;
        while (const dirent *entry = ::readdir(listing)) {
            const char *name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            bool known = false;
            for (size_t i = 0; !known && i < kept.size(); ++i)
                known = kept[i] == name;
            if (known)
                continue;
            struct stat info;
            if (fstatat(dirfd(listing), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue; // gone since the listing was read
                result = -1;
                break;
            }
            if (S_ISDIR(info.st_mode)) {
                if (depth >= DIRUTIL_MAX_DEPTH) {
                    errno = ELOOP;
                    result = -1;
                } else {
                    result = remove_tree_at(deletion, dirfd(listing), name, depth + 1);
                }
            } else {
                // Links, files, sockets, device nodes: the entry itself goes.
                // (A file that is a mount point cannot be unlinked: EBUSY.)
                result = unlinkat(dirfd(listing), name, 0) == 0 ? 0 : -1;
            }
            if (result == kKeptMount) {
                kept.emplace_back(name);
                result = 0;
                continue;
            }
            if (result != 0 && errno == ENOENT) {
                result = 0; // gone since we looked: nothing left to delete
                continue;
            }
            if (result != 0)
                break;
            ++deleted;
        }
        if (result != 0 || deleted == 0)
            break;
    }
    const int saved = errno;
    ::closedir(listing);
    errno = saved;
    return result == 0 && !kept.empty() ? kKeptMount : result;
}

// Empties and removes the folder name inside the folder open at parent_fd.
// A link at name is not entered; rmdir then fails on it with ENOTDIR. A
// folder on another mount is reported and left whole (kKeptMount), and so
// is a folder that still holds one.
int remove_tree_at(Deletion &deletion, int parent_fd, const char *name, int depth)
{
    const int fd = openat(parent_fd, name, kDirFlags);
    if (fd >= 0) {
        Place place;
        if (!place_of(fd, &place)) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return -1;
        }
        if (!same_place(place, deletion.top)) {
            ::close(fd);
            report_mount(deletion, name);
            return kKeptMount;
        }
        deletion.names.emplace_back(name);
        const int result = remove_contents_fd(deletion, fd, depth);
        deletion.names.pop_back();
        if (result != 0)
            return result;
    }
    return unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 ? 0 : -1;
}

// The end of a public deletion: a mount point left in place fails it with
// EXDEV once all else is done.
int deletion_result(int result)
{
    if (result == kKeptMount) {
        errno = EXDEV;
        return -1;
    }
    return result;
}

// Empties the folder open at fd (taken over and closed), keeping to its mount.
int remove_contents_top(const char *caller, const char *path, int fd)
{
    Deletion deletion{caller, Place(), path, {}};
    if (!place_of(fd, &deletion.top)) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return remove_contents_fd(deletion, fd, 1);
}

// --- workspace test -----------------------------------------------------------------

// Records a failed step of check_work_dir (its line is already logged).
int work_dir_failure(int code)
{
    add_error(code);
    return DIRUTIL_CREATE_FAILED;
}

// The components of path, without "/" doubling ("/a//b/" gives "/", "a", "b").
std::vector<std::string> components_of(const std::string &path)
{
    return ZV::pathComponents(path, ZV::kPathStylePOSIX);
}

} // namespace

// --- folders ---------------------------------------------------------------------------

int make_dir_path(const char *path) { return make_dir_path_mode(path, 0755); }

int make_dir_path_mode(const char *path, int permission)
{
    zorvant::u8string text;
    if (!utf8_path_text(path, text) || text.size() == 0)
        return DIRUTIL_BAD_PATH;
    return ZV::makeDirectories(text, permission) == 0 ? 0 : DIRUTIL_CREATE_FAILED;
}

int make_parent_path(const char *path)
{
    zorvant::u8string text;
    if (!utf8_path_text(path, text) || text.size() == 0)
        return DIRUTIL_BAD_PATH;
    const std::string parent = ZV::parentPath(text.str(), ZV::kPathStylePOSIX);
    if (parent.empty())
        return 0; // a bare name lives in the current folder
    return make_dir_path(parent.c_str());
}

int is_directory(const char *path)
{
    struct stat info;
    return path != nullptr && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
}

int is_regular_file(const char *path)
{
    struct stat info;
    if (path == nullptr || ::lstat(path, &info) != 0)
        return 0;
    return S_ISREG(info.st_mode) || S_ISLNK(info.st_mode) ? 1 : 0;
}

// --- sizes ---------------------------------------------------------------------------------

uint64_t utf8_file_size(const char *path)
{
    struct stat info;
    if (path != nullptr && ::stat(path, &info) == 0) {
        if (!S_ISBLK(info.st_mode))
            return static_cast<uint64_t>(info.st_size);
        // O_NONBLOCK: the name may have become a FIFO since the stat, and
        // an open of a FIFO without it waits for a writer.
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            uint64_t size = 0;
            const bool known = ZV::descriptorSize(fd, &size);
            ::close(fd);
            if (known)
                return size;
        }
    }
    log_error("Can't get size for %s", printable(path));
    return 0;
}

uint64_t fd_file_size(int fd)
{
    uint64_t size = 0;
    if (ZV::descriptorSize(fd, &size))
        return size;
    log_error("Can't get size for fd %d", fd);
    return 0;
}

uint64_t dir_tree_size(const char *path)
{
    if (path == nullptr)
        return 0;
    // The folder named by the caller may be reached through a link; nothing
    // below it is.
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? tree_size_fd(fd, 1) : 0;
}

// --- names -------------------------------------------------------------------------------

char *path_join_dup(const char *first, const char *second)
{
    zorvant::u8string a;
    zorvant::u8string b;
    if (!utf8_path_text(first, a) || !utf8_path_text(second, b))
        return nullptr;
    return strdup(zorvant::path_join(a, b).c_str());
}

int unique_path(const char *path, char *out, size_t out_size)
{
    if (out != nullptr && out_size > 0)
        out[0] = '\0';
    if (path == nullptr || out == nullptr || out_size == 0) {
        errno = EINVAL;
        return -1;
    }
    const size_t length = std::strlen(path);
    struct stat info;
    if (::lstat(path, &info) != 0) {
        if (errno != ENOENT)
            return -1;
        // Nothing in the way. A path that does not fit is not cut: a cut
        // path would name another file.
        if (length >= out_size) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::memcpy(out, path, length + 1);
        return 0;
    }
    // "-NN" and the NUL.
    if (out_size < length + 4) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The extension: from the last dot of the last component, unless that
    // dot begins the component (a hidden name such as ".profile").
    const char *slash = std::strrchr(path, '/');
    const char *name = slash != nullptr ? slash + 1 : path;
    const char *dot = std::strrchr(name, '.');
    if (dot == name)
        dot = nullptr;
    const size_t stem = dot != nullptr ? static_cast<size_t>(dot - path) : length;
    const char *extension = dot != nullptr ? dot : "";
    const size_t extension_length = length - stem;

    std::memcpy(out, path, stem);
    for (int n = 1; n <= 99; ++n) {
        out[stem] = '-';
        out[stem + 1] = static_cast<char>('0' + n / 10);
        out[stem + 2] = static_cast<char>('0' + n % 10);
        std::memcpy(out + stem + 3, extension, extension_length + 1);
        if (::lstat(out, &info) == 0)
            continue;
        if (errno == ENOENT)
            return 1;
        const int failure = errno;
        out[0] = '\0';
        errno = failure;
        return -1;
    }
    out[0] = '\0';
    errno = EEXIST;
    return -1;
}

int rename_aside(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::vector<char> aside(std::strlen(path) + 4);
    // A file made at the free name by someone else between our test and the
    // rename must not be replaced: renameat2 with RENAME_NOREPLACE refuses
    // with EEXIST, and we look for the next free name. File systems without
    // that flag (EINVAL) get a plain rename.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int found = unique_path(path, aside.data(), aside.size());
        if (found == 0)
            return 0;
        if (found < 0)
            return errno == EEXIST ? DIRUTIL_NO_FREE_NAME : -1;
        if (renameat2(AT_FDCWD, path, AT_FDCWD, aside.data(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno == EINVAL)
            return ::rename(path, aside.data()) == 0 ? 0 : -1;
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

int check_work_dir(const char *path)
{
    const char *shown = printable(path);
    struct stat info;
    if (path == nullptr || ::stat(path, &info) != 0) {
        const int failure = path == nullptr ? EINVAL : errno;
        if (failure != ENOENT) {
            log_error("stat returns negative for \"%s\": %d (%s)", shown, failure, errno_text(failure).c_str());
            return work_dir_failure(24);
        }
        const int made = make_dir_path(path);
        if (made != 0) {
            const int why = made == DIRUTIL_BAD_PATH ? EINVAL : errno;
            log_error("Can't create directory %s: %s", shown, errno_text(why).c_str());
            return work_dir_failure(25);
        }
    } else if (!S_ISDIR(info.st_mode)) {
        log_error("%s already exists, but is not a directory.", shown);
        return work_dir_failure(26);
    }

    const std::string test_path = std::string(path) + "/0";
    ::unlink(test_path.c_str());
    file_t *file = file_open(test_path.c_str(), "wb", 1);
    if (file == nullptr) {
        const int why = errno;
        log_error("Can't create files in %s: %s", shown, errno_text(why).c_str());
        return work_dir_failure(27);
    }
    static const char kTestText[] = "This is a test."; // 16 bytes with its NUL
    const int written = file_write_full(file, kTestText, sizeof kTestText);
    int why = errno;
    // A close that fails means the bytes never reached the disk: that is a
    // failure to write, not to delete.
    const int closed = file_free(&file);
    if (written == 0 && closed != 0)
        why = errno;
    if (written != 0 || closed != 0) {
        ::unlink(test_path.c_str());
        log_error("Can't write to tmp file 0 in %s: %s", shown, errno_text(why).c_str());
        return work_dir_failure(28);
    }
    if (::unlink(test_path.c_str()) != 0) {
        why = errno;
        log_error("Can't delete files from %s: %s", shown, errno_text(why).c_str());
        return work_dir_failure(29);
    }
    return 0;
}

// --- deletion --------------------------------------------------------------------------

int remove_dir_contents(const char *path)
{
    if (path == nullptr)
        return 0;
    const int fd = ::open(path, kDirFlags);
    return fd >= 0 ? deletion_result(remove_contents_top("remove_dir_contents", path, fd)) : 0;
}

int remove_tree(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::open(path, kDirFlags);
    const int result = fd >= 0 ? remove_contents_top("remove_tree", path, fd) : 0;
    if (result != 0)
        return deletion_result(result);
    return ::rmdir(path) == 0 ? 0 : -1;
}

int remove_tree_safe(const char *path)
{
    const std::string text = path != nullptr ? path : "";
    const std::vector<std::string> parts = components_of(text);
    const work_dir *root = dir_global_root();
    const std::vector<std::string> root_parts =
        root != nullptr ? components_of(root->path.str()) : std::vector<std::string>();
    const std::string workspace_name = engine_workspace_name();

    bool safe = !parts.empty() && !root_parts.empty() && parts.size() > root_parts.size();
    for (size_t i = 0; safe && i < parts.size(); ++i)
        safe = parts[i] != "." && parts[i] != "..";
    for (size_t i = 0; safe && i < root_parts.size(); ++i)
        safe = parts[i] == root_parts[i];
    bool named = false;
    for (size_t i = 0; safe && !named && i < parts.size(); ++i)
        named = !workspace_name.empty() && parts[i] == workspace_name;
    if (!safe || !named) {
        log_error("recursive delete: unsafe path \"%s\"", text.c_str());
        return DIRUTIL_BAD_PATH;
    }

    // From the root down to the target's parent, every level is opened
    // without following a link; the root itself is the user's choice and
    // may be reached through one. Every level, the target and all below it
    // must lie on the root's mount: the engine makes its folders inside the
    // workspace, never on another file system.
    int parent = ::open(root->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Deletion deletion{"remove_tree_safe", Place(), root->path.str(), {}};
    if (parent >= 0 && !place_of(parent, &deletion.top)) {
        const int saved = errno;
        ::close(parent);
        errno = saved;
        return -1;
    }
    for (size_t i = root_parts.size(); parent >= 0 && i + 1 < parts.size(); ++i) {
        int next = openat(parent, parts[i].c_str(), kDirFlags);
        int saved = errno;
        if (next >= 0) {
            Place place;
            const bool known = place_of(next, &place);
            saved = errno;
            if (!known || !same_place(place, deletion.top)) {
                ::close(next);
                next = -1;
                if (known) {
                    report_mount(deletion, parts[i].c_str());
                    saved = EXDEV;
                }
            }
        }
        ::close(parent);
        errno = saved;
        parent = next;
        deletion.names.push_back(parts[i]);
    }
    if (parent < 0)
        return -1;
    const int result = deletion_result(remove_tree_at(deletion, parent, parts.back().c_str(), 1));
    const int saved = errno;
    ::close(parent);
    errno = saved;
    return result;
}
