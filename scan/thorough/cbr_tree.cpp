// The catalog tree of "Reconstructed Files": the store's catalog modes, its
// rows, node information, the naming callbacks, the tree built from the
// measured spans and the names file.
//
// Rows of "nodes" (cat.db in the store's folder)
//
//   root     name "", id 1 (the store's id_root), pid 0, a folder: is_dir 1,
//            so that its child count is kept like any folder's and the
//            found file system lists its categories
//   folder   name, id, pid, date_created (the time it was made), is_dir 1,
//            num_children 0 until counted
//   file     name, id, pid (its folder), flags (1 for span state bit 2,
//            else 2 for bit 8, else NULL), start, size (end - start),
//            date_created, hfs_type and hfs_creator (both NULL when both
//            codes are 0)
//
// Ids are given by the store's node counter: the first folder made in a
// scan gets 2.
//
// Names file "cbrnames": NUL-terminated names that modules store while
// measuring, each addressed by the byte offset where it starts; parsing
// writes "xx" first, so offset 0 is never a stored name.
//
// Catalog modes (record->cat_mode)
//
//   0  closed (the names file too)
//   1  catalog writing, "cbrnames" read ("rb"); a missing names file closes
//      the catalog again: -1 without an error code
//   2  catalog writing, "cbrnames" appended ("ab"); failure: error 576
//   3  catalog reading
//   else error 575, -1
//
// Implementation notes
// - The three statements are prepared once per connection and finalized by
//   the catalog's close hook, so a statement never outlives its connection.
//   Each statement sequence (bind, step, reset) holds the catalog's lock.
// - cbr_build_tree names the spans of the store it builds: it makes that
//   store the naming context's current one for its run, so folder and file
//   rows never land in another scan's catalog.
// - A store without spans needs neither "spans" nor its names: the tree is
//   complete with the root row alone, and when parsing left no names file
//   (no span was ever found) mode 2 makes an empty one.
// - The end of the tree closes the catalog, which commits its one long
//   transaction; a failing commit is the tree's result, so a catalog whose
//   rows never reached the disk is not reported as built.
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/fs_record.h"
#include "scan/catalog/node_row.h"
#include "scan/scan_context.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"

namespace {

const char *const kCreateNodes =
    "CREATE TABLE IF NOT EXISTS nodes (name TEXT,id INTEGER PRIMARY KEY,pid INTEGER,is_dir INTEGER DEFAULT "
    "0,num_children INTEGER DEFAULT NULL,start INTEGER,size INTEGER,date_created INTEGER,flags INTEGER,hfs_type "
    "INTEGER,hfs_creator INTEGER);";
const char *const kInsertFolder =
    "INSERT INTO nodes (name,id,pid,date_created,is_dir,num_children) VALUES (?,?,?,?,1,0);";
const char *const kInsertFile = "INSERT INTO nodes (name, id, pid, flags, start, size, date_created, hfs_type, "
                                "hfs_creator) VALUES (?,?,?,?,?,?,?,?,?);";
const char *const kSelectNode = "SELECT name,pid,is_dir,num_children,start,size,date_created,flags,hfs_type,"
                                "hfs_creator FROM nodes WHERE id = ? LIMIT 1;";
const char *const kNamesFile = "cbrnames";

// Bytes of a deeper folder's name ("JPEG1").
constexpr size_t kFolderNameSize = 38;

// Whether the catalog is open for writing; logs why not.
bool writing(catdb *db, const char *fn)
{
    if (db->conn != nullptr && catdb_mode(db) == CATDB_MODE_WRITE)
        return true;
    log_error("%s: the catalog is not open for writing", fn);
    return false;
}

// Steps a bound insert and resets it. 0 or -40 (logged with fn).
int run_insert(catdb *db, sqlite3_stmt *stmt, bool bound, const char *fn)
{
    int result = 0;
    if (!bound || sqlite3_step(stmt) != SQLITE_DONE) {
        catdb_log_sqlite_(db->conn, fn, __LINE__);
        result = -40;
    }
    sqlite3_reset(stmt);
    return result;
}

// Closes the catalog and the names file. The first failure (a commit or a
// flush that did not reach the disk), else 0.
int close_mode(fs_record *record, cbr_store *store)
{
    const int names = file_free(&store->names);
    const int cat = catdb_close(&record->cat);
    record->cat_mode = CBR_CAT_CLOSED;
    // -1 from the names file is a failed close of a file read only: nothing lost.
    return cat != 0 ? cat : names < -1 ? names : 0;
}

// The store whose naming context the node belongs to, with its record.
cbr_store *naming_store(nameseq_node *node, fs_record **record)
{
    *record = node != nullptr && node->ctx != nullptr ? node->ctx->store : nullptr;
    return cbr_store_of(*record);
}

// Ends the tree: task popped, "spans" closed, catalog mode 0. The result,
// or the close's failure when the result was 0.
int end_tree(fs_record *record, file_t **spans, int result, bool complete)
{
    progress_pop();
    file_free(spans);
    const int closed = cbr_set_cat_mode(record, CBR_CAT_CLOSED);
    log_info("%s", complete ? "CBR create cat nodes complete" : "CBR create cat nodes aborted");
    return result != 0 ? result : closed;
}

} // namespace

