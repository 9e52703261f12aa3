// Catalog database: opening and refusing files, modes and transactions,
// commit and abort failures, extents, child counts and parent links.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "catdb_test_support.h"
#include "foundation/engine_status.h"
#include "scan/catalog/catdb.h"

using zvtest::Catalog;
using zvtest::CatRow;

namespace {

void make_sqlite_file(const std::string &path, const char *sql)
{
    sqlite3 *conn = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &conn), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(conn, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(conn);
    sqlite3_close(conn);
}

int64_t query_int(sqlite3 *conn, const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(conn, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(conn);
    int64_t value = -999;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

// The first column of the first row as text ("" for none or NULL).
std::string query_text(sqlite3 *conn, const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(conn, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(conn);
    std::string value;
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr)
        value = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    return value;
}

} // namespace

// A missing, empty, non-SQLite or newer-layout cat.db is refused with its own
// code and a line naming the file; the catalog stays closed each time.
TEST(CatdbOpen, RefusesWhatIsNotACatalog)
{
    Catalog cat;
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -1);
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
    EXPECT_TRUE(cat.logged("catdb_open_for_reading_: No catalog " + cat.path("cat.db")));
    zvtest::writeFile(cat.path("cat.db"), "");
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -34);
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
    EXPECT_EQ(cat.db.conn, nullptr);
    EXPECT_TRUE(cat.logged(cat.path("cat.db") + " has no nodes table"));
    zvtest::writeFile(cat.path("cat.db"), std::string(4096, 'x'));
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -34);
    EXPECT_TRUE(cat.logged(cat.path("cat.db") + " is not a catalog database"));
    // Opening such a file for writing is refused too, and does not touch it.
    EXPECT_EQ(catdb_ensure_writing(&cat.db), -3);
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
    EXPECT_EQ(zvtest::readFile(cat.path("cat.db")), std::string(4096, 'x'));
    std::remove(cat.path("cat.db").c_str());
    make_sqlite_file(cat.path("cat.db"), "CREATE TABLE nodes (id INTEGER PRIMARY KEY, pid INTEGER, is_dir INTEGER, "
                                         "size INTEGER, num_children INTEGER); PRAGMA user_version = 2;");
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -25);
    EXPECT_TRUE(cat.logged("has catalog layout 2, newer than 1"));
    EXPECT_EQ(catdb_ensure_writing(&cat.db), -25);
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
}

