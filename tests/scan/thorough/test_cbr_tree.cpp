// The catalog tree of "Reconstructed Files": the rows built from measured
// spans (folders, files, flags, HFS codes, ids), folder roll-over in the
// real catalog, the endings of the build, the catalog modes, the names file
// and node information of the store's rows and root.
//
// The suites open catalogs for reading, which starts the selection writer.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>

#include "cbr_tree_test_support.h"
#include "foundation/module_source.h"
#include "foundation/notify.h"
#include "foundation/progress.h"
#include "modules/gfm.h"
#include "scan/path_index.h"

using namespace cbrtreetest;

namespace {

class CbrTreeThreads : public StoreTest {
protected:
    // The end-of-scan steps after the tree: child counts, then the catalog
    // closed (committed).
    void countChildren()
    {
        ASSERT_EQ(catdb_update_num_children(&record->cat), 0);
        ASSERT_EQ(catdb_close(&record->cat), 0);
    }
    bool listed(int code) const
    {
        return (" " + error_list_str() + " ").find(std::to_string(code)) != std::string::npos;
    }
};

TEST_F(CbrTreeThreads, FoldersAndFilesFromTheMeasuredSpans)
{
    cbr_span flagged2 = span_at(0x2000, 200, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED | CBR_SPAN_FLAG_2);
    cbr_span flagged8 = span_at(0x3000, 300, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED | CBR_SPAN_FLAG_8);
    flagged8.hfs_type = fil_module_code("JPEG");
    flagged8.hfs_creator = 0;
    writeSpans({span_at(0x1000, 100), span_at(0x1800, 50, CBR_SPAN_MEASURED), // no bit 1: no file
                flagged2, span_at(0x2400, 0, CBR_SPAN_DETECTED), // a start not measured (the card failed): no file
                span_at(0x2800, 10, 5, fil_module_code("zzz ")), flagged8});
    const size_t depth = progress_depth();
    ASSERT_EQ(cbr_build_tree(record), 0);
    EXPECT_EQ(progress_depth(), depth);
    EXPECT_EQ(record->cat_mode, 0u);
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_CLOSED);
    EXPECT_EQ(n_errors(), 0);
    EXPECT_TRUE(logged("Creating CBR catalog tree"));
    EXPECT_TRUE(logged("No FM with fm_id zzz "));
    EXPECT_TRUE(logged("CBR create cat nodes complete"));

    const std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 6u);
    const int64_t when = scan->start_time.seconds;
    // The root, then the first folder made gets id 2.
    EXPECT_EQ(r[0].id, 1);
    EXPECT_EQ(r[0].name, "");
    EXPECT_EQ(r[0].pid, 0);
    EXPECT_EQ(r[0].is_dir, 1);
    EXPECT_EQ(r[1].id, 2);
    EXPECT_EQ(r[1].name, "Images");
    EXPECT_EQ(r[1].pid, 1);
    EXPECT_EQ(r[2].name, "JPEG");
    EXPECT_EQ(r[2].pid, 2);
    for (int i : {1, 2}) {
        EXPECT_EQ(r[i].is_dir, 1);
        EXPECT_EQ(r[i].num_children, 0);
        EXPECT_GE(r[i].date.value_or(0), when);
    }
    struct {
        const char *name;
        int64_t start, size;
        std::optional<int64_t> flags, hfs_type, hfs_creator;
    } files[] = {{"00001.jpg", 0x1000, 100, {}, {}, {}},
                 {"00002.jpg", 0x2000, 200, 1, {}, {}},
                 {"00003.jpg", 0x3000, 300, 2, (int64_t)fil_module_code("JPEG"), 0}};
    for (int i = 0; i < 3; i++) {
        const Row &row = r[3 + i];
        EXPECT_EQ(row.id, 4 + i);
        EXPECT_EQ(row.name, files[i].name);
        EXPECT_EQ(row.pid, 3);
        EXPECT_EQ(row.is_dir, 0);
        EXPECT_EQ(row.num_children, std::nullopt);
        EXPECT_EQ(row.start, files[i].start);
        EXPECT_EQ(row.size, files[i].size);
        EXPECT_EQ(row.date, when); // the scan's time
        EXPECT_EQ(row.flags, files[i].flags) << i;
        EXPECT_EQ(row.hfs_type, files[i].hfs_type) << i;
        EXPECT_EQ(row.hfs_creator, files[i].hfs_creator) << i;
    }
    EXPECT_EQ(subtypes[1].type_folder->file_counter, 4u);
}

