// The catalog of one found file system: the SQLite database "cat.db" in the
// file system's folder, its in-memory caches and its selection state.
//
// A found-file-system record (scan/catalog/fs_record.h) embeds one `catdb`.
// The catalog is closed (mode 0), open for reading (mode 1, read-only
// connection; caches and selection loaded, the selection writer running) or
// open for writing (mode 2, read-write connection inside one long
// transaction that the close commits). Every switch of mode closes first.
//
// Tables. "nodes" belongs to the file-system type (made in its
// on-open-for-writing hook); the catalog reads its columns `id` (INTEGER
// PRIMARY KEY, the keynum), `pid` (the parent's keynum; the root's children
// have pid = id_root), `is_dir`, `size`, `num_children`, and for FAT `fs_id`
// and `fs_pid`. "extents" holds the ninth and later extents of a node, eight
// per row:
//
//   id INTEGER      the node's keynum
//   num INTEGER     row number 0, 1, 2, ... in extent order
//   which INTEGER   fork (0 data)
//   start_0 INTEGER, len_0 INTEGER, ... start_7 INTEGER, len_7 INTEGER
//                   pairs after the row's last extent are NULL
//
// Layout version: writers store CATDB_LAYOUT_VERSION in the database's
// `PRAGMA user_version` (0 on catalogs made before it was kept, read the same
// as 1). A catalog with a higher number is refused for reading and writing.
//
// Files beside cat.db: "db-cache" and "children_cache" (children_cache.h),
// "sel-state" (selection.h). The two caches are deleted whenever the catalog
// is opened for writing, so rows added later are never hidden by a stale
// cache; they are remade by the next opening for reading.
//
// Locking. Each catalog has one recursive mutex (catdb_mutex) that every
// public catdb_* function holds for its whole run, so the engine's command
// thread (scans, recovery) and a caller's thread (children, node data,
// selection) may use one catalog at the same time. The hooks and the
// node-information callback run with it held and may call catdb_* again. The
// selection array and counters have a second, inner lock taken only briefly
// (always after the catalog mutex when both are held); the selection writer
// thread takes only that inner one, to copy a snapshot, so a close that
// holds the catalog mutex can join the writer without a deadlock.
//
// What the catalog keeps for its owning record. The record's folder, its
// `id_root`, its root selection, its five selection counters and its
// children-state histogram are kept here, in the catalog state, and the
// record reaches them through the functions of this header and selection.h
// (catdb_set_folder, catdb_set_id_root, catdb_get_selection_counters, ...).
// The record archives them from there.
//
// Status codes: -1 missing cat.db; -3 open for writing failed; -10 no memory;
// -12 bad argument, keynum out of range, node not found, no transaction;
// -15 unsupported mode; -25 catalog of a newer layout; -34 open for reading
// failed (not SQLite, no "nodes" table, ...); -40 any other SQLite failure
// (an abort through the progress handler included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct fs_record;   // scan/catalog/fs_record.h
struct catdb;
struct catdb_state; // scan/catalog/catdb_internal.h

// Reserved keynums (40 bits: low word, high word masked with 0xFF).
constexpr int64_t CATDB_KEYNUM_ROOT = 0xFFFFFFFFFCll; // the file system's root (id_root)
constexpr int64_t CATDB_KEYNUM_NONE = 0xFFFFFFFFFFll; // no node; ends an ancestor list

enum : int {
    CATDB_MODE_CLOSED = 0,
    CATDB_MODE_READ = 1,
    CATDB_MODE_WRITE = 2,
};

constexpr int CATDB_LAYOUT_VERSION = 1;
constexpr int CATDB_RECURSION_LIMIT = 100; // tree walks of recovery