// Rows written are visible to the next reader; a catalog made here carries
// the layout version; the reserved root keynum lists the root's children.
TEST(CatdbOpen, ReadingAfterWritingSeesTheRows)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {2, 1, 0, 10}, {3, 1, 1, 0}, {4, 3, 0, 7}});
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(query_int(cat.db.conn, "PRAGMA user_version;"), CATDB_LAYOUT_VERSION);
    uint64_t files, folders, total, items;
    ASSERT_EQ(catdb_get_counts(&cat.db, &files, &folders, &total, &items), 0);
    EXPECT_EQ(std::vector<uint64_t>({files, folders, total, items}), std::vector<uint64_t>({2, 2, 17, 5}));
    EXPECT_EQ(cat.children(CATDB_KEYNUM_ROOT), (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(cat.children(3), (std::vector<int64_t>{4}));
    int folder = -1;
    uint64_t size = 0;
    EXPECT_EQ(catdb_node_facts(&cat.db, 4, &folder, &size), 0);
    EXPECT_TRUE(folder == 0 && size == 7u) << folder << " " << size;
    EXPECT_EQ(catdb_node_facts(&cat.db, 3, &folder, &size), 0);
    EXPECT_EQ(folder, 1);
    // Keynums from outside the catalog are refused, never used as indexes.
    for (int64_t outside : {5, -3})
        EXPECT_EQ(catdb_node_facts(&cat.db, outside, &folder, &size), -12) << outside;
    EXPECT_EQ(catdb_count_nodes(&cat.db), 4);
    EXPECT_EQ(catdb_close(&cat.db), 0);
    EXPECT_EQ(catdb_count_nodes(&cat.db), -1); // closed
}

TEST(CatdbTransaction, EndWithoutTransactionAndModes)
{
    Catalog cat;
    EXPECT_EQ(catdb_end_transaction_(&cat.db), -12);
    for (int mode : {3, 0})
        EXPECT_EQ(catdb_ensure_mode(&cat.db, mode), -15) << mode;
    ASSERT_EQ(catdb_ensure_writing(&cat.db), 0);
    EXPECT_EQ(sqlite3_get_autocommit(cat.db.conn), 0); // inside the long transaction
    EXPECT_EQ(catdb_end_transaction_(&cat.db), 0);
    EXPECT_EQ(catdb_end_transaction_(&cat.db), -12);
    EXPECT_EQ(catdb_close(&cat.db), 0); // no transaction is not a failure
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
}

namespace {
int hook_with_open_transaction(catdb *db, fs_record *record)
{
    int rc = zvtest::make_nodes_table(db, record);
    return rc != 0 ? rc : catdb_exec(db, "BEGIN;");
}

int hook_failing(catdb *, fs_record *) { return -7; }
} // namespace

// A failed BEGIN or hook leaves the catalog closed, so no later insert runs
// outside a transaction; the next attempt opens cleanly.
TEST(CatdbTransaction, FailedBeginOrHookLeavesTheCatalogClosed)
{
    Catalog cat;
    for (auto hook : {std::make_pair(hook_with_open_transaction, -40), std::make_pair(hook_failing, -7)}) {
        cat.db.on_open_for_writing = hook.first;
        EXPECT_EQ(catdb_ensure_writing(&cat.db), hook.second);
        EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
        EXPECT_EQ(cat.db.conn, nullptr);
    }

    cat.db.on_open_for_writing = zvtest::make_nodes_table;
    ASSERT_EQ(catdb_ensure_writing(&cat.db), 0);
    EXPECT_EQ(sqlite3_get_autocommit(cat.db.conn), 0);
}

namespace {
// A child table whose foreign key is checked only at commit.
int hook_with_deferred_key(catdb *db, fs_record *record)
{
    int rc = zvtest::make_nodes_table(db, record);
    if (rc == 0)
        rc = catdb_exec(db, "PRAGMA foreign_keys = ON;");
    if (rc == 0)
        rc = catdb_exec(db, "CREATE TABLE IF NOT EXISTS notes (node INTEGER REFERENCES nodes(id) "
                            "DEFERRABLE INITIALLY DEFERRED);");
    return rc;
}
} // namespace

// A commit that fails at close is returned, and the catalog ends closed.
TEST(CatdbTransaction, CloseReturnsAFailedCommit)
{
    Catalog cat;
    cat.db.on_open_for_writing = hook_with_deferred_key;
    cat.write({{1, -1, 1, 0}});
    ASSERT_EQ(catdb_exec(&cat.db, "INSERT INTO notes (node) VALUES (42);"), 0); // no node 42
    EXPECT_EQ(catdb_close(&cat.db), -40);
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
    EXPECT_TRUE(cat.logged("FOREIGN KEY constraint failed"));
    // Switching modes reports the failed commit instead of carrying on.
    ASSERT_EQ(catdb_ensure_writing(&cat.db), 0);
    ASSERT_EQ(catdb_exec(&cat.db, "INSERT INTO notes (node) VALUES (43);"), 0);
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -40);
}

namespace {
// An SQL function that requests an abort when it sees one given value, so
// the abort arrives in the middle of a statement.
void trip_abort(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (sqlite3_value_int64(argv[0]) == 5000)
        request_abort();
    sqlite3_result_int64(context, sqlite3_value_int64(argv[0]));
}
} // namespace