TEST_F(CbrTreeThreads, TypeFoldersRollOverBelowOneCategoryRow)
{
    ASSERT_EQ(prefs_set_int("Scanning/Reconstructed Files", "max_dir_entries", 2), 0);
    nameseq_reset(nameseq_context());
    std::vector<cbr_span> spans;
    for (int i = 0; i < 9; i++)
        spans.push_back(span_at(0x10000 * (uint64_t)(i + 1), 512));
    writeSpans(spans);
    ASSERT_EQ(cbr_build_tree(record), 0);
    countChildren();

    std::vector<std::string> folders, inFirstRoll;
    int64_t images = 0, jpeg1 = 0;
    const std::vector<Row> r = rows();
    for (const Row &row : r)
        if (row.is_dir == 1 && row.id != 1) {
            folders.push_back(row.name);
            if (row.name == "Images")
                images = row.id;
            if (row.name == "JPEG1")
                jpeg1 = row.id;
        }
    EXPECT_EQ(folders, (std::vector<std::string>{"Images", "JPEG", "JPEG1", "JPEG2", "JPEG3", "JPEG4"}));
    for (const Row &row : r) {
        if (row.is_dir == 1 && row.name.rfind("JPEG", 0) == 0) {
            EXPECT_EQ(row.pid, images) << row.name;
        }
        if (row.pid == jpeg1)
            inFirstRoll.push_back(row.name);
    }
    EXPECT_EQ(r[0].num_children, 1); // one "Images"
    EXPECT_EQ(r[1].id, images);
    EXPECT_EQ(r[1].num_children, 5);
    EXPECT_EQ(inFirstRoll, (std::vector<std::string>{"00003.jpg", "00004.jpg"}));
}

TEST_F(CbrTreeThreads, NoSpansGiveAnEmptyCatalog)
{
    // As parsing leaves it: empty "spans" and "cbrnames".
    writeSpans({});
    ASSERT_EQ(cbr_build_tree(record), 0);
    ASSERT_EQ(rows().size(), 1u);
    // And when no span file or names file was ever made.
    ASSERT_EQ(std::remove(file("spans").c_str()), 0);
    ASSERT_EQ(std::remove(file("cbrnames").c_str()), 0);
    ASSERT_EQ(std::remove(file("cat.db").c_str()), 0);
    ASSERT_EQ(cbr_build_tree(record), 0);
    const std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].id, 1);
    EXPECT_EQ(n_errors(), 0);
    EXPECT_TRUE(logged("CBR create cat nodes complete"));
    EXPECT_FALSE(logged("CBR create cat nodes aborted"));
}

TEST_F(CbrTreeThreads, UnreadableSpansAbortAndAFailingRowEndTheTree)
{
    // "spans" missing while spans were counted: error 171, nothing named.
    writeSpans({span_at(0x1000, 10)});
    ASSERT_EQ(std::remove(file("spans").c_str()), 0);
    EXPECT_EQ(cbr_build_tree(record), 0);
    EXPECT_TRUE(listed(CBR_ERROR_SPANS_OPEN));
    EXPECT_TRUE(logged("CBR create cat nodes aborted"));
    EXPECT_EQ(rows().size(), 1u);

    // An abort: error 173.
    clear_errors();
    writeSpans({span_at(0x1000, 10)});
    begin_run_flags();
    request_abort();
    EXPECT_EQ(cbr_build_tree(record), 0);
    clear_run_flags();
    EXPECT_TRUE(listed(CBR_ERROR_TREE_ABORT));
    EXPECT_EQ(rows().size(), 1u);

    // A catalog that refuses a row (as a full disk does) ends the tree with
    // the catalog's failure instead of reporting it built.
    record->cat.on_open_for_writing = [](catdb *db, fs_record *r) {
        const int rc = cbr_catalog_created(db, r);
        return rc != 0 ? rc
                       : catdb_exec(db, "CREATE TRIGGER IF NOT EXISTS refuse BEFORE INSERT ON nodes WHEN "
                                        "NEW.name = '00002.jpg' BEGIN SELECT RAISE(ABORT, 'disk full'); END;");
    };
    writeSpans({span_at(0x1000, 10), span_at(0x2000, 10), span_at(0x3000, 10)});
    nameseq_reset(nameseq_context());
    EXPECT_EQ(cbr_build_tree(record), -40);
    EXPECT_TRUE(logged("disk full"));
    EXPECT_EQ(rows().size(), 4u); // root, Images, JPEG, 00001.jpg
}

