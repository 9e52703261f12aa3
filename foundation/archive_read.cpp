// The record archive's reader: loading (from a file or from memory) and the
// lookups behind every unarchive_* call. The layout is in archive.h.
//
// Loading is split in two: load_file reads the file's bytes, parse checks
// and indexes them without touching any file, so tests and the fuzz target
// run the very code that reads saved scans.
//
// Decisions on damaged input (saved scans are files a user can hand us):
// - Header: "arch", version 1, a 0 byte and the magic are required.
// - Trailer and table: a file of 24 bytes or less, wrong trailer magics, a
//   negative count, a table offset outside the item area, or a table that
//   does not end exactly where the trailer begins (checked in 64 bits) give
//   no table, and the file is read without blocks. A block whose end index
//   passes the last item fails the load: the table and the items disagree.
// - Items are strict. A name item must be "n", a length of 1 to 8 MiB that
//   fits the file, and bytes whose only NUL is the last one; a value item
//   must have a known tag, a value that fits the file and, for "s", a length
//   of at least 1 ending in a NUL. Anything else fails the load (-1; -16 for
//   a length above 8 MiB), so no C-string use can run past a name or text.
// - Without a table the end of the items is unknown: the scan then stops at
//   the first item boundary that does not start with "n". This is what lets
//   an archive whose trailer is damaged still open: its block table ("blk0"
//   entries) and trailer follow the items and begin with other bytes. A name
//   item that begins but does not parse still fails the load.
// - Memory: the bytes are held once, the item table holds 32 bytes for each
//   item actually parsed (an item takes at least 8 bytes of input) and the
//   block table 36 bytes per 48-byte entry; no count from the input is used
//   to reserve anything.
//
// Lookups
// - Blocks a reader starts are searched in table order among the entries
//   nested directly in the open block (those after it whose depth is one
//   more, up to the first entry at its depth or above). Searching the whole
//   table instead would let a reader that skips an optional block pick up a
//   block of the same name under another parent.
// - An item is marked used only when it is returned: a value that does not
//   fit the type asked stays unread, so the caller may ask again with a wider
//   type.
#include "foundation/archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <queue>
#include <utility>

#include "foundation/buf.h"
#include "foundation/file.h"
#include "foundation/log.h"

using namespace archive_internal;

namespace {

uint64_t le(const uint8_t *p, int bytes)
{
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; i--)
        value = (value << 8) | p[i];
    return value;
}

// The load failed; the status (-1 or -16) says why.
struct load_error {
    int status;
};

// Reads the trailer and the block table at the end of data. Returns the end
// of the item area: the table's offset, or the whole size without a table.
uint64_t parse_table(archive *a)
{
    const std::vector<uint8_t> &d = a->data;
    const uint64_t size = d.size();
    if (size <= ARCHIVE_TRAILER_SIZE) {
        log_line("archive_new", 83);
        return size;
    }
    const uint8_t *t = d.data() + size - ARCHIVE_TRAILER_SIZE;
    if (le(t, 4) != ARCHIVE_TRAILER_MAGIC || le(t + 20, 4) != ARCHIVE_TRAILER_MAGIC)
        return size;
    const uint32_t count = (uint32_t)le(t + 4, 4);
    const uint64_t offset = le(t + 8, 8);
    if (count > (uint32_t)INT32_MAX || offset < ARCHIVE_HEADER_SIZE || offset > size) {
        log_line("archive_new", 101);
        return size;
    }
    // offset <= size and count * 48 < 2^37: no wrap.
    if (offset + (uint64_t)count * ARCHIVE_ENTRY_SIZE != size - ARCHIVE_TRAILER_SIZE) {
        log_line("archive_new", 105);
        return size;
    }
    a->blocks.resize(count); // count * 48 bytes of the input stand behind it
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *e = d.data() + offset + (uint64_t)i * ARCHIVE_ENTRY_SIZE;
        archive_block &block = a->blocks[i];
        block.type = (uint32_t)le(e + 8, 4);
        block.depth = (uint32_t)le(e + 12, 4);
        std::memcpy(block.name, e + 16, ARCHIVE_BLOCK_NAME);
        block.name[ARCHIVE_BLOCK_NAME - 1] = 0;
        block.first = (uint32_t)le(e + 32, 4);
        block.end = (uint32_t)le(e + 36, 4);
    }
    a->has_table = true;
    return offset;
}

