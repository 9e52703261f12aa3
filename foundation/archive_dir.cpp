// The record archive and folder objects: opening an archive inside a work
// folder, and saving / reopening an engine file (the block "fp").
//
// Implementation notes on unarchive_fp
// - A saved scan is a file a user can hand us, so the saved name and mode
//   are not trusted. A name with a ".." component is refused outright (it
//   could climb out of any folder), and a mode that writes or creates ("w",
//   "W", "a", "R" or any "+") is allowed only for a name inside the base
//   folder: the engine's own writers (the span, gap and name files) all live
//   there. A name outside it may still be reopened for reading.
// - The joined path must fit PATH_MAX; it is refused rather than cut, since
//   a cut path names another file.
// - A saved "w" reopens as "W" (write in place), so reopening never
//   truncates what the file held.
// - Only a regular file is reopened (file_open_regular): a FIFO, a device
//   or a folder under the saved name is refused without waiting.
// - Not promised: symbolic links inside the base folder are followed like
//   any path; the base folder is the engine's own workspace.
#include "foundation/archive.h"

#include <climits>
#include <cstring>
#include <string>

#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/paths.h"
#include "foundation/workdir.h"

namespace {

// Numbers of the items in "unarchive_fp: archive error for <n>".
enum : int { FP_EXIST = 1, FP_MODE = 2, FP_IO_TYPE = 3, FP_POS = 4, FP_NAME = 5 };

struct saved_file {
    std::string mode;
    int32_t kind = 0;
    int64_t pos = 0;
    std::string name;
};

// The text of a string item, or false when it is missing or holds a NUL
// before its end (a name cut short would name another file).
bool read_text(archive *a, const char *item, std::string *text)
{
    const int length = unarchive_string(a, item);
    if (length < 1)
        return false;
    const char *value = archive_scratch_text(a);
    if (std::strlen(value) + 1 != (size_t)length)
        return false;
    *text = value;
    return true;
}

// 0, or the number of the item that is missing.
int read_saved_file(archive *a, saved_file *saved)
{
    if (!read_text(a, "mode", &saved->mode))
        return FP_MODE;
    if (unarchive_long(a, "io_type", &saved->kind) != 0)
        return FP_IO_TYPE;
    if (unarchive_quad(a, "pos", &saved->pos) != 0)
        return FP_POS;
    if (!read_text(a, "name", &saved->name))
        return FP_NAME;
    return 0;
}

// A mode text the file layer knows: r, R, w, W or a, then only "b" and "+",
// at most 7 characters. *writes tells whether it writes or creates.
bool valid_mode(const std::string &mode, bool *writes)
{
    if (mode.empty() || mode.size() > 7 || std::strchr("rRwWa", mode[0]) == nullptr)
        return false;
    if (mode.find_first_not_of("b+", 1) != std::string::npos)
        return false;
    *writes = mode[0] != 'r' || mode.find('+') != std::string::npos;
    return true;
}

bool has_dotdot(const std::string &name)
{
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// The path to reopen, or "" (logged) when the saved file must not be opened.
std::string checked_path(const saved_file &saved, const work_dir *base, bool writes)
{
    const char *base_path = dir_path(base);
    if (saved.name.empty() || has_dotdot(saved.name)) {
        log_error("unarchive_fp: refused name \"%s\"", saved.name.c_str());
        return std::string();
    }
    std::string path;
    bool inside;
    if (saved.name[0] != '/') {
        if (base_path == nullptr) {
            log_error("unarchive_fp: no folder for the relative name \"%s\"", saved.name.c_str());
            return std::string();
        }
        path = std::string(base_path) + "/" + saved.name;
        inside = true;
    } else {
        path = saved.name;
        inside = base_path != nullptr && path_relative_to(path.c_str(), base_path) != nullptr;
    }
    if (writes && !inside) {
        log_error("unarchive_fp: refused to open \"%s\" outside %s for writing", path.c_str(),
                  base_path ? base_path : "(no folder)");
        return std::string();
    }
    if (path.size() >= PATH_MAX) {
        log_error("unarchive_fp: path of %zu bytes is too long", path.size());
        return std::string();
    }
    return path;
}

} // namespace

archive *archive_open(const work_dir *dir, const char *name, int mode)
{
    if (dir == nullptr || name == nullptr || *name == 0) {
        log_error("archive_open: no folder or name");
        return nullptr;
    }
    const zorvant::u8string path = dir_file_path(dir, name);
    return archive_new(path.c_str(), mode, 1);
}

int _archive_fp(archive *a, file_t *f, const work_dir *base)
{
    int status = archive_char(a, "fp_exist", f ? 1 : 0);
    if (status != 0 || f == nullptr)
        return status;
    const char *name = file_name(f);
    if (name == nullptr)
        name = "";
    const char *base_path = dir_path(base);
    const char *relative = base_path ? path_relative_to(name, base_path) : nullptr;
    int64_t pos = file_tell(f);
    if (pos < 0)
        pos = f->pos;
    if ((status = archive_string(a, "mode", f->mode)) != 0 ||
        (status = archive_long(a, "io_type", f->kind)) != 0 ||
        (status = archive_quad(a, "pos", pos)) != 0 ||
        (status = archive_string(a, "name", relative && *relative ? relative : name)) != 0)
        return status;
    return 0;
}

int archive_fp(archive *a, file_t *f, const work_dir *base)
{
    int status = archive_start_block(a, "fp", 1);
    if (status != 0)
        return status;
    status = _archive_fp(a, f, base);
    const int ended = archive_end_block(a, "fp");
    return status != 0 ? status : ended;
}

int unarchive_fp(archive *a, file_t **out, const work_dir *base)
{
    if (out == nullptr || a == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    *out = nullptr;
    if (a->mode != ARCHIVE_READ)
        return ARCHIVE_WRONG_MODE;
    if (archive_start_block(a, "fp", 1) != 0)
        return ARCHIVE_NOT_FOUND;
    uint8_t exists = 0;
    saved_file saved;
    int missing = unarchive_char(a, "fp_exist", &exists) != 0 ? FP_EXIST : 0;
    if (missing == 0 && exists)
        missing = read_saved_file(a, &saved);
    archive_end_block(a, "fp");
    if (missing != 0) {
        log_error("%s: archive error for %d", "unarchive_fp", missing);
        return ARCHIVE_NOT_FOUND;
    }
    if (!exists)
        return 0;

    bool writes = false;
    const int kind = saved.kind & ~0x10;
    // A gzip stream cannot be continued: reopened for writing, it would start
    // a new stream over the one the file holds.
    if (!valid_mode(saved.mode, &writes) || kind < 1 || kind > 4 || saved.pos < 0 || (kind == 4 && writes)) {
        log_error("unarchive_fp: refused mode \"%s\", kind %d, position %lld", saved.mode.c_str(),
                  (int)saved.kind, (long long)saved.pos);
        return ARCHIVE_NOT_FOUND;
    }
    const std::string path = checked_path(saved, base, writes);
    if (path.empty())
        return ARCHIVE_NOT_FOUND;
    std::string mode = saved.mode;
    if (mode[0] == 'w')
        mode[0] = 'W';
    // Regular files only: a FIFO named by a saved scan would hold the open
    // (or the first read) for ever, a device is no engine file.
    file_t *f = file_open_regular(path.c_str(), mode.c_str(), saved.kind);
    if (f == nullptr)
        return ARCHIVE_NOT_FOUND;
    if (file_seek(f, saved.pos) != 0) {
        file_free(&f);
        return ARCHIVE_NOT_FOUND;
    }
    *out = f;
    return 0;
}