TEST_F(CbrTreeThreads, AFailedCommitIsTheTreesResult)
{
    // The catalog holds a deferred key that the rows of the tree break: the
    // commit at the end of the tree fails, and so does the tree.
    record->cat.on_open_for_writing = [](catdb *db, fs_record *r) {
        int rc = catdb_exec(db, "PRAGMA foreign_keys = ON;");
        if (rc == 0)
            rc = cbr_catalog_created(db, r);
        if (rc == 0)
            rc = catdb_exec(db, "CREATE TABLE IF NOT EXISTS notes (node INTEGER REFERENCES nodes(id) "
                                "DEFERRABLE INITIALLY DEFERRED);");
        if (rc == 0)
            rc = catdb_exec(db, "CREATE TRIGGER IF NOT EXISTS dangling AFTER INSERT ON nodes WHEN NEW.is_dir = 0 "
                                "BEGIN INSERT INTO notes VALUES (424242); END;");
        return rc;
    };
    writeSpans({span_at(0x1000, 10)});
    EXPECT_EQ(cbr_build_tree(record), -40);
    EXPECT_TRUE(logged("FOREIGN KEY constraint failed"));
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_CLOSED);
}

TEST_F(CbrTreeThreads, SpansOfASavedScanAreTranslatedBeforeNaming)
{
    const uint32_t old_id = fil_module_code("old ");
    store->translations = {{old_id, kTestModule, 7, 1}};
    writeSpans({span_at(0x1000, 10, 5, old_id, 7), span_at(0x2000, 10, 5, old_id, 8)});
    ASSERT_EQ(cbr_build_tree(record), 0);
    const std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[3].name, "00001.jpg");
    EXPECT_TRUE(logged("No FM with fm_id old ")); // subtype 8 has no translation
}

TEST_F(CbrTreeThreads, TheTreeNamesIntoTheStoreItBuilds)
{
    // A later scan's store became the current one; building the first
    // scan's tree still files its rows in the first scan's catalog.
    writeSpans({span_at(0x1000, 10)});
    ScanContext *later = scx_new(SCX_TYPE_THOROUGH, nullptr, workspace);
    ASSERT_NE(later, nullptr);
    ASSERT_EQ(nameseq_context()->store, later->store);
    ASSERT_EQ(cbr_build_tree(record), 0);
    EXPECT_EQ(rows().size(), 4u);
    EXPECT_EQ(nameseq_context()->store, later->store);
}

TEST_F(CbrTreeThreads, ASpanEndingBeforeItsStartHasNoBytes)
{
    cbr_span backwards = span_at(0x5000, 0);
    backwards.end = 0x4000;
    writeSpans({backwards});
    ASSERT_EQ(cbr_build_tree(record), 0);
    const std::vector<Row> r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[3].start, 0x5000);
    EXPECT_EQ(r[3].size, 0);
}

TEST_F(CbrTreeThreads, CatalogModes)
{
    EXPECT_EQ(cbr_set_cat_mode(record, 7), -1);
    EXPECT_TRUE(listed(CBR_ERROR_CAT_MODE));

    // Mode 1 without names: closed again, no error code.
    clear_errors();
    EXPECT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_READ), -1);
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_CLOSED);
    EXPECT_EQ(n_errors(), 0);

    // Mode 2 makes the names file; mode 1 then reads it on a writing catalog.
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), 0);
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_WRITE);
    EXPECT_EQ(record->cat_mode, 2u);
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_READ), 0);
    EXPECT_EQ(record->cat_mode, 1u);
    EXPECT_STREQ(store->names->mode, "rb");
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_READ), 0);
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_READ);
    EXPECT_EQ(store->names, nullptr);
    // A mode read back from a saved scan is checked against what is open.
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_CLOSED), 0);
    record->cat_mode = CBR_CAT_WRITE_NAMES_APPEND;
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), 0);
    EXPECT_NE(store->names, nullptr);
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_WRITE);
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_CLOSED), 0);

    // A names file that cannot be opened for appending: error 576 with errno.
    ASSERT_EQ(std::remove(file("cbrnames").c_str()), 0);
    ASSERT_EQ(mkdir(file("cbrnames").c_str(), 0700), 0);
    EXPECT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), -1);
    EXPECT_TRUE(listed(CBR_ERROR_NAMES_OPEN + EISDIR * 1000));
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_CLOSED);
    EXPECT_EQ(record->cat_mode, 0u);
    // A link there is not appended to through.
    const std::string victim = file("victim");
    zvtest::writeFile(victim, "card");
    ASSERT_EQ(rmdir(file("cbrnames").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), file("cbrnames").c_str()), 0);
    EXPECT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), -1);
    EXPECT_TRUE(listed(CBR_ERROR_NAMES_OPEN + ELOOP * 1000));
    EXPECT_EQ(zvtest::readFile(victim), "card");
}

