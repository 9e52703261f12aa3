// Path functions of the core: NUL-terminated C strings, "/" only.
//
// Implementation notes
// - Two folder functions exist on purpose and differ for a trailing "/":
//   path_dirname cuts in place and skips only one trailing character of an
//   absolute path ("a/b/" gives "a/b"), path_dirname_copy follows POSIX
//   dirname ("a/b/" gives "a"). Callers pick one knowingly.
// - Functions that write into a caller's buffer never write past out_size or
//   size, whatever the input; path_dirname_copy refuses (-1) rather than cut a
//   folder short, since a shortened path names another place.
// - same_path climbs the folders of two missing paths in a loop rather than
//   by recursion, so a long path of many components costs no stack; each
//   step shortens at least one path or stops.
#include "foundation/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>

const char *path_basename(const char *path)
{
    if (path == nullptr)
        return nullptr;
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char *path_extension(const char *path)
{
    if (path == nullptr)
        return nullptr;
    const char *dot = std::strrchr(path, '.');
    const char *slash = std::strrchr(path, '/');
    if (dot == nullptr || (slash != nullptr && dot < slash))
        return nullptr;
    return dot + 1;
}

// Only a dot in the last component starts an extension: "Scan.01/spans" has
// none, and cutting at the folder's dot would name the folder "Scan".
void strip_extension(char *path)
{
    char *extension = path_extension(path);
    if (extension != nullptr)
        extension[-1] = '\0';
}

void path_dirname(char *path)
{
    if (path == nullptr)
        return;
    size_t len = std::strlen(path);
    // An absolute path sets its last character aside, so one trailing "/" is skipped.
    size_t searched = (path[0] == '/' && len > 1) ? len - 1 : len;
    size_t cut = searched;
    while (cut > 0 && path[cut - 1] != '/')
        cut--;
    if (cut == 0) { // no "/" in the searched part
        path[0] = '\0';
        return;
    }
    cut--; // index of the last "/"
    path[cut == 0 ? 1 : cut] = '\0';
}

int path_dirname_copy(const char *path, char *out, size_t out_size)
{
    if (out == nullptr || out_size < 2) {
        if (out != nullptr && out_size > 0)
            out[0] = '\0';
        return -1;
    }
    const char *folder = path;
    size_t n = 0;
    if (path == nullptr || path[0] == '\0') {
        folder = ".";
        n = 1;
    } else {
        size_t end = std::strlen(path);
        while (end > 0 && path[end - 1] == '/')
            end--; // trailing "/" are ignored
        size_t slash = end;
        while (slash > 0 && path[slash - 1] != '/')
            slash--;
        if (end == 0) { // only "/"
            folder = "/";
            n = 1;
        } else if (slash == 0) { // no "/" at all
            folder = ".";
            n = 1;
        } else {
            n = slash - 1; // cut before the last run of "/"
            while (n > 0 && path[n - 1] == '/')
                n--;
            if (n == 0) {
                folder = "/";
                n = 1;
            }
        }
    }
    if (n >= out_size) {
        out[0] = '\0';
        return -1;
    }
    std::memcpy(out, folder, n);
    out[n] = '\0';
    return 0;
}

const char *path_next_component(const char *text, char *buffer, size_t size)
{
    if (text == nullptr || text[0] == '\0')
        return nullptr;
    size_t n = std::strcspn(text, "/");
    if (buffer != nullptr && size > 0) {
        size_t copied = n < size ? n : size - 1;
        std::memcpy(buffer, text, copied);
        buffer[copied] = '\0';
    }
    const char *rest = text + n;
    while (*rest == '/')
        rest++;
    return rest;
}

char **path_split(const char *path, size_t *count)
{
    if (count != nullptr)
        *count = 0;
    if (path == nullptr || path[0] == '\0' || count == nullptr)
        return nullptr;

    size_t n = 0;
    for (const char *p = path; (p = path_next_component(p, nullptr, 0)) != nullptr;)
        n++;
    // The working copy is as long as the whole path, so no component is cut.
    size_t size = std::strlen(path) + 1;
    char *work = static_cast<char *>(std::malloc(size));
    char **array = static_cast<char **>(std::calloc(n, sizeof(char *)));
    if (work == nullptr || array == nullptr) {
        std::free(work);
        std::free(array);
        return nullptr;
    }
    const char *p = path;
    for (size_t i = 0; i < n; i++) {
        p = path_next_component(p, work, size);
        array[i] = strdup(work);
        if (array[i] == nullptr) {
            free_string_array(array, i);
            std::free(work);
            return nullptr;
        }
    }
    std::free(work);
    *count = n;
    return array;
}

void free_string_array(char **array, size_t count)
{
    if (array == nullptr)
        return;
    for (size_t i = 0; i < count; i++)
        std::free(array[i]);
    std::free(array);
}

int is_drive_path(const char *path)
{
    if (path == nullptr)
        return 0;
    char c = path[0];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter && path[1] == ':';
}

const char *path_relative_to(const char *path, const char *folder)
{
    if (path == nullptr || folder == nullptr)
        return nullptr;
    size_t n = std::strlen(folder);
    if (std::strncmp(path, folder, n) != 0)
        return nullptr;
    if (n > 0 && folder[n - 1] == '/') // "/" or "/a/": the separator is already matched
        return path + n;
    return path[n] == '/' ? path + n + 1 : nullptr;
}

int path_exists(const char *path)
{
    struct stat st;
    return path != nullptr && ::stat(path, &st) == 0;
}

namespace {

// The last component, trailing "/" ignored as path_dirname_copy ignores them.
std::string last_component(const std::string &path)
{
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return {};
    size_t slash = path.rfind('/', end);
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

bool folder_of(const std::string &path, std::string &folder)
{
    std::string buffer(path.size() + 2, '\0'); // a folder is never longer than its path, "." aside
    if (path_dirname_copy(path.c_str(), &buffer[0], buffer.size()) != 0)
        return false;
    folder = buffer.c_str();
    return true;
}

} // namespace

int same_path(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr || a[0] == '\0' || b[0] == '\0')
        return -1;
    std::string pa = a, pb = b;
    bool names_equal = true; // last components of every missing level so far
    for (;;) {
        struct stat sa, sb;
        int errno_a = ::stat(pa.c_str(), &sa) == 0 ? 0 : errno;
        int errno_b = ::stat(pb.c_str(), &sb) == 0 ? 0 : errno;
        if (errno_a == 0 && errno_b == 0) {
            // The inode test matters: two files of one folder share device and mode.
            bool same = sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && sa.st_mode == sb.st_mode;
            return same && names_equal ? 1 : 0;
        }
        if (errno_a == 0 || errno_b == 0) // exactly one exists
            return (errno_a == ENOENT || errno_b == ENOENT) ? 0 : -1;
        if (errno_a != ENOENT || errno_b != ENOENT)
            return -1;
        std::string fa, fb;
        if (!folder_of(pa, fa) || !folder_of(pb, fb))
            return -1;
        if (fa == pa && fb == pb) // "." or "/" missing too: nowhere left to climb
            return -1;
        names_equal = names_equal && last_component(pa) == last_component(pb);
        pa = fa;
        pb = fb;
    }
}
