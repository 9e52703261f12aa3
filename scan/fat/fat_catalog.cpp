// The FAT catalog: the "nodes" table of a type-4 file system, its row
// insert, the node-information query and the extents of a node.
//
// Columns of "nodes", in order (made with the create-table builder; defaults
// of 0 write no DEFAULT clause, an empty text default none either):
//
//   name TEXT            long name in UTF-8, else the short name
//   id INTEGER PRIMARY KEY   the keynum (the root row is 1)
//   pid                  parent keynum: written with the row when the walk
//                        knows its folder's row, else set by catdb_link_parents
//   fs_id, fs_pid        walk << 32 | first cluster + 1 (see fat_scan.h)
//   is_dir               1 folder, 0 file
//   num_children         DEFAULT -1; folders 0 until counted, files NULL
//   size                 files: bytes; folders NULL
//   date_created, date_modified   seconds since 1970; NULL when unknown
//   hidden, deleted      0 / 1
//   num_exts             extents of the data (may exceed 8)
//   ext0_start, ext0_len .. ext7_start, ext7_len   the first eight extents,
//                        byte positions on the medium; unused pairs NULL
//
// Implementation notes
// - The insert and the node query are prepared once per connection and kept
//   in the record's FAT state; the catalog's close hook finalizes them, so a
//   statement never outlives the connection it was prepared on.
// - Every function here holds the catalog's lock for its statement sequence
//   (prepare, bind, step, reset), so another thread's catalog call cannot
//   switch the connection in between.
#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "foundation/log.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/node_row.h"
#include "scan/catalog/selection.h"
#include "scan/catalog/sql_build.h"
#include "scan/scan_context.h"
#include "scan/fat/fat_scan.h"

namespace {

const char *const kExtentColumns[2 * FAT_ROW_EXTENTS] = {
    "ext0_start", "ext0_len", "ext1_start", "ext1_len", "ext2_start", "ext2_len", "ext3_start", "ext3_len",
    "ext4_start", "ext4_len", "ext5_start", "ext5_len", "ext6_start", "ext6_len", "ext7_start", "ext7_len"};

std::string nodes_create_sql()
{
    sqlcreate create;
    sqlcreate_set_table(&create, "nodes", 1);
    sqlcreate_add_text(&create, "name", "");
    sqlcreate_add_integer(&create, "id", 0, 1);
    for (const char *column : {"pid", "fs_id", "fs_pid", "is_dir"})
        sqlcreate_add_integer(&create, column, 0, 0);
    sqlcreate_add_integer(&create, "num_children", -1, 0);
    for (const char *column :
         {"size", "date_created", "date_modified", "hidden", "deleted", "num_exts"})
        sqlcreate_add_integer(&create, column, 0, 0);
    for (const char *column : kExtentColumns)
        sqlcreate_add_integer(&create, column, 0, 0);
    return sqlcreate_build(&create).str();
}

std::string node_insert_sql()
{
    sqlinsert insert;
    sqlinsert_set_table(&insert, "nodes");
    for (const char *column : {"name", "fs_id", "fs_pid", "is_dir", "num_children", "size", "date_created",
                               "date_modified", "hidden", "deleted", "num_exts"})
        sqlinsert_add_column(&insert, column);
    for (const char *column : kExtentColumns)
        sqlinsert_add_column(&insert, column);
    sqlinsert_add_column(&insert, "pid"); // last: the positions above stay those of the row's layout
    return sqlinsert_build(&insert).str();
}

std::string node_select_sql()
{
    sqlselect select = sqlselect_new();
    sqlselect_set_table(&select, "nodes");
    for (const char *column : {"name", "pid", "is_dir", "num_children", "size", "date_created", "date_modified",
                               "hidden", "deleted", "num_exts"})
        sqlselect_add_column(&select, column);
    for (const char *column : kExtentColumns)
        sqlselect_add_column(&select, column);
    sqlselect_set_where(&select, "id = ?");
    return sqlselect_build(&select).str();
}

// Where the insert binds "pid": after name .. num_exts (11) and the 16
// extent columns.
constexpr int kPidPosition = 12 + 2 * FAT_ROW_EXTENTS;

bool bind_int64_or_null(sqlite3_stmt *stmt, int position, int64_t value, bool present)
{
    return (present ? sqlite3_bind_int64(stmt, position, value) : sqlite3_bind_null(stmt, position)) == SQLITE_OK;
}

} // namespace

