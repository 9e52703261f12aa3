// Catalog statements and queries: plain statements, counts, indexes, the
// child-count and parent-link updates, the "extents" table, child lists and
// the facts kept in memory.
//
// Every statement that carries a value binds it; the only texts built here
// are index statements from a column name, which must be an identifier.
#include <string.h>

#include <string>
#include <vector>

#include <sqlite3.h>

#include "foundation/log.h"
#include "scan/catalog/catdb.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/selection.h"
#include "scan/catalog/sql_build.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// Index names are made from the column: letters, digits and '_' only.
constexpr size_t CATDB_MAX_COLUMN_NAME = 64;

bool is_column_name(const char *column)
{
    if (column == nullptr || column[0] == '\0' || strlen(column) > CATDB_MAX_COLUMN_NAME)
        return false;
    return sql_is_identifier(column);
}

// Creates or drops the index "<column>_indx" on nodes, switching to
// writing first; a bad column name is logged with the caller's name.
int change_index(catdb *db, const char *column, bool create, const char *caller)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    if (!is_column_name(column)) {
        log_error("%s: Invalid column name", caller);
        return -12;
    }
    Guard hold(db->state->lock);
    int rc = catdb_ensure_writing(db);
    if (rc != 0)
        return rc;
    char sql[200];
    if (create)
        snprintf(sql, sizeof sql, "CREATE INDEX IF NOT EXISTS %s_indx on nodes (%s);", column, column);
    else
        snprintf(sql, sizeof sql, "DROP INDEX IF EXISTS %s_indx;", column);
    return catdb_exec(db, sql);
}

constexpr int EXTENTS_PER_ROW = 8;

// The extent columns of an "extents" row in table order: start_0, len_0,
// start_1, len_1, ... (after id, num and which).
std::vector<std::string> extent_columns()
{
    std::vector<std::string> names;
    char name[16];
    for (int k = 0; k < EXTENTS_PER_ROW; ++k) {
        snprintf(name, sizeof name, "start_%d", k);
        names.push_back(name);
        snprintf(name, sizeof name, "len_%d", k);
        names.push_back(name);
    }
    return names;
}

std::string extents_create_sql()
{
    sqlcreate builder;
    sqlcreate_set_table(&builder, "extents", 1);
    sqlcreate_add_integer(&builder, "id", 0, 0);
    sqlcreate_add_integer(&builder, "num", 0, 0);
    sqlcreate_add_integer(&builder, "which", 0, 0);
    for (const std::string &name : extent_columns())
        sqlcreate_add_integer(&builder, name, 0, 0);
    return sqlcreate_build(&builder).str();
}

std::string extents_insert_sql()
{
    sqlinsert builder;
    sqlinsert_set_table(&builder, "extents");
    sqlinsert_add_column(&builder, "id");
    sqlinsert_add_column(&builder, "num");
    sqlinsert_add_column(&builder, "which");
    for (const std::string &name : extent_columns())
        sqlinsert_add_column(&builder, name);
    return sqlinsert_build(&builder).str();
}

std::string extents_select_sql()
{
    sqlselect builder = sqlselect_new();
    for (const std::string &name : extent_columns())
        sqlselect_add_column(&builder, name);
    sqlselect_set_table(&builder, "extents");
    char where[64];
    snprintf(where, sizeof where, "%s = ? AND %s = ?", "id", "which");
    sqlselect_set_where(&builder, where);
    sqlselect_set_order(&builder, "num", SQLORDER_ASC);
    return sqlselect_build(&builder).str();
}

// The children of keynum from the cache (the lock held, open for reading):
// the list, or null when the keynum has no entry.
const keylist *children_of(catdb_state *state, int64_t keynum)
{
    hash_entry *entry = hash_find(state->children, keynum, 0);
    return entry != nullptr && entry->list.count > 0 ? &entry->list : nullptr;
}

} // namespace

// --- plain statements ----------------------------------------------------------------