// --- catalog hooks and modes -------------------------------------------------------------

int cbr_catalog_created(catdb *db, fs_record *record)
{
    int rc = catdb_exec(db, kCreateNodes);
    if (rc != 0)
        return rc;
    if (catdb_count_nodes(db) != 0)
        return 0;
    char root[160];
    std::snprintf(root, sizeof root,
                  "INSERT INTO nodes (name,id,pid,is_dir,num_children) VALUES ('',%lld,0,1,0);",
                  (long long)(record != nullptr ? record->id_root : 1));
    return catdb_exec(db, root);
}

void cbr_catalog_closing(catdb *db, fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr)
        return;
    catdb_finalize_statement(db, &store->insert_folder);
    catdb_finalize_statement(db, &store->insert_file);
    catdb_finalize_statement(db, &store->select_node);
}

int cbr_set_cat_mode(fs_record *record, int mode)
{
    static const char *const fn = "cbr_set_cat_mode";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr)
        return -1;
    if (mode < CBR_CAT_CLOSED || mode > CBR_CAT_READ) {
        log_error("%s: unknown catalog mode %d", fn, mode);
        add_error(CBR_ERROR_CAT_MODE);
        return -1;
    }
    catdb *db = &record->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    // Already there (a mode read back from a saved scan is not trusted:
    // the catalog and the names file must really be open).
    const bool names_open = store->names != nullptr && file_is_open(store->names);
    if (mode != CBR_CAT_CLOSED && (int)record->cat_mode == mode && db->conn != nullptr &&
        (mode == CBR_CAT_READ ? catdb_mode(db) == CATDB_MODE_READ : catdb_mode(db) == CATDB_MODE_WRITE && names_open))
        return 0;
    int rc = close_mode(record, store);
    if (mode == CBR_CAT_CLOSED || rc != 0)
        return rc;
    if (mode == CBR_CAT_READ) {
        rc = catdb_ensure_reading(db);
        if (rc == 0)
            record->cat_mode = (uint32_t)mode;
        return rc;
    }
    if (mode == CBR_CAT_WRITE_NAMES_READ && dir_file_exists(record->folder, kNamesFile) != 0)
        return -1; // no names were stored: nothing to open
    rc = catdb_ensure_writing(db);
    if (rc != 0)
        return rc;
    store->names = mode == CBR_CAT_WRITE_NAMES_READ ? dir_file_open(record->folder, kNamesFile, "rb", 2)
                                                   : dir_file_create(record->folder, kNamesFile, "ab", 2);
    if (store->names == nullptr) {
        const int e = errno;
        if (mode == CBR_CAT_WRITE_NAMES_APPEND) {
            log_error("%s: can't open %s for appending: %s", fn, kNamesFile, std::strerror(e));
            errno = e;
            add_error_errno(CBR_ERROR_NAMES_OPEN);
        }
        catdb_close(db);
        return -1;
    }
    record->cat_mode = (uint32_t)mode;
    return 0;
}

// --- rows ---------------------------------------------------------------------------------

int cbr_db_write_folder(fs_record *record, const char *name, uint64_t id, uint64_t parent_id)
{
    static const char *const fn = "cbr_db_write_folder";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || name == nullptr)
        return -1;
    catdb *db = &record->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    if (!writing(db, fn) || catdb_prepare_once_(db, &store->insert_folder, kInsertFolder, fn, __LINE__) != 0)
        return -40;
    sqlite3_stmt *stmt = store->insert_folder;
    const bool bound = sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC) == SQLITE_OK &&
                       sqlite3_bind_int64(stmt, 2, (int64_t)id) == SQLITE_OK &&
                       sqlite3_bind_int64(stmt, 3, (int64_t)parent_id) == SQLITE_OK &&
                       sqlite3_bind_int64(stmt, 4, (int64_t)std::time(nullptr)) == SQLITE_OK;
    return run_insert(db, stmt, bound, fn);
}

