// Selection state: the two-bit array, ticking and unticking with partial
// states up to the root across a reopening, refusing bad keynums and
// ancestor lists, loading damaged files, the writer thread and a stress
// run of three threads on one catalog.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "catdb_test_support.h"
#include "scan/catalog/selection.h"
#include "scan/catalog/work_queue.h"

using zvtest::Catalog;
using zvtest::CatRow;
using zvtest::ChainTree;

namespace {
// Ticks (1) or unticks (0) a node of a chain tree at the given level.
int tick(Catalog &cat, const ChainTree &tree, int level, int64_t node, uint32_t value)
{
    std::vector<int64_t> list = zvtest::chain_ancestors(tree, level, node);
    return catdb_select_node(&cat.db, list.data(), list.size(), value);
}
} // namespace

TEST(TriboolArray, BitsAndCounts)
{
    tribool_array array;
    ASSERT_EQ(tribool_make(&array, 10), 0);
    EXPECT_EQ(array.bytes.size(), 3u);
    ASSERT_EQ(tribool_set(&array, 5, 1), 0);
    EXPECT_EQ(array.bytes, std::vector<uint8_t>({0x00, 0x10, 0x00}));
    ASSERT_EQ(tribool_set(&array, 5, 2), 0);
    // Bad values and indexes change nothing and keep the count exact.
    for (int bad = 0; bad < 2; ++bad) {
        EXPECT_EQ(array.bytes[1], 0x20);
        EXPECT_EQ(array.non_zero, 1u);
        EXPECT_EQ(tribool_set(&array, bad == 0 ? 5 : 10, bad == 0 ? 3 : 1), -12);
    }
    uint32_t value = 7;
    EXPECT_EQ(tribool_get(&array, 10, &value), -1);
    EXPECT_EQ(value, 7u);
    ASSERT_EQ(tribool_set(&array, 5, 0), 0);
    EXPECT_EQ(array.non_zero, 0u);
    ASSERT_EQ(tribool_fill(&array, 1), 0);
    EXPECT_EQ(array.bytes[0], 0x55);
    EXPECT_EQ(array.non_zero, 10u);
    EXPECT_EQ(tribool_fill(&array, 3), -12);
    ASSERT_EQ(tribool_fill(&array, 2), 0);
    EXPECT_EQ(array.bytes[2], 0xAA);

    // Parsing: padding pairs of the last byte and bytes beyond are ignored;
    // a pair holding 3 is damage; short is refused.
    const uint8_t image[] = {0x55, 0x55, 0x57, 0xFF};
    EXPECT_EQ(selection_parse(image, sizeof image, 10, &array), 0);
    EXPECT_EQ(array.non_zero, 10u);
    const uint8_t three[] = {0x03, 0x00};
    EXPECT_EQ(selection_parse(three, sizeof three, 6, &array), -12);
    EXPECT_EQ(selection_parse(three, 1, 6, &array), -1);
}

