// The record archive: what readers and writers share (allocation, blocks,
// ending and freeing, the scratch buffer). The layout is described in
// archive.h; writing is in archive_write.cpp, loading and lookups in
// archive_read.cpp, folder objects and saved files in archive_dir.cpp.
//
// Implementation notes
// - Block names are compared as stored: cut to 15 bytes. A writer that
//   starts "a_rather_long_block_name" ends it under the same name, and the
//   comparison must not fail on bytes the table never kept.
// - Ending a block pops it even when the name does not match (the failure
//   is reported with -15 and line 1420). A writer still stores the end index
//   then, so the items written inside stay reachable; the caller's mistake
//   costs a log line and a status, not data.
// - A writer that reaches archive_finish with blocks still open gets them
//   closed at the current item count, each logged as an error. Left open,
//   their end index would stay 0 and every item inside them would be hidden
//   from any reader.
// - The short-write status is sticky: after the first short write nothing
//   more is appended (the file already lacks bytes in the middle), every
//   later write returns -3, and archive_finish/archive_free return -3 so a
//   caller that checks only the end still learns that the archive is bad.
#include "foundation/archive.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "foundation/buf.h"
#include "foundation/file.h"
#include "foundation/log.h"

namespace archive_internal {

void log_line(const char *operation, int line)
{
    log_error("%s: error on line %d", operation, line);
}

void cut_name(char field[ARCHIVE_BLOCK_NAME], const char *name)
{
    std::memset(field, 0, ARCHIVE_BLOCK_NAME);
    if (name)
        std::memcpy(field, name, strnlen(name, ARCHIVE_BLOCK_NAME - 1));
}

int scratch_set(archive *a, const void *bytes, size_t length)
{
    if (length > ARCHIVE_MAX_LENGTH)
        return ARCHIVE_TOO_LONG;
    if (buf_reserve(a->scratch, length + 1) < 0)
        return ARCHIVE_NO_MEMORY;
    if (length > 0)
        std::memcpy(a->scratch->data, bytes, length);
    a->scratch->data[length] = 0;
    a->scratch->count = (int)length;
    return 0;
}

archive *allocate(int mode)
{
    archive *a = new (std::nothrow) archive{};
    if (a == nullptr) {
        log_line("archive_new", 140);
        return nullptr;
    }
    a->mode = mode;
    a->last_found = -1;
    a->scratch = buf_new(256, 0);
    if (a->scratch == nullptr) {
        log_line("archive_new", 205);
        delete a;
        return nullptr;
    }
    a->scratch->data[0] = 0;
    return a;
}

void release(archive *a)
{
    if (a == nullptr)
        return;
    file_free(&a->file); // only a failed or finished writer gets here with a file
    buf_free(a->scratch);
    delete a;
}

} // namespace archive_internal

using namespace archive_internal;

archive *archive_new(const char *path, int mode, int version)
{
    if (path == nullptr) {
        log_error("archive_new: no path");
        return nullptr;
    }
    switch (mode) {
    case ARCHIVE_WRITE: return create(path, version, -1);
    case ARCHIVE_READ: return load_file(path);
    default: log_error("archive_new: unknown mode %d", mode); return nullptr;
    }
}

archive *archive_new_fd(const char *path, int fd, int version)
{
    if (path == nullptr || fd < 0) {
        log_error("archive_new: no path or descriptor");
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    return create(path, version, fd);
}

int archive_finish(archive *a)
{
    if (a == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    if (a->mode != ARCHIVE_WRITE || a->finished)
        return a->status;
    while (!a->stack.empty()) {
        archive_block &entry = a->blocks[(size_t)a->stack.back().entry];
        log_error("archive_finish: block \"%s\" was not ended; closed at item %u", entry.name,
                  a->items_written);
        entry.end = a->items_written;
        entry.done = 1;
        a->stack.pop_back();
    }
    a->depth = 0;
    if (a->status == 0)
        write_table(a);
    if (file_free(&a->file) < 0 && a->status == 0) { // the last buffered bytes are written here
        a->status = ARCHIVE_SHORT_WRITE;
        a->status_errno = errno != 0 ? errno : EIO;
    }
    a->finished = true;
    if (a->status != 0)
        errno = a->status_errno != 0 ? a->status_errno : EIO;
    return a->status;
}

int archive_free(archive **ap)
{
    if (ap == nullptr || *ap == nullptr)
        return 0;
    archive *a = *ap;
    *ap = nullptr;
    int result = a->mode == ARCHIVE_WRITE ? archive_finish(a) : 0;
    const int error = errno;
    for (const archive_callback &callback : a->callbacks)
        callback.fn(a, callback.arg);
    release(a);
    errno = error;
    return result;
}

int archive_add_free_callback(archive *a, archive_free_fn fn, void *arg)
{
    if (a == nullptr || fn == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    try {
        a->callbacks.push_back({fn, arg});
    } catch (const std::bad_alloc &) {
        return ARCHIVE_NO_MEMORY;
    }
    return 0;
}

int archive_start_block(archive *a, const char *name, uint32_t type)
{
    if (a == nullptr || name == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    if (a->mode == ARCHIVE_READ)
        return read_start_block(a, name);
    if (a->finished)
        return ARCHIVE_WRONG_MODE;
    if (a->blocks.size() >= UINT32_MAX || a->depth == UINT32_MAX)
        return ARCHIVE_TOO_LONG;
    archive_block entry{};
    entry.type = type;
    entry.depth = a->depth + 1;
    cut_name(entry.name, name);
    entry.first = a->items_written;
    archive_open_block open{};
    open.entry = (int64_t)a->blocks.size();
    std::memcpy(open.name, entry.name, ARCHIVE_BLOCK_NAME);
    try {
        a->blocks.push_back(entry);
        a->stack.push_back(open);
    } catch (const std::bad_alloc &) {
        if (a->blocks.size() > (size_t)open.entry)
            a->blocks.pop_back();
        return ARCHIVE_NO_MEMORY;
    }
    a->depth++;
    return 0;
}

int archive_end_block(archive *a, const char *name)
{
    if (a == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    if (a->mode == ARCHIVE_WRITE && a->finished)
        return ARCHIVE_WRONG_MODE;
    if (a->depth < 1 || a->stack.empty()) {
        log_line("archive_end_block", 1404);
        return ARCHIVE_WRONG_MODE;
    }
    a->depth--;
    archive_open_block open = a->stack.back();
    a->stack.pop_back();
    bool has_entry = open.entry >= 0 && (uint64_t)open.entry < a->blocks.size();
    if (!has_entry && (a->mode == ARCHIVE_WRITE || a->has_table)) {
        log_line("archive_end_block", 1416);
        return ARCHIVE_WRONG_MODE;
    }
    char cut[ARCHIVE_BLOCK_NAME];
    cut_name(cut, name);
    if (has_entry) {
        archive_block &entry = a->blocks[(size_t)open.entry];
        if (a->mode == ARCHIVE_WRITE)
            entry.end = a->items_written;
        entry.done = 1;
    }
    if (std::memcmp(cut, open.name, ARCHIVE_BLOCK_NAME) != 0) {
        log_line("archive_end_block", 1420);
        return ARCHIVE_WRONG_MODE;
    }
    return 0;
}

const uint8_t *archive_scratch_data(const archive *a)
{
    return a ? a->scratch->data : nullptr;
}

const char *archive_scratch_text(const archive *a)
{
    return a ? (const char *)a->scratch->data : "";
}

int archive_scratch_size(const archive *a)
{
    return a ? a->scratch->count : 0;
}