int catdb_exec(catdb *db, const char *sql)
{
    if (db == nullptr || db->state == nullptr || sql == nullptr)
        return -12;
    Guard hold(db->state->lock);
    if (db->conn == nullptr)
        return -12;
    if (sqlite3_exec(db->conn, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        return -40;
    }
    return 0;
}

void catdb_finalize_statement(catdb *db, sqlite3_stmt **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return;
    if (sqlite3_finalize(*slot) != SQLITE_OK && db != nullptr)
        CATDB_LOG_SQLITE(db->conn);
    *slot = nullptr;
}

int catdb_prepare_once_(catdb *db, sqlite3_stmt **slot, const char *sql, const char *function, int line)
{
    if (*slot != nullptr)
        return 0;
    if (sqlite3_prepare_v2(db->conn, sql, -1, slot, nullptr) != SQLITE_OK) {
        catdb_log_sqlite_(db->conn, function, line);
        *slot = nullptr;
        return -40;
    }
    return 0;
}

int catdb_get_int64_for_sql_(catdb *db, const char *sql, int64_t *out)
{
    if (db == nullptr || db->state == nullptr || sql == nullptr || out == nullptr)
        return -12;
    Guard hold(db->state->lock);
    if (db->conn == nullptr)
        return -12;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db->conn, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        return -40;
    }
    int result = 0;
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        *out = sqlite3_column_int64(stmt, 0);
    } else {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    if (sqlite3_finalize(stmt) != SQLITE_OK && result == 0)
        CATDB_LOG_SQLITE(db->conn);
    return result;
}

int64_t catdb_count_nodes(catdb *db)
{
    int64_t count = 0;
    if (catdb_get_int64_for_sql_(db, "SELECT COUNT(*) FROM nodes;", &count) != 0)
        return -1;
    return count;
}

// --- indexes and whole-table updates ----------------------------------------------------

int catdb_create_index(catdb *db, const char *column)
{
    return change_index(db, column, true, "catdb_create_index");
}

int catdb_drop_index(catdb *db, const char *column)
{
    return change_index(db, column, false, "catdb_drop_index");
}

int catdb_update_num_children(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    Guard hold(db->state->lock);
    int rc = catdb_ensure_writing(db);
    if (rc != 0)
        return rc;
    // Without an index on pid the correlated count scans the whole table once
    // per folder.
    rc = catdb_create_index(db, "pid");
    if (rc != 0)
        return rc;
    return catdb_exec(db, "UPDATE nodes SET num_children = (SELECT COUNT(*) FROM nodes AS parent WHERE "
                          "parent.pid = nodes.id) WHERE id IN (SELECT DISTINCT pid FROM nodes) AND (is_dir == 1);");
}