TEST(CatdbTransaction, AbortDuringALongUpdateFailsIt)
{
    Catalog cat;
    std::vector<CatRow> rows{{1, -1, 1, 0}};
    for (int64_t id = 2; id <= 20000; ++id)
        rows.push_back({id, 1, 0, id});
    cat.write(rows);
    ASSERT_EQ(sqlite3_create_function(cat.db.conn, "trip", 1, SQLITE_UTF8, nullptr, trip_abort, nullptr, nullptr),
              SQLITE_OK);
    begin_run_flags();
    int rc = catdb_exec(&cat.db, "UPDATE nodes SET size = trip(id);");
    bool aborted = abort_requested();
    clear_run_flags();
    EXPECT_TRUE(aborted);
    EXPECT_EQ(rc, -40);
    EXPECT_TRUE(cat.logged("interrupted"));
    // An interrupted write undoes the whole transaction (SQLite's rule), so
    // the close reports that nothing was committed.
    EXPECT_EQ(catdb_count_nodes(&cat.db), 0);
    EXPECT_EQ(catdb_close(&cat.db), -40);
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
}

// 20 extents: rows num 0, 1, 2, the last with four pairs and four NULL pairs.
TEST(CatdbExtents, TwentyExtentsRoundTrip)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}});
    ASSERT_EQ(catdb_create_extents_table(&cat.db), 0);
    std::vector<catdb_extent> extents;
    for (uint64_t i = 0; i < 20; ++i)
        extents.push_back({1000 + i * 7, 1 + i});
    ASSERT_EQ(catdb_add_extents(&cat.db, 9, 0, extents.data(), extents.size()), 0);
    ASSERT_EQ(catdb_add_extents(&cat.db, 10, 0, nullptr, 0), 0); // writes nothing
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(query_int(cat.db.conn, "SELECT COUNT(*) FROM extents;"), 3);
    EXPECT_EQ(query_int(cat.db.conn, "SELECT MAX(num) FROM extents WHERE id = 9;"), 2);
    EXPECT_EQ(query_int(cat.db.conn, "SELECT COUNT(*) FROM extents WHERE num = 2 AND start_3 IS NOT NULL AND "
                                     "start_4 IS NULL AND len_7 IS NULL;"),
              1);
    std::vector<catdb_extent> back{{1, 1}}; // appended to, not cleared
    ASSERT_EQ(catdb_get_extents(&cat.db, 9, 0, &back), 0);
    ASSERT_EQ(back.size(), 21u);
    for (size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(back[i + 1].start, extents[i].start);
        EXPECT_EQ(back[i + 1].length, extents[i].length);
    }
    back.clear();
    ASSERT_EQ(catdb_get_extents(&cat.db, 9, 1, &back), 0);
    EXPECT_TRUE(back.empty());
    ASSERT_EQ(catdb_get_extents(&cat.db, 10, 0, &back), 0);
    EXPECT_TRUE(back.empty());
}