// Ticking a deep file makes every folder above it partial up to the root,
// which survives closing and reopening; ticking the last files of a folder
// makes it selected; unticking brings everything back to 0.
TEST(SelectionTree, DeepTicksAndPartialStatesAcrossReopening)
{
    Catalog cat;
    const int depth = 8;
    ChainTree tree = zvtest::make_chain_tree(depth, 3);
    cat.write(tree.rows);
    const int deep = depth - 1;
    const int64_t deepFolder = tree.folders[deep];
    ASSERT_EQ(tick(cat, tree, deep, tree.filesAt[deep][0], 1), 0);
    EXPECT_EQ(cat.selection(tree.filesAt[deep][0]), 1u);
    auto expectFolders = [&](int upto, uint32_t value) {
        for (int level = 0; level <= upto; ++level)
            EXPECT_EQ(cat.selection(tree.folders[level]), value) << "level " << level;
    };
    expectFolders(deep, 2u);
    EXPECT_EQ(cat.selection(CATDB_KEYNUM_ROOT), 2u);
    EXPECT_EQ(cat.selection(tree.filesAt[deep][1]), 0u);
    EXPECT_EQ(cat.selection(tree.filesAt[0][0]), 0u);

    // The other two files of the deepest folder: it is selected, its ancestors partial.
    for (int f = 1; f < 3; ++f)
        ASSERT_EQ(tick(cat, tree, deep, tree.filesAt[deep][f], 1), 0);
    EXPECT_EQ(cat.selection(deepFolder), 1u);
    EXPECT_EQ(cat.selection(tree.folders[deep - 1]), 2u);
    std::vector<uint64_t> counters = cat.counters();
    const uint64_t bytes = 300 + tree.filesAt[deep][0] + tree.filesAt[deep][1] + tree.filesAt[deep][2];
    // Folders: the deep one and every partial one.
    EXPECT_EQ(std::vector<uint64_t>({counters[SEL_COUNTER_FILES], counters[SEL_COUNTER_FOLDERS],
                                     counters[SEL_COUNTER_BYTES]}),
              std::vector<uint64_t>({3, (uint64_t)depth, bytes}));

    // Closing flushes the writer; reopening gives the same states, and the
    // counters come from the array, not from what the record held.
    ASSERT_EQ(catdb_close(&cat.db), 0);
    EXPECT_TRUE(cat.exists("sel-state"));
    const uint64_t wrong[SEL_COUNTER_COUNT] = {77, 77, 0, 0, 77};
    catdb_set_selection_counters(&cat.db, wrong);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(cat.counters(), counters);
    EXPECT_EQ(cat.selection(deepFolder), 1u);
    expectFolders(deep - 1, 2u);
    EXPECT_EQ(cat.selection(CATDB_KEYNUM_ROOT), 2u);

    // Unticking one file: the deep folder becomes partial again.
    ASSERT_EQ(tick(cat, tree, deep, tree.filesAt[deep][0], 0), 0);
    EXPECT_EQ(cat.selection(deepFolder), 2u);
    // Unticking the deep folder itself clears its files and every folder above.
    ASSERT_EQ(tick(cat, tree, deep, deepFolder, 0), 0);
    expectFolders(deep, 0u);
    EXPECT_EQ(cat.counters(), std::vector<uint64_t>(SEL_COUNTER_COUNT, 0));
    ASSERT_EQ(catdb_close(&cat.db), 0);
    EXPECT_FALSE(cat.exists("sel-state")); // nothing selected: no file

    // A middle folder ticked whole: below is 1, above is 2, after reopening too.
    ASSERT_EQ(tick(cat, tree, 3, tree.folders[3], 1), 0);
    ASSERT_EQ(catdb_close(&cat.db), 0);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    for (int level = 0; level < depth; ++level)
        EXPECT_EQ(cat.selection(tree.folders[level]), level < 3 ? 2u : 1u) << "level " << level;
    EXPECT_EQ(cat.selection(tree.filesAt[depth - 1][2]), 1u);
    EXPECT_EQ(cat.selection(tree.filesAt[2][0]), 0u);
    EXPECT_EQ(cat.counters()[SEL_COUNTER_FILES], 3u * (depth - 3));
}

// Ticking the root fills the array with 0x55 and the counters with the totals;
// unticking deletes the file.
TEST(SelectionTree, RootTickAndUntick)
{
    Catalog cat;
    ChainTree tree = zvtest::make_chain_tree(3, 2);
    cat.write(tree.rows);
    std::string image = cat.tickRootAndClose();
    ASSERT_EQ(image.size(), (tree.rows.size() + 1 + 3) / 4);
    for (char byte : image)
        EXPECT_EQ((uint8_t)byte, 0x55);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    uint64_t bytes = 0;
    for (const CatRow &row : tree.rows)
        bytes += row.size;
    EXPECT_EQ(cat.counters(), (std::vector<uint64_t>{6, 3, 0, 0, bytes}));
    EXPECT_EQ(cat.selection(CATDB_KEYNUM_ROOT), 1u);
    int64_t rootById[] = {1, CATDB_KEYNUM_NONE};
    ASSERT_EQ(catdb_select_node(&cat.db, rootById, 2, 0), 0);
    ASSERT_EQ(catdb_close(&cat.db), 0);
    EXPECT_FALSE(cat.exists("sel-state"));
}

