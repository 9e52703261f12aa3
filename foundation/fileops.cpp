// The file-system layer. See fileops.h for the contract.
//
// Implementation notes
// - Paths go to the kernel as their UTF-8 bytes. The only check made here
//   is for an embedded NUL: the kernel would read such a path only up to the
//   NUL, so "dir/a\0b" would act on "dir/a", a different file.
// - Close-on-exec is asked for in the open itself (O_CLOEXEC, fopen's "e"),
//   never set afterwards with fcntl, so a fork in another thread cannot
//   catch a descriptor in between.
// - The mode letters added to fopen's mode go right after the first letter:
//   glibc reads only the first seven characters of a mode for its flags, and
//   anything after a "," is a character-set name ("r,ccs=UTF-8"), so letters
//   appended at the end could be ignored or taken as part of that name.
// - pread/pwrite are the kernel's: they neither use nor move the shared file
//   offset, so there is no seek-and-restore window and no failed restore to
//   report after a transfer that succeeded.
#include "foundation/fileops.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include <utf8cpp/utf8.h>

#include "foundation/paths.h"
#include "foundation/sysutil.h"

bool utf8_path_text(const char *path, zorvant::u8string &out)
{
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    const char *end = path + std::strlen(path);
    if (!utf8::is_valid(path, end)) {
        errno = EINVAL;
        return false;
    }
    try {
        out = zorvant::u8string(path, end);
        return true;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
    }
    return false;
}

namespace {

// The bytes to hand to the kernel, or NULL with errno EINVAL when the path
// holds a NUL byte.
const char *systemPath(const zorvant::u8string &path)
{
    if (path.str().find('\0') != std::string::npos) {
        errno = EINVAL;
        return nullptr;
    }
    return path.c_str();
}



// An environment value as engine text, or false when it is unset, empty or
// not UTF-8.
bool environmentText(const char *name, zorvant::u8string &out)
{
    const char *value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return false;
    return utf8_path_text(value, out);
}

// fopen mode with "b" and "e" put right after the first letter when absent
// (see the notes above). False for a NULL mode or one that does not begin
// with r, w or a.
bool streamMode(const char *mode, std::string &out)
{
    if (mode == nullptr || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a'))
        return false;
    const char *comma = std::strchr(mode, ',');
    const std::string flags(mode + 1, comma != nullptr ? comma : mode + std::strlen(mode));
    out.assign(1, mode[0]);
    if (flags.find('b') == std::string::npos)
        out += 'b';
    if (flags.find('e') == std::string::npos)
        out += 'e';
    out += flags;
    if (comma != nullptr)
        out += comma;
    return true;
}

// The home folder of the user's password entry, or "".
zorvant::u8string passwordHome()
{
    // The entry's strings live in a caller buffer; sysconf gives a size hint
    // that is not a bound, so grow on ERANGE up to a sane limit.
    static constexpr size_t kMaxPasswordBuffer = 1 << 20;
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024;
    for (;;) {
        std::vector<char> buffer(size);
        struct passwd entry;
        struct passwd *found = nullptr;
        const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && size < kMaxPasswordBuffer) {
            size *= 2;
            continue;
        }
        zorvant::u8string home;
        if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0' ||
            !utf8_path_text(found->pw_dir, home))
            return zorvant::u8string();
        return home;
    }
}

} // namespace

namespace ZV {

// --- conversions ------------------------------------------------------------

std::string toUTF8(const char16_t *text, long length)
{
    if (text == nullptr || length < -1)
        return std::string();
    const size_t count = length == -1 ? std::char_traits<char16_t>::length(text) : static_cast<size_t>(length);
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count;) {
        uint32_t cp = text[i++];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i < count && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
                cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i++] - 0xDC00u);
            else
                cp = 0xFFFD;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        utf8::append(cp, std::back_inserter(out));
    }
    while (!out.empty() && out.back() == '\0')
        out.pop_back();
    return out;
}

std::string toUTF8(const std::u16string &text)
{
    return toUTF8(text.data(), static_cast<long>(text.size()));
}

std::string longPath(const zorvant::u8string &path)
{
    return path.str();
}

// --- file system calls --------------------------------------------------------

int open(const zorvant::u8string &path, int flags, int /*permission*/)
{
    const char *p = systemPath(path);
    if (p == nullptr)
        return -1;
    return ::open(p, flags | O_CLOEXEC, 0666);
}

