// Selection state of a catalog: which nodes the user ticked for recovery.
//
// Every keynum has a two-bit value: 0 not selected, 1 selected, 2 partly
// selected (a folder whose children are not all in one state); 3 is never
// stored. Item i lives in byte i / 4, first item in the high bits:
//
//   byte i/4:  bits 7-6  item i%4 == 0
//              bits 5-4  item i%4 == 1
//              bits 3-2  item i%4 == 2
//              bits 1-0  item i%4 == 3      (value 1 = 01, value 2 = 10)
//
// So keynum 5 selected alone makes byte 1 0x10 (0x20 when partial), and a
// wholly selected array is all 0x55.
//
// File "sel-state" beside cat.db: exactly the bytes of the array, no header,
// present only while at least one item is not 0. It is replaced atomically
// (written to "sel-state.tmp", synced, renamed). A file shorter than the
// catalog needs, or holding the value 3, is ignored (empty selection); the
// counters are recomputed from the array and the sizes whenever it is
// loaded, and the root selection is taken from the root's own item.
//
// The root of the file system (id_root, or the reserved root keynum) has its
// value in the root selection and, mirrored, in its own item.
//
// Saving runs on a writer thread per open catalog: every change posts a
// request; the writer merges the requests queued at that moment, copies the
// array under the selection lock and writes the copy. Closing the catalog
// queues a stop behind the pending requests and joins the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/catalog/catdb.h"

enum : uint32_t {
    SEL_NONE = 0,
    SEL_SELECTED = 1,
    SEL_PARTIAL = 2,
};

// Numbered errors of the selection walks (foundation/error_list.h).
enum : int {
    SEL_ERROR_ANCESTOR_CHILDREN = 245, // children of an ancestor unavailable
    SEL_ERROR_DOWNWARD_CHILDREN = 272, // children unavailable during a downward walk
    SEL_ERROR_RECURSION = 513,         // walk too deep
    SEL_ERROR_NO_END_MARKER = 627,     // ancestor list without the no-node keynum
};

// The selection counters: files, folders, two unused, bytes.
enum : int {
    SEL_COUNTER_FILES = 0,
    SEL_COUNTER_FOLDERS = 1,
    SEL_COUNTER_BYTES = 4,
    SEL_COUNTER_COUNT = 5,
};

// --- the two-bit array -----------------------------------------------------------

struct tribool_array {
    uint64_t item_count = 0;
    std::vector<uint8_t> bytes;  // ceil(item_count / 4)
    uint64_t non_zero = 0;       // items whose value is not 0
};

// item_count items, all 0. -12 above TRIBOOL_MAX_ITEMS, -10 no memory.
constexpr uint64_t TRIBOOL_MAX_ITEMS = uint64_t(UINT32_MAX) * 4;
int tribool_make(tribool_array *array, uint64_t item_count);
// From raw bytes: 4 items per byte. A two-bit group holding 3 is damage:
// -12 (the array is then left empty).
int tribool_from_bytes(tribool_array *array, const uint8_t *bytes, size_t length);
// -1 when i is at or beyond the item count (out untouched).
int tribool_get(const tribool_array *array, uint64_t i, uint32_t *out);
// -12 when i is at or beyond the item count or value is not 0, 1 or 2
// (nothing changes); keeps non_zero exact.
int tribool_set(tribool_array *array, uint64_t i, uint32_t value);
// 0x00, 0x55 or 0xAA everywhere; other values: -12 (nothing changes).
int tribool_fill(tribool_array *array, uint32_t value);

// Pure parse of a "sel-state" image for a catalog of item_count items: -1
// when shorter than the catalog needs or empty, -12 for a group holding 3;
// 0 with out holding item_count items (bytes beyond them are ignored).
int selection_parse(const uint8_t *data, size_t size, uint64_t item_count, tribool_array *out);

// --- catalog operations (each holds the catalog lock) ------------------------------

// The value of a node: the reserved root keynum and id_root give the root
// selection. -1 for a keynum outside the catalog (or the catalog closed).
int catdb_get_selection_(catdb *db, int64_t keynum, uint32_t *out);
// Sets one value without touching the counters or the tree; -12 for a
// keynum outside the catalog or a value other than 0, 1, 2.
int catdb_set_selection_(catdb *db, int64_t keynum, uint32_t value);
// Fills the array and the root selection; -12 for another value.
int catdb_set_all_selection_(catdb *db, uint32_t value);

// Ticks (value 1) or unticks (0) a node and its subtree and brings the
// folders above it to 0, 1 or 2. list = the node's keynum, its parent, ...,
// the root, then CATDB_KEYNUM_NONE; count = entries available in list.
// Checked before anything changes: value 0 or 1, every keynum inside the
// catalog, each entry the parent of the one before, the chain ends at the
// root: else -12. No end marker within count: error 627, -15. Ensures
// reading; queues one write of "sel-state".
int catdb_select_node(catdb *db, const int64_t *list, size_t count, uint32_t value);

// Loads "sel-state" for item_count items into the selection (used by the
// opening for reading). -23 missing, -1 empty, short or unreadable, -12
// damaged; on any failure the selection is made empty and the counters and
// root selection 0. On success the counters are recomputed from the array.
int catdb_read_selection_(catdb *db, uint64_t item_count);
// Writes the current selection now (atomically), or deletes "sel-state"
// when nothing is selected. 0, or -3 / -1 on a file error (logged).
int catdb_write_selection_(catdb *db);
// Queues a write for the writer thread (nothing when it is not running).
int catdb_post_selection_write_(catdb *db);
// Saves the ticks of a catalog open for reading now, as its writer would,
// and gives the outcome, which the writer's own writes only log: 0 (also
// when the catalog is not open for reading: nothing was ticked), or -3 /
// -1 with errno telling why.
int catdb_save_selection_now_(catdb *db);

// The five counters (files, folders, 0, 0, bytes) and the root selection.
// The record loads them from its archive with the setter; an opening for
// reading then replaces them with what the array says.
int catdb_get_selection_counters(catdb *db, uint64_t out[SEL_COUNTER_COUNT]);
int catdb_set_selection_counters(catdb *db, const uint64_t in[SEL_COUNTER_COUNT]);
int catdb_get_root_selection(catdb *db, uint32_t *out);
int catdb_set_root_selection(catdb *db, uint32_t value);