// Keynums and ancestor lists from callers are checked before anything changes.
TEST(SelectionTree, BadKeynumsAndListsAreRefused)
{
    Catalog cat;
    ChainTree tree = zvtest::make_chain_tree(3, 2);
    cat.write(tree.rows);
    const int64_t file = tree.filesAt[2][0];
    struct Case {
        const char *what;
        std::vector<int64_t> list;
        uint32_t value;
        int expected;
    } cases[] = {
        {"keynum beyond the catalog", {999999, 1, CATDB_KEYNUM_NONE}, 1, -12},
        {"negative keynum", {-5, 1, CATDB_KEYNUM_NONE}, 1, -12},
        {"keynum 0 (no row)", {0, 1, CATDB_KEYNUM_NONE}, 1, -12},
        {"value 2", zvtest::chain_ancestors(tree, 2, file), 2, -12},
        {"value 7", zvtest::chain_ancestors(tree, 2, file), 7, -12},
        {"no end marker", {file, tree.folders[2], tree.folders[1], 1}, 1, -15},
        {"wrong parent", {file, tree.folders[1], 1, CATDB_KEYNUM_NONE}, 1, -12},
        {"ancestor is a file", {file, tree.filesAt[1][0], 1, CATDB_KEYNUM_NONE}, 1, -12},
        {"list stops short of the root", {file, tree.folders[2], CATDB_KEYNUM_NONE}, 1, -12},
        {"ancestor beyond the catalog", {file, int64_t(1) << 39, 1, CATDB_KEYNUM_NONE}, 1, -12},
        {"empty list", {CATDB_KEYNUM_NONE}, 1, -12},
    };
    for (const Case &c : cases)
        EXPECT_EQ(catdb_select_node(&cat.db, c.list.data(), c.list.size(), c.value), c.expected) << c.what;
    EXPECT_EQ(cat.counters(), std::vector<uint64_t>(SEL_COUNTER_COUNT, 0));
    for (const CatRow &row : tree.rows)
        EXPECT_EQ(cat.selection(row.id), 0u);
    uint32_t value;
    EXPECT_EQ(catdb_get_selection_(&cat.db, 999999, &value), -1);
    EXPECT_EQ(catdb_set_selection_(&cat.db, 999999, 1), -12);
    EXPECT_EQ(catdb_set_selection_(&cat.db, file, 3), -12);
}

// A file always ends the walk: ticking it again does not reach rows that a
// damaged link put under it, and moves no counter.
TEST(SelectionTree, UnchangedFileStopsTheWalk)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {2, 1, 0, 50}, {3, 2, 0, 9}});
    int64_t list[] = {2, 1, CATDB_KEYNUM_NONE};
    for (int twice = 0; twice < 2; ++twice)
        ASSERT_EQ(catdb_select_node(&cat.db, list, 3, 1), 0);
    EXPECT_EQ(cat.selection(3), 0u);
    EXPECT_EQ(cat.counters(), (std::vector<uint64_t>{1, 1, 0, 0, 50}));
}

