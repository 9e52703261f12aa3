// Shared by the tests of the thorough-scan store: a workspace with the
// component started as at engine start (cbr_init), a thorough scan holding
// the store, and a test module "tst " that files its one kind, subtype 1,
// as "<number>.jpg" in Images/JPEG (type folder made at registration, as a
// real module does). Spans are written straight into the store's "spans",
// and the catalog is read back with SQLite.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../fs_test_support.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/prefs.h"
#include "scan/module.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"

namespace cbrtreetest {

constexpr uint32_t kTestModule = fil_module_code("tst ");

// A span of the test module as the block loop writes it (state 1) or as
// measuring rewrites it (5), size bytes long.
inline cbr_span span_at(uint64_t start, uint64_t size, uint16_t state = CBR_SPAN_DETECTED | CBR_SPAN_MEASURED,
                        uint32_t module = kTestModule, uint16_t subtype = 1)
{
    cbr_span s{};
    s.start = start;
    s.end = start + size;
    s.module_id = module;
    s.state = state;
    s.subtype = subtype;
    s.result = 0x10;
    return s;
}

// One row of "nodes"; NULL columns as empty optionals.
struct Row {
    int64_t id = 0;
    std::string name;
    std::optional<int64_t> pid, is_dir, num_children, start, size, date, flags, hfs_type, hfs_creator;
};

inline std::optional<int64_t> column(sqlite3_stmt *stmt, int i)
{
    if (sqlite3_column_type(stmt, i) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_int64(stmt, i);
}

// Every row of a cat.db, by id.
inline std::vector<Row> read_rows(const std::string &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("can't open " + path);
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT id,name,pid,is_dir,num_children,start,size,date_created,flags,hfs_type,"
                           "hfs_creator FROM nodes ORDER BY id;",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error(message);
    }
    std::vector<Row> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        Row r;
        r.id = sqlite3_column_int64(stmt, 0);
        const unsigned char *name = sqlite3_column_text(stmt, 1);
        r.name = name != nullptr ? (const char *)name : "";
        r.pid = column(stmt, 2);
        r.is_dir = column(stmt, 3);
        r.num_children = column(stmt, 4);
        r.start = column(stmt, 5);
        r.size = column(stmt, 6);
        r.date = column(stmt, 7);
        r.flags = column(stmt, 8);
        r.hfs_type = column(stmt, 9);
        r.hfs_creator = column(stmt, 10);
        rows.push_back(r);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

// The workspace, the component started on empty settings (the defaults it
// stores are what every test reads, whatever an earlier test of the
// process set), the test module and a thorough scan whose store is `store`.
class StoreTest : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        clear_errors();
        prefs_reset();
        ASSERT_EQ(cbr_init(), 0);
        module = fil_module_get_or_create(kTestModule, sizeof(fil_module));
        ASSERT_NE(module, nullptr);
        const char *jpeg = "JPEG";
        subtypes[1].type_folder = nameseq_find_in(nameseq_category_node(NAMESEQ_IMAGES), &jpeg, 1, true);
        subtypes[1].prefix = "";
        subtypes[1].extension = "jpg";
        module->subtypes = subtypes;
        module->subtype_count = 2;
        module->enabled = 1;
        nameseq_reset(nameseq_context());
        scan = scx_new(SCX_TYPE_THOROUGH, nullptr, workspace);
        ASSERT_NE(scan, nullptr);
        record = scan->store;
        ASSERT_NE(record, nullptr);
        store = cbr_store_of(record);
        ASSERT_NE(store, nullptr);
        // What attaching the modules to the scan does.
        for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
            m->scan = scan;
        nameseq_context()->store = record;
    }
    void TearDown() override
    {
        fil_module_set_store_hooks(nullptr);
        clear_run_flags();
        clear_errors();
        Workspace::TearDown();
    }

    std::string folder() const { return dir_path(record->folder); }
    std::string file(const char *name) const { return folder() + "/" + name; }
    // "spans" holding the spans, the span counter set, and "cbrnames" as
    // parsing leaves it ("xx" first).
    void writeSpans(const std::vector<cbr_span> &spans)
    {
        std::string bytes(spans.size() * sizeof(cbr_span), '\0');
        if (!spans.empty())
            std::memcpy(bytes.data(), spans.data(), bytes.size());
        zvtest::writeFile(file("spans"), bytes);
        zvtest::writeFile(file("cbrnames"), std::string("xx\0", 3));
        store->span_count = spans.size();
    }
    std::vector<Row> rows() const { return read_rows(file("cat.db")); }

    fil_module *module = nullptr;
    fil_module_subtype subtypes[2] = {};
    ScanContext *scan = nullptr;
    fs_record *record = nullptr;
    cbr_store *store = nullptr;
};

} // namespace cbrtreetest