int cbr_db_write_node(fs_record *record, const char *name, uint64_t id, uint64_t parent_id, const cbr_span *span,
                      int64_t date)
{
    static const char *const fn = "cbr_db_write_node";
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || name == nullptr || span == nullptr)
        return -1;
    catdb *db = &record->cat;
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(db));
    if (!writing(db, fn) || catdb_prepare_once_(db, &store->insert_file, kInsertFile, fn, __LINE__) != 0)
        return -40;
    sqlite3_stmt *stmt = store->insert_file;
    const int flags = (span->state & CBR_SPAN_FLAG_2) ? 1 : (span->state & CBR_SPAN_FLAG_8) ? 2 : 0;
    // A span read back from a damaged file may end before it starts: no bytes.
    const uint64_t size = span->end > span->start ? span->end - span->start : 0;
    const bool hfs = span->hfs_type != 0 || span->hfs_creator != 0;
    bool bound = sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC) == SQLITE_OK &&
                 sqlite3_bind_int64(stmt, 2, (int64_t)id) == SQLITE_OK &&
                 sqlite3_bind_int64(stmt, 3, (int64_t)parent_id) == SQLITE_OK &&
                 (flags != 0 ? sqlite3_bind_int(stmt, 4, flags) : sqlite3_bind_null(stmt, 4)) == SQLITE_OK &&
                 sqlite3_bind_int64(stmt, 5, (int64_t)span->start) == SQLITE_OK &&
                 sqlite3_bind_int64(stmt, 6, (int64_t)size) == SQLITE_OK &&
                 sqlite3_bind_int64(stmt, 7, date) == SQLITE_OK;
    for (int i = 0; bound && i < 2; i++) {
        const uint32_t code = i == 0 ? span->hfs_type : span->hfs_creator;
        bound = (hfs ? sqlite3_bind_int64(stmt, 8 + i, code) : sqlite3_bind_null(stmt, 8 + i)) == SQLITE_OK;
    }
    return run_insert(db, stmt, bound, fn);
}

int cbr_db_node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int refresh)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || out == nullptr)
        return -12;
    return fs_catalog_node_info(record, keynum, out, refresh, &store->select_node, kSelectNode, "cbr_db_node_info",
                                [](sqlite3_stmt *stmt, NodeInfo *out) {
                                    out->date_created = out->date_modified = sqlite3_column_int64(stmt, 6);
                                    const int64_t flags = sqlite3_column_int64(stmt, 7);
                                    if (flags == 1)
                                        out->flags |= NODE_CATALOG_FLAG_1;
                                    else if (flags == 2)
                                        out->flags |= NODE_CATALOG_FLAG_2;
                                    if (sqlite3_column_int(stmt, 2) == 1) {
                                        out->flags |= NODE_FOLDER;
                                        out->child_count =
                                            (uint64_t)std::max<int64_t>(0, sqlite3_column_int64(stmt, 3));
                                        return;
                                    }
                                    out->start = (uint64_t)sqlite3_column_int64(stmt, 4);
                                    out->data_size = catdb_stored_size_(sqlite3_column_int64(stmt, 5));
                                    out->hfs_type = (uint32_t)sqlite3_column_int64(stmt, 8);
                                    out->hfs_creator = (uint32_t)sqlite3_column_int64(stmt, 9);
                                    // The file is one run of the medium.
                                    out->has_data = 1;
                                    out->num_extents = 1;
                                    out->extents[0] = fs_extent{out->start, out->data_size};
                                });
}

// --- naming callbacks ---------------------------------------------------------------------------

int cbr_folder_callback(nameseq_node *node)
{
    fs_record *record = nullptr;
    cbr_store *store = naming_store(node, &record);
    if (store == nullptr)
        return -1;
    const uint64_t id = store->node_counter + 1;
    uint64_t parent_id = (uint64_t)record->id_root;
    char name[kFolderNameSize];
    if (node->parent == nullptr || node->parent == &node->ctx->root) {
        // A category: its plain name, right below the store's root.
        std::snprintf(name, sizeof name, "%s", node->name);
    } else {
        nameseq_folder_name(node, name, sizeof name);
        parent_id = node->parent->cat_id;
    }
    const int rc = cbr_db_write_folder(record, name, id, parent_id);
    if (rc != 0)
        return rc;
    store->node_counter = id;
    node->cat_id = id;
    node->parent_cat_id = parent_id;
    return 0;
}