// Called right after the database is opened for writing (the type creates
// its tables); a non-zero result fails the opening and closes the catalog.
typedef int (*catdb_open_hook)(catdb *db, fs_record *record);
// Called at the start of every close (the type finalizes its statements).
typedef void (*catdb_close_hook)(catdb *db, fs_record *record);
// Called by catdb_node_children once per child; a non-zero result skips the
// child (the callback appends what it wants to its own list in context).
typedef int (*catdb_child_fn)(void *context, catdb *db, fs_record *record, int64_t keynum);

// The catalog handle a found-file-system record embeds. Zero-filled until
// catdb_new; `conn` is non-null while open.
struct catdb {
    sqlite3 *conn;                     // null while closed
    catdb_open_hook on_open_for_writing;
    catdb_close_hook on_close;
    catdb_state *state;                // owned; made by catdb_new
};

// One extent: start and length in the units of the file-system type.
struct catdb_extent {
    uint64_t start;
    uint64_t length;
};

// --- lifecycle ----------------------------------------------------------------

// Clears the handle and makes its state for the owning record (which may be
// null in tests): mode 0, recursion limit 100, id_root 1. -12 for a null
// handle, -10 when memory fails.
int catdb_new(catdb *db, fs_record *record);
// Closes (stopping the selection writer) and destroys the state. The hooks
// stay as they are; a handle without a state is left alone.
void catdb_free(catdb *db);

// The record's folder (cat.db and its cache files live in it) and id_root.
int catdb_set_folder(catdb *db, const char *folder);
int catdb_set_id_root(catdb *db, int64_t id_root);
int64_t catdb_id_root(catdb *db); // -1 without a state
fs_record *catdb_record(catdb *db);
// The catalog's lock; null without a state. A record may hold it around a
// sequence of catalog calls (it is recursive).
std::recursive_mutex *catdb_mutex(catdb *db);
int catdb_mode(catdb *db); // CATDB_MODE_*; -12 without a state

// --- modes --------------------------------------------------------------------

// 0 at once when already in that mode; otherwise close, then open. A
// failure of that close (the commit of a writer) is returned instead of
// opening; the catalog is then closed and the next call opens it.
int catdb_ensure_reading(catdb *db);
int catdb_ensure_writing(catdb *db);
// The same for a mode given as a number; modes other than 1 and 2: -15.
int catdb_ensure_mode(catdb *db, int mode);

// out = folder + "/cat.db"; -12 (with "catdb_get_path_: Couldn't get db
// path") when there is no folder or out is too small.
int catdb_get_path_(catdb *db, char *out, size_t size);

// Opens read-only, checks the file is a catalog (SQLite, a "nodes" table,
// not a newer layout; a journal left by a writer that died is rolled back
// first, unless it names a super-journal or is no regular file: the catalog
// is then damaged, -34), then loads the caches (rebuilt when missing or
// damaged; the rebuild's result is the opening's), the selection (empty when
// missing or damaged) and starts the selection writer. Any failure closes
// the catalog again, logs a line naming the file, and returns -1 (missing),
// -34 (not a catalog), -25 (newer layout) or the rebuild's failure.
int catdb_open_for_reading_(catdb *db);
// Opens read-write (creating the file), deletes the two cache files, stores
// the layout version, runs the hook, begins the transaction and installs the
// progress handler. Any failure closes the catalog (mode 0) and returns it:
// -3 open failed (also for a journal beside it that may not be rolled back),
// -25 newer layout, the hook's result, -40 BEGIN failed.
int catdb_open_for_writing_(catdb *db);
// Runs the close hook, commits, stops the selection writer (after the writes
// already queued), frees the caches and closes the connection. Returns the
// first failure of the commit or of closing the connection (a missing
// transaction is not a failure); the catalog is closed in every case.
int catdb_close(catdb *db);

// BEGIN / END TRANSACTION through cached statements. begin sets the
// in-transaction flag only when it succeeded; end returns -12 without an
// open transaction (SQLite untouched) and clears the flag in every other case.
int catdb_begin_transaction_(catdb *db);
int catdb_end_transaction_(catdb *db);