int fat_create_tables(catdb *db, fs_record *)
{
    const int rc = catdb_exec(db, nodes_create_sql().c_str());
    if (rc != 0)
        return rc;
    return catdb_create_extents_table(db);
}

void fat_finalize_statements(catdb *db, fs_record *fs)
{
    fat_state *state = fat_state_of(fs);
    if (state == nullptr)
        return;
    catdb_finalize_statement(db, &state->insert_node);
    catdb_finalize_statement(db, &state->select_node);
}

int fatdb_write_node(fs_record *fs, const std::string &name, int64_t fs_id, int64_t fs_pid, int is_dir,
                     uint32_t size, int64_t date_created, int64_t date_modified, int hidden, int deleted,
                     const std::vector<ZV::Fat::Extent> *extents, int64_t volume_start, int64_t pid, int64_t *id_out)
{
    static const char *const fn = "fatdb_write_node";
    fat_state *state = fat_state_of(fs);
    if (state == nullptr)
        return -40;
    catdb *db = &fs->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    if (db->conn == nullptr || catdb_mode(db) != CATDB_MODE_WRITE) {
        log_error("%s: the catalog is not open for writing", fn);
        return -40;
    }
    if (state->insert_node == nullptr) {
        if (catdb_prepare_once_(db, &state->insert_node, node_insert_sql().c_str(), fn, __LINE__) != 0)
            return -40;
        state->insert_extents_bound = 0;
    }
    sqlite3_stmt *stmt = state->insert_node;
    const size_t count = extents != nullptr ? extents->size() : 0;
    // Every value is bound for every row, so no clear_bindings: only the
    // extent pairs the previous row filled and this one does not are set
    // back to NULL. The name is bound without a copy; it outlives the step.
    bool ok = sqlite3_bind_text(stmt, 1, name.c_str(), (int)name.size(), SQLITE_STATIC) == SQLITE_OK &&
              sqlite3_bind_int64(stmt, 2, fs_id) == SQLITE_OK && sqlite3_bind_int64(stmt, 3, fs_pid) == SQLITE_OK &&
              sqlite3_bind_int(stmt, 4, is_dir ? 1 : 0) == SQLITE_OK &&
              bind_int64_or_null(stmt, 5, 0, is_dir != 0) && bind_int64_or_null(stmt, 6, size, is_dir == 0) &&
              bind_int64_or_null(stmt, 7, date_created, date_created > 0) &&
              bind_int64_or_null(stmt, 8, date_modified, date_modified > 0) &&
              sqlite3_bind_int(stmt, 9, hidden ? 1 : 0) == SQLITE_OK &&
              sqlite3_bind_int(stmt, 10, deleted ? 1 : 0) == SQLITE_OK &&
              sqlite3_bind_int64(stmt, 11, (int64_t)count) == SQLITE_OK &&
              bind_int64_or_null(stmt, kPidPosition, pid, pid > 0);
    std::vector<catdb_extent> more;
    for (size_t i = 0; ok && i < count; i++) {
        const ZV::Fat::Extent &e = (*extents)[i];
        const uint64_t start = e.start + (uint64_t)volume_start;
        if (i < (size_t)FAT_ROW_EXTENTS) {
            ok = sqlite3_bind_int64(stmt, 12 + 2 * (int)i, (int64_t)start) == SQLITE_OK &&
                 sqlite3_bind_int64(stmt, 13 + 2 * (int)i, (int64_t)e.length) == SQLITE_OK;
        } else {
            more.push_back(catdb_extent{start, e.length});
        }
    }
    const int in_row = (int)std::min<size_t>(count, FAT_ROW_EXTENTS);
    for (int i = in_row; ok && i < state->insert_extents_bound; i++)
        ok = sqlite3_bind_null(stmt, 12 + 2 * i) == SQLITE_OK && sqlite3_bind_null(stmt, 13 + 2 * i) == SQLITE_OK;
    int result = 0;
    if (!ok || sqlite3_step(stmt) != SQLITE_DONE) {
        catdb_log_sqlite_(db->conn, fn, __LINE__);
        result = -40;
    }
    const int64_t id = sqlite3_last_insert_rowid(db->conn);
    sqlite3_reset(stmt);
    if (ok) {
        state->insert_extents_bound = in_row;
    } else {
        sqlite3_clear_bindings(stmt); // some values may be left from an earlier row
        state->insert_extents_bound = 0;
    }
    if (result == 0 && id_out != nullptr)
        *id_out = id;
    if (result == 0 && !more.empty() && catdb_add_extents(db, id, 0, more.data(), more.size()) != 0) {
        log_error("%s: can't store %zu extents of node %lld", fn, more.size(), (long long)id);
        result = -40;
    }
    return result;
}

