// The record archive's writer: header, items, block table and trailer (the
// layout is in archive.h).
//
// Implementation notes
// - Every number is encoded byte by byte in little-endian order; nothing is
//   written from a struct in memory.
// - The writer refuses what its reader would refuse (a length above 8 MiB,
//   an "s" value without its closing NUL), so it never produces an archive
//   that cannot be read back. A refused item writes nothing.
// - The table offset is the count of bytes handed to the file, not
//   file_tell: with the stdio kind the two are the same, and counting keeps
//   the writer independent of the kind.
#include "foundation/archive.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/sysutil.h"

using namespace archive_internal;

namespace {

void put_le(std::vector<uint8_t> &out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out.push_back((uint8_t)(value >> (8 * i)));
}

// Appends bytes to the file. 0, or -3 (sticky) when not all were written.
int write_bytes(archive *a, const void *bytes, size_t length)
{
    if (a->status != 0)
        return a->status;
    if (length == 0)
        return 0;
    if (file_write_full(a->file, bytes, (int64_t)length) != 0) {
        a->status = ARCHIVE_SHORT_WRITE;
        a->status_errno = errno != 0 ? errno : EIO;
        return a->status;
    }
    a->table_offset += length;
    return 0;
}

// Value bytes a fixed-size tag takes; 0 for "b" and "s", -1 for an unknown tag.
int fixed_length(uint8_t tag)
{
    switch (tag) {
    case 'c': return 1;
    case 'h': return 2;
    case 'l':
    case 'f': return 4;
    case 'q':
    case 'd': return 8;
    case 'b':
    case 's': return 0;
    default: return -1;
    }
}

} // namespace

namespace archive_internal {

archive *create(const char *path, int version, int fd)
{
    if (version == 0)
        version = 1;
    archive *a = nullptr;
    if (version < 0 || version > 255)
        log_error("archive_new: version %d does not fit a byte", version);
    else
        a = allocate(ARCHIVE_WRITE);
    if (a == nullptr) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    // A descriptor handed over is the file layer's from here, also when it
    // refuses it.
    a->file = fd >= 0 ? file_open_ex(nullptr, path, "wb", 2, 0, nullptr, nullptr, fd) : file_open(path, "wb", 2);
    if (a->file == nullptr) {
        log_line("archive_new", 185);
        release(a);
        return nullptr;
    }
    const uint8_t header[ARCHIVE_HEADER_SIZE] = {'a', 'r', 'c', 'h', (uint8_t)version, 0,
                                                 ARCHIVE_MAGIC & 0xFF, ARCHIVE_MAGIC >> 8};
    if (write_bytes(a, header, sizeof header) != 0) {
        log_line("archive_new", 197);
        release(a);
        return nullptr;
    }
    return a;
}

int write_table(archive *a)
{
    const uint64_t table_offset = a->table_offset;
    uint8_t entry[ARCHIVE_ENTRY_SIZE];
    for (const archive_block &block : a->blocks) {
        std::memset(entry, 0, sizeof entry);
        std::memcpy(entry, "blk0", 4);
        set_le(entry + 8, block.type, 4);
        set_le(entry + 12, block.depth, 4);
        std::memcpy(entry + 16, block.name, ARCHIVE_BLOCK_NAME);
        entry[31] = 0;
        set_le(entry + 32, block.first, 4);
        set_le(entry + 36, block.end, 4);
        if (write_bytes(a, entry, sizeof entry) != 0) {
            log_line("archive_free", 266);
            return a->status;
        }
    }
    uint8_t trailer[ARCHIVE_TRAILER_SIZE] = {};
    set_le(trailer, ARCHIVE_TRAILER_MAGIC, 4);
    set_le(trailer + 4, a->blocks.size(), 4);
    set_le(trailer + 8, table_offset, 8);
    set_le(trailer + 20, ARCHIVE_TRAILER_MAGIC, 4);
    if (write_bytes(a, trailer, sizeof trailer) != 0) {
        log_line("archive_free", 270);
        return a->status;
    }
    return 0;
}

} // namespace archive_internal

int archive_value(archive *a, const char *name, uint8_t tag, const void *bytes, uint32_t length)
{
    if (a == nullptr || name == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    if (a->mode != ARCHIVE_WRITE || a->finished)
        return ARCHIVE_WRONG_MODE;
    if (a->status != 0)
        return a->status;
    const size_t name_length = std::strlen(name) + 1;
    if (name_length > ARCHIVE_MAX_LENGTH || length > ARCHIVE_MAX_LENGTH)
        return ARCHIVE_TOO_LONG;
    if (a->items_written == UINT32_MAX) // item indexes are u32 in the table
        return ARCHIVE_TOO_LONG;
    const int fixed = fixed_length(tag);
    if (fixed < 0 || (fixed > 0 && length != (uint32_t)fixed) || (bytes == nullptr && length > 0))
        return ARCHIVE_BAD_ARGUMENT;
    if (tag == 's' && (length == 0 || ((const uint8_t *)bytes)[length - 1] != 0))
        return ARCHIVE_BAD_ARGUMENT;

    std::vector<uint8_t> head;
    try {
        head.reserve(1 + 4 + name_length + 1 + 4 + 8);
        head.push_back('n');
        put_le(head, name_length, 4);
        head.insert(head.end(), name, name + name_length);
        head.push_back(tag);
        if (fixed == 0)
            put_le(head, length, 4);
        else
            head.insert(head.end(), (const uint8_t *)bytes, (const uint8_t *)bytes + length);
    } catch (const std::bad_alloc &) {
        return ARCHIVE_NO_MEMORY;
    }
    if (write_bytes(a, head.data(), head.size()) != 0)
        return a->status;
    if (fixed == 0 && write_bytes(a, bytes, length) != 0)
        return a->status;
    a->items_written++;
    return 0;
}

int archive_long(archive *a, const char *name, int32_t value)
{
    uint8_t bytes[4];
    set_le(bytes, (uint32_t)value, 4);
    return archive_value(a, name, 'l', bytes, sizeof bytes);
}

int archive_quad(archive *a, const char *name, int64_t value)
{
    uint8_t bytes[8];
    set_le(bytes, (uint64_t)value, 8);
    return archive_value(a, name, 'q', bytes, sizeof bytes);
}

int archive_char(archive *a, const char *name, uint8_t value)
{
    return archive_value(a, name, 'c', &value, 1);
}

int archive_bytes(archive *a, const char *name, const void *bytes, uint32_t length)
{
    return archive_value(a, name, 'b', bytes, length);
}

int archive_string(archive *a, const char *name, const char *text)
{
    if (text == nullptr)
        text = "";
    const size_t length = std::strlen(text) + 1;
    if (length > ARCHIVE_MAX_LENGTH)
        return ARCHIVE_TOO_LONG;
    return archive_value(a, name, 's', text, (uint32_t)length);
}
