// The folder path index: a process-wide map from the virtual paths under which
// file modules file their results ("Images/JPEG/J.jpg", with its parents
// "Images/JPEG" and "Images") to the kinds of files that fall under them.
//
// A kind key is a u64: module id << 16 | subtype, the four-character module
// id in bits 16 to 47 and the subtype in bits 0 to 15. Each path's entry holds
// a sorted list of kind keys without duplicates. Modules register each
// subtype's path with all its parents when they describe themselves; span
// look-ahead asks whether a kind lies under one of a list of folder entries.
//
// Implementation notes: the entries live in a node-based map, so a pointer to
// an entry stays valid for the life of the process. One mutex guards the map
// and every kind list; read a list through path_index_entry_kinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct path_index_entry {
    std::string path;            // the key, without leading '/'
    std::vector<uint64_t> kinds; // sorted, unique; guarded by the index's mutex
};

enum : uint32_t {
    PATH_INDEX_PARENTS = 1, // also register the key under every parent path
};

// Makes a kind key.
inline uint64_t path_index_kind_key(uint32_t module_id, uint16_t subtype)
{
    return uint64_t(module_id) << 16 | subtype;
}

// Registers key under path (and, with PATH_INDEX_PARENTS, under every parent
// cut at '/'); returns the path's entry. Refused with NULL: a NULL or empty
// path (after dropping leading '/'), a module part of 0xFFFFFFFF, a subtype of
// 0xFFFF, a module part of 0 with a subtype other than 0, or no memory. Key 0
// makes the entry without adding a kind.
const path_index_entry *path_index_register(const char *path, uint64_t key, uint32_t flags);

// The first entry of the list whose kind list holds key, or NULL. NULL
// entries of the list are passed over.
const path_index_entry *path_index_find_kind(uint64_t key, const path_index_entry *const *entries, size_t count);
const path_index_entry *path_index_find_kind(uint64_t key, const std::vector<const path_index_entry *> &entries);

// The entry of path, or NULL when it was never registered.
const path_index_entry *path_index_lookup(const char *path);

// A copy of an entry's kind list, taken under the index's lock.
std::vector<uint64_t> path_index_entry_kinds(const path_index_entry *entry);
