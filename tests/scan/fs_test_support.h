// Shared by the tests of found file systems and scan contexts: a workspace
// folder named like the engine's (so deletions pass remove_tree_safe), a
// file medium, and a catalog-backed file-system type registered as type 4
// ("FAT") that keeps its nodes in a real cat.db:
//
//   nodes (id INTEGER PRIMARY KEY, pid INTEGER, is_dir INTEGER, size INTEGER,
//          num_children INTEGER, name TEXT)
//   extents (the catalog's shared table): every extent of a node, in bytes
//
// Its operations use the catalog (scan/catalog/catdb.h, selection.h) the way
// the real types do: node information from "nodes", children and counts
// from the caches, selection through catdb_select_node, extents from
// "extents".
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "catdb_test_support.h"
#include "foundation/buf.h"
#include "foundation/log.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "scan/catalog/fs_record.h"
#include "scan/catalog/selection.h"
#include "scan/module.h"
#include "scan/scan_context.h"
#include "storage/media.h"
#include "support/test_support.h"

namespace fstest {

struct Node {
    int64_t id;
    int64_t pid; // -1: NULL (the root)
    int is_dir;
    int64_t size;
    std::string name;
    std::vector<fs_extent> extents;
};

inline int create_tables(catdb *db, fs_record *)
{
    int rc = catdb_exec(db, "CREATE TABLE IF NOT EXISTS nodes (id INTEGER PRIMARY KEY, pid INTEGER, is_dir INTEGER, "
                            "size INTEGER, num_children INTEGER DEFAULT -1, name TEXT DEFAULT '');");
    return rc != 0 ? rc : catdb_create_extents_table(db);
}

class TestOps : public fs_ops {
public:
    int probe(fs_record *) override { return probe_result; }
    int quick_scan(fs_record *) override { return quick_result; }
    int volume_name(fs_record *, char *out, size_t size) override
    {
        std::snprintf(out, size, "%s", "CARD_LABEL");
        return 0;
    }
    int num_children(fs_record *r, uint64_t keynum) override
    {
        uint32_t n = 0;
        const int rc = catdb_ensure_reading(&r->cat);
        if (rc != 0)
            return rc;
        const int got = catdb_get_num_children(&r->cat, (int64_t)keynum, &n);
        return got != 0 ? got : (int)n;
    }
    int node_info(fs_record *r, uint64_t keynum, NodeInfo *out, int) override
    {
        std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&r->cat));
        if (catdb_ensure_reading(&r->cat) != 0)
            return -1;
        const int64_t id = keynum == KEYNUM_FS_ROOT ? r->id_root : (int64_t)keynum;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(r->cat.conn, "SELECT pid, is_dir, size, num_children, name FROM nodes WHERE id = ?;",
                               -1, &stmt, nullptr) != SQLITE_OK)
            return -40;
        sqlite3_bind_int64(stmt, 1, id);
        int rc = -12;
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            *out = NodeInfo();
            out->keyref = fs_keyref_base(r) | (uint64_t)id;
            out->keynum = (uint64_t)id;
            out->parent = (uint64_t)sqlite3_column_int64(stmt, 0);
            const bool folder = sqlite3_column_int(stmt, 1) != 0;
            out->flags = folder ? (uint32_t)NODE_FOLDER : 0u;
            if (folder)
                out->child_count = (uint64_t)std::max<int64_t>(0, sqlite3_column_int64(stmt, 3));
            else
                out->data_size = (uint64_t)sqlite3_column_int64(stmt, 2);
            const unsigned char *name = sqlite3_column_text(stmt, 4);
            out->name = name != nullptr ? (const char *)name : "";
            uint32_t sel = 0;
            if (catdb_get_selection_(&r->cat, id, &sel) == 0)
                out->flags |= sel & NODE_SELECTION_MASK;
            rc = 0;
        }
        sqlite3_finalize(stmt);
        return rc;
    }
    int children(fs_record *r, uint64_t keynum, std::vector<NodeInfo> *out) override
    {
        struct ctx {
            TestOps *self;
            std::vector<NodeInfo> *out;
        } c{this, out};
        return catdb_node_children(
            &r->cat, (int64_t)keynum,
            [](void *context, catdb *, fs_record *record, int64_t child) {
                auto *cc = static_cast<ctx *>(context);
                NodeInfo info;
                const int rc = cc->self->node_info(record, (uint64_t)child, &info, 0);
                if (rc == 0)
                    cc->out->push_back(info);
                return rc;
            },
            &c);
    }
    int select(fs_record *r, const int64_t *list, size_t count, uint32_t value) override
    {
        return catdb_select_node(&r->cat, list, count, value);
    }
    int node_extents(fs_record *r, uint64_t keynum, int fork, std::vector<fs_extent> *out) override
    {
        std::vector<catdb_extent> got;
        std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&r->cat));
        if (catdb_ensure_reading(&r->cat) != 0)
            return -1;
        const int rc = catdb_get_extents(&r->cat, (int64_t)keynum, fork, &got);
        if (rc != 0)
            return rc;
        for (const catdb_extent &e : got)
            out->push_back(fs_extent{e.start, e.length});
        return 0;
    }

    int probe_result = 1;
    int quick_result = 0;
};

// Type 4 with the short name "FAT", made through the module registry.
inline int test_fs_init(fs_record *record)
{
    std::snprintf(record->prefix, sizeof record->prefix, "FAT");
    std::snprintf(record->fs_name, sizeof record->fs_name, "FAT");
    record->id_root = 1;
    record->ops.reset(new TestOps());
    record->cat.on_open_for_writing = create_tables;
    return fs_make_folder(record);
}