FILE *fopen(const zorvant::u8string &path, const char *mode, std::shared_ptr<Error> *error)
{
    std::string fullMode;
    const char *p = systemPath(path);
    if (p != nullptr && !streamMode(mode, fullMode))
        errno = EINVAL;
    FILE *file = (p != nullptr && !fullMode.empty()) ? ::fopen(p, fullMode.c_str()) : nullptr;
    if (file == nullptr)
        setSystemError(error, errno);
    return file;
}

int stat(const zorvant::u8string &path, struct stat *buffer)
{
    const char *p = systemPath(path);
    if (p == nullptr)
        return -1;
    if (buffer == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::stat(p, buffer);
}

int unlink(const zorvant::u8string &path)
{
    const char *p = systemPath(path);
    return p == nullptr ? -1 : ::unlink(p);
}

int rmdir(const zorvant::u8string &path)
{
    const char *p = systemPath(path);
    return p == nullptr ? -1 : ::rmdir(p);
}

int rename(const zorvant::u8string &oldPath, const zorvant::u8string &newPath)
{
    const char *from = systemPath(oldPath);
    const char *to = systemPath(newPath);
    if (from == nullptr || to == nullptr)
        return -1;
    return ::rename(from, to);
}

int mkdir(const zorvant::u8string &path, int /*permission*/)
{
    const char *p = systemPath(path);
    return p == nullptr ? -1 : ::mkdir(p, 0777);
}

int makeDirectories(const zorvant::u8string &path, int permission)
{
    if (systemPath(path) == nullptr)
        return -1;
    const std::vector<std::string> components = pathComponents(path.str(), kPathStyleNative);
    if (components.empty()) {
        errno = EINVAL;
        return -1;
    }
    errno = 0;
    std::string current;
    for (size_t i = 0; i < components.size(); ++i) {
        appendPathComponent(current, components[i], kPathStyleNative);
        // The root exists by definition; a relative first name is created
        // like any other level.
        if (i == 0 && isRootPath(current, kPathStyleNative))
            continue;
        const zorvant::u8string level(current.begin(), current.end());
        bool isDirectory = false;
        if (fileExists(level, &isDirectory)) {
            if (!isDirectory) {
                errno = ENOTDIR; // what the system says of a file in a path
                return -1;
            }
            continue;
        }
        if (mkdir(level, permission) != 0) {
            // Someone else may have made this level since our test.
            const int failure = errno;
            if (failure == EEXIST && fileExists(level, &isDirectory) && isDirectory)
                continue;
            errno = failure == EEXIST ? EACCES : failure;
            return -1;
        }
    }
    return 0;
}

bool fileExists(const zorvant::u8string &path, bool *isDirectory)
{
    struct stat info;
    if (ZV::stat(path, &info) != 0)
        return false;
    if (isDirectory != nullptr)
        *isDirectory = S_ISDIR(info.st_mode);
    return true;
}

uint64_t fileSize(const zorvant::u8string &path)
{
    struct stat info;
    if (ZV::stat(path, &info) != 0)
        return 0;
    if (S_ISREG(info.st_mode))
        return static_cast<uint64_t>(info.st_size);
    if (!S_ISBLK(info.st_mode))
        return 0;
    // O_NONBLOCK: what is opened may no longer be what stat saw (a FIFO
    // swapped in would hold a plain open for ever); descriptorSize asks the
    // descriptor itself, and anything but a disk reports its stat size.
    const int fd = ZV::open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    uint64_t size = 0;
    if (!descriptorSize(fd, &size))
        size = 0;
    ::close(fd);
    return size;
}

bool descriptorSize(int fd, uint64_t *size)
{
    struct stat info;
    if (size == nullptr || fstat(fd, &info) != 0)
        return false;
    if (!S_ISBLK(info.st_mode)) {
        *size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
        return true;
    }
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0)
        return false;
    *size = bytes;
    return true;
}

bool setFileTimes(const zorvant::u8string &path, time_t time)
{
    const char *p = systemPath(path);
    if (p == nullptr)
        return false;
    const struct timespec times[2] = {{time, 0}, {time, 0}};
    return utimensat(AT_FDCWD, p, times, 0) == 0;
}

