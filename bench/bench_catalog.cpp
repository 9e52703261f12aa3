// The worker of bench/bench_catalog.sh: builds a catalog the way the FAT
// quick scan fills one, and reads it back the way the front end uses it.
// A plain program, not a Google Benchmark one: each phase runs once per
// process and the script repeats the processes.
//
//   bench_catalog build <folder> [nodes] [folders]
//       Makes <folder>/cat.db through a `catdb`: the on-open-for-writing
//       hook creates a FAT-like "nodes" table and "extents" with the SQL
//       builders; one prepared insert writes every row, in walk order,
//       inside the catalog's transaction (extents past the eighth through
//       catdb_add_extents); then catdb_link_parents turns fs_id / fs_pid
//       into pid links, catdb_update_num_children counts the children (it
//       makes the pid index) and catdb_close commits.
//   bench_catalog read <folder> [nodes] [folders]
//       Opens the catalog for reading (the caches are built, as on the first
//       opening after a scan), closes and opens it again (the caches are
//       read from their files), counts and lists the children of every
//       folder, reads every child's row as a type's node-information query
//       does (one primary-key select each), ticks the root, writes the
//       selection, unticks a file and a folder deep in the tree with their
//       ancestor lists, and closes.
//   bench_catalog version
//       Prints the version of the SQLite library the program runs with.
//   bench_catalog sql <folder> <load.sql> [nodes] [folders]
//       Runs the same build into <folder> with an SQLite statement trace
//       and writes every statement it ran, values expanded, to <load.sql>
//       for `sqlite3 cat.db < load.sql`: the command-line tool then does
//       exactly our inserts, index builds, updates and commit, as text.
//       The file marks the steps with ".print step NAME" and times all but
//       the inserts with ".timer on".
//
// Defaults: 100000 nodes in 1000 folders (the root included). Folder f has
// the folders 10f+1 .. 10f+10 below it (four levels); the files are spread
// evenly over the folders. Every 100th file is empty (fs_id 1, no extent,
// as FAT numbers empty files), every 50th has three extents and every
// 1000th twelve (four of them go to "extents").
//
// Output: one line per step, "<phase>.<step> <seconds>", plus a few facts
// ("<phase>.<fact> <number>"). Exit status 0 only when every check passed
// (rows, links, child counts, listings and selection counters as built).
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "scan/catalog/catdb.h"
#include "scan/catalog/selection.h"
#include "scan/catalog/sql_build.h"

