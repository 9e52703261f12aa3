// Work-folder objects; see workdir.h.
//
// Implementation notes: the global root is one process-wide pointer. It is
// atomic so that a reader on another thread (remove_tree_safe during a scan)
// sees either the old or the new object, never a torn value; objects are
// still made and freed in order by the engine, so no lock is taken. Names
// are joined to the folder's path with zorvant::path_join ("/" in between).
#include "foundation/workdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <utf8cpp/utf8.h>

#include "foundation/byte_stream.h"
#include "foundation/dirutil.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/fileops.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/sysutil.h"

namespace {

std::atomic<work_dir *> g_global_root{nullptr};


// Whether a child's name stays inside its parent: relative, and without
// "." or ".." components (empty components from doubled "/" are harmless).
bool is_contained_name(const std::string &name)
{
    if (name.empty() || name[0] == '/')
        return false;
    for (const std::string &part : ZV::pathComponents(name, ZV::kPathStylePOSIX))
        if (part == "." || part == "..")
            return false;
    return true;
}

zorvant::u8string num_name(int number) { return zorvant::u8string(std::to_string(number)); }

} // namespace

work_dir *dir_new(work_dir *parent, const char *name)
{
    zorvant::u8string text;
    bool acceptable = utf8_path_text(name, text) && text.size() > 0;
    if (acceptable)
        acceptable = parent != nullptr ? is_contained_name(text.str()) : text.str()[0] == '/';
    if (acceptable && text.size() >= 2 && text.str().back() == '/')
        acceptable = false;
    if (!acceptable) {
        add_error(WORKDIR_ERROR_NEW);
        return nullptr;
    }

    work_dir *dir = nullptr;
    try {
        const zorvant::u8string path = parent != nullptr ? zorvant::path_join(parent->path, text) : text;
        if (make_dir_path(path.c_str()) != 0) {
            const int why = errno;
            log_error("Can't create directory %s: %s", path.c_str(), ZV::errorString(why).c_str());
            errno = why;
            add_error_errno(WORKDIR_ERROR_NEW);
            return nullptr;
        }
        dir = new work_dir{parent, path};
    } catch (const std::exception &) {
        add_error(WORKDIR_ERROR_NEW);
        return nullptr;
    }
    if (parent == nullptr) {
        work_dir *none = nullptr;
        g_global_root.compare_exchange_strong(none, dir);
    }
    return dir;
}

void dir_free(work_dir **dir)
{
    if (dir == nullptr || *dir == nullptr)
        return;
    work_dir *object = *dir;
    *dir = nullptr;
    work_dir *expected = object;
    g_global_root.compare_exchange_strong(expected, nullptr);
    delete object;
}

int dir_set_path(work_dir *dir, const char *path)
{
    zorvant::u8string text;
    if (dir == nullptr || dir->parent != nullptr || !utf8_path_text(path, text) || text.size() == 0 ||
        text.str()[0] != '/') {
        add_error(WORKDIR_ERROR_SET_PATH);
        return -1;
    }
    dir->path = text;
    return 0;
}

const char *dir_path(const work_dir *dir) { return dir != nullptr ? dir->path.c_str() : nullptr; }

const char *dir_root_path(const work_dir *dir)
{
    if (dir == nullptr)
        return nullptr;
    while (dir->parent != nullptr)
        dir = dir->parent;
    return dir->path.c_str();
}

work_dir *dir_global_root() { return g_global_root.load(); }

zorvant::u8string dir_file_path(const work_dir *dir, const char *name)
{
    zorvant::u8string text;
    if (dir == nullptr || !utf8_path_text(name, text))
        return zorvant::u8string();
    return zorvant::path_join(dir->path, text);
}

char *dir_file_path_dup(const work_dir *dir, const char *name)
{
    if (dir == nullptr || name == nullptr)
        return nullptr;
    return strdup(dir_file_path(dir, name).c_str());
}

int get_file_path(const work_dir *dir, const char *name, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return WORKDIR_CLIPPED;
    buffer[0] = '\0';
    if (dir == nullptr || name == nullptr)
        return -1;
    const zorvant::u8string path = dir_file_path(dir, name);
    const std::string &bytes = path.str();
    if (bytes.size() < size) {
        std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
        return 0;
    }
    log_error("get_file_path: clipping '%s'", bytes.c_str());
    // Cut before a UTF-8 continuation byte, never inside a character.
    size_t cut = size - 1;
    while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80)
        --cut;
    std::memcpy(buffer, bytes.data(), cut);
    buffer[cut] = '\0';
    return WORKDIR_CLIPPED;
}

