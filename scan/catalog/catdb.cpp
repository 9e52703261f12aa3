// Catalog handle: lifecycle, modes, opening, closing and transactions.
//
// The layout of "cat.db" and the rules of the catalog are described in
// catdb.h; the statements and queries are in catdb_query.cpp, the caches in
// children_cache.cpp and the selection in selection*.cpp.
//
// Implementation notes:
// - Opening for reading first proves the file is a catalog: SQLite opens
//   any file lazily (an empty file is an empty database, and a foreign file
//   fails only at its first statement), so the opening asks for the layout
//   version and for the "nodes" table before it loads anything. A failed
//   opening always ends closed, so the next ensure_reading tries again
//   instead of finding a half-open catalog.
// - A writer that died inside its transaction leaves a hot journal that a
//   read-only connection may not roll back (SQLITE_READONLY_ROLLBACK); the
//   opening for reading then lets one read-write connection roll it back
//   and tries once more, so the last commit is read, not refused.
// - Only read-write connections roll a journal back (the rollback above and
//   every opening for writing), and each is preceded by a look at the
//   journal: one that names a super-journal is refused, since SQLite would
//   delete the file it names after the rollback, and our catalogs, each one
//   database, never write one. The catalog then counts as damaged.
// - Opening for writing deletes the cache files before anything is written:
//   the caches describe the rows as they were, and rows added by this
//   writer must not be hidden by them.
// - The connection is opened without SQLite's own mutex: every use of it
//   (here, in catdb_query.cpp, the caches and the file-system types' own
//   statements) holds the catalog's lock, so SQLite's lock would only be
//   taken and dropped again around each bind and step of a walk's inserts.
// - A failure of the hook or of BEGIN closes the catalog again. Left open
//   without its transaction, every later insert would commit on its own and
//   the abort flag could not stop it.
#include "scan/catalog/catdb.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include <sqlite3.h>

#include "foundation/atomic_file.h"
#include "foundation/engine_status.h"
#include "foundation/log.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/children_cache.h"
#include "scan/catalog/selection.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// Reads PRAGMA user_version. 0 with *version set, or the SQLite code of the
// failure (SQLITE_NOTADB for a file that is not a database).
int read_layout_version(sqlite3 *conn, int *version)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(conn, "PRAGMA user_version;", -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            *version = sqlite3_column_int(stmt, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    return rc;
}

// Whether the database has a table called "nodes": 1 yes, 0 no, or a
// negative SQLite code.
int has_nodes_table(sqlite3 *conn)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(conn, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'nodes';",
                                -1, &stmt, nullptr);
    int result = -SQLITE_ERROR;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        result = rc == SQLITE_ROW ? (sqlite3_column_int(stmt, 0) > 0 ? 1 : 0) : -rc;
    } else {
        result = -rc;
    }
    sqlite3_finalize(stmt);
    return result;
}

// Rolls back the hot journal a writer that died mid-transaction left beside
// path: a read-only connection may not, so one read-write connection (never
// creating the file) reads the schema, which makes SQLite restore the last
// commit. 0, or -34 when that fails.
int roll_back_hot_journal(const std::string &path)
{
    sqlite3 *conn = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(conn, "SELECT COUNT(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        log_error("catdb_open_for_reading_: Can't roll back the journal of %s: %s (%d)", path.c_str(),
                  conn != nullptr ? sqlite3_errmsg(conn) : "no connection", rc);
    sqlite3_close(conn);
    return rc == SQLITE_OK ? 0 : -34;
}

// The last 8 bytes of a rollback journal whose transaction spanned several
// databases: SQLite writes the super-journal record (the super-journal's
// name, its length and a checksum as big-endian u32, then these bytes) at
// the journal's end, and after rolling such a journal back it deletes the
// file the record names, wherever that is.
constexpr uint8_t kSuperJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};

} // namespace