// Child counts of a catalog with 10,000 folders: the pid index is made
// before the update (without it the update scans the table per folder).
TEST(CatdbChildren, NumChildrenOfTenThousandFolders)
{
    Catalog cat;
    std::vector<CatRow> rows{{1, -1, 1, 0}};
    int64_t next = 2;
    for (int f = 0; f < 10000; ++f) {
        int64_t folder = next++;
        rows.push_back({folder, 1, 1, 0});
        for (int k = 0; k < f % 3; ++k)
            rows.push_back({next++, folder, 0, 1});
    }
    cat.write(rows);
    ASSERT_EQ(catdb_update_num_children(&cat.db), 0);
    EXPECT_EQ(query_int(cat.db.conn, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = 'pid_indx';"),
              1);
    uint32_t n = 0;
    for (int64_t root : {(int64_t)CATDB_KEYNUM_ROOT, (int64_t)1}) {
        ASSERT_EQ(catdb_get_num_children(&cat.db, root, &n), 0);
        EXPECT_EQ(n, 10000u) << root;
    }
    // Folder f has f % 3 files; folders are numbered in row order.
    int64_t id = 2;
    for (int f = 0; f < 10000; ++f) {
        if (f % 997 == 0) {
            ASSERT_EQ(catdb_get_num_children(&cat.db, id, &n), 0);
            EXPECT_EQ(n, (uint32_t)(f % 3)) << "folder " << f;
        }
        id += 1 + f % 3;
    }
    EXPECT_EQ(catdb_get_num_children(&cat.db, 0, &n), -12); // below id_root, no query
    EXPECT_EQ(catdb_get_num_children(&cat.db, next + 5, &n), -12);
    EXPECT_TRUE(cat.logged("catdb_get_num_children: kn"));
    EXPECT_EQ(catdb_get_num_children(&cat.db, 1, nullptr), -15);
    // Index names come only from identifiers.
    EXPECT_EQ(catdb_create_index(&cat.db, "pid); DROP TABLE nodes; --"), -12);
}

// fs_id / fs_pid become pid links; an empty file's fs_id (1) never adopts
// the root, whose fs_pid is 1 too.
TEST(CatdbChildren, LinkParentsOnlyToFolders)
{
    Catalog cat;
    ASSERT_EQ(catdb_ensure_writing(&cat.db), 0);
    ASSERT_EQ(catdb_exec(&cat.db, "INSERT INTO nodes (id, is_dir, size, fs_id, fs_pid) VALUES "
                                  "(1, 1, 0, 2, 1), (2, 0, 0, 1, 2), (3, 1, 0, 9, 2), (4, 0, 5, 12, 9), "
                                  "(5, 0, 3, 13, 2), (6, 0, 4, 14, 1);"),
              0);
    ASSERT_EQ(catdb_link_parents(&cat.db), 0);
    EXPECT_EQ(query_int(cat.db.conn, "SELECT COUNT(*) FROM nodes WHERE id = 1 AND pid IS NULL;"), 1);
    // No folder has fs_id 1: the row stays without a parent.
    EXPECT_EQ(query_int(cat.db.conn, "SELECT COUNT(*) FROM nodes WHERE id = 6 AND pid IS NULL;"), 1);
    ASSERT_EQ(catdb_update_num_children(&cat.db), 0);
    EXPECT_EQ(cat.children(CATDB_KEYNUM_ROOT), (std::vector<int64_t>{2, 3, 5}));
    EXPECT_EQ(cat.children(3), (std::vector<int64_t>{4}));
    uint32_t n = 0;
    ASSERT_EQ(catdb_get_num_children(&cat.db, 1, &n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(catdb_get_num_children(&cat.db, 2, &n), 0);
    EXPECT_EQ(n, 0u); // the empty file has no children
}

// Writers link the rows whose parent they know as they insert them; the
// link afterwards sets the pid of the rows left without one and of no
// other (a trigger notes every row whose pid is set), and puts the root
// back at NULL. Nothing left to link: no row is set.
TEST(CatdbChildren, LinkParentsSetsOnlyRowsLeftWithoutParent)
{
    Catalog cat;
    ASSERT_EQ(catdb_ensure_writing(&cat.db), 0);
    ASSERT_EQ(catdb_exec(&cat.db, "CREATE TABLE touched (id INTEGER); CREATE TRIGGER note AFTER UPDATE OF pid ON "
                                  "nodes BEGIN INSERT INTO touched VALUES (new.id); END;"),
              0);
    // Row 5 was written under folder 3 by its writer; its fs_pid names the root.
    ASSERT_EQ(catdb_exec(&cat.db, "INSERT INTO nodes (id, pid, is_dir, size, fs_id, fs_pid) VALUES "
                                  "(1, 7, 1, 0, 2, 1), (3, 1, 1, 0, 9, 2), (4, NULL, 0, 5, 12, 9), "
                                  "(5, 3, 0, 3, 13, 2), (6, NULL, 1, 0, 20, 2), (7, NULL, 0, 1, 21, 20);"),
              0);
    ASSERT_EQ(catdb_link_parents(&cat.db), 0);
    EXPECT_EQ(query_text(cat.db.conn, "SELECT group_concat(id || ':' || IFNULL(pid, '-'), ' ') FROM (SELECT id, pid "
                                      "FROM nodes ORDER BY id);"),
              "1:- 3:1 4:3 5:3 6:1 7:6");
    EXPECT_EQ(query_text(cat.db.conn, "SELECT group_concat(id, ' ') FROM (SELECT id FROM touched ORDER BY id);"),
              "1 4 6 7");

    ASSERT_EQ(catdb_exec(&cat.db, "DELETE FROM touched;"), 0);
    ASSERT_EQ(catdb_link_parents(&cat.db), 0);
    EXPECT_EQ(query_int(cat.db.conn, "SELECT COUNT(*) FROM touched;"), 0);
    ASSERT_EQ(catdb_update_num_children(&cat.db), 0);
    EXPECT_EQ(cat.children(CATDB_KEYNUM_ROOT), (std::vector<int64_t>{3, 6}));
    EXPECT_EQ(cat.children(3), (std::vector<int64_t>{4, 5}));
    EXPECT_EQ(cat.children(6), (std::vector<int64_t>{7}));
}

namespace {
int collect_child(void *context, catdb *, fs_record *, int64_t keynum)
{
    if (keynum == 3)
        return -1; // skipped
    static_cast<std::vector<int64_t> *>(context)->push_back(keynum);
    return 0;
}
} // namespace

// Children in row order, the histogram of their selection, a file's empty
// listing, and the per-child callback that may skip children.
TEST(CatdbChildren, ListingsAndHistogram)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {4, 1, 0, 5}, {2, 1, 0, 1}, {3, 1, 1, 0}, {5, 3, 0, 2}});
    EXPECT_EQ(cat.children(1), (std::vector<int64_t>{2, 3, 4})); // row (id) order
    EXPECT_EQ(cat.children(2), std::vector<int64_t>{});
    EXPECT_TRUE(cat.logged("catdb_get_children_keynums: Can't get children for keynum 2"));
    int64_t list[] = {5, 3, 1, CATDB_KEYNUM_NONE};
    ASSERT_EQ(catdb_select_node(&cat.db, list, 4, 1), 0);
    ASSERT_EQ(catdb_get_children_keynums(&cat.db, CATDB_KEYNUM_ROOT, nullptr), 3);
    uint32_t histogram[3];
    ASSERT_EQ(catdb_get_children_histogram(&cat.db, histogram), 0);
    // Files 2 and 4 unticked, folder 3 wholly selected, none partial.
    EXPECT_EQ(std::vector<uint32_t>(histogram, histogram + 3), std::vector<uint32_t>({2, 1, 0}));

    std::vector<int64_t> seen;
    EXPECT_EQ(catdb_node_children(&cat.db, CATDB_KEYNUM_ROOT, collect_child, &seen), 0);
    EXPECT_EQ(seen, (std::vector<int64_t>{2, 4}));
}