namespace {

constexpr int BRANCHING = 10;            // subfolders per folder
constexpr uint64_t CLUSTER = 32768;      // bytes per cluster
constexpr uint64_t DATA_START = 4194304; // first data cluster's byte position
constexpr int ROW_EXTENTS = 8;           // extents kept in the node row

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void report(const char *phase, const char *step, double seconds)
{
    std::printf("%s.%s %.6f\n", phase, step, seconds);
}

std::string g_log_path; // the engine log, in the catalog's folder

[[noreturn]] void fail(const char *what, long long value)
{
    std::fprintf(stderr, "bench_catalog: %s (%lld); see %s\n", what, value, g_log_path.c_str());
    std::exit(1);
}

// --- the card's tree ---------------------------------------------------------------

struct Row {
    std::string name;
    int64_t fs_id = 0;
    int64_t fs_pid = 0;
    int is_dir = 0;
    int64_t size = 0;
    int64_t created = 0;
    int64_t modified = 0;
    int hidden = 0;
    std::vector<catdb_extent> extents;
};

struct Tree {
    std::vector<Row> rows;           // walk order: the root, then depth first
    std::vector<int> row_folder;     // folder number of a folder row, else -1
    int folders = 0;
    int files = 0;
};

uint32_t next_random(uint32_t *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

// Rows in the order a FAT walk writes them, depth first with a folder's
// row before its contents: a directory's entries (subfolders first, then
// files), then each of its subfolders walked in turn.
Tree make_tree(int nodes, int folders)
{
    Tree tree;
    tree.folders = folders;
    tree.files = nodes - folders;
    tree.rows.reserve((size_t)nodes);
    tree.row_folder.reserve((size_t)nodes);
    uint32_t random = 12345;
    uint64_t cluster = 3; // cluster 2 holds the root directory
    std::vector<int64_t> folder_fs_id((size_t)folders, 0);
    int file_number = 0;

    Row root;
    root.fs_id = 2;
    root.fs_pid = 1;
    root.is_dir = 1;
    tree.rows.push_back(root);
    tree.row_folder.push_back(0);
    folder_fs_id[0] = 2;

    // Explicit stack of folders still to be walked (depth first).
    std::vector<int> pending{0};
    while (!pending.empty()) {
        const int f = pending.back();
        pending.pop_back();
        const int64_t parent_fs_id = folder_fs_id[(size_t)f];
        // The subfolders come first in every directory, then the files.
        std::vector<int> subfolders;
        for (int k = 1; k <= BRANCHING; ++k) {
            const int64_t child = (int64_t)f * BRANCHING + k;
            if (child >= folders)
                break;
            Row row;
            char name[32];
            std::snprintf(name, sizeof name, "DIR%05d", (int)child);
            row.name = name;
            row.fs_id = (int64_t)cluster++ + 1;
            row.fs_pid = parent_fs_id;
            row.is_dir = 1;
            row.created = row.modified = 1500000000 + child * 61;
            folder_fs_id[(size_t)child] = row.fs_id;
            tree.rows.push_back(row);
            tree.row_folder.push_back((int)child);
            subfolders.push_back((int)child);
        }
        const int share = tree.files / folders + (f < tree.files % folders ? 1 : 0);
        for (int i = 0; i < share; ++i, ++file_number) {
            Row row;
            char name[48];
            if (file_number % 3 == 0)
                std::snprintf(name, sizeof name, "Holiday photo %06d.jpg", file_number);
            else
                std::snprintf(name, sizeof name, "IMG_%05d.JPG", file_number % 100000);
            row.name = name;
            row.fs_pid = parent_fs_id;
            row.created = 1500000000 + (int64_t)file_number * 37;
            row.modified = row.created + 5;
            row.hidden = file_number % 97 == 0;
            if (file_number % 100 == 99) {
                row.fs_id = 1; // empty file: first cluster 0
            } else {
                row.size = 20000 + (int64_t)(next_random(&random) % 8000000);
                const uint64_t clusters = ((uint64_t)row.size + CLUSTER - 1) / CLUSTER;
                const int pieces = file_number % 1000 == 7 ? 12 : file_number % 50 == 3 ? 3 : 1;
                row.fs_id = (int64_t)cluster + 1;
                uint64_t left = clusters;
                for (int p = 0; p < pieces && left > 0; ++p) {
                    const uint64_t take = p + 1 == pieces ? left : std::max<uint64_t>(1, clusters / pieces);
                    row.extents.push_back({DATA_START + (cluster - 2) * CLUSTER, take * CLUSTER});
                    cluster += take + (p + 1 < pieces ? 3 : 0); // gaps between the pieces
                    left -= std::min(left, take);
                }
            }
            tree.rows.push_back(row);
            tree.row_folder.push_back(-1);
        }
        for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
            pending.push_back(*it);
    }
    return tree;
}

// --- building -------------------------------------------------------------------------

struct Build {
    sqlite3_stmt *insert = nullptr;
    FILE *trace = nullptr;    // load.sql when tracing
    const char *step = "open";
    const char *traced_step = nullptr;
};
Build g_build;

int trace_statement(unsigned type, void * /*context*/, void *p, void *x)
{
    if (type != SQLITE_TRACE_STMT || g_build.trace == nullptr)
        return 0;
    const char *unexpanded = static_cast<const char *>(x);
    // Statements of triggers ("--" comments) and pure reads are not part of
    // the load.
    if (unexpanded == nullptr || std::strncmp(unexpanded, "--", 2) == 0 || std::strncmp(unexpanded, "SELECT", 6) == 0 ||
        std::strcmp(unexpanded, "PRAGMA user_version;") == 0)
        return 0;
    char *sql = sqlite3_expanded_sql(static_cast<sqlite3_stmt *>(p));
    if (sql == nullptr)
        fail("sqlite3_expanded_sql failed", 0);
    if (g_build.traced_step == nullptr || std::strcmp(g_build.traced_step, g_build.step) != 0) {
        const bool timed = std::strcmp(g_build.step, "insert") != 0;
        std::fprintf(g_build.trace, ".timer %s\n.print step %s\n", timed ? "on" : "off", g_build.step);
        g_build.traced_step = g_build.step;
    }
    size_t n = std::strlen(sql);
    while (n > 0 && (sql[n - 1] == ' ' || sql[n - 1] == '\n'))
        --n;
    std::fprintf(g_build.trace, "%.*s%s\n", (int)n, sql, n > 0 && sql[n - 1] == ';' ? "" : ";");
    sqlite3_free(sql);
    return 0;
}

std::string nodes_create_sql()
{
    sqlcreate builder;
    sqlcreate_set_table(&builder, "nodes", 1);
    sqlcreate_add_text(&builder, "name", "");
    sqlcreate_add_integer(&builder, "id", 0, 1);
    for (const char *column : {"pid", "fs_id", "fs_pid", "is_dir"})
        sqlcreate_add_integer(&builder, column, 0, 0);
    sqlcreate_add_integer(&builder, "num_children", -1, 0);
    for (const char *column : {"size", "date_created", "date_modified", "hidden", "deleted", "num_exts"})
        sqlcreate_add_integer(&builder, column, 0, 0);
    char name[16];
    for (int k = 0; k < ROW_EXTENTS; ++k) {
        std::snprintf(name, sizeof name, "ext%d_start", k);
        sqlcreate_add_integer(&builder, name, 0, 0);
        std::snprintf(name, sizeof name, "ext%d_len", k);
        sqlcreate_add_integer(&builder, name, 0, 0);
    }
    return sqlcreate_build(&builder).str();
}

std::string nodes_insert_sql()
{
    sqlinsert builder;
    sqlinsert_set_table(&builder, "nodes");
    for (const char *column : {"name", "fs_id", "fs_pid", "is_dir", "num_children", "size", "date_created",
                               "date_modified", "hidden", "deleted", "num_exts"})
        sqlinsert_add_column(&builder, column);
    char name[16];
    for (int k = 0; k < ROW_EXTENTS; ++k) {
        std::snprintf(name, sizeof name, "ext%d_start", k);
        sqlinsert_add_column(&builder, name);
        std::snprintf(name, sizeof name, "ext%d_len", k);
        sqlinsert_add_column(&builder, name);
    }
    return sqlinsert_build(&builder).str();
}

// The type's on-open-for-writing hook: its tables (and the trace, so that
// the load file starts with them).
int open_hook(catdb *db, fs_record * /*record*/)
{
    if (g_build.trace != nullptr)
        sqlite3_trace_v2(db->conn, SQLITE_TRACE_STMT, trace_statement, nullptr);
    std::string sql = nodes_create_sql();
    if (sql.empty())
        return -40;
    int rc = catdb_exec(db, sql.c_str());
    if (rc == 0)
        rc = catdb_create_extents_table(db);
    return rc;
}

void close_hook(catdb *db, fs_record * /*record*/)
{
    catdb_finalize_statement(db, &g_build.insert);
}

void check_sqlite(catdb *db, int rc, int expected, const char *what)
{
    if (rc != expected) {
        std::fprintf(stderr, "bench_catalog: %s: %s\n", what, sqlite3_errmsg(db->conn));
        std::exit(1);
    }
}

void insert_row(catdb *db, const Row &row)
{
    sqlite3_stmt *s = g_build.insert;
    check_sqlite(db, sqlite3_bind_text(s, 1, row.name.c_str(), (int)row.name.size(), SQLITE_STATIC), SQLITE_OK, "bind");
    sqlite3_bind_int64(s, 2, row.fs_id);
    sqlite3_bind_int64(s, 3, row.fs_pid);
    sqlite3_bind_int(s, 4, row.is_dir);
    if (row.is_dir) {
        sqlite3_bind_int(s, 5, 0);
        sqlite3_bind_null(s, 6);
    } else {
        sqlite3_bind_null(s, 5);
        sqlite3_bind_int64(s, 6, row.size);
    }
    if (row.created > 0)
        sqlite3_bind_int64(s, 7, row.created);
    else
        sqlite3_bind_null(s, 7);
    if (row.modified > 0)
        sqlite3_bind_int64(s, 8, row.modified);
    else
        sqlite3_bind_null(s, 8);
    sqlite3_bind_int(s, 9, row.hidden);
    sqlite3_bind_int(s, 10, 0);
    sqlite3_bind_int(s, 11, (int)row.extents.size());
    for (int k = 0; k < ROW_EXTENTS; ++k) {
        if ((size_t)k < row.extents.size()) {
            sqlite3_bind_int64(s, 12 + 2 * k, (int64_t)row.extents[(size_t)k].start);
            sqlite3_bind_int64(s, 13 + 2 * k, (int64_t)row.extents[(size_t)k].length);
        } else {
            sqlite3_bind_null(s, 12 + 2 * k);
            sqlite3_bind_null(s, 13 + 2 * k);
        }
    }
    check_sqlite(db, sqlite3_step(s), SQLITE_DONE, "insert");
    check_sqlite(db, sqlite3_reset(s), SQLITE_OK, "reset");
    if (row.extents.size() > ROW_EXTENTS) {
        int rc = catdb_add_extents(db, sqlite3_last_insert_rowid(db->conn), 0, row.extents.data() + ROW_EXTENTS,
                                   row.extents.size() - ROW_EXTENTS);
        if (rc != 0)
            fail("catdb_add_extents failed", rc);
    }
}

int build(const std::string &folder, const Tree &tree)
{
    catdb db{};
    if (catdb_new(&db, nullptr) != 0 || catdb_set_folder(&db, folder.c_str()) != 0)
        fail("catdb_new failed", 0);
    db.on_open_for_writing = open_hook;
    db.on_close = close_hook;

    const double t0 = now();
    g_build.step = "open";
    int rc = catdb_ensure_writing(&db);
    if (rc != 0)
        fail("catdb_ensure_writing failed", rc);
    const double t1 = now();
    g_build.step = "insert";
    std::string sql = nodes_insert_sql();
    check_sqlite(&db, sqlite3_prepare_v2(db.conn, sql.c_str(), -1, &g_build.insert, nullptr), SQLITE_OK,
                 "prepare insert");
    for (const Row &row : tree.rows)
        insert_row(&db, row);
    const double t2 = now();
    g_build.step = "link";
    if ((rc = catdb_link_parents(&db)) != 0)
        fail("catdb_link_parents failed", rc);
    const double t3 = now();
    g_build.step = "count";
    if ((rc = catdb_update_num_children(&db)) != 0)
        fail("catdb_update_num_children failed", rc);
    const double t4 = now();
    g_build.step = "commit";
    if ((rc = catdb_close(&db)) != 0)
        fail("catdb_close failed", rc);
    const double t5 = now();
    catdb_free(&db);

    report("build", "open", t1 - t0);
    report("build", "insert", t2 - t1);
    report("build", "link", t3 - t2);
    report("build", "count", t4 - t3);
    report("build", "commit", t5 - t4);
    report("build", "total", t5 - t0);
    struct stat info{};
    if (stat((folder + "/cat.db").c_str(), &info) == 0)
        std::printf("build.bytes %lld\n", (long long)info.st_size);
    return 0;
}

// --- reading ---------------------------------------------------------------------------

int read_back(const std::string &folder, const Tree &tree)
{
    catdb db{};
    if (catdb_new(&db, nullptr) != 0 || catdb_set_folder(&db, folder.c_str()) != 0)
        fail("catdb_new failed", 0);
    // Opening for reading right after the scan: no cache files yet.
    double t0 = now();
    int rc = catdb_ensure_reading(&db);
    if (rc != 0)
        fail("catdb_ensure_reading failed", rc);
    report("read", "open_build_caches", now() - t0);
    if ((rc = catdb_close(&db)) != 0)
        fail("catdb_close failed", rc);
    struct stat info{};
    if (stat((folder + "/db-cache").c_str(), &info) != 0 || stat((folder + "/children_cache").c_str(), &info) != 0)
        fail("the cache files were not written", 0);
    t0 = now();
    if ((rc = catdb_ensure_reading(&db)) != 0)
        fail("catdb_ensure_reading failed", rc);
    report("read", "open_read_caches", now() - t0);

    uint64_t files = 0, folders = 0, total = 0, items = 0;
    if (catdb_get_counts(&db, &files, &folders, &total, &items) != 0 || files != (uint64_t)tree.files ||
        folders != (uint64_t)tree.folders)
        fail("the catalog's counts differ from the tree", (long long)files);

    // The folders and each one's ancestor list, found through the catalog
    // (untimed): a walk from the root.
    std::vector<int64_t> folder_list;
    std::vector<int64_t> parent(items, -1);
    std::vector<int64_t> walk{CATDB_KEYNUM_ROOT};
    const int64_t id_root = catdb_id_root(&db);
    std::vector<int64_t> children;
    while (!walk.empty()) {
        int64_t k = walk.back();
        walk.pop_back();
        folder_list.push_back(k == CATDB_KEYNUM_ROOT ? id_root : k);
        if (catdb_get_children_keynums(&db, k, &children) < 0)
            fail("catdb_get_children_keynums failed", k);
        for (int64_t child : children) {
            int is_folder = 0;
            if (catdb_node_facts(&db, child, &is_folder, nullptr) != 0)
                fail("catdb_node_facts failed", child);
            parent[(size_t)child] = k == CATDB_KEYNUM_ROOT ? id_root : k;
            if (is_folder)
                walk.push_back(child);
        }
    }
    if (folder_list.size() != (size_t)tree.folders)
        fail("folders reached from the root", (long long)folder_list.size());

    // Count and list the children of every folder.
    uint64_t listed = 0;
    double slowest = 0;
    t0 = now();
    for (int64_t k : folder_list) {
        const double f0 = now();
        uint32_t n = 0;
        if ((rc = catdb_get_num_children(&db, k, &n)) != 0)
            fail("catdb_get_num_children failed", rc);
        const int64_t got = catdb_get_children_keynums(&db, k, &children);
        if (got < 0 || (uint64_t)got != n)
            fail("num_children differs from the listing", got);
        listed += (uint64_t)got;
        slowest = std::max(slowest, now() - f0);
    }
    const double list_time = now() - t0;
    if (listed != (uint64_t)tree.rows.size() - 1)
        fail("children listed", (long long)listed);
    report("read", "list_all_folders", list_time);
    report("read", "list_slowest_folder", slowest);

    // What a type's node-information query costs for every listed child:
    // one prepared primary-key select per row, on the catalog's connection.
    sqlselect info_query = sqlselect_new();
    sqlselect_set_table(&info_query, "nodes");
    for (const char *column : {"name", "pid", "is_dir", "num_children", "size", "date_created", "date_modified",
                               "hidden", "deleted", "num_exts", "ext0_start", "ext0_len"})
        sqlselect_add_column(&info_query, column);
    sqlselect_set_where(&info_query, "id = ?");
    std::string info_sql = sqlselect_build(&info_query).str();
    sqlite3_stmt *info_stmt = nullptr;
    check_sqlite(&db, sqlite3_prepare_v2(db.conn, info_sql.c_str(), -1, &info_stmt, nullptr), SQLITE_OK,
                 "prepare info");
    uint64_t found = 0;
    t0 = now();
    for (int64_t k : folder_list) {
        if (catdb_get_children_keynums(&db, k, &children) < 0)
            fail("catdb_get_children_keynums failed", k);
        for (int64_t child : children) {
            sqlite3_bind_int64(info_stmt, 1, child);
            if (sqlite3_step(info_stmt) == SQLITE_ROW && sqlite3_column_int64(info_stmt, 1) == k)
                ++found;
            sqlite3_reset(info_stmt);
        }
    }
    report("read", "node_info_every_child", now() - t0);
    sqlite3_finalize(info_stmt);
    if (found != listed)
        fail("node rows found for the listed children", (long long)found);

    // Tick the root: its list is the root and the end marker.
    const int64_t root_list[2] = {CATDB_KEYNUM_ROOT, CATDB_KEYNUM_NONE};
    t0 = now();
    if ((rc = catdb_select_node(&db, root_list, 2, SEL_SELECTED)) != 0)
        fail("catdb_select_node (root) failed", rc);
    report("read", "tick_root", now() - t0);
    uint64_t counters[SEL_COUNTER_COUNT];
    catdb_get_selection_counters(&db, counters);
    if (counters[SEL_COUNTER_FILES] != (uint64_t)tree.files || counters[SEL_COUNTER_FOLDERS] != (uint64_t)tree.folders)
        fail("selection counters after ticking the root", (long long)counters[SEL_COUNTER_FILES]);
    t0 = now();
    if ((rc = catdb_write_selection_(&db)) != 0)
        fail("catdb_write_selection_ failed", rc);
    report("read", "write_selection", now() - t0);
    if (stat((folder + "/sel-state").c_str(), &info) != 0 || (uint64_t)info.st_size != (items + 3) / 4)
        fail("sel-state size", (long long)info.st_size);

    // Untick a file in a deepest folder, then a folder at depth 2, each with
    // its ancestor list up to the root.
    auto ancestors = [&](int64_t node) {
        std::vector<int64_t> list{node};
        for (int64_t k = parent[(size_t)node]; k >= 0; k = k == id_root ? -1 : parent[(size_t)k])
            list.push_back(k);
        list.push_back(CATDB_KEYNUM_NONE);
        return list;
    };
    int64_t deep_folder = id_root;
    for (int64_t k : folder_list)
        if (ancestors(k).size() > ancestors(deep_folder).size())
            deep_folder = k;
    if (catdb_get_children_keynums(&db, deep_folder, &children) <= 0)
        fail("the deepest folder has no children", deep_folder);
    std::vector<int64_t> list = ancestors(children.back());
    t0 = now();
    if ((rc = catdb_select_node(&db, list.data(), list.size(), SEL_NONE)) != 0)
        fail("catdb_select_node (file) failed", rc);
    report("read", "untick_deep_file", now() - t0);
    uint32_t value = 0;
    if (catdb_get_selection_(&db, CATDB_KEYNUM_ROOT, &value) != 0 || value != SEL_PARTIAL)
        fail("the root is not partly selected", value);
    int64_t mid_folder = -1;
    for (int64_t k : folder_list)
        if (k != id_root && parent[(size_t)k] != id_root && parent[(size_t)parent[(size_t)k]] == id_root) {
            mid_folder = k;
            break;
        }
    if (mid_folder < 0)
        fail("no folder at depth 2", 0);
    list = ancestors(mid_folder);
    t0 = now();
    if ((rc = catdb_select_node(&db, list.data(), list.size(), SEL_NONE)) != 0)
        fail("catdb_select_node (folder) failed", rc);
    report("read", "untick_folder", now() - t0);

    t0 = now();
    if ((rc = catdb_close(&db)) != 0)
        fail("catdb_close failed", rc);
    report("read", "close", now() - t0);
    catdb_free(&db);
    std::printf("read.items %llu\n", (unsigned long long)items);
    return 0;
}

int positive(const char *text, const char *what)
{
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 100000000)
        fail(what, value);
    return (int)value;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "version") == 0) {
        std::printf("%s\n", sqlite3_libversion());
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s build|read <folder> [nodes] [folders]\n"
                     "       %s sql <folder> <load.sql> [nodes] [folders]\n"
                     "       %s version\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string folder = argv[2];
    int at = 3;
    const char *sql_path = nullptr;
    if (mode == "sql") {
        if (argc < 4)
            fail("sql needs the output file", 0);
        sql_path = argv[at++];
    } else if (mode != "build" && mode != "read") {
        fail("unknown mode", 0);
    }
    const int nodes = argc > at ? positive(argv[at], "bad node count") : 100000;
    const int folders = argc > at + 1 ? positive(argv[at + 1], "bad folder count") : 1000;
    if (folders >= nodes)
        fail("more folders than nodes", folders);
    const Tree tree = make_tree(nodes, folders);
    g_log_path = folder + "/engine.log";
    log_open(g_log_path.c_str());
    if (mode == "read")
        return read_back(folder, tree);
    if (sql_path != nullptr) {
        g_build.trace = std::fopen(sql_path, "w");
        if (g_build.trace == nullptr)
            fail("can't write the SQL file", 0);
        // What the catalog does before its hook runs.
        std::fprintf(g_build.trace, ".bail on\n.timer on\n.print step open\nPRAGMA user_version = %d;\n",
                     CATDB_LAYOUT_VERSION);
        g_build.traced_step = "open";
    }
    int rc = build(folder, tree);
    if (g_build.trace != nullptr && std::fclose(g_build.trace) != 0)
        fail("can't write the SQL file", 0);
    return rc;
}
