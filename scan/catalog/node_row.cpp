// The shared part of the catalog types' node-information query (node_row.h).
#include "scan/catalog/node_row.h"

#include <sqlite3.h>

#include <mutex>
#include <string>

#include "foundation/log.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/fs_record.h"
#include "scan/catalog/selection.h"
#include "scan/scan_context.h"

int fs_catalog_node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int selection_only,
                         sqlite3_stmt **query, const char *sql, const char *fn,
                         const std::function<void(sqlite3_stmt *row, NodeInfo *out)> &fill)
{
    if (record == nullptr || out == nullptr || query == nullptr)
        return -12;
    catdb *db = &record->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    const int64_t id = keynum == KEYNUM_FS_ROOT ? record->id_root : (int64_t)(keynum & KEYNUM_MASK);
    if (selection_only) {
        uint32_t value = 0;
        const int rc = catdb_get_selection_(db, id, &value);
        out->flags = (out->flags & ~(uint32_t)NODE_SELECTION_MASK) | (value & NODE_SELECTION_MASK);
        return rc;
    }
    *out = NodeInfo();
    if (catdb_mode(db) != CATDB_MODE_WRITE) {
        const int rc = catdb_ensure_reading(db);
        if (rc != 0)
            return rc;
    }
    if (catdb_prepare_once_(db, query, sql, fn, __LINE__) != 0)
        return -40;
    sqlite3_stmt *stmt = *query;
    if (sqlite3_bind_int64(stmt, 1, id) != SQLITE_OK) {
        catdb_log_sqlite_(db->conn, fn, __LINE__);
        sqlite3_reset(stmt);
        return -40;
    }
    const int step = sqlite3_step(stmt);
    int result = 0;
    if (step == SQLITE_ROW) {
        out->keyref = fs_keyref_base(record) | ((uint64_t)id & KEYNUM_MASK);
        out->keynum = (uint64_t)id;
        out->parent = sqlite3_column_type(stmt, 1) == SQLITE_NULL ? 0 : (uint64_t)sqlite3_column_int64(stmt, 1);
        const unsigned char *name = sqlite3_column_text(stmt, 0);
        out->name = name != nullptr ? std::string((const char *)name, (size_t)sqlite3_column_bytes(stmt, 0)) : "";
        uint32_t selection = 0;
        if (catdb_get_selection_(db, id, &selection) != 0) {
            log_error("%s: Can't get selection for keynum %lld", fn, (long long)id);
            selection = 0;
        }
        out->flags = selection & NODE_SELECTION_MASK;
        fill(stmt, out);
    } else if (step == SQLITE_DONE) {
        log_error("%s: keynum %lld not found", fn, (long long)id);
        result = -12;
    } else {
        catdb_log_sqlite_(db->conn, fn, __LINE__);
        result = -40;
    }
    sqlite3_reset(stmt);
    return result;
}