// A sel-state cut short, empty or holding the value 3 is an empty
// selection with zero counters, never a failure of the opening.
TEST(SelectionFile, DamagedFilesGiveAnEmptySelection)
{
    Catalog cat;
    ChainTree tree = zvtest::make_chain_tree(4, 4);
    cat.write(tree.rows);
    std::string good = cat.tickRootAndClose();
    for (std::string damaged : {good.substr(0, good.size() - 1), std::string(), std::string(good.size(), '\xFF')}) {
        zvtest::writeFile(cat.path("sel-state"), damaged);
        ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
        EXPECT_EQ(cat.counters(), std::vector<uint64_t>(SEL_COUNTER_COUNT, 0));
        EXPECT_EQ(cat.selection(CATDB_KEYNUM_ROOT), 0u);
        EXPECT_EQ(cat.selection(tree.filesAt[3][0]), 0u);
        ASSERT_EQ(catdb_close(&cat.db), 0);
    }
    EXPECT_TRUE(cat.logged("the ticks saved in it are lost"));
    // The good file again: the totals come back from the array.
    zvtest::writeFile(cat.path("sel-state"), good);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    const std::vector<uint64_t> totals = cat.counters();
    EXPECT_EQ(std::make_pair(totals[SEL_COUNTER_FILES], totals[SEL_COUNTER_FOLDERS]),
              (std::make_pair<uint64_t, uint64_t>(16, 4)));
}

TEST(SelectionFile, WorkQueueStopsAfterQueuedValues)
{
    WorkQueue queue;
    queue.post(0x0EADBEEF); // just a value
    queue.post(2);
    queue.postStop();
    queue.post(3);
    uint32_t value = 0;
    EXPECT_TRUE(queue.take(&value));
    EXPECT_EQ(value, 0x0EADBEEFu);
    EXPECT_EQ(queue.coalesce(), 1u); // drops 2, stops at the stop
    EXPECT_FALSE(queue.take(&value));
    EXPECT_TRUE(queue.take(&value));
    EXPECT_EQ(value, 3u);
}

// Many changes queued quickly: closing waits for the writer, and the file
// holds the state after the last change.
TEST(SelectionFile, QueuedWritesAreFlushedBeforeTheStop)
{
    Catalog cat;
    ChainTree tree = zvtest::make_chain_tree(2, 200);
    cat.write(tree.rows);
    for (int round = 0; round < 3; ++round)
        for (int64_t file : tree.filesAt[1])
            ASSERT_EQ(tick(cat, tree, 1, file, round % 2 == 0 ? 1 : 0), 0);
    std::vector<uint64_t> expected = cat.counters();
    ASSERT_EQ(catdb_close(&cat.db), 0);
    tribool_array saved;
    std::string image = zvtest::readFile(cat.path("sel-state"));
    ASSERT_EQ(selection_parse((const uint8_t *)image.data(), image.size(), tree.rows.size() + 1, &saved), 0);
    for (int64_t file : tree.filesAt[1]) {
        uint32_t value = 0;
        ASSERT_EQ(tribool_get(&saved, (uint64_t)file, &value), 0);
        EXPECT_EQ(value, 1u);
    }
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(cat.counters(), expected);
}

// The selection writer, an "engine" thread switching the catalog between
// writing and reading and querying it, and a "caller" thread ticking and
// listing, all on one catalog at once.
TEST(SelectionThreads, WriterEngineAndCallerAtOnce)
{
    Catalog cat;
    ChainTree tree = zvtest::make_chain_tree(4, 30);
    cat.write(tree.rows);
    ASSERT_EQ(catdb_create_extents_table(&cat.db), 0);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::thread engine([&] {
        int64_t next = 1000;
        for (int round = 0; round < 40; ++round) {
            catdb_extent extent{(uint64_t)round, 512};
            std::vector<catdb_extent> extents(9, extent);
            if (catdb_add_extents(&cat.db, next++, 0, extents.data(), extents.size()) != 0)
                ++failures;
            std::vector<catdb_extent> back;
            if (catdb_get_extents(&cat.db, next - 1, 0, &back) != 0 || back.size() != 9)
                ++failures;
            uint32_t n = 0;
            if (catdb_get_num_children(&cat.db, tree.folders[1], &n) != 0)
                ++failures;
            if (catdb_count_nodes(&cat.db) != (int64_t)tree.rows.size())
                ++failures;
        }
        done = true;
    });
    std::thread caller([&] {
        int round = 0;
        while (!done || round < 20) {
            const int level = round % 4;
            // The selection is read from memory, which only a catalog open
            // for reading has: hold the catalog across the three calls so the
            // engine cannot switch it to writing in between.
            std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&cat.db));
            if (tick(cat, tree, level, tree.filesAt[level][round % 30], (round / 4) % 2) != 0)
                ++failures;
            std::vector<int64_t> children;
            if (catdb_get_children_keynums(&cat.db, tree.folders[level], &children) != 31 && level < 3)
                ++failures;
            uint32_t value;
            if (catdb_get_selection_(&cat.db, tree.folders[level], &value) != 0)
                ++failures;
            ++round;
        }
    });
    engine.join();
    caller.join();
    EXPECT_EQ(failures.load(), 0);
    std::vector<uint64_t> counters = cat.counters();
    ASSERT_EQ(catdb_close(&cat.db), 0);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(cat.counters(), counters); // the last write saved the last state
}

