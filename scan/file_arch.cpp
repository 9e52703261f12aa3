// FileArch: member-name rules and the writer (see file_arch.h).
#include "scan/file_arch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>

#include "foundation/buf.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/sysutil.h"
#include "scan/file_arch_internal.h"

using namespace far_internal;

bool far_member_name_ok(const char *name, size_t length, size_t max_length)
{
    if (name == nullptr || length == 0 || length > max_length)
        return false;
    if (memchr(name, '\0', length) != nullptr)
        return false;
    size_t start = 0;
    for (size_t i = 0; i <= length; i++) {
        if (i < length && name[i] != '\\' && name[i] != '/')
            continue;
        // a component runs from start to i; an empty first one is a leading
        // separator (an absolute path)
        size_t n = i - start;
        if (n == 0)
            return false;
        if (n == 1 && name[start] == '.')
            return false;
        if (n == 2 && name[start] == '.' && name[start + 1] == '.')
            return false;
        start = i + 1;
    }
    return true;
}

namespace {

// The member name of path: relative to the base when the path lies below it,
// else the path less its leading separators; '/' becomes '\'.
std::string member_name_of(const FileArch *far, const std::string &path)
{
    std::string rel;
    const std::string &base = far->base;
    if (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
        (path[base.size()] == '/' || base.empty() || base.back() == '/'))
        rel = path.substr(base.size());
    else
        rel = path;
    size_t skip = rel.find_first_not_of("/\\");
    rel.erase(0, skip == std::string::npos ? rel.size() : skip);
    std::replace(rel.begin(), rel.end(), '/', '\\');
    return rel;
}

// Keeps the first failure (see far_note_failure).
void note_failure(FileArch *far, int side, int errnum)
{
    if (far->error_side != FAR_SIDE_NONE)
        return;
    far->error_side = side;
    far->error = errnum;
}

int write_bytes(FileArch *far, const void *data, size_t size)
{
    if (size == 0)
        return 0;
    if (file_write_full(far->file, data, int64_t(size)) != 0) {
        note_failure(far, FAR_SIDE_CONTAINER, far->file->last_error);
        log_error("far_write: Can't write %zu bytes to %s", size, far->path.c_str());
        return -1;
    }
    return 0;
}

int write_record_header(FileArch *far, RecordType type, uint64_t length)
{
    uint8_t header[FAR_RECORD_HEADER_SIZE];
    record_header_encode(header, type, length);
    return write_bytes(far, header, sizeof header);
}

// A "dnam" or "fnam" record for a member name (checked first).
int write_name_record(FileArch *far, RecordType type, const std::string &name)
{
    if (!far_member_name_ok(name.data(), name.size())) {
        log_error("far_add_path: refused member name \"%s\"", name.c_str());
        return -1;
    }
    if (write_record_header(far, type, name.size() + 1) != 0)
        return -1;
    return write_bytes(far, name.c_str(), name.size() + 1);
}

bool writable(FileArch *far, const char *who)
{
    if (far->file != nullptr)
        return true;
    log_error("%s: container %s not open", who, far->path.c_str());
    return false;
}

int add_file(FileArch *far, const std::string &path)
{
    struct stat st;
    if (far->count_only) {
        if (lstat(path.c_str(), &st) != 0) {
            note_failure(far, FAR_SIDE_SOURCE, errno);
            log_error("far_add_path: Can't stat %s: %d", path.c_str(), far->error);
            return -1;
        }
        far->total_size += uint64_t(st.st_size);
        return 0;
    }
    if (!writable(far, "far_add_path"))
        return -1;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        note_failure(far, FAR_SIDE_SOURCE, errno);
        log_error("far_add_path: Can't open %s: %d", path.c_str(), far->error);
        return -1;
    }
    // The size of what is open: a file replaced by rename meanwhile is
    // copied as it was when opened.
    const bool stated = fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        note_failure(far, FAR_SIDE_SOURCE, stated ? EINVAL : errno);
        log_error("far_add_path: %s is not a regular file", path.c_str());
        close(fd);
        return -1;
    }
    const uint64_t size = uint64_t(st.st_size);
    int status = write_name_record(far, RECORD_FNAM, member_name_of(far, path));
    if (status == 0)
        status = write_record_header(far, RECORD_FDAT, size);
    uint64_t copied = 0;
    while (status == 0 && copied < size) {
        size_t piece = size_t(std::min<uint64_t>(size - copied, far->copy_buffer.size()));
        ssize_t got = read(fd, far->copy_buffer.data(), piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            note_failure(far, FAR_SIDE_SOURCE, errno);
            log_error("far_add_path: Can't read %s: %d", path.c_str(), far->error);
            status = -1;
        } else if (got == 0) {
            // The file shrank while being added: its payload would be shorter
            // than declared and every later record would be misread.
            note_failure(far, FAR_SIDE_SOURCE, 0);
            log_error("far_add_path: %s shrank to %llu of %llu bytes while being added", path.c_str(),
                      static_cast<unsigned long long>(copied), static_cast<unsigned long long>(size));
            status = -1;
        } else {
            status = write_bytes(far, far->copy_buffer.data(), size_t(got));
            copied += uint64_t(got);
            progress_add(got);
        }
    }
    close(fd);
    return status;
}