TEST_F(CbrTreeThreads, NamesAreStoredAndReadByOffset)
{
    char buffer[64];
    EXPECT_EQ(cbr_write_name(record, "closed"), -1);
    EXPECT_EQ(cbr_read_name(record, 0, buffer, sizeof buffer), -1);
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), 0);
    EXPECT_EQ(cbr_write_name(record, "xx"), 0);
    EXPECT_EQ(cbr_write_name(record, "IMG_0001.JPG"), 3);
    EXPECT_EQ(cbr_write_name(record, "b"), 16);
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_CLOSED), 0);
    EXPECT_EQ(zvtest::readFile(file("cbrnames")), std::string("xx\0IMG_0001.JPG\0b\0", 18));

    // Appending again continues at the end.
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), 0);
    EXPECT_EQ(cbr_write_name(record, "c"), 18);
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_READ), 0);
    EXPECT_EQ(cbr_write_name(record, "read only"), -1);
    ASSERT_EQ(cbr_read_name(record, 3, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "IMG_0001.JPG");
    ASSERT_EQ(cbr_read_name(record, 3, buffer, 4), 0); // cut to the buffer
    EXPECT_STREQ(buffer, "IMG");
    ASSERT_EQ(cbr_read_name(record, 18, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "c");
    EXPECT_EQ(cbr_read_name(record, 20, buffer, sizeof buffer), -1); // past the end
    EXPECT_EQ(cbr_read_name(record, -1, buffer, sizeof buffer), -1);
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_CLOSED), 0);
}