int catdb_check_journal_(const std::string &path, const char *caller)
{
    // SQLite follows a link at the catalog's own name and rolls back the
    // journal beside its target: a catalog is a plain file in its folder.
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        log_error("%s: %s is not a regular file; the catalog is treated as damaged", caller, path.c_str());
        return -34;
    }
    const std::string journal = path + "-journal";
    if (lstat(journal.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return 0;
        log_error("%s: Can't look at %s: %s", caller, journal.c_str(), strerror(errno));
        return -34;
    }
    // A catalog's own journal is a plain file beside it: a link, a folder or
    // a FIFO at that name was put there by someone else.
    int fd = S_ISREG(info.st_mode) ? open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        log_error("%s: %s is not a regular file; the catalog is treated as damaged", caller, journal.c_str());
        if (fd >= 0)
            close(fd);
        return -34;
    }
    uint8_t tail[sizeof kSuperJournalMagic];
    bool names_super = false;
    if (info.st_size >= (off_t)sizeof tail) {
        ssize_t n = pread(fd, tail, sizeof tail, info.st_size - (off_t)sizeof tail);
        if (n != (ssize_t)sizeof tail) {
            log_error("%s: Can't read %s", caller, journal.c_str());
            close(fd);
            return -34;
        }
        names_super = memcmp(tail, kSuperJournalMagic, sizeof tail) == 0;
    }
    close(fd);
    if (names_super) {
        log_error("%s: %s names a super-journal; it is not rolled back and the catalog is treated as damaged",
                  caller, journal.c_str());
        return -34;
    }
    return 0;
}

namespace {

// Closes a connection that may still have statements (a type that forgot to
// finalize its own): logs, finalizes them and closes again. 0 or -40.
int close_connection(sqlite3 *conn)
{
    if (conn == nullptr)
        return 0;
    int rc = sqlite3_close(conn);
    if (rc == SQLITE_OK)
        return 0;
    CATDB_LOG_SQLITE(conn);
    sqlite3_stmt *stmt;
    while ((stmt = sqlite3_next_stmt(conn, nullptr)) != nullptr)
        sqlite3_finalize(stmt);
    rc = sqlite3_close(conn);
    if (rc != SQLITE_OK) {
        // Nothing else holds it; let SQLite free it when it can.
        sqlite3_close_v2(conn);
    }
    return -40;
}

// Deletes a cache file; a file that is not there is fine.
int remove_cache_file(const catdb_state *state, const char *name)
{
    std::string path = catdb_file_path_(state, name);
    std::string tmp = path + ".tmp";
    unlink(tmp.c_str());
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        log_error("catdb_open_for_writing_: Can't delete %s: %s", path.c_str(), strerror(errno));
        return -3;
    }
    return 0;
}

// Tears a catalog down to mode 0 (the caller holds the lock). Returns the
// first failure of the commit or of closing the connection.
int close_locked(catdb *db)
{
    catdb_state *state = db->state;
    int result = 0;
    if (state->mode != CATDB_MODE_CLOSED && db->on_close != nullptr)
        db->on_close(db, state->record);
    if (db->conn != nullptr) {
        int rc = catdb_end_transaction_(db);
        if (rc != 0 && rc != -12)
            result = rc;
    }
    catdb_stop_selection_writer_(db);
    catdb_free_facts_(state);
    {
        std::lock_guard<std::mutex> hold(state->sel_lock);
        state->selection = tribool_array();
    }
    catdb_finalize_statement(db, &state->begin_stmt);
    catdb_finalize_statement(db, &state->end_stmt);
    catdb_finalize_statement(db, &state->num_children_stmt);
    catdb_finalize_statement(db, &state->extents_insert_stmt);
    catdb_finalize_statement(db, &state->extents_select_stmt);
    state->in_transaction = 0;
    if (db->conn != nullptr) {
        sqlite3_progress_handler(db->conn, 0, nullptr, nullptr);
        int rc = close_connection(db->conn);
        if (rc != 0 && result == 0)
            result = rc;
    }
    db->conn = nullptr;
    state->mode = CATDB_MODE_CLOSED;
    return result;
}