int fatdb_node_info(fs_record *fs, int64_t keynum, NodeInfo *out, int selection_only)
{
    fat_state *state = fat_state_of(fs);
    if (state == nullptr || out == nullptr)
        return -12;
    // Built once: the statement is prepared once per catalog, but asked for on every call.
    static const std::string sql = node_select_sql();
    return fs_catalog_node_info(fs, (uint64_t)keynum, out, selection_only, &state->select_node, sql.c_str(),
                                "fatdb_node_info", [](sqlite3_stmt *stmt, NodeInfo *out) {
                                    const bool folder = sqlite3_column_int(stmt, 2) == 1;
                                    if (folder) {
                                        out->flags |= NODE_FOLDER;
                                        out->child_count =
                                            (uint64_t)std::max<int64_t>(0, sqlite3_column_int64(stmt, 3));
                                    } else {
                                        out->data_size = (uint64_t)std::max<int64_t>(0, sqlite3_column_int64(stmt, 4));
                                    }
                                    out->date_created = sqlite3_column_int64(stmt, 5);
                                    out->date_modified = sqlite3_column_int64(stmt, 6);
                                    if (sqlite3_column_int(stmt, 7) != 0)
                                        out->flags |= NODE_HIDDEN;
                                    if (sqlite3_column_int(stmt, 8) != 0)
                                        out->flags |= NODE_DELETED;
                                    const int64_t exts = sqlite3_column_int64(stmt, 9);
                                    out->num_extents =
                                        (uint32_t)std::min<int64_t>(std::max<int64_t>(0, exts), UINT32_MAX);
                                    for (int i = 0; i < FAT_ROW_EXTENTS && (uint32_t)i < out->num_extents; i++) {
                                        out->extents[i].start = (uint64_t)sqlite3_column_int64(stmt, 10 + 2 * i);
                                        out->extents[i].length = (uint64_t)sqlite3_column_int64(stmt, 11 + 2 * i);
                                    }
                                    if (!folder && out->num_extents > 0) {
                                        out->start = out->extents[0].start;
                                        out->has_data = 1;
                                    }
                                });
}

int fat_node_extents(fs_record *fs, uint64_t keynum, int fork, std::vector<fs_extent> *out)
{
    if (fork != 0 || out == nullptr || fat_state_of(fs) == nullptr)
        return -1;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&fs->cat));
    NodeInfo info;
    if (fatdb_node_info(fs, (int64_t)keynum, &info, 0) != 0 || info.num_extents == 0)
        return -1;
    const uint32_t in_row = std::min<uint32_t>(info.num_extents, FAT_ROW_EXTENTS);
    for (uint32_t i = 0; i < in_row; i++)
        out->push_back(info.extents[i]);
    if (info.num_extents > (uint32_t)FAT_ROW_EXTENTS) {
        std::vector<catdb_extent> more;
        if (catdb_get_extents(&fs->cat, (int64_t)info.keynum, 0, &more) != 0)
            return -1;
        for (const catdb_extent &e : more)
            out->push_back(fs_extent{e.start, e.length});
    }
    return 0;
}
