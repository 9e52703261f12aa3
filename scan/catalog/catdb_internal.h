// The catalog state behind a `catdb` handle, shared by catdb*.cpp,
// children_cache.cpp and selection*.cpp. Not for other modules.
//
// Implementation notes:
// - `lock` (recursive) guards everything here except the selection block;
//   `sel_lock` guards the selection block and is always the inner lock. The
//   writer thread takes only `sel_lock`.
// - The per-keynum arrays (folders, sizes, parents, selection) all have
//   item_count entries once the catalog is open for reading; they are empty
//   while it is closed or open for writing.
// - parents[k] is the parent keynum of k as listed by the children cache,
//   or -1 for a keynum that is no row; it lets the selection check the
//   ancestor lists callers pass.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scan/catalog/catdb.h"
#include "scan/catalog/hash_tables.h"
#include "scan/catalog/selection.h"
#include "scan/catalog/work_queue.h"

struct catdb_state {
    fs_record *record = nullptr;   // owning found-file-system record
    std::recursive_mutex lock;     // held by every public operation

    // What the catalog keeps for its record.
    std::string folder;            // the file system's folder
    int64_t id_root = 1;           // keynum of the file system's root
    uint32_t histogram[3] = {0, 0, 0}; // children with selection 0, 1, 2 (last listing)

    int mode = CATDB_MODE_CLOSED;
    sqlite3_stmt *begin_stmt = nullptr;
    sqlite3_stmt *end_stmt = nullptr;
    uint8_t in_transaction = 0;
    sqlite3_stmt *num_children_stmt = nullptr;
    sqlite3_stmt *extents_insert_stmt = nullptr;
    sqlite3_stmt *extents_select_stmt = nullptr;

    // Facts from the children cache (children_cache.cpp).
    uint64_t file_count = 0;
    uint64_t folder_count = 0;
    uint64_t total_size = 0;
    uint64_t item_count = 0;       // entries of the per-keynum arrays
    int32_t recursion_depth = 0;   // tree walks of recovery
    int32_t recursion_limit = CATDB_RECURSION_LIMIT;
    bitarray folders;
    u64array sizes;
    keyhash *children = nullptr;
    std::vector<int64_t> parents;

    // Selection block (selection*.cpp), guarded by sel_lock.
    std::mutex sel_lock;
    tribool_array selection;
    uint32_t root_selection = 0;
    uint64_t selected[SEL_COUNTER_COUNT] = {0, 0, 0, 0, 0};

    // Selection writer.
    WorkQueue queue;
    std::thread writer;
    bool writer_started = false;
    uint32_t next_request = 0;
    std::mutex write_lock;         // one sel-state write at a time (outside sel_lock)
};

// Logs "<function>[<line>]: <sqlite message> (<code>)" for the connection.
void catdb_log_sqlite_(sqlite3 *conn, const char *function, int line);
#define CATDB_LOG_SQLITE(conn) catdb_log_sqlite_((conn), __func__, __LINE__)

// Prepares sql into *slot unless the slot holds its statement already (the
// statements the catalog keeps until it closes). 0, or -40 with *slot null
// when SQLite refuses it, logged like CATDB_LOG_SQLITE at the caller.
int catdb_prepare_once_(catdb *db, sqlite3_stmt **slot, const char *sql, const char *function, int line);
#define CATDB_PREPARE_ONCE(db, slot, sql) catdb_prepare_once_((db), (slot), (sql), __func__, __LINE__)

// folder + "/" + name; empty when the catalog has no folder.
std::string catdb_file_path_(const catdb_state *state, const char *name);

// Writes bytes to path atomically (foundation/atomic_file.h): path.tmp made
// exclusively and written through its descriptor, fsync, rename, fsync of
// the folder. 0, or -3 (logged with the caller's name) with errno telling why.
int catdb_write_file_atomic_(const std::string &path, const void *data, size_t size, const char *caller);

// Reads a whole file into out. 0; -23 when missing or empty; -12 when
// larger than limit (logged); -1 on a read error (logged).
int catdb_read_file_(const std::string &path, uint64_t limit, std::vector<uint8_t> *out, const char *caller);

// Looks at the journal beside the catalog at path before anything may roll
// it back: 0 when there is none or it may be rolled back; -34 (logged with
// the caller's name) when it is not a regular file, cannot be read, or names
// a super-journal.
int catdb_check_journal_(const std::string &path, const char *caller);

// The size the catalog hands out for a stored one (a row's `size`, or a
// value of db-cache taken as signed): a negative value, which only damage
// makes, reads as 0, as the node information of the file-system types does.
// Every size read back from "nodes" or "db-cache" passes through here.
inline uint64_t catdb_stored_size_(int64_t stored)
{
    return stored < 0 ? 0 : (uint64_t)stored;
}
// a + b held at INT64_MAX, so that totals of such sizes stay sizes too.
inline uint64_t catdb_add_sizes_(uint64_t a, uint64_t b)
{
    const uint64_t limit = (uint64_t)INT64_MAX;
    return a > limit || b > limit - a ? limit : a + b;
}

// Maps the reserved root keynum to id_root; other keynums are returned as
// they are.
int64_t catdb_map_root_(const catdb_state *state, int64_t keynum);

// Frees the in-memory facts (children cache, arrays, parents).
void catdb_free_facts_(catdb_state *state);
// Fills parents[] from the children cache (after reading or rebuilding).
int catdb_index_parents_(catdb_state *state);

// The iterative walks behind catdb_select_node (selection.cpp); the catalog
// lock is held and the arguments are checked by the caller.
int catdb_select_downward_recurse_(catdb *db, int64_t keynum, uint32_t value);
int catdb_select_upward_recurse_(catdb *db, const int64_t *list, size_t count);
// Writes the selection's current bytes (or deletes the file) without the
// catalog lock: used by the writer thread.
int catdb_write_selection_snapshot_(catdb_state *state, const std::string &path);

// Starts / stops the selection writer (selection_writer.cpp); the catalog
// lock is held by the caller.
int catdb_start_selection_writer_(catdb *db);
void catdb_stop_selection_writer_(catdb *db);
// Empties the selection, the root selection and the counters.
void catdb_clear_selection_(catdb_state *state);