// The start of both openings (the caller holds the lock): closes whatever
// is open and gives the path of "cat.db". 0, or fail_code (logged with the
// caller's name) when the catalog has no folder.
int start_opening(catdb *db, const char *caller, int fail_code, std::string *path)
{
    if (db->state->mode != CATDB_MODE_CLOSED || db->conn != nullptr)
        close_locked(db);
    *path = catdb_file_path_(db->state, "cat.db");
    if (path->empty()) {
        log_error("%s: Couldn't get db path", caller);
        return fail_code;
    }
    return 0;
}

// Refuses a catalog of a newer layout than this code knows: closes it and
// gives -25 (logged with the caller's name); 0 for a layout it knows.
int refuse_newer_layout(catdb *db, int version, const std::string &path, const char *caller)
{
    if (version <= CATDB_LAYOUT_VERSION)
        return 0;
    log_error("%s: %s has catalog layout %d, newer than %d", caller, path.c_str(), version, CATDB_LAYOUT_VERSION);
    close_locked(db);
    return -25;
}

} // namespace

// --- shared helpers --------------------------------------------------------------

void catdb_log_sqlite_(sqlite3 *conn, const char *function, int line)
{
    if (conn == nullptr) {
        log_error("%s[%d]: %s (%d)", function, line, "no connection", 0);
        return;
    }
    log_error("%s[%d]: %s (%d)", function, line, sqlite3_errmsg(conn), sqlite3_errcode(conn));
}

std::string catdb_file_path_(const catdb_state *state, const char *name)
{
    if (state == nullptr || state->folder.empty())
        return std::string();
    std::string path = state->folder;
    if (path.back() != '/')
        path += '/';
    return path + name;
}

int catdb_write_file_atomic_(const std::string &path, const void *data, size_t size, const char *caller)
{
    if (path.empty())
        return -3;
    // Through "<name>.tmp", made exclusively and never through a link; a
    // FIFO or device standing at that name is refused, and the name is
    // never opened again once made.
    if (atomic_file_replace(path.c_str(), data, size, 0644) != 0) {
        const int failure = errno;
        log_error("%s: Can't replace %s: %s", caller, path.c_str(), strerror(failure));
        errno = failure;
        return -3;
    }
    return 0;
}

int64_t catdb_map_root_(const catdb_state *state, int64_t keynum)
{
    return keynum == CATDB_KEYNUM_ROOT ? state->id_root : keynum;
}

// --- lifecycle -----------------------------------------------------------------------

int catdb_new(catdb *db, fs_record *record)
{
    if (db == nullptr)
        return -12;
    db->conn = nullptr;
    db->on_open_for_writing = nullptr;
    db->on_close = nullptr;
    db->state = new (std::nothrow) catdb_state();
    if (db->state == nullptr)
        return -10;
    db->state->record = record;
    return 0;
}

void catdb_free(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return;
    {
        Guard hold(db->state->lock);
        close_locked(db);
    }
    delete db->state;
    db->state = nullptr;
}

int catdb_set_folder(catdb *db, const char *folder)
{
    if (db == nullptr || db->state == nullptr || folder == nullptr)
        return -12;
    Guard hold(db->state->lock);
    db->state->folder = folder;
    return 0;
}

int catdb_set_id_root(catdb *db, int64_t id_root)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    Guard hold(db->state->lock);
    db->state->id_root = id_root;
    return 0;
}

int64_t catdb_id_root(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -1;
    Guard hold(db->state->lock);
    return db->state->id_root;
}

fs_record *catdb_record(catdb *db)
{
    return db != nullptr && db->state != nullptr ? db->state->record : nullptr;
}

std::recursive_mutex *catdb_mutex(catdb *db)
{
    return db != nullptr && db->state != nullptr ? &db->state->lock : nullptr;
}

int catdb_mode(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    Guard hold(db->state->lock);
    return db->state->mode;
}