bool setFileCreationTime(const zorvant::u8string & /*path*/, time_t /*time*/)
{
    errno = ENOTSUP;
    return false;
}

// --- folders of the user ------------------------------------------------------

zorvant::u8string homeDirectory()
{
    zorvant::u8string home;
    if (environmentText("HOME", home))
        return home;
    return passwordHome();
}

zorvant::u8string knownFolderPath(KnownFolder folder)
{
    const char *variable = nullptr;
    const char *below = nullptr;
    switch (folder) {
    case KnownFolder::ApplicationData:
        variable = "XDG_CONFIG_HOME";
        below = ".config";
        break;
    case KnownFolder::LocalData:
        variable = "XDG_DATA_HOME";
        below = ".local/share";
        break;
    case KnownFolder::Cache:
        variable = "XDG_CACHE_HOME";
        below = ".cache";
        break;
    default:
        return zorvant::u8string();
    }
    // The base-directory rules say a relative value is to be ignored.
    zorvant::u8string value;
    if (environmentText(variable, value) && value.str()[0] == '/')
        return value;
    zorvant::u8string home = homeDirectory();
    if (home.empty())
        return home;
    zorvant::path_append(home, zorvant::u8string(below), kPathStyleNative);
    return home;
}

zorvant::u8string applicationDataDirectory()
{
    return knownFolderPath(KnownFolder::ApplicationData);
}

// --- errors -------------------------------------------------------------------

std::shared_ptr<Error> makeError(const std::string &domain, int code, const zorvant::u8string &description)
{
    return std::make_shared<Error>(domain, code, description);
}

std::shared_ptr<Error> systemError(int errnum)
{
    const int saved = errno;
    std::shared_ptr<Error> error = makeError("ZV::SYSTEM", errnum, errorString(errnum));
    errno = saved;
    return error;
}

void setSystemError(std::shared_ptr<Error> *error, int errnum)
{
    if (error != nullptr)
        *error = systemError(errnum);
}

ScopedFile::ScopedFile(const zorvant::u8string &path, const char *mode) : file(ZV::fopen(path, mode, &error))
{
}

ScopedFile::~ScopedFile()
{
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    error.reset();
}

} // namespace ZV

// --- C-string forms -------------------------------------------------------------

int utf8_open(const char *path, int flags, int permission)
{
    zorvant::u8string p;
    return utf8_path_text(path, p) ? ZV::open(p, flags, permission) : -1;
}

FILE *utf8_fopen(const char *path, const char *mode)
{
    zorvant::u8string p;
    return utf8_path_text(path, p) ? ZV::fopen(p, mode) : nullptr;
}

int utf8_stat(const char *path, struct stat *buffer)
{
    zorvant::u8string p;
    return utf8_path_text(path, p) ? ZV::stat(p, buffer) : -1;
}

int utf8_unlink(const char *path)
{
    zorvant::u8string p;
    return utf8_path_text(path, p) ? ZV::unlink(p) : -1;
}

int utf8_rmdir(const char *path)
{
    zorvant::u8string p;
    return utf8_path_text(path, p) ? ZV::rmdir(p) : -1;
}

int utf8_rename(const char *oldPath, const char *newPath)
{
    zorvant::u8string from;
    zorvant::u8string to;
    if (!utf8_path_text(oldPath, from) || !utf8_path_text(newPath, to))
        return -1;
    return ZV::rename(from, to);
}

// --- kinds of file ----------------------------------------------------------------

const char *file_kind_text(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a special file";
}

// --- descriptor I/O ---------------------------------------------------------------

ssize_t pread_eintr(int fd, void *buffer, size_t count, int64_t offset)
{
    ssize_t result;
    do
        result = ::pread(fd, buffer, count, static_cast<off_t>(offset));
    while (result < 0 && errno == EINTR);
    return result;
}

ssize_t pwrite_eintr(int fd, const void *buffer, size_t count, int64_t offset)
{
    ssize_t result;
    do
        result = ::pwrite(fd, buffer, count, static_cast<off_t>(offset));
    while (result < 0 && errno == EINTR);
    return result;
}

ssize_t write_eintr(int fd, const void *buffer, size_t count)
{
    ssize_t result;
    do
        result = ::write(fd, buffer, count);
    while (result < 0 && errno == EINTR);
    return result;
}