// Parses the item at *pos (inside [*pos, end)) into item and moves *pos past
// it. Throws load_error.
void parse_item(const uint8_t *d, uint64_t *pos, uint64_t end, archive_item &item)
{
    uint64_t p = *pos;
    if (end - p < 5 || d[p] != 'n')
        throw load_error{ARCHIVE_NOT_FOUND};
    const uint32_t name_length = (uint32_t)le(d + p + 1, 4);
    p += 5;
    if (name_length > ARCHIVE_MAX_LENGTH)
        throw load_error{ARCHIVE_TOO_LONG};
    if (name_length == 0 || name_length > end - p || d[p + name_length - 1] != 0 ||
        std::memchr(d + p, 0, name_length - 1) != nullptr)
        throw load_error{ARCHIVE_NOT_FOUND};
    item.name_offset = p;
    item.name_length = name_length;
    p += name_length;
    if (end - p < 1)
        throw load_error{ARCHIVE_NOT_FOUND};
    item.tag = d[p++];
    uint64_t length;
    switch (item.tag) {
    case 'c': length = 1; break;
    case 'h': length = 2; break;
    case 'l':
    case 'f': length = 4; break;
    case 'q':
    case 'd': length = 8; break;
    case 'b':
    case 's':
        if (end - p < 4)
            throw load_error{ARCHIVE_NOT_FOUND};
        length = le(d + p, 4);
        p += 4;
        if (length > ARCHIVE_MAX_LENGTH)
            throw load_error{ARCHIVE_TOO_LONG};
        break;
    default: throw load_error{ARCHIVE_NOT_FOUND};
    }
    if (length > end - p)
        throw load_error{ARCHIVE_NOT_FOUND};
    if (item.tag == 's' && (length == 0 || d[p + length - 1] != 0))
        throw load_error{ARCHIVE_NOT_FOUND};
    item.value_offset = p;
    item.length = (uint32_t)length;
    item.depth = 0;
    item.used = 0;
    *pos = p + length;
}

// Gives each item the depth of the deepest block whose range holds it, in one
// sweep: blocks enter a max-heap at their first item and leave it (lazily)
// once their end has passed. O((items + blocks) log blocks), whatever the
// table holds.
void assign_depths(archive *a)
{
    std::vector<uint32_t> order;
    order.reserve(a->blocks.size());
    for (uint32_t i = 0; i < a->blocks.size(); i++)
        if (a->blocks[i].first < a->blocks[i].end)
            order.push_back(i);
    std::sort(order.begin(), order.end(),
              [a](uint32_t x, uint32_t y) { return a->blocks[x].first < a->blocks[y].first; });
    std::priority_queue<std::pair<uint32_t, uint32_t>> open; // (depth, end)
    size_t next = 0;
    for (size_t i = 0; i < a->items.size(); i++) {
        while (next < order.size() && a->blocks[order[next]].first <= i) {
            const archive_block &block = a->blocks[order[next++]];
            open.push({block.depth, block.end});
        }
        while (!open.empty() && open.top().second <= i)
            open.pop();
        a->items[i].depth = open.empty() ? 0 : open.top().first;
    }
}