TEST_F(CbrTreeThreads, NodeInformationOfRowsAndRoot)
{
    cbr_span flagged = span_at(0x2000, 200, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED | CBR_SPAN_FLAG_2);
    flagged.hfs_type = 1;
    flagged.hfs_creator = 2;
    writeSpans({span_at(0x1000, 100), flagged});
    ASSERT_EQ(cbr_build_tree(record), 0);
    countChildren();
    const uint64_t base = fs_keyref_base(record);

    NodeInfo info;
    ASSERT_EQ(fs_node_info(record, 4, &info, 0), 0);
    EXPECT_EQ(info.keyref, base | 4);
    EXPECT_EQ(info.keynum, 4u);
    EXPECT_EQ(info.parent, 3u);
    EXPECT_EQ(info.name, "00001.jpg");
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.data_size, 100u);
    EXPECT_EQ(info.start, 0x1000u);
    EXPECT_EQ(info.date_created, scan->start_time.seconds);
    EXPECT_EQ(info.date_modified, scan->start_time.seconds);
    EXPECT_EQ(info.has_data, 1);
    ASSERT_EQ(info.num_extents, 1u);
    EXPECT_EQ(info.extents[0].start, 0x1000u);
    EXPECT_EQ(info.extents[0].length, 100u);
    std::vector<fs_extent> extents;
    ASSERT_EQ(record->ops->node_extents(record, 5, 0, &extents), 0);
    ASSERT_EQ(extents.size(), 1u);
    EXPECT_EQ(extents[0].start, 0x2000u);
    EXPECT_EQ(extents[0].length, 200u);
    EXPECT_EQ(record->ops->node_extents(record, 3, 0, &extents), -1); // a folder

    ASSERT_EQ(fs_node_info(record, 5, &info, 0), 0);
    EXPECT_EQ(info.flags, (uint32_t)NODE_CATALOG_FLAG_1);
    EXPECT_EQ(info.hfs_type, 1u);
    EXPECT_EQ(info.hfs_creator, 2u);

    ASSERT_EQ(fs_node_info(record, 3, &info, 0), 0);
    EXPECT_EQ(info.name, "JPEG");
    EXPECT_EQ(info.flags, (uint32_t)NODE_FOLDER);
    EXPECT_EQ(info.child_count, 2u);
    EXPECT_EQ(info.has_data, 0);

    EXPECT_EQ(fs_node_info(record, 99, &info, 0), -12);
    EXPECT_TRUE(logged("cbr_db_node_info: keynum 99 not found"));

    // The root of the store.
    ASSERT_EQ(fs_node_info(record, KEYNUM_FS_ROOT, &info, 0), 0);
    EXPECT_EQ(info.keyref, base | 0xFFull << 32 | KEYREF_ROOT_LOW);
    EXPECT_EQ(info.name, "Reconstructed Files");
    EXPECT_EQ(info.flags, (uint32_t)(NODE_FOLDER | 0x200));
    EXPECT_EQ(info.child_count, 1u);
    EXPECT_EQ(info.date_created, scan->start_time.seconds);
    EXPECT_EQ(fs_num_children(record, KEYNUM_FS_ROOT), 1);
    std::vector<NodeInfo> children;
    ASSERT_EQ(fs_node_children(record, KEYNUM_FS_ROOT, &children), 0);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].name, "Images");
    children.clear();
    ASSERT_EQ(fs_node_children(record, 3, &children), 0);
    EXPECT_EQ(children.size(), 2u);

    // Selecting a file; a refresh replaces only the selection bits.
    const int64_t list[] = {4, 3, 2, 1, CATDB_KEYNUM_NONE};
    ASSERT_EQ(fs_select_nodes(record, list, 5, 1), 0);
    NodeInfo refreshed;
    refreshed.name = "kept";
    refreshed.flags = NODE_CATALOG_FLAG_2;
    ASSERT_EQ(fs_node_info(record, 4, &refreshed, NODE_INFO_SELECTION_ONLY), 0);
    EXPECT_EQ(refreshed.name, "kept");
    EXPECT_EQ(refreshed.flags, (uint32_t)(NODE_CATALOG_FLAG_2 | 1));
}

} // namespace

// --- engine start of the component ------------------------------------------------------