// --- modes -------------------------------------------------------------------------------

int catdb_ensure_mode(catdb *db, int mode)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    if (mode != CATDB_MODE_READ && mode != CATDB_MODE_WRITE)
        return -15;
    Guard hold(db->state->lock);
    if (db->state->mode == mode)
        return 0;
    // A failed commit of the writes so far must not be lost behind a
    // successful reopening.
    int rc = catdb_close(db);
    if (rc != 0)
        return rc;
    return mode == CATDB_MODE_READ ? catdb_open_for_reading_(db) : catdb_open_for_writing_(db);
}

int catdb_ensure_reading(catdb *db)
{
    return catdb_ensure_mode(db, CATDB_MODE_READ);
}

int catdb_ensure_writing(catdb *db)
{
    return catdb_ensure_mode(db, CATDB_MODE_WRITE);
}

int catdb_get_path_(catdb *db, char *out, size_t size)
{
    if (db == nullptr || db->state == nullptr || out == nullptr || size == 0)
        return -12;
    Guard hold(db->state->lock);
    std::string path = catdb_file_path_(db->state, "cat.db");
    if (path.empty() || path.size() >= size) {
        out[0] = '\0';
        log_error("%s: Couldn't get db path", "catdb_get_path_");
        return -12;
    }
    memcpy(out, path.c_str(), path.size() + 1);
    return 0;
}

// --- opening and closing -------------------------------------------------------------------

int catdb_open_for_reading_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    std::string path;
    if (start_opening(db, "catdb_open_for_reading_", -12, &path) != 0)
        return -12;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        log_error("catdb_open_for_reading_: No catalog %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    sqlite3 *conn = nullptr;
    int version = 0;
    int rc = SQLITE_OK;
    for (int attempt = 0;; ++attempt) {
        rc = sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            CATDB_LOG_SQLITE(conn);
            sqlite3_close(conn);
            return -34;
        }
        db->conn = conn;
        state->mode = CATDB_MODE_READ;
        // Keep the shared lock from the first read until the close: otherwise
        // every query takes and drops the file locks and looks for a hot
        // journal, which costs far more than the query itself. Every switch to
        // writing closes this connection first, so the catalog never blocks its
        // own writer.
        if (sqlite3_exec(conn, "PRAGMA locking_mode = EXCLUSIVE;", nullptr, nullptr, nullptr) != SQLITE_OK) {
            CATDB_LOG_SQLITE(conn);
            close_locked(db);
            return -34;
        }
        rc = read_layout_version(conn, &version);
        if (rc == SQLITE_OK || attempt > 0 || sqlite3_extended_errcode(conn) != SQLITE_READONLY_ROLLBACK)
            break;
        // A writer died inside its transaction: restore its last commit
        // rather than call the catalog foreign, then open it again.
        close_locked(db);
        if (catdb_check_journal_(path, "catdb_open_for_reading_") != 0)
            return -34;
        log_info("catdb_open_for_reading_: %s was left in the middle of a write; rolling it back", path.c_str());
        if (roll_back_hot_journal(path) != 0)
            return -34;
    }
    if (rc != SQLITE_OK) {
        log_error("catdb_open_for_reading_: %s is not a catalog database: %s (%d)", path.c_str(),
                  sqlite3_errmsg(conn), rc);
        close_locked(db);
        return -34;
    }
    rc = refuse_newer_layout(db, version, path, "catdb_open_for_reading_");
    if (rc != 0)
        return rc;
    int nodes = has_nodes_table(conn);
    if (nodes != 1) {
        if (nodes < 0)
            log_error("catdb_open_for_reading_: %s is not a catalog database: %s (%d)", path.c_str(),
                      sqlite3_errmsg(conn), -nodes);
        else
            log_error("catdb_open_for_reading_: %s has no nodes table", path.c_str());
        close_locked(db);
        return -34;
    }

    rc = catdb_read_cache_(db);
    if (rc != 0) {
        log_info("catdb_open_for_reading_: rebuilding the caches of %s (%d)", path.c_str(), rc);
        rc = catdb_regenerate_cache_(db);
        if (rc != 0) {
            log_error("catdb_open_for_reading_: Can't rebuild the caches of %s (%d)", path.c_str(), rc);
            close_locked(db);
            return rc;
        }
    }
    // A missing or damaged selection is an empty one (read_selection clears
    // it); it never fails the opening.
    catdb_read_selection_(db, state->item_count);
    rc = catdb_start_selection_writer_(db);
    if (rc != 0) {
        close_locked(db);
        return rc;
    }
    return 0;
}