#include "foundation/engine_status.h"
#include "fs_test_support.h"
#include "scan/recover/recover.h"

namespace {

// The stand-in file-system type with the catalog's recovery, its node
// information clamping a negative size to 0 as the real types do.
class ClampingOps : public fstest::TestOps {
public:
    int node_info(fs_record *r, uint64_t keynum, NodeInfo *out, int flags) override
    {
        const int rc = TestOps::node_info(r, keynum, out, flags);
        if (rc == 0 && (int64_t)out->data_size < 0)
            out->data_size = 0;
        return rc;
    }
    int recover_marked(fs_record *r, const char *target) override { return catdb_recover_selected(&r->cat, target); }
};

int clamping_init(fs_record *record)
{
    const int rc = fstest::test_fs_init(record);
    record->ops.reset(new ClampingOps());
    return rc;
}

class SelectionRecovery : public fstest::Workspace {};

} // namespace

// Fault guarded: a file whose row size is -2^63 was counted as 2^63
// selected bytes, and recovering it (as an empty file) negated that size
// when it was unticked, a signed overflow. It counts 0 bytes throughout.
TEST_F(SelectionRecovery, NegativeRowSizeRecoversAsAnEmptyFile)
{
    fstest::register_test_type()->fs_init = clamping_init;
    Media *medium = fileMedium(dir / "card.img", std::string(4096, 'c'));
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, medium, workspace);
    ASSERT_NE(scan, nullptr);
    scx_begin(scan);
    std::shared_ptr<fs_record> fs = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(fs, nullptr);
    fstest::write_catalog(fs.get(), {{1, -1, 1, 0, "", {}}, {2, 1, 0, INT64_MIN, "odd.bin", {}}});
    scan->scanned_here = 1;
    scx_finish(scan, 0);
    const int64_t path[] = {2, 1, CATDB_KEYNUM_NONE};
    ASSERT_EQ(fs_select_nodes(fs.get(), path, 3, 1), 0);
    uint64_t c[SEL_COUNTER_COUNT] = {};
    ASSERT_EQ(fs_get_selected(fs.get(), c), 0);
    EXPECT_EQ(std::make_pair(c[SEL_COUNTER_FILES], c[SEL_COUNTER_BYTES]), (std::pair<uint64_t, uint64_t>(1, 0)));

    begin_run_flags();
    const int rc = fs_recover_marked(fs.get(), (dir / "out").c_str());
    clear_run_flags();
    EXPECT_EQ(rc, 0);
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "out/Found Files/odd.bin"));
    EXPECT_EQ(std::filesystem::file_size(dir / "out/Found Files/odd.bin", ec), 0u);
    EXPECT_EQ(fs->recovered[0], 1u);
    ASSERT_EQ(fs_get_selected(fs.get(), c), 0);
    EXPECT_EQ(std::make_pair(c[SEL_COUNTER_FILES], c[SEL_COUNTER_BYTES]), (std::pair<uint64_t, uint64_t>(0, 0)));
}