int dir_file_exists(const work_dir *dir, const char *name)
{
    const zorvant::u8string path = dir_file_path(dir, name);
    struct stat info;
    return path.size() > 0 && ZV::stat(path, &info) == 0 ? 0 : -1;
}

uint64_t dir_file_size(const work_dir *dir, const char *name)
{
    const zorvant::u8string path = dir_file_path(dir, name);
    return path.size() > 0 ? utf8_file_size(path.c_str()) : 0;
}

file_t *dir_file_open(const work_dir *dir, const char *name, const char *mode, int kind)
{
    const zorvant::u8string path = dir_file_path(dir, name);
    return path.size() > 0 ? file_open(path.c_str(), mode, kind) : nullptr;
}

file_t *dir_file_open_num(const work_dir *dir, int number, const char *mode)
{
    if (mode != nullptr && (mode[0] == 'w' || mode[0] == 'a') && std::strchr(mode, '+') == nullptr)
        return dir_file_create(dir, num_name(number).c_str(), mode, 2);
    return dir_file_open(dir, num_name(number).c_str(), mode, 2);
}

file_t *dir_file_create(const work_dir *dir, const char *name, const char *mode, int kind)
{
    static const char *const fn = "dir_file_create";
    const bool append = mode != nullptr && mode[0] == 'a';
    const zorvant::u8string path =
        name != nullptr && *name != '\0' ? dir_file_path(dir, name) : zorvant::u8string();
    if (path.size() == 0 || mode == nullptr || (mode[0] != 'w' && !append) || std::strchr(mode, '+') != nullptr) {
        log_error("%s: no folder, name or writing mode", fn);
        errno = EINVAL;
        return nullptr;
    }
    // Never truncating at the open: the file is cut only once it is known
    // to be a regular file of one name (O_NONBLOCK: a FIFO is not waited for).
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0),
                          0666);
    int error = fd < 0 ? errno : 0;
    struct stat st;
    if (error == 0 && fstat(fd, &st) != 0)
        error = errno;
    else if (error == 0 && (!S_ISREG(st.st_mode) || st.st_nlink > 1))
        error = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
    else if (error == 0 && !append && ftruncate(fd, 0) != 0)
        error = errno;
    if (error != 0) {
        if (fd >= 0)
            ::close(fd);
        log_error("%s: Can't open %s for writing: %s", fn, path.c_str(),
                  error == ELOOP ? "it is a symbolic link"
                  : error == EMLINK ? "it has another name (a hard link)"
                  : error == EINVAL || error == ENXIO ? "it is not a regular file"
                                    : std::strerror(error));
        errno = error;
        return nullptr;
    }
    return file_open_ex(nullptr, path.c_str(), mode, kind, 0, nullptr, nullptr, fd);
}

int dir_file_rename(const work_dir *dir, const char *old_name, const char *new_name)
{
    if (old_name == nullptr || new_name == nullptr || *old_name == '\0' || *new_name == '\0') {
        errno = EINVAL;
        return -1;
    }
    const zorvant::u8string from = dir_file_path(dir, old_name);
    const zorvant::u8string to = dir_file_path(dir, new_name);
    if (from.size() == 0 || to.size() == 0) {
        errno = EINVAL;
        return -1;
    }
    return ZV::rename(from, to);
}

int dir_file_rename_num(const work_dir *dir, int number, const char *new_name)
{
    return dir_file_rename(dir, num_name(number).c_str(), new_name);
}

int dir_file_unlink(const work_dir *dir, const char *name)
{
    if (name == nullptr || *name == '\0') {
        errno = EINVAL;
        return -1;
    }
    const zorvant::u8string path = dir_file_path(dir, name);
    if (path.size() == 0) {
        errno = EINVAL;
        return -1;
    }
    return ZV::unlink(path);
}

int dir_file_unlink_num(const work_dir *dir, int number)
{
    return dir_file_unlink(dir, num_name(number).c_str());
}

std::shared_ptr<ZV::ByteStreamFile> dir_open_stream(const work_dir *dir, const char *name, int mode)
{
    if (mode < 1 || mode > 4)
        return nullptr;
    const zorvant::u8string path = dir_file_path(dir, name);
    if (path.size() == 0)
        return nullptr;
    auto stream = std::make_shared<ZV::ByteStreamFile>(path);
    if (!stream->open(mode))
        return nullptr;
    return stream;
}
