// A catalog in a temporary folder for the catalog tests: a "nodes" table
// like the file-system types make (id, pid, is_dir, size, num_children,
// fs_id, fs_pid), rows written through prepared statements, a few tree
// shapes, and the engine log in the same folder so tests can look for
// lines.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "scan/catalog/catdb.h"
#include "scan/catalog/selection.h"
#include "support/test_support.h"

namespace zvtest {

struct CatRow {
    int64_t id;
    int64_t pid; // -1 writes NULL
    int is_dir;
    int64_t size;
};

// Binds the first four values of an insert into "nodes": id, pid (NULL for
// a negative pid, the root's), is_dir and size.
inline void bind_node_row(sqlite3_stmt *stmt, int64_t id, int64_t pid, int is_dir, int64_t size)
{
    sqlite3_bind_int64(stmt, 1, id);
    if (pid < 0)
        sqlite3_bind_null(stmt, 2);
    else
        sqlite3_bind_int64(stmt, 2, pid);
    sqlite3_bind_int(stmt, 3, is_dir);
    sqlite3_bind_int64(stmt, 4, size);
}

inline int make_nodes_table(catdb *db, fs_record * /*record*/)
{
    return catdb_exec(db, "CREATE TABLE IF NOT EXISTS nodes (id INTEGER PRIMARY KEY, pid INTEGER, is_dir INTEGER, "
                          "size INTEGER, num_children INTEGER, fs_id INTEGER, fs_pid INTEGER);");
}

// The record SQLite appends to a rollback journal whose transaction spanned
// several databases: the super-journal's name, its length and the sum of its
// bytes (each a big-endian u32), then the journal magic. Rolling such a
// journal back makes SQLite delete the file it names.
inline std::string super_journal_record(const std::string &name)
{
    std::string out = name;
    uint32_t sum = 0;
    for (char c : name)
        sum += (uint32_t)(int32_t)(signed char)c;
    for (uint32_t value : {(uint32_t)name.size(), sum})
        for (int shift = 24; shift >= 0; shift -= 8)
            out += (char)(uint8_t)(value >> shift);
    return out + std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8);
}

// A journal SQLite takes as hot (its first byte is not 0) that names the
// super-journal super.
inline std::string journal_naming(const std::string &super)
{
    return std::string(4, '\x01') + super_journal_record(super);
}

class Catalog {
public:
    Catalog()
    {
        if (catdb_new(&db, nullptr) != 0)
            throw std::runtime_error("catdb_new failed");
        catdb_set_folder(&db, dir.path().c_str());
        db.on_open_for_writing = make_nodes_table;
        log_open(logPath().c_str());
    }
    ~Catalog()
    {
        catdb_free(&db);
        log_close();
    }
    Catalog(const Catalog &) = delete;
    Catalog &operator=(const Catalog &) = delete;

    std::string path(const std::string &name) const { return dir / name; }
    std::string logPath() const { return dir / "engine.log"; }
    bool logged(const std::string &text) const { return readFile(logPath()).find(text) != std::string::npos; }
    bool exists(const std::string &name) const
    {
        struct stat info;
        return stat(path(name).c_str(), &info) == 0;
    }

    // Inserts rows in the given order (inside the write transaction).
    void write(const std::vector<CatRow> &rows)
    {
        if (catdb_ensure_writing(&db) != 0)
            throw std::runtime_error("ensure_writing failed");
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db.conn, "INSERT INTO nodes (id, pid, is_dir, size) VALUES (?, ?, ?, ?);", -1, &stmt,
                               nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db.conn));
        for (const CatRow &row : rows) {
            bind_node_row(stmt, row.id, row.pid, row.is_dir, row.size);
            if (sqlite3_step(stmt) != SQLITE_DONE)
                throw std::runtime_error(sqlite3_errmsg(db.conn));
            sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
    }

    // Writes the rows, opens the catalog once for reading (which writes its
    // caches) and closes it again.
    void writeCached(const std::vector<CatRow> &rows)
    {
        write(rows);
        if (catdb_ensure_reading(&db) != 0 || catdb_close(&db) != 0)
            throw std::runtime_error("writing the caches failed");
    }

    // Ticks the whole tree and closes the catalog, which saves the
    // selection: returns the bytes of "sel-state" then.
    std::string tickRootAndClose()
    {
        int64_t root[] = {CATDB_KEYNUM_ROOT, CATDB_KEYNUM_NONE};
        if (catdb_select_node(&db, root, 2, 1) != 0 || catdb_close(&db) != 0)
            throw std::runtime_error("ticking the root failed");
        return readFile(path("sel-state"));
    }

    std::vector<int64_t> children(int64_t keynum)
    {
        std::vector<int64_t> out;
        int64_t n = catdb_get_children_keynums(&db, keynum, &out);
        if (n < 0)
            throw std::runtime_error("children failed: " + std::to_string(n));
        return out;
    }

    uint32_t selection(int64_t keynum)
    {
        uint32_t value = 99;
        if (catdb_get_selection_(&db, keynum, &value) != 0)
            throw std::runtime_error("selection failed");
        return value;
    }

    std::vector<uint64_t> counters()
    {
        uint64_t out[SEL_COUNTER_COUNT];
        catdb_get_selection_counters(&db, out);
        return std::vector<uint64_t>(out, out + SEL_COUNTER_COUNT);
    }

    TempDir dir;
    catdb db{};
};

// A chain of folders under the root (id 1): each level holds `files` files
// and one subfolder, `depth` levels deep. The ids are 1..n in row order.
// folders[i] is the folder at depth i (folders[0] = 1); filesAt[i] its files.
struct ChainTree {
    std::vector<CatRow> rows;
    std::vector<int64_t> folders;
    std::vector<std::vector<int64_t>> filesAt;
};

inline ChainTree make_chain_tree(int depth, int files, int64_t fileSize = 100)
{
    ChainTree tree;
    int64_t next = 1;
    tree.rows.push_back({next, -1, 1, 0});
    tree.folders.push_back(next++);
    for (int level = 0; level < depth; ++level) {
        int64_t parent = tree.folders.back();
        tree.filesAt.emplace_back();
        for (int f = 0; f < files; ++f) {
            tree.rows.push_back({next, parent, 0, fileSize + next});
            tree.filesAt.back().push_back(next++);
        }
        if (level + 1 < depth) {
            tree.rows.push_back({next, parent, 1, 0});
            tree.folders.push_back(next++);
        }
    }
    return tree;
}

// The ancestor list of a node in a chain tree: node, its folders up to the
// root, then the no-node keynum.
inline std::vector<int64_t> chain_ancestors(const ChainTree &tree, int level, int64_t node)
{
    std::vector<int64_t> list{node};
    for (int i = level; i >= 0; --i)
        if (tree.folders[i] != node)
            list.push_back(tree.folders[i]);
    list.push_back(CATDB_KEYNUM_NONE);
    return list;
}

} // namespace zvtest