int catdb_open_for_writing_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    std::string path;
    if (start_opening(db, "catdb_open_for_writing_", -3, &path) != 0)
        return -3;
    // A read-write connection rolls a hot journal back at its first read.
    if (catdb_check_journal_(path, "catdb_open_for_writing_") != 0)
        return -3;
    sqlite3 *conn = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        CATDB_LOG_SQLITE(conn);
        sqlite3_close(conn);
        return -3;
    }
    db->conn = conn;
    state->mode = CATDB_MODE_WRITE;

    int version = 0;
    rc = read_layout_version(conn, &version);
    if (rc != SQLITE_OK) {
        log_error("catdb_open_for_writing_: %s is not a catalog database: %s (%d)", path.c_str(),
                  sqlite3_errmsg(conn), rc);
        close_locked(db);
        return -3;
    }
    rc = refuse_newer_layout(db, version, path, "catdb_open_for_writing_");
    if (rc != 0)
        return rc;
    if (version < CATDB_LAYOUT_VERSION) {
        char sql[64];
        snprintf(sql, sizeof sql, "PRAGMA user_version = %d;", CATDB_LAYOUT_VERSION);
        if (sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            CATDB_LOG_SQLITE(conn);
            close_locked(db);
            return -3;
        }
    }
    if (remove_cache_file(state, CATDB_CACHE_FILE) != 0 || remove_cache_file(state, CATDB_CHILDREN_FILE) != 0) {
        close_locked(db);
        return -3;
    }
    if (db->on_open_for_writing != nullptr) {
        rc = db->on_open_for_writing(db, state->record);
        if (rc != 0) {
            log_error("catdb_open_for_writing_: the tables of %s could not be made (%d)", path.c_str(), rc);
            close_locked(db);
            return rc;
        }
    }
    rc = catdb_begin_transaction_(db);
    if (rc != 0) {
        close_locked(db);
        return rc;
    }
    sqlite3_progress_handler(conn, 50, catdb_progress_handler_, db);
    return 0;
}

int catdb_close(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    Guard hold(db->state->lock);
    return close_locked(db);
}

// --- transactions ----------------------------------------------------------------------------

int catdb_begin_transaction_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    if (db->conn == nullptr)
        return -12;
    if (CATDB_PREPARE_ONCE(db, &state->begin_stmt, "BEGIN TRANSACTION;") != 0)
        return -40;
    int rc = sqlite3_step(state->begin_stmt);
    if (rc != SQLITE_DONE) {
        CATDB_LOG_SQLITE(db->conn);
        sqlite3_reset(state->begin_stmt); // repeats the step's error
        return -40;
    }
    if (sqlite3_reset(state->begin_stmt) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        return -40;
    }
    state->in_transaction = 1;
    return 0;
}

int catdb_end_transaction_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    if (!state->in_transaction || db->conn == nullptr)
        return -12;
    state->in_transaction = 0;
    if (CATDB_PREPARE_ONCE(db, &state->end_stmt, "END TRANSACTION;") != 0)
        return -40;
    int result = 0;
    if (sqlite3_step(state->end_stmt) != SQLITE_DONE) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    if (sqlite3_reset(state->end_stmt) != SQLITE_OK && result == 0) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    return result;
}

int catdb_progress_handler_(void * /*handle*/)
{
    return abort_requested() ? 4 : 0;
}