// --- statements ---------------------------------------------------------------

// Runs SQL without values on the open connection; -12 when closed, -40 on
// failure. Statements carrying values use prepared statements instead.
// (The connection is also db->conn, for a type's own prepared statements.)
int catdb_exec(catdb *db, const char *sql);
// Finalizes a non-null statement and nulls the slot (errors logged only).
void catdb_finalize_statement(catdb *db, sqlite3_stmt **slot);
// First column of the first row of a one-number query on the open connection.
int catdb_get_int64_for_sql_(catdb *db, const char *sql, int64_t *out);
// Rows of "nodes" on whatever connection is open; -1 on failure or when
// the catalog is closed.
int64_t catdb_count_nodes(catdb *db);
// CREATE INDEX IF NOT EXISTS <column>_indx / DROP INDEX IF EXISTS, after
// ensuring writing. column: letters, digits and '_' only, up to 64 (-12).
int catdb_create_index(catdb *db, const char *column);
int catdb_drop_index(catdb *db, const char *column);
// Fills num_children of every folder. Creates the pid index first, so that
// a catalog of many folders is counted in one pass over the index.
int catdb_update_num_children(catdb *db);
// Turns fs_id / fs_pid into pid links for the rows that have no pid yet
// (writers that know a row's parent write it with the row); only folders are
// parents, a row whose fs_pid matches no folder keeps pid NULL, and the root
// (id_root) always has pid NULL. Makes the pid index; the fs_id index is
// rebuilt only when some row is left to link.
int catdb_link_parents(catdb *db);

// --- extents ------------------------------------------------------------------

int catdb_create_extents_table(catdb *db);
// Writes the list eight per row (rows 0, 1, ...) after ensuring writing. An
// empty list writes nothing. -40 on any failure (later rows still written
// after a failed step).
int catdb_add_extents(catdb *db, int64_t keynum, int fork, const catdb_extent *extents, size_t count);
// Appends the node's extents of that fork, in order, to out (not cleared).
// Runs on whatever connection is open; -12 when the catalog is closed.
int catdb_get_extents(catdb *db, int64_t keynum, int fork, std::vector<catdb_extent> *out);

// --- children and facts ---------------------------------------------------------

// num_children of one node (from SQL). Null out: -15; keynum below id_root:
// -12 without a query; the reserved root keynum means id_root; no row: -12.
int catdb_get_num_children(catdb *db, int64_t keynum, uint32_t *out);
// The children of a node from the children cache, in "nodes" row order (the
// reserved root keynum means id_root). Clears and refills the children-state
// histogram. Returns the count (>= 0; 0 with a log line for a node with no
// entry) or a negative status. out may be null; it is replaced, not appended.
int64_t catdb_get_children_keynums(catdb *db, int64_t keynum, std::vector<int64_t> *out);
// Calls each(context, db, record, child) for every child, in order; children
// whose callback fails are skipped. 0, or the negative status of the listing.
int catdb_node_children(catdb *db, int64_t keynum, catdb_child_fn each, void *context);

// Folder flag and size of a node from memory (after ensuring reading). A
// keynum outside the catalog reads as a file of size 0 (result -12).
int catdb_node_facts(catdb *db, int64_t keynum, int *is_folder, uint64_t *size);
// Counts from memory (after ensuring reading); any output may be null.
// items = the length of the per-keynum arrays (files + folders + 1, or more
// when ids leave gaps).
int catdb_get_counts(catdb *db, uint64_t *files, uint64_t *folders, uint64_t *total_size, uint64_t *items);
// The children-state histogram of the folder listed last: children with
// selection 0, 1 and 2.
int catdb_get_children_histogram(catdb *db, uint32_t out[3]);

// The progress handler installed on a connection open for writing: 4 when
// the engine's abort flag is set, else 0.
int catdb_progress_handler_(void *handle);