int catdb_link_parents(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    // Writers link most rows as they insert them: only the rows still
    // without a parent are looked at, found through the pid index (which
    // the child count needs next anyway).
    int rc = catdb_ensure_writing(db);
    if (rc == 0)
        rc = catdb_create_index(db, "pid");
    if (rc != 0)
        return rc;
    sqlite3_stmt *stmt = nullptr;
    int result = 0;
    // The root keeps pid NULL.
    if (sqlite3_prepare_v2(db->conn, "UPDATE nodes SET pid = NULL WHERE id = ? AND pid IS NOT NULL;", -1, &stmt,
                           nullptr) != SQLITE_OK ||
        sqlite3_bind_int64(stmt, 1, state->id_root) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    sqlite3_finalize(stmt);
    stmt = nullptr;
    int64_t unlinked = 0;
    if (result == 0) {
        const std::string sql = "SELECT EXISTS (SELECT 1 FROM nodes WHERE pid IS NULL AND id <> " +
                                std::to_string(state->id_root) + ");";
        result = catdb_get_int64_for_sql_(db, sql.c_str(), &unlinked);
    }
    if (result != 0 || unlinked == 0)
        return result;
    rc = catdb_drop_index(db, "fs_id");
    if (rc == 0)
        rc = catdb_create_index(db, "fs_id");
    if (rc != 0)
        return rc;
    // Only folders are parents: an empty file's fs_id (1) must not adopt the
    // rows whose fs_pid is 1.
    const char *sql = "UPDATE nodes SET pid = (SELECT parent.id FROM nodes AS parent WHERE parent.fs_id = "
                      "nodes.fs_pid AND parent.is_dir = 1 AND parent.id <> nodes.id) WHERE pid IS NULL AND id <> ?;";
    if (sqlite3_prepare_v2(db->conn, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        return -40;
    }
    if (sqlite3_bind_int64(stmt, 1, state->id_root) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    sqlite3_finalize(stmt);
    return result;
}

// --- extents ----------------------------------------------------------------------------

int catdb_create_extents_table(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    Guard hold(db->state->lock);
    std::string sql = extents_create_sql();
    return catdb_exec(db, sql.c_str());
}

int catdb_add_extents(catdb *db, int64_t keynum, int fork, const catdb_extent *extents, size_t count)
{
    if (db == nullptr || db->state == nullptr || (extents == nullptr && count > 0))
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    int rc = catdb_ensure_writing(db);
    if (rc != 0)
        return rc;
    if (count == 0)
        return 0;
    if (state->extents_insert_stmt == nullptr &&
        CATDB_PREPARE_ONCE(db, &state->extents_insert_stmt, extents_insert_sql().c_str()) != 0)
        return -40;
    sqlite3_stmt *stmt = state->extents_insert_stmt;
    int result = 0;
    size_t rows = (count + EXTENTS_PER_ROW - 1) / EXTENTS_PER_ROW;
    for (size_t r = 0; r < rows; ++r) {
        if (sqlite3_bind_int64(stmt, 1, keynum) != SQLITE_OK || sqlite3_bind_int64(stmt, 2, (int64_t)r) != SQLITE_OK ||
            sqlite3_bind_int(stmt, 3, fork) != SQLITE_OK) {
            CATDB_LOG_SQLITE(db->conn);
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            return -40;
        }
        for (int k = 0; k < EXTENTS_PER_ROW && r * EXTENTS_PER_ROW + k < count; ++k) {
            const catdb_extent &extent = extents[r * EXTENTS_PER_ROW + k];
            if (sqlite3_bind_int64(stmt, 4 + 2 * k, (int64_t)extent.start) != SQLITE_OK ||
                sqlite3_bind_int64(stmt, 5 + 2 * k, (int64_t)extent.length) != SQLITE_OK) {
                CATDB_LOG_SQLITE(db->conn);
                sqlite3_reset(stmt);
                sqlite3_clear_bindings(stmt);
                return -40;
            }
        }
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            CATDB_LOG_SQLITE(db->conn);
            result = -40;
        }
        // reset repeats a failed step's code; only a reset after a good step
        // that fails is its own failure.
        int reset = sqlite3_reset(stmt);
        if (sqlite3_clear_bindings(stmt) != SQLITE_OK || (reset != SQLITE_OK && result == 0)) {
            CATDB_LOG_SQLITE(db->conn);
            return -40;
        }
    }
    return result;
}

int catdb_get_extents(catdb *db, int64_t keynum, int fork, std::vector<catdb_extent> *out)
{
    if (db == nullptr || db->state == nullptr || out == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    if (db->conn == nullptr)
        return -12;
    if (state->extents_select_stmt == nullptr &&
        CATDB_PREPARE_ONCE(db, &state->extents_select_stmt, extents_select_sql().c_str()) != 0)
        return -40;
    sqlite3_stmt *stmt = state->extents_select_stmt;
    if (sqlite3_bind_int64(stmt, 1, keynum) != SQLITE_OK || sqlite3_bind_int(stmt, 2, fork) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        sqlite3_reset(stmt);
        return -40;
    }
    int result = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        for (int k = 0; k < EXTENTS_PER_ROW; ++k) {
            if (sqlite3_column_type(stmt, 2 * k) == SQLITE_NULL)
                break;
            out->push_back(catdb_extent{(uint64_t)sqlite3_column_int64(stmt, 2 * k),
                                        (uint64_t)sqlite3_column_int64(stmt, 2 * k + 1)});
        }
    }
    if (rc != SQLITE_DONE) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    if (sqlite3_reset(stmt) != SQLITE_OK && result == 0) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    return result;
}

// --- children ------------------------------------------------------------------------------

int catdb_get_num_children(catdb *db, int64_t keynum, uint32_t *out)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    if (out == nullptr)
        return -15;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    keynum = catdb_map_root_(state, keynum);
    if (keynum < state->id_root)
        return -12;
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    if (CATDB_PREPARE_ONCE(db, &state->num_children_stmt, "SELECT num_children FROM nodes WHERE id = ? LIMIT 1;") != 0)
        return -40;
    sqlite3_stmt *stmt = state->num_children_stmt;
    if (sqlite3_bind_int64(stmt, 1, keynum) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        return -40;
    }
    int result = 0;
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        int64_t n = sqlite3_column_int64(stmt, 0);
        *out = n < 0 ? 0 : n > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)n;
    } else if (rc == SQLITE_DONE) {
        log_error("%s: kn %llx not found", "catdb_get_num_children", (unsigned long long)keynum);
        result = -12;
    } else {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    int reset = sqlite3_reset(stmt);
    if (reset != SQLITE_OK && result == 0) {
        CATDB_LOG_SQLITE(db->conn);
        result = -40;
    }
    return result;
}