namespace {

int g_loads = 0;
void count_load(fil_module *)
{
    g_loads++;
}

using CbrInit = StoreTest;

TEST_F(CbrInit, CategoriesModulesAndPreferences)
{
    const char *names[] = {"Archives", "Images", "Audio", "Movies", "Text", "Documents", "Mail", "Misc"};
    for (int i = 0; i < NAMESEQ_CATEGORIES; i++) {
        nameseq_node *node = nameseq_category_node((nameseq_category)i);
        ASSERT_NE(node, nullptr) << i;
        EXPECT_STREQ(node->name, names[i]);
        EXPECT_EQ(node->parent, &nameseq_context()->root);
    }
    EXPECT_EQ(nameseq_category_node(NAMESEQ_CATEGORIES), nullptr);
    EXPECT_STREQ(cbr_root_name(), "Reconstructed Files");
    EXPECT_EQ(nameseq_context()->folder_callback, cbr_folder_callback);
    EXPECT_EQ(nameseq_context()->file_callback, cbr_file_callback);

    // "cbr " heads the list: type 2, no filter flag, a prefilter refusing
    // every byte, the gap analysis after the scan.
    fil_module *cbr = fil_module_first();
    ASSERT_NE(cbr, nullptr);
    EXPECT_EQ(cbr->id, FIL_MODULE_CBR);
    EXPECT_EQ(cbr->fs_type, (int)FS_TYPE_STORE);
    EXPECT_EQ(cbr->filter, 0u);
    EXPECT_EQ(cbr->after_processing, cbr_module_after_processing);
    uint8_t allowed[256];
    std::memset(allowed, 1, sizeof allowed);
    ASSERT_NE(cbr->prefilter, nullptr);
    cbr->prefilter(cbr, 0, allowed);
    EXPECT_EQ(std::count(allowed, allowed + 256, 0), 256);
    EXPECT_EQ(fil_module_store_hooks().current_span(record), &store->span);

    const struct {
        const char *section, *key;
        int64_t value;
    } prefs[] = {{"File Modules", "enabled", 1},
                 {"File Modules", "max_file_size", 0x6400000},
                 {"File Modules/Movies", "enabled", 1},
                 {"File Modules/Movies", "min_image_dim", 64},
                 {"File Modules/Movies", "max_file_size", 0x280000000},
                 {"File Modules/Images", "min_image_dim", 64},
                 {"File Modules/Images", "max_file_size", 0x40000000},
                 {"File Modules/Audio", "max_file_size", 0x40000000},
                 {"File Modules/Misc", "enabled", 1},
                 {"Scanning", "max_dir_entries", 10000},
                 {"Scanning/Reconstructed Files", "max_dir_entries", 10000}};
    for (const auto &p : prefs) {
        int64_t value = -1;
        EXPECT_EQ(prefs_get_int(p.section, p.key, &value), 0) << p.section << " " << p.key;
        EXPECT_EQ(value, p.value) << p.section << " " << p.key;
    }
    int64_t none = -1;
    EXPECT_NE(prefs_get_int("File Modules/Audio", "min_image_dim", &none), 0);
    EXPECT_NE(prefs_get_int("File Modules/Text", "enabled", &none), 0);
    EXPECT_NE(prefs_get_int("File Modules/Archives", "enabled", &none), 0);
    EXPECT_NE(path_index_lookup("Text"), nullptr);
    EXPECT_NE(path_index_lookup("Images"), nullptr);
    EXPECT_EQ(path_index_lookup("Archives"), nullptr);
    EXPECT_STREQ(fm_src_current_name(), "BUILTIN");
}

TEST_F(CbrInit, PreferenceChangesReloadEveryModuleOnce)
{
    g_loads = 0;
    module->load_prefs = count_load;
    ASSERT_EQ(cbr_init(), 0); // a second start adds no second observer
    notification_post("PrefsChanged", 0);
    EXPECT_EQ(g_loads, 1);

    // A start after the registry was emptied registers "cbr " and type 2
    // again (the scan goes first: its store's record names its module).
    ASSERT_EQ(scx_delete_one(&scan, false), 0);
    fs_unregister_all_types();
    fil_testing::clear_registry();
    ASSERT_EQ(cbr_init(), 0);
    ASSERT_NE(fil_module_find(FIL_MODULE_CBR), nullptr);
    bool store_type = false;
    for (const fs_type_entry &t : fs_types())
        store_type = store_type || t.code == FS_TYPE_STORE;
    EXPECT_TRUE(store_type);
}

TEST_F(CbrInit, TheGfmModuleFindsNothingAndListsNothing)
{
    fil_module *gfm = gfm_describe();
    ASSERT_NE(gfm, nullptr);
    EXPECT_EQ(gfm->id, FIL_MODULE_GFM);
    EXPECT_EQ(gfm->filter, (uint32_t)FIL_FILTER_1);
    EXPECT_EQ(gfm->recognise, nullptr);
    uint8_t allowed[256];
    std::memset(allowed, 1, sizeof allowed);
    gfm->prefilter(gfm, 3, allowed);
    EXPECT_EQ(std::count(allowed, allowed + 256, 0), 256);
    std::vector<cbr_fmlist_entry> list;
    EXPECT_EQ(gfm_module_paths(&list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(gfm_describe(), gfm);
}

TEST_F(CbrInit, FlushingTheStoreWritesItsFilesAndClosesTheCatalog)
{
    ASSERT_EQ(cbr_set_cat_mode(record, CBR_CAT_WRITE_NAMES_APPEND), 0);
    ASSERT_EQ(cbr_write_name(record, "xx"), 0);
    store->gaps = dir_file_open(record->folder, "gaps", "wb", 2);
    ASSERT_NE(store->gaps, nullptr);
    const uint64_t gap = 3;
    ASSERT_EQ(file_write_full(store->gaps, &gap, sizeof gap), 0);
    EXPECT_EQ(fs_flush(record), 0);
    EXPECT_EQ(zvtest::readFile(file("gaps")).size(), 8u);
    EXPECT_EQ(zvtest::readFile(file("cbrnames")), std::string("xx", 3));
    EXPECT_EQ(catdb_mode(&record->cat), CATDB_MODE_CLOSED);
    EXPECT_EQ(record->cat_mode, 0u);
    EXPECT_EQ(store->names, nullptr);
}

} // namespace