int cbr_file_callback(nameseq_node *node, const char *name, cbr_span *span, int64_t date)
{
    fs_record *record = nullptr;
    cbr_store *store = naming_store(node, &record);
    if (store == nullptr)
        return -1;
    const uint64_t id = store->node_counter + 1;
    const uint64_t folder = node == &node->ctx->root ? (uint64_t)record->id_root : node->cat_id;
    const int rc = cbr_db_write_node(record, name, id, folder, span, date);
    if (rc == 0)
        store->node_counter = id;
    return rc;
}

// --- the tree ------------------------------------------------------------------------------------

int cbr_build_tree(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr)
        return -1;
    const uint64_t count = store->span_count;
    progress_push(0, (int64_t)std::min<uint64_t>(count, INT64_MAX));
    progress_set_text(localize_cstring("Created $p of $P nodes"));
    log_info("%s", "Creating CBR catalog tree");

    nameseq_ctx *ctx = nameseq_context();
    fs_record *previous = ctx != nullptr ? ctx->store : nullptr;
    if (ctx != nullptr)
        ctx->store = record;
    struct restore {
        nameseq_ctx *ctx;
        fs_record *store;
        ~restore()
        {
            if (ctx != nullptr)
                ctx->store = store;
        }
    } restore_store{ctx, previous};

    file_t *spans = nullptr;
    int rc = cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_READ);
    if (rc == -1 && count == 0 && dir_file_exists(record->folder, kNamesFile) != 0)
        rc = cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND);
    if (rc != 0)
        return end_tree(record, &spans, rc, false);
    if (count == 0)
        return end_tree(record, &spans, 0, true);
    spans = dir_file_open(record->folder, "spans", "rb", 2);
    if (spans == nullptr) {
        add_error(CBR_ERROR_SPANS_OPEN);
        return end_tree(record, &spans, 0, false);
    }
    for (uint64_t i = 0; i < count; i++) {
        progress_set_done((int64_t)std::min<uint64_t>(i, INT64_MAX));
        if (abort_requested()) {
            add_error(CBR_ERROR_TREE_ABORT);
            return end_tree(record, &spans, 0, false);
        }
        cbr_span span;
        if (file_read(spans, &span, (int64_t)sizeof span) != (int64_t)sizeof span)
            break;
        store->span = span;
        cbr_translate_span(record, &store->span);
        // A start measuring did not reach (the medium failed first) has no
        // size: it names no file.
        if (!(store->span.state & CBR_SPAN_DETECTED) || !(store->span.state & CBR_SPAN_MEASURED))
            continue;
        fil_module *module = fil_module_find(store->span.module_id);
        if (module == nullptr) {
            log_error("No FM with fm_id %s", fil_module_id_text(store->span.module_id));
            continue;
        }
        // A catalog that refuses rows (a full disk) ends the tree; a span a
        // module cannot name (a damaged subtype) is passed over.
        rc = fil_module_name_file(module, &store->span);
        if (rc == -40)
            return end_tree(record, &spans, rc, false);
    }
    return end_tree(record, &spans, 0, true);
}

// --- names ---------------------------------------------------------------------------------------

int64_t cbr_write_name(fs_record *record, const char *name)
{
    cbr_store *store = cbr_store_of(record);
    file_t *f = store != nullptr ? store->names : nullptr;
    if (f == nullptr || name == nullptr || !file_is_open(f))
        return -1;
    // A stream opened for appending writes at the end whatever its position.
    const int64_t offset = f->mode[0] == 'a' ? file_size(f) : file_tell(f);
    if (offset < 0 || file_write_full(f, name, (int64_t)std::strlen(name) + 1) != 0)
        return -1;
    return offset;
}

int cbr_read_name(fs_record *record, int64_t offset, char *buffer, size_t size)
{
    cbr_store *store = cbr_store_of(record);
    file_t *f = store != nullptr ? store->names : nullptr;
    if (f == nullptr || buffer == nullptr || size == 0 || offset < 0 || !file_is_open(f))
        return -1;
    if (file_seek(f, offset) != 0)
        return -1;
    const int64_t n = file_read(f, buffer, (int64_t)size);
    if (n <= 0)
        return -1;
    if ((size_t)n < size)
        buffer[n] = '\0';
    buffer[size - 1] = '\0';
    return 0;
}