// The whole load after the bytes are in a->data. 0, -1 or -16.
int parse(archive *a)
{
    const std::vector<uint8_t> &d = a->data;
    if (d.size() < ARCHIVE_HEADER_SIZE) {
        log_line("archive_new", 156);
        return ARCHIVE_NOT_FOUND;
    }
    if (std::memcmp(d.data(), "arch", 4) != 0 || d[4] != 1 || d[5] != 0) {
        log_line("archive_new", 160);
        return ARCHIVE_NOT_FOUND;
    }
    if (le(d.data() + 6, 2) != ARCHIVE_MAGIC) {
        log_line("archive_new", 166);
        return ARCHIVE_NOT_FOUND;
    }
    const uint64_t end = parse_table(a);
    uint64_t pos = ARCHIVE_HEADER_SIZE;
    try {
        while (pos < end) {
            if (!a->has_table && d[pos] != 'n')
                break; // a damaged table or trailer follows the items
            archive_item item;
            parse_item(d.data(), &pos, end, item);
            a->items.push_back(item);
        }
    } catch (const load_error &failure) {
        log_line("archive_new", 177);
        log_error("archive_new: Couldn't unarchive item %zu", a->items.size());
        return failure.status;
    }
    for (const archive_block &block : a->blocks) {
        if (block.end > a->items.size()) {
            log_error("archive_new: block \"%s\" ends at item %u of %zu", block.name, block.end,
                      a->items.size());
            return ARCHIVE_NOT_FOUND;
        }
    }
    assign_depths(a);
    return 0;
}

// Takes the bytes, parses them and hands back the reader. 0, -1 or -16.
int load(std::vector<uint8_t> &&bytes, archive **out)
{
    *out = nullptr;
    archive *a = allocate(ARCHIVE_READ);
    if (a == nullptr)
        return ARCHIVE_NOT_FOUND;
    a->data = std::move(bytes);
    int status;
    try {
        status = parse(a);
    } catch (const std::bad_alloc &) {
        log_line("archive_new", 205);
        status = ARCHIVE_NOT_FOUND;
    }
    if (status != 0) {
        release(a);
        return status;
    }
    *out = a;
    return 0;
}

// The range and depth a lookup searches: the innermost open block, or the top
// level. False (logged) when the open block's entry is not valid.
bool search_scope(archive *a, uint64_t *first, uint64_t *end, uint32_t *depth, uint64_t **hint)
{
    const uint64_t n = a->items.size();
    if (a->stack.empty()) {
        *first = 0, *end = n, *depth = 0, *hint = &a->top_hint;
        return true;
    }
    archive_open_block &open = a->stack.back();
    if (open.entry < 0 || (uint64_t)open.entry >= a->blocks.size()) {
        log_line("current_block", 1372);
        return false;
    }
    const archive_block &block = a->blocks[(size_t)open.entry];
    *first = block.first;
    *end = std::min<uint64_t>(block.end, n);
    *depth = block.depth;
    *hint = &open.hint;
    return true;
}