int64_t catdb_get_children_keynums(catdb *db, int64_t keynum, std::vector<int64_t> *out)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    state->histogram[0] = state->histogram[1] = state->histogram[2] = 0;
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    keynum = catdb_map_root_(state, keynum);
    const keylist *list = children_of(state, keynum);
    if (out != nullptr)
        out->clear();
    if (list == nullptr) {
        log_warning("%s: Can't get children for keynum %llx", "catdb_get_children_keynums",
                    (unsigned long long)keynum);
        return 0;
    }
    if (out != nullptr)
        out->assign(list->keys, list->keys + list->count);
    {
        std::lock_guard<std::mutex> sel(state->sel_lock);
        for (uint32_t i = 0; i < list->count; ++i) {
            uint32_t value;
            if (tribool_get(&state->selection, (uint64_t)list->keys[i], &value) == 0 && value <= 2)
                ++state->histogram[value];
        }
    }
    return list->count;
}

int catdb_node_children(catdb *db, int64_t keynum, catdb_child_fn each, void *context)
{
    if (db == nullptr || db->state == nullptr || each == nullptr)
        return -12;
    Guard hold(db->state->lock);
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    std::vector<int64_t> children;
    int64_t n = catdb_get_children_keynums(db, keynum, &children);
    if (n < 0)
        return (int)n;
    for (int64_t child : children)
        each(context, db, db->state->record, child); // a failing child is skipped
    return 0;
}

// --- facts from memory ------------------------------------------------------------------------

int catdb_node_facts(catdb *db, int64_t keynum, int *is_folder, uint64_t *size)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    if (is_folder != nullptr)
        *is_folder = 0;
    if (size != nullptr)
        *size = 0;
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    keynum = catdb_map_root_(state, keynum);
    if (keynum < 0 || (uint64_t)keynum >= state->item_count)
        return -12;
    int bit = 0;
    bitarray_get(&state->folders, (uint64_t)keynum, &bit);
    if (is_folder != nullptr)
        *is_folder = bit;
    if (size != nullptr) {
        uint64_t value = 0;
        if ((uint64_t)keynum < state->sizes.count)
            u64array_get(&state->sizes, (uint64_t)keynum, &value);
        *size = value;
    }
    return 0;
}

int catdb_get_counts(catdb *db, uint64_t *files, uint64_t *folders, uint64_t *total_size, uint64_t *items)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    if (files != nullptr)
        *files = state->file_count;
    if (folders != nullptr)
        *folders = state->folder_count;
    if (total_size != nullptr)
        *total_size = state->total_size;
    if (items != nullptr)
        *items = state->item_count;
    return 0;
}

int catdb_get_children_histogram(catdb *db, uint32_t out[3])
{
    if (db == nullptr || db->state == nullptr || out == nullptr)
        return -12;
    Guard hold(db->state->lock);
    memcpy(out, db->state->histogram, sizeof db->state->histogram);
    return 0;
}