int add_folder(FileArch *far, const std::string &path, int recursive)
{
    if (!far->count_only) {
        if (!writable(far, "far_add_path"))
            return -1;
        if (write_name_record(far, RECORD_DNAM, member_name_of(far, path)) != 0)
            return -1;
    }
    if (!recursive)
        return 0;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        note_failure(far, FAR_SIDE_SOURCE, errno);
        log_error("far_add_path: Can't list %s: %d", path.c_str(), far->error);
        return -1;
    }
    std::vector<std::string> names;
    try {
        while (struct dirent *entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            names.emplace_back(entry->d_name);
        }
    } catch (const std::bad_alloc &) {
        closedir(dir);
        return -1;
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string child = path + "/" + name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) {
            note_failure(far, FAR_SIDE_SOURCE, errno);
            log_error("far_add_path: Can't stat %s: %d", child.c_str(), far->error);
            return -1;
        }
        int status = 0;
        if (S_ISREG(st.st_mode))
            status = add_file(far, child);
        else if (S_ISDIR(st.st_mode))
            status = add_folder(far, child, 1);
        if (status != 0)
            return -1;
    }
    return 0;
}

std::string without_trailing_slashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The temporary's name beside path: "." and path's last component (cut so
// that the whole stays a valid file name) and ".zv-partial-"; the random
// digits follow.
std::string temporary_prefix(const std::string &path)
{
    const size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 200)
        name.resize(200);
    return "." + name + ".zv-partial-";
}

void remove_temporary(FileArch *far)
{
    atomic_file_abandon(&far->target);
    far->temp_path.clear();
}

} // namespace

FileArch *far_new(const char *path, const char *base)
{
    FileArch *far = new (std::nothrow) FileArch();
    if (far == nullptr)
        return nullptr;
    try {
        far->path = path != nullptr ? path : "";
        if (base == nullptr || base[0] == '\0' || strcmp(base, ".") == 0) {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd) == nullptr) {
                log_error("%s: getcwd failed: %d", "far_new", errno);
                delete far;
                return nullptr;
            }
            far->base = cwd;
        } else {
            far->base = base;
        }
        far->base = without_trailing_slashes(far->base);
        if (far->base == "/")
            far->base.clear();
        far->copy_buffer.assign(FAR_COPY_BUFFER_SIZE, 0);
    } catch (const std::bad_alloc &) {
        delete far;
        return nullptr;
    }
    far->file = nullptr;
    far->total_size = 0;
    far->count_only = 0;
    return far;
}