// A writer that dies in the middle of its transaction leaves cat.db with a
// hot journal. The next opening for reading rolls it back (SQLite cannot on
// a read-only connection) and reads the catalog as it was committed, instead
// of refusing it as "not a catalog".
TEST(CatdbOpen, CatalogLeftMidWriteByACrashIsRolledBack)
{
    Catalog cat;
    zvtest::ChainTree tree = zvtest::make_chain_tree(3, 5);
    cat.write(tree.rows);
    ASSERT_EQ(catdb_close(&cat.db), 0);
    const std::string path = cat.path("cat.db");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Rewrites most rows with the page cache kept tiny, so changed pages
        // reach cat.db before the commit, then dies without committing.
        sqlite3 *conn = nullptr;
        if (sqlite3_open(path.c_str(), &conn) != SQLITE_OK ||
            sqlite3_exec(conn, "PRAGMA cache_size = 1; BEGIN; DELETE FROM nodes WHERE id > 1;", nullptr, nullptr,
                         nullptr) != SQLITE_OK)
            _exit(2);
        for (int i = 0; i < 2000; ++i) {
            std::string sql = "INSERT INTO nodes (id, pid, is_dir, size) VALUES (" + std::to_string(1000 + i) +
                              ", 1, 0, " + std::to_string(i) + ");";
            if (sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
                _exit(3);
        }
        _exit(0); // no commit, no close: as if the process had been killed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(cat.exists("cat.db-journal"));
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(catdb_count_nodes(&cat.db), (int64_t)tree.rows.size());
    EXPECT_EQ(cat.children(tree.folders[2]), tree.filesAt[2]);
    EXPECT_FALSE(cat.exists("cat.db-journal"));
}

// Fault guarded: a journal beside cat.db that names a super-journal was
// rolled back, and SQLite then deleted the file it names, wherever that is
// (a file of the user's, when the journal came with a received saved scan).
// A catalog is one database and its journals never name one: such a journal,
// or one that is not a regular file, is refused before any rollback, and the
// catalog is treated as damaged until the journal is gone.
TEST(CatdbOpen, JournalNamingASuperJournalIsRefusedNotRolledBack)
{
    zvtest::TempDir outside;
    const std::string victim = outside / "notes.txt";
    const std::string journal = zvtest::journal_naming(victim);
    zvtest::ChainTree tree = zvtest::make_chain_tree(2, 3);
    for (bool linked : {false, true}) {
        Catalog cat;
        cat.write(tree.rows);
        ASSERT_EQ(catdb_close(&cat.db), 0);
        zvtest::writeFile(victim, "precious");
        if (linked) {
            zvtest::writeFile(outside / "journal", journal);
            ASSERT_EQ(symlink((outside / "journal").c_str(), cat.path("cat.db-journal").c_str()), 0);
        } else {
            zvtest::writeFile(cat.path("cat.db-journal"), journal);
        }
        EXPECT_EQ(catdb_ensure_reading(&cat.db), -34) << linked;
        EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
        EXPECT_EQ(zvtest::readFile(victim), "precious") << linked;
        EXPECT_EQ(catdb_ensure_writing(&cat.db), -3) << linked;
        EXPECT_EQ(zvtest::readFile(victim), "precious") << linked;
        EXPECT_TRUE(cat.logged(linked ? "is not a regular file" : "names a super-journal")) << linked;
        EXPECT_TRUE(cat.exists("cat.db-journal"));
        // Without the journal the catalog reads as it was committed.
        ASSERT_EQ(unlink(cat.path("cat.db-journal").c_str()), 0);
        ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
        EXPECT_EQ(cat.children(tree.folders[1]), tree.filesAt[1]);
    }
}

// SQLite looks for the journal beside the file a linked "cat.db" leads to:
// a link there is refused before any connection may roll that journal back.
TEST(CatdbOpen, CatalogThatIsALinkIsRefusedBeforeAnyRollback)
{
    zvtest::TempDir outside;
    const std::string victim = outside / "notes.txt";
    zvtest::ChainTree tree = zvtest::make_chain_tree(2, 3);
    Catalog cat;
    cat.write(tree.rows);
    ASSERT_EQ(catdb_close(&cat.db), 0);
    zvtest::writeFile(victim, "precious");
    ASSERT_EQ(rename(cat.path("cat.db").c_str(), (outside / "real.db").c_str()), 0);
    ASSERT_EQ(symlink((outside / "real.db").c_str(), cat.path("cat.db").c_str()), 0);
    zvtest::writeFile(outside / "real.db-journal", zvtest::journal_naming(victim));
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -34);
    EXPECT_EQ(zvtest::readFile(victim), "precious");
    EXPECT_EQ(catdb_ensure_writing(&cat.db), -3);
    EXPECT_EQ(zvtest::readFile(victim), "precious");
    EXPECT_TRUE(cat.logged("cat.db is not a regular file"));
}
