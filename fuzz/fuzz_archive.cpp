// The record archive's loader on arbitrary bytes (in memory), then every item
// it offers: each block reachable from the top level is entered, each item of
// a scope is read through one of the typed readers, and the rest through the
// peek-and-read loop. Checked besides memory safety: the loader's memory stays
// proportional to the input (its tables never outgrow what the bytes can
// hold), the string reader always hands back a NUL-terminated text of the
// length it reports, and a lookup never returns one item twice.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/archive.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<bool> returned; // items handed out so far

// After a reader call: a success must have returned an item not seen before.
void check(archive *a, int status)
{
    if (status < 0)
        return;
    require(a->last_found >= 0 && (uint64_t)a->last_found < a->items.size());
    require(!returned[(size_t)a->last_found]);
    returned[(size_t)a->last_found] = true;
}

// Reads every item of the open scope by name, cycling through the readers.
void read_scope(archive *a, uint64_t first, uint64_t end)
{
    for (uint64_t i = first; i < end && i < a->items.size(); i++) {
        const std::string name((const char *)a->data.data() + a->items[i].name_offset);
        int32_t l;
        int64_t q;
        uint8_t c;
        uint8_t small[5];
        int n;
        switch (i % 5) {
        case 0: check(a, unarchive_long(a, name.c_str(), &l)); break;
        case 1: check(a, unarchive_quad(a, name.c_str(), &q)); break;
        case 2: check(a, unarchive_char(a, name.c_str(), &c)); break;
        case 3: check(a, unarchive_bytes_copy(a, name.c_str(), small, sizeof small)); break;
        default:
            n = unarchive_string(a, name.c_str());
            check(a, n);
            if (n >= 0) {
                require(archive_scratch_size(a) == n);
                require(archive_scratch_data(a)[n] == 0);
            }
        }
    }
}

// Enters every block nested directly in the open one (entry parent, -1 for
// the top level), reads its items and recurses, up to a fixed depth.
void walk(archive *a, int64_t parent, int level)
{
    if (level > 16)
        return;
    const uint64_t parent_depth = parent < 0 ? 0 : a->blocks[(size_t)parent].depth;
    for (size_t j = (size_t)(parent + 1); j < a->blocks.size(); j++) {
        const archive_block block = a->blocks[j];
        if (parent >= 0 && block.depth <= parent_depth)
            break;
        if (block.depth != parent_depth + 1 || block.used)
            continue;
        if (archive_start_block(a, block.name, 1) != 0)
            continue;
        const int64_t entry = a->stack.back().entry;
        const archive_block &opened = a->blocks[(size_t)entry];
        read_scope(a, opened.first, opened.end);
        walk(a, entry, level + 1);
        require(archive_end_block(a, block.name) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    archive *a = nullptr;
    if (archive_load_memory(data, size, &a) != 0) {
        require(a == nullptr);
        return 0;
    }
    // Each item takes at least 8 bytes and each block entry 48.
    require(a->items.size() <= size / 8 && a->blocks.size() <= size / 48);
    require(a->data.size() == size);
    returned.assign(a->items.size(), false);

    read_scope(a, 0, a->items.size()); // the top level (all items without a table)
    if (a->has_table)
        walk(a, -1, 0);
    for (size_t k = 0; k <= a->items.size(); k++) {
        if (unarchive_peek_name(a) < 0)
            break;
        const std::string name = archive_scratch_text(a);
        const int status = unarchive_bytes(a, name.c_str());
        check(a, status);
        if (status < 0)
            break;
    }
    archive_free(&a);
    return 0;
}