inline fil_module *register_test_type(uint32_t code = FS_TYPE_FAT)
{
    fil_module *module = fil_module_get_or_create(code == FS_TYPE_FAT ? FIL_MODULE_FAT : FIL_MODULE_CBR,
                                                  sizeof(fil_module));
    if (module == nullptr)
        throw std::runtime_error("module record");
    module->fs_init = test_fs_init;
    if (fs_register_type(module, code, FS_RECORD_COMMON_SIZE) != 0)
        throw std::runtime_error("fs_register_type");
    return module;
}

// Writes the nodes (and their extents) into the record's catalog and closes
// it, holding the record's mutex throughout as a scan operation does (the
// record is in the live list already, so requests may arrive meanwhile).
inline void write_catalog(fs_record *record, const std::vector<Node> &nodes)
{
    std::lock_guard<std::recursive_mutex> scan_hold(record->mutex);
    catdb *db = &record->cat;
    if (catdb_ensure_writing(db) != 0)
        throw std::runtime_error("ensure_writing");
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db->conn, "INSERT INTO nodes (id, pid, is_dir, size, name) VALUES (?, ?, ?, ?, ?);", -1,
                           &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db->conn));
    for (const Node &n : nodes) {
        zvtest::bind_node_row(stmt, n.id, n.pid, n.is_dir, n.size);
        sqlite3_bind_text(stmt, 5, n.name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db->conn));
        sqlite3_reset(stmt);
        if (!n.extents.empty()) {
            std::vector<catdb_extent> ext;
            for (const fs_extent &e : n.extents)
                ext.push_back(catdb_extent{e.start, e.length});
            if (catdb_add_extents(db, n.id, 0, ext.data(), ext.size()) != 0)
                throw std::runtime_error("add_extents");
        }
    }
    sqlite3_finalize(stmt);
    if (catdb_update_num_children(db) != 0 || catdb_close(db) != 0)
        throw std::runtime_error("finishing the catalog");
    record->has_children = 1;
}

// A small tree: root 1 { DCIM 2 { a.jpg 3, b.jpg 4 }, notes.txt 5 }.
inline std::vector<Node> small_tree()
{
    return {{1, -1, 1, 0, "", {}},
            {2, 1, 1, 0, "DCIM", {}},
            {3, 2, 0, 1000, "a.jpg", {}},
            {4, 2, 0, 3000, "b.jpg", {}},
            {5, 1, 0, 20, "notes.txt", {}}};
}

// Every node below keynum by its path from there ("DCIM/100CANON/IMG_0001.JPG",
// folders with a trailing "/"), as the front end lists them through the
// children operation; at most 32 folders deep.
inline void catalogNodes(fs_record *fs, uint64_t keynum, const std::string &prefix,
                         std::map<std::string, NodeInfo> *out, int depth = 0)
{
    ASSERT_LT(depth, 32);
    std::vector<NodeInfo> children;
    ASSERT_EQ(fs_node_children(fs, keynum, &children), 0) << prefix;
    for (const NodeInfo &child : children) {
        const bool folder = (child.flags & NODE_FOLDER) != 0;
        const std::string path = prefix + child.name + (folder ? "/" : "");
        (*out)[path] = child;
        if (folder)
            catalogNodes(fs, child.keynum, path, out, depth + 1);
    }
}

// A workspace "<tmp>/ZorvantWorkspace" that is the global root, the engine
// log inside the temp folder, and clean registries around each test.
class Workspace : public testing::Test {
protected:
    void SetUp() override
    {
        engine_set_workspace_name("Zorvant");
        log_open((dir / "engine.log").c_str());
        workspace = dir_new(nullptr, (dir / "ZorvantWorkspace").c_str());
        ASSERT_NE(workspace, nullptr);
        ASSERT_EQ(dir_global_root(), workspace);
        fs_unregister_all_types();
        fil_testing::clear_registry();
    }
    void TearDown() override
    {
        scx_testing::reset();
        fs_unregister_all_types();
        fil_testing::clear_registry();
        media_free_all();
        dir_free(&workspace);
        log_close();
    }

    std::string ws() const { return dir / "ZorvantWorkspace"; }
    bool logged(const std::string &text) const
    {
        return zvtest::readFile(dir / "engine.log").find(text) != std::string::npos;
    }
    // A listed, attached plain-file medium over the whole file.
    Media *fileMedium(const std::string &path, const std::string &bytes)
    {
        zvtest::writeFile(path, bytes);
        return attachedMedium(path, MEDIA_FILE, (int64_t)bytes.size());
    }
    // A listed medium "card" of the given kind over size bytes of path,
    // attached with 512-byte blocks.
    static Media *attachedMedium(const std::string &path, uint32_t kind, int64_t size)
    {
        Media *m = media_new(path.c_str(), "card", kind, 0);
        if (m == nullptr)
            throw std::runtime_error("media_new");
        m->stop_pos = m->orig_stop_pos = size;
        m->block_size = 512;
        m->attached = 1;
        return m;
    }

    zvtest::TempDir dir;
    work_dir *workspace = nullptr;
};

// The whole data of a node read over its catalog extents.
inline std::string nodeData(fs_record *fs, uint64_t keynum, uint64_t size)
{
    if (size == 0)
        return "";
    int status = -99;
    buf_t *data = fs_node_data(fs, keynum, 0, (int64_t)size, 0, &status);
    std::string out;
    if (data != nullptr) {
        out.assign(reinterpret_cast<const char *>(data->data), (size_t)data->count);
        buf_free(data);
    }
    EXPECT_EQ(status, 0) << "keynum " << keynum;
    return out;
}

} // namespace fstest