// Finds the item a lookup of name returns, without consuming it. -1 when there
// is none (or the scope is not valid), -12 / -15 for bad arguments.
int64_t find(archive *a, const char *name)
{
    if (a == nullptr || name == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    if (a->mode != ARCHIVE_READ)
        return ARCHIVE_WRONG_MODE;
    const uint8_t *d = a->data.data();
    const size_t name_length = std::strlen(name) + 1;
    auto matches = [&](const archive_item &item) {
        return item.name_length == name_length && std::memcmp(d + item.name_offset, name, name_length) == 0;
    };
    if (!a->has_table) {
        for (uint64_t i = (uint64_t)(a->last_found + 1); i < a->items.size(); i++)
            if (!a->items[i].used && matches(a->items[i]))
                return (int64_t)i;
        return ARCHIVE_NOT_FOUND;
    }
    uint64_t first, end, *hint;
    uint32_t depth;
    if (!search_scope(a, &first, &end, &depth, &hint))
        return ARCHIVE_NOT_FOUND;
    uint64_t i = std::max(first, *hint);
    while (i < end && (a->items[i].used || a->items[i].depth != depth))
        i++;
    *hint = i; // everything before is used or nested
    for (; i < end; i++) {
        const archive_item &item = a->items[i];
        if (!item.used && item.depth == depth && matches(item))
            return (int64_t)i;
    }
    return ARCHIVE_NOT_FOUND;
}

void consume(archive *a, int64_t index)
{
    a->items[(size_t)index].used = 1;
    a->last_found = index;
}

// find for a copy of the item into dest (size bytes): ARCHIVE_BAD_ARGUMENT
// when there is no destination for them.
int64_t find_copy(archive *a, const char *name, const void *dest, uint32_t size)
{
    if (dest == nullptr && size > 0)
        return ARCHIVE_BAD_ARGUMENT;
    return find(a, name);
}

// The signed value of an integer item; false for "b", "s", "f" and "d".
bool integer_value(const archive *a, const archive_item &item, int64_t *value)
{
    const uint8_t *v = a->data.data() + item.value_offset;
    switch (item.tag) {
    case 'c': *value = (int8_t)v[0]; return true;
    case 'h': *value = (int16_t)le(v, 2); return true;
    case 'l': *value = (int32_t)le(v, 4); return true;
    case 'q': *value = (int64_t)le(v, 8); return true;
    default: return false;
    }
}

// Looks name up and, when its value is an integer within [low, high], stores
// it and consumes the item. quad_only_range: the range applies to "q" only.
int read_integer(archive *a, const char *name, int64_t low, int64_t high, bool quad_only_range,
                 int64_t *value)
{
    const int64_t index = find(a, name);
    if (index < 0)
        return (int)index;
    const archive_item &item = a->items[(size_t)index];
    if (!integer_value(a, item, value))
        return ARCHIVE_NOT_FOUND;
    if ((!quad_only_range || item.tag == 'q') && (*value < low || *value > high))
        return ARCHIVE_NOT_FOUND;
    consume(a, index);
    return 0;
}

} // namespace

namespace archive_internal {

archive *load_file(const char *path)
{
    // Only a regular file is an archive: opening a FIFO or a device named
    // as a saved scan would block, or read a whole disk into memory. The
    // file layer checks the descriptor it opened (without waiting), so
    // nothing swapped in under the name after a check can be opened.
    file_t *f = file_open_regular(path, "rb", 1);
    if (f == nullptr) {
        log_line("archive_new", 151);
        return nullptr;
    }
    const int64_t size = file_size(f);
    if (size < (int64_t)ARCHIVE_HEADER_SIZE) {
        log_line("archive_new", 156);
        file_free(&f);
        return nullptr;
    }
    std::vector<uint8_t> bytes;
    try {
        bytes.resize((size_t)size);
    } catch (const std::exception &) { // bad_alloc or length_error
        log_line("archive_new", 205);
        file_free(&f);
        return nullptr;
    }
    const int read = file_read_full(f, bytes.data(), size);
    file_free(&f);
    if (read != 0) {
        log_line("archive_new", 156);
        return nullptr;
    }
    archive *a = nullptr;
    load(std::move(bytes), &a);
    return a;
}

int read_start_block(archive *a, const char *name)
{
    if (!a->has_table) {
        archive_open_block open{};
        open.entry = -1;
        cut_name(open.name, name);
        a->stack.push_back(open);
        a->depth++;
        return 0;
    }
    const int64_t parent = a->stack.empty() ? -1 : a->stack.back().entry;
    if (parent >= (int64_t)a->blocks.size()) {
        log_line("current_block", 1372);
        return ARCHIVE_NOT_FOUND;
    }
    const uint64_t parent_depth = parent < 0 ? 0 : a->blocks[(size_t)parent].depth;
    char cut[ARCHIVE_BLOCK_NAME];
    cut_name(cut, name);
    for (size_t j = (size_t)(parent + 1); j < a->blocks.size(); j++) {
        archive_block &block = a->blocks[j];
        if (parent >= 0 && block.depth <= parent_depth)
            break; // past the open block's nested entries
        if (block.used || block.depth != parent_depth + 1 || std::memcmp(block.name, cut, ARCHIVE_BLOCK_NAME) != 0)
            continue;
        archive_open_block open{};
        open.entry = (int64_t)j;
        std::memcpy(open.name, cut, ARCHIVE_BLOCK_NAME);
        open.hint = block.first;
        a->stack.push_back(open);
        block.used = 1;
        a->depth++;
        return 0;
    }
    log_line("archive_start_block", 1342);
    return ARCHIVE_NOT_FOUND;
}

} // namespace archive_internal