int far_create(FileArch *far, int kind, const char *creator)
{
    if (far == nullptr || far->path.empty())
        return -1;
    if (far->file != nullptr)
        file_free(&far->file);
    remove_temporary(far);
    far->error = 0;
    far->error_side = FAR_SIDE_NONE;
    struct stat st;
    if (stat(far->path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        log_error("far_create: %s is a folder", far->path.c_str());
        note_failure(far, FAR_SIDE_CONTAINER, EISDIR);
        errno = EISDIR;
        return -1;
    }
    int created;
    try {
        created = atomic_file_create(&far->target, far->path.c_str(), temporary_prefix(far->path).c_str(),
                                     ATOMIC_FILE_RANDOM, 0666);
        if (created == 0)
            far->temp_path = far->target.temp_path;
    } catch (const std::bad_alloc &) {
        remove_temporary(far);
        created = -1;
        far->target.error = ENOMEM;
    }
    if (created != 0) {
        const int error = far->target.error;
        note_failure(far, FAR_SIDE_CONTAINER, error);
        log_error("far_create: Can't create a file beside %s: %d", far->path.c_str(), error);
        errno = error;
        return -1;
    }
    // The file layer writes through a duplicate of the descriptor the
    // temporary was created with, and closes that one; the name is never
    // opened again.
    const bool gzip = kind == FAR_FILE_GZIP;
    const int fd = fcntl(far->target.fd, F_DUPFD_CLOEXEC, 0);
    far->file = fd < 0 ? nullptr
                       : file_open_ex(nullptr, far->temp_path.c_str(), "wb", gzip ? FAR_FILE_GZIP : FAR_FILE_PLAIN,
                                      0, nullptr, nullptr, fd);
    if (far->file == nullptr) {
        const int error = errno != 0 ? errno : EIO;
        note_failure(far, FAR_SIDE_CONTAINER, error);
        log_error("far_create: Can't create %s", far->temp_path.c_str());
        remove_temporary(far);
        errno = error;
        return -1;
    }
    uint8_t header[FAR_HEADER_SIZE] = {};
    memcpy(header, kMagic, sizeof kMagic);
    header[8] = kVersion;
    header[9] = gzip ? 1 : 0;
    if (creator != nullptr)
        memcpy(header + 16, creator, strnlen(creator, 7));
    if (write_bytes(far, header, sizeof header) != 0) {
        file_free(&far->file);
        remove_temporary(far);
        return -1;
    }
    return 0;
}

int far_add_path(FileArch *far, const char *path, int recursive)
{
    if (far == nullptr || path == nullptr || path[0] == '\0')
        return -1;
    std::string clean = without_trailing_slashes(path);
    struct stat st;
    if (lstat(clean.c_str(), &st) != 0) {
        const int error = errno;
        log_error("far_add_path: Can't stat %s: %d", clean.c_str(), error);
        note_failure(far, FAR_SIDE_SOURCE, error);
        return -1;
    }
    try {
        if (S_ISREG(st.st_mode))
            return add_file(far, clean);
        if (S_ISDIR(st.st_mode))
            return add_folder(far, clean, recursive);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    log_error("far_add_path: %s is neither a file nor a folder", clean.c_str());
    note_failure(far, FAR_SIDE_SOURCE, EINVAL);
    return -1;
}

int far_add_member_bytes(FileArch *far, const char *name, const void *data, size_t size)
{
    if (far == nullptr || name == nullptr || (data == nullptr && size > 0))
        return -1;
    if (far->count_only) {
        far->total_size += size;
        return 0;
    }
    if (!writable(far, "far_add_member"))
        return -1;
    std::string member = name;
    std::replace(member.begin(), member.end(), '/', '\\');
    if (write_name_record(far, RECORD_FNAM, member) != 0 || write_record_header(far, RECORD_FDAT, size) != 0 ||
        write_bytes(far, data, size) != 0)
        return -1;
    return 0;
}

int far_add_member(FileArch *far, const char *name, const buf_t *buffer)
{
    if (buffer == nullptr || buffer->count < 0)
        return -1;
    size_t elem = buffer->elem_size > 1 ? size_t(buffer->elem_size) : 1;
    return far_add_member_bytes(far, name, buffer->data, size_t(buffer->count) * elem);
}

int far_finish(FileArch *far)
{
    if (far == nullptr)
        return -1;
    if (far->file == nullptr)
        return far->count_only ? 0 : -1;
    int status = write_record_header(far, RECORD_EOF, 0);
    errno = 0;
    if (file_free(&far->file) != 0) {
        note_failure(far, FAR_SIDE_CONTAINER, errno != 0 ? errno : EIO);
        log_error("far_finish: Can't close %s", far->temp_path.c_str());
        status = -1;
    }
    if (status == 0 && atomic_file_finish(&far->target) != 0) {
        note_failure(far, FAR_SIDE_CONTAINER, far->target.error);
        status = -1;
    }
    if (status == 0) {
        far->temp_path.clear();
    } else {
        remove_temporary(far);
        errno = far->error != 0 ? far->error : EIO;
    }
    return status;
}

void far_note_failure(FileArch *far, int side, int errnum)
{
    if (far != nullptr)
        note_failure(far, side, errnum);
}

void far_free(FileArch **far)
{
    if (far == nullptr || *far == nullptr)
        return;
    if ((*far)->file != nullptr)
        file_free(&(*far)->file);
    remove_temporary(*far);
    delete *far;
    *far = nullptr;
}