int archive_load_memory(const void *bytes, size_t size, archive **out)
{
    if (out == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    *out = nullptr;
    if (bytes == nullptr && size > 0)
        return ARCHIVE_BAD_ARGUMENT;
    std::vector<uint8_t> copy;
    try {
        copy.assign((const uint8_t *)bytes, (const uint8_t *)bytes + size);
    } catch (const std::bad_alloc &) {
        log_line("archive_new", 205);
        return ARCHIVE_NOT_FOUND;
    }
    return load(std::move(copy), out);
}

int unarchive_long(archive *a, const char *name, int32_t *out)
{
    int64_t value;
    const int status = read_integer(a, name, INT32_MIN, UINT32_MAX, true, &value);
    if (status == 0 && out)
        *out = (int32_t)(uint32_t)value;
    return status;
}

int unarchive_quad(archive *a, const char *name, int64_t *out)
{
    int64_t value;
    const int status = read_integer(a, name, INT64_MIN, INT64_MAX, false, &value);
    if (status == 0 && out)
        *out = value;
    return status;
}

int unarchive_char(archive *a, const char *name, uint8_t *out)
{
    int64_t value;
    const int status = read_integer(a, name, -128, 255, false, &value);
    if (status == 0 && out)
        *out = (uint8_t)value;
    return status;
}

int unarchive_bytes(archive *a, const char *name)
{
    const int64_t index = find(a, name);
    if (index < 0)
        return (int)index;
    const archive_item &item = a->items[(size_t)index];
    const int status = scratch_set(a, a->data.data() + item.value_offset, item.length);
    if (status != 0)
        return status;
    consume(a, index);
    return (int)item.length;
}

int unarchive_string(archive *a, const char *name)
{
    return unarchive_bytes(a, name);
}

int unarchive_bytes_copy(archive *a, const char *name, void *dest, uint32_t size)
{
    const int64_t index = find_copy(a, name, dest, size);
    if (index < 0)
        return (int)index;
    const archive_item &item = a->items[(size_t)index];
    const uint32_t n = std::min(size, item.length);
    if (item.length != size)
        log_info("%s: count=%d n=%d", "unarchive_bytes_copy", (int)size, (int)item.length);
    if (n > 0)
        std::memcpy(dest, a->data.data() + item.value_offset, n);
    if (size > n)
        std::memset((uint8_t *)dest + n, 0, size - n);
    consume(a, index);
    return (int)item.length;
}

int unarchive_bytes_exact(archive *a, const char *name, void *dest, uint32_t size)
{
    const int64_t index = find_copy(a, name, dest, size);
    if (index < 0)
        return (int)index;
    const archive_item &item = a->items[(size_t)index];
    consume(a, index);
    if (item.length != size)
        return -1;
    if (size > 0)
        std::memcpy(dest, a->data.data() + item.value_offset, size);
    return 0;
}

int unarchive_peek_name(archive *a)
{
    if (a == nullptr)
        return ARCHIVE_BAD_ARGUMENT;
    if (a->mode != ARCHIVE_READ)
        return ARCHIVE_WRONG_MODE;
    const uint64_t next = (uint64_t)(a->last_found + 1);
    if (next >= a->items.size())
        return ARCHIVE_NOT_FOUND;
    const archive_item &item = a->items[(size_t)next];
    const int status = scratch_set(a, a->data.data() + item.name_offset, item.name_length);
    return status != 0 ? status : (int)item.name_length;
}
