// Children cache: the db-cache layout, rejection and rebuild of damaged or
// stale files, the children_cache rules, and caches dropped on writing.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catdb_test_support.h"
#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "foundation/msgpack.h"
#include "scan/catalog/children_cache.h"
#include "scan/catalog/hash_tables.h"

using zvtest::Catalog;
using zvtest::CatRow;

namespace {

std::vector<uint8_t> bytes_of(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Packs items after an 8-byte hash, the way db-cache is laid out.
struct Packed {
    ZV::Buffer buffer;
    std::shared_ptr<ZV::ByteStreamBuffer> stream =
        std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeWrite);
    ZV::MsgPack pack{stream};

    std::vector<uint8_t> withHash()
    {
        std::vector<uint8_t> out(8);
        uint64_t hash = hash_fnv1a64(buffer.data(), buffer.length());
        for (int i = 0; i < 8; ++i)
            out[i] = (uint8_t)(hash >> (8 * i));
        out.insert(out.end(), buffer.data(), buffer.data() + buffer.length());
        return out;
    }
};

// A children_cache image: records {parent, children...}.
std::vector<uint8_t> children_image(uint32_t count, const std::vector<std::vector<int64_t>> &records)
{
    Packed packed;
    for (const auto &record : records) {
        packed.pack.addInt64(record[0]);
        packed.pack.addUInt32((uint32_t)(record.size() - 1));
        for (size_t i = 1; i < record.size(); ++i)
            packed.pack.addInt64(record[i]);
    }
    std::vector<uint8_t> out{(uint8_t)count, (uint8_t)(count >> 8), (uint8_t)(count >> 16), (uint8_t)(count >> 24)};
    out.insert(out.end(), packed.buffer.data(), packed.buffer.data() + packed.buffer.length());
    return out;
}

ino_t inode_of(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

} // namespace

// One folder with three files: items 3, 1 and the sum of the sizes, a
// 40-byte size block (five keynums 0..4) and a 1-byte folder block.
TEST(ChildrenCacheFiles, DbCacheLayoutOfOneFolderThreeFiles)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {2, 1, 0, 100}, {3, 1, 0, 20}, {4, 1, 0, 3}});
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    std::string image = zvtest::readFile(cat.path("db-cache"));
    ASSERT_GT(image.size(), 8u);
    std::vector<uint8_t> bytes = bytes_of(image);
    uint64_t stored = 0;
    for (int i = 7; i >= 0; --i)
        stored = stored << 8 | bytes[i];
    EXPECT_EQ(stored, hash_fnv1a64(bytes.data() + 8, bytes.size() - 8));

    ZV::Buffer buffer(bytes.data() + 8, bytes.size() - 8);
    ZV::MsgPack pack(std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeRead));
    int64_t files = -1, folders = -1, total = -1;
    ASSERT_TRUE(pack.getInt64(&files) && pack.getInt64(&folders) && pack.getInt64(&total));
    EXPECT_EQ(files, 3);
    EXPECT_EQ(folders, 1);
    EXPECT_EQ(total, 123);
    const uint8_t *block = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(pack.getBytes(&block, &length));
    ASSERT_EQ(length, 40u);
    EXPECT_EQ(block[8 * 2], 100); // keynum 2, little-endian
    EXPECT_EQ(block[8 * 4], 3);
    ASSERT_TRUE(pack.getBytes(&block, &length));
    ASSERT_EQ(length, 1u);
    EXPECT_EQ(block[0], 0x40); // keynum 1 is the folder: bit 6

    dbcache_contents parsed;
    ASSERT_EQ(dbcache_parse(bytes.data(), bytes.size(), &parsed), 0);
    EXPECT_EQ(parsed.item_count, 5u);
}

// One byte changed after offset 8 is caught by the hash; both files are
// rebuilt and the catalog reads as before.
TEST(ChildrenCacheFiles, FlippedByteIsRebuilt)
{
    Catalog cat;
    zvtest::ChainTree tree = zvtest::make_chain_tree(3, 4);
    cat.writeCached(tree.rows);
    std::string good = zvtest::readFile(cat.path("db-cache"));
    std::string bad = good;
    bad[good.size() / 2] ^= 0x04;
    zvtest::writeFile(cat.path("db-cache"), bad);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_TRUE(cat.logged("dbcache_parse: Invalid hash"));
    EXPECT_TRUE(cat.logged("rebuilding the caches"));
    EXPECT_EQ(zvtest::readFile(cat.path("db-cache")), good);
    EXPECT_EQ(cat.children(tree.folders[1]).size(), 5u);
}

// A children_cache cut short (here after its record count was written as 0,
// or in the middle of a record) is rebuilt, never read as "every folder
// empty".
TEST(ChildrenCacheFiles, CutShortChildrenCacheIsRebuilt)
{
    Catalog cat;
    zvtest::ChainTree tree = zvtest::make_chain_tree(4, 3);
    cat.writeCached(tree.rows);
    std::string good = zvtest::readFile(cat.path("children_cache"));

    for (std::string damaged : {std::string(4, '\0'), good.substr(0, good.size() / 2), good.substr(0, 3),
                                good + std::string(1, '\x01')}) {
        zvtest::writeFile(cat.path("children_cache"), damaged);
        ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
        EXPECT_EQ(cat.children(tree.folders[2]), (std::vector<int64_t>{tree.filesAt[2][0], tree.filesAt[2][1],
                                                                        tree.filesAt[2][2], tree.folders[3]}));
        EXPECT_EQ(zvtest::readFile(cat.path("children_cache")), good);
        ASSERT_EQ(catdb_close(&cat.db), 0);
    }
    // Only db-cache missing: both are remade.
    std::remove(cat.path("db-cache").c_str());
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_TRUE(cat.exists("db-cache"));
    EXPECT_FALSE(cat.exists("db-cache.tmp"));
    EXPECT_FALSE(cat.exists("children_cache.tmp"));
}

// A db-cache from another catalog passes its own hash; the lengths and the
// cross-check against children_cache still reject it.
TEST(ChildrenCacheFiles, ForeignCacheIsRebuilt)
{
    Catalog small;
    small.write({{1, -1, 1, 0}, {2, 1, 0, 5}});
    ASSERT_EQ(catdb_ensure_reading(&small.db), 0);
    Catalog big;
    zvtest::ChainTree tree = zvtest::make_chain_tree(5, 10);
    big.writeCached(tree.rows);
    zvtest::writeFile(big.path("db-cache"), zvtest::readFile(small.path("db-cache")));
    ASSERT_EQ(catdb_ensure_reading(&big.db), 0);
    EXPECT_TRUE(big.logged("rebuilding the caches"));
    EXPECT_EQ(big.children(tree.folders[4]).size(), 10u);
    uint64_t items = 0;
    ASSERT_EQ(catdb_get_counts(&big.db, nullptr, nullptr, nullptr, &items), 0);
    EXPECT_EQ(items, tree.rows.size() + 1);
}

TEST(ChildrenCacheParse, DbCacheLengthRules)
{
    auto image = [](int64_t files, int64_t folders, uint32_t sizeBytes, uint32_t folderBytes, bool trailing) {
        Packed packed;
        packed.pack.addInt64(files);
        packed.pack.addInt64(folders);
        packed.pack.addInt64(0);
        std::vector<uint8_t> zeros(std::max(sizeBytes, folderBytes) + 1, 0);
        packed.pack.addBytes(zeros.data(), sizeBytes);
        packed.pack.addBytes(zeros.data(), folderBytes);
        if (trailing)
            packed.pack.addUInt8(1);
        return packed.withHash();
    };
    dbcache_contents out;
    std::vector<uint8_t> good = image(2, 1, 32, 1, false);
    EXPECT_EQ(dbcache_parse(good.data(), good.size(), &out), 0);
    EXPECT_EQ(out.item_count, 4u);
    std::vector<uint8_t> shortSizes = image(2, 1, 24, 1, false); // 3 items < files + folders + 1
    EXPECT_EQ(dbcache_parse(shortSizes.data(), shortSizes.size(), &out), -12);
    std::vector<uint8_t> oddSizes = image(2, 1, 33, 1, false);
    EXPECT_EQ(dbcache_parse(oddSizes.data(), oddSizes.size(), &out), -12);
    std::vector<uint8_t> wideFolders = image(2, 1, 32, 2, false);
    EXPECT_EQ(dbcache_parse(wideFolders.data(), wideFolders.size(), &out), -12);
    std::vector<uint8_t> trailing = image(2, 1, 32, 1, true);
    EXPECT_EQ(dbcache_parse(trailing.data(), trailing.size(), &out), -12);
    std::vector<uint8_t> negative = image(-1, 1, 32, 1, false);
    EXPECT_EQ(dbcache_parse(negative.data(), negative.size(), &out), -12);
    EXPECT_EQ(dbcache_parse(good.data(), 0, &out), -23);
    EXPECT_EQ(dbcache_parse(good.data(), 8, &out), -12);
}

TEST(ChildrenCacheParse, ChildrenCacheRules)
{
    keyhash *table = nullptr;
    // Root 1 under 0, children 2 and 3 under 1: 3 rows, 4 keynums.
    std::vector<uint8_t> good = children_image(2, {{0, 1}, {1, 2, 3}});
    ASSERT_EQ(childrencache_parse(good.data(), good.size(), 4, 3, &table), 0);
    keylist list;
    ASSERT_EQ(childrencache_get(table, 1, &list, 0), 0);
    EXPECT_EQ(list.count, 2u);
    EXPECT_EQ(list.keys[0], 2);
    keylist_free(&list);
    childrencache_free(&table);

    struct Case {
        const char *what;
        std::vector<uint8_t> image;
        int expected;
    } cases[] = {
        {"no header", std::vector<uint8_t>{1, 0}, -34},
        {"zero records", children_image(0, {}), -12},
        {"count beyond the file", children_image(0xFFFFFFFF, {{0, 1}, {1, 2, 3}}), -12},
        {"record missing", children_image(3, {{0, 1}, {1, 2, 3}}), -12},
        {"child beyond the keynums", children_image(2, {{0, 1}, {1, 2, 4}}), -12},
        {"negative child", children_image(2, {{0, 1}, {1, 2, -3}}), -12},
        {"parent beyond the keynums", children_image(2, {{0, 1}, {9, 2, 3}}), -12},
        {"child twice", children_image(2, {{0, 1}, {1, 2, 2}}), -12},
        {"parent twice", children_image(3, {{0, 1}, {1, 2}, {1, 3}}), -12},
        {"children short of the rows", children_image(2, {{0, 1}, {1, 2}}), -12},
    };
    for (const Case &c : cases) {
        keyhash *out = reinterpret_cast<keyhash *>(1);
        EXPECT_EQ(childrencache_parse(c.image.data(), c.image.size(), 4, 3, &out), c.expected) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
    }
    std::vector<uint8_t> trailing = good;
    trailing.push_back(0x01);
    EXPECT_EQ(childrencache_parse(trailing.data(), trailing.size(), 4, 3, &table), -12);
    // Records of 0 children are skipped, in any order.
    std::vector<uint8_t> withEmpty = children_image(3, {{1, 2, 3}, {3}, {0, 1}});
    ASSERT_EQ(childrencache_parse(withEmpty.data(), withEmpty.size(), 4, 3, &table), 0);
    childrencache_free(&table);
}

// Rows added by a later writer are never hidden by the caches of an earlier
// reading: opening for writing deletes them.
TEST(ChildrenCacheFiles, CachesDroppedWhenOpenedForWriting)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {2, 1, 0, 5}});
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_TRUE(cat.exists("db-cache"));
    EXPECT_TRUE(cat.exists("children_cache"));
    ASSERT_EQ(catdb_ensure_writing(&cat.db), 0);
    EXPECT_FALSE(cat.exists("db-cache"));
    EXPECT_FALSE(cat.exists("children_cache"));
    cat.write({{3, 1, 0, 6}, {4, 1, 1, 0}, {5, 4, 0, 1}});
    EXPECT_EQ(cat.children(1), (std::vector<int64_t>{2, 3, 4}));
    EXPECT_EQ(cat.children(4), (std::vector<int64_t>{5}));
}

// Ids that leave gaps size the arrays from the largest id; ids far beyond
// the row count mean damage and fail the opening with a log line.
TEST(ChildrenCacheFiles, SparseIds)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {7, 1, 0, 70}, {9, 1, 1, 0}, {12, 9, 0, 3}, {13, 44, 0, 1}});
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    uint64_t items = 0;
    ASSERT_EQ(catdb_get_counts(&cat.db, nullptr, nullptr, nullptr, &items), 0);
    EXPECT_EQ(items, 14u);
    uint64_t size = 0;
    EXPECT_EQ(catdb_node_facts(&cat.db, 12, nullptr, &size), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(cat.children(9), (std::vector<int64_t>{12}));
    // Reopening reads the same facts back from the files (a rebuild would
    // have replaced db-cache by a new file).
    ino_t before = inode_of(cat.path("db-cache"));
    ASSERT_EQ(catdb_close(&cat.db), 0);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(inode_of(cat.path("db-cache")), before);
    EXPECT_EQ(cat.children(1), (std::vector<int64_t>{7, 9}));
    EXPECT_EQ(cat.children(0), (std::vector<int64_t>{1, 13})); // root and the orphan

    cat.write({{int64_t(1) << 36, 1, 0, 1}});
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -12);
    EXPECT_TRUE(cat.logged("the catalog is damaged"));
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
}

#include <fcntl.h>

#include "support/hang_guard.h"
#include "support/test_support.h"

// Fault guarded: a FIFO standing at a cache's name (or at the temporary name
// a cache is written through) held the catalog in open() for ever. Reading
// and writing are refused at once instead. Run in a child process, so that
// the faulty code fails the test instead of hanging it.
TEST(ChildrenCacheFiles, FifoAtACacheNameIsRefusedNotWaitedFor)
{
    zvtest::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "children.bin").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "written.bin.tmp").c_str(), 0600), 0);
    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        int failures = 0;
        note("reading a cache named by a FIFO");
        keyhash *cache = nullptr;
        if (childrencache_read(&cache, dir.path().c_str(), "children.bin", 4, 3) == 0)
            note("READ the FIFO"), ++failures;
        childrencache_free(&cache);

        note("writing a cache through a FIFO at its temporary name");
        keyhash *table = nullptr;
        const int64_t kids[] = {2, 3};
        if (hash_init(&table, 5) != 0 || childrencache_add_multiple(table, 1, kids, 2, 1) != 0)
            return note("no table"), 1;
        if (childrencache_write(table, dir.path().c_str(), "written.bin") == 0)
            note("WROTE through the FIFO"), ++failures;
        childrencache_free(&table);
        return failures;
    }, 20);
    EXPECT_TRUE(outcome.finished) << "hung; steps:\n" << outcome.notes;
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
}

namespace {

// The children of every keynum below items as "nodes" lists them (rows in
// rowid order; the root, whose pid is NULL, under keynum 0), read with a
// connection of its own while the catalog is closed.
std::map<int64_t, std::vector<int64_t>> children_from_nodes(const std::string &path, int64_t items)
{
    std::map<int64_t, std::vector<int64_t>> out;
    sqlite3 *conn = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(conn, "SELECT id, IFNULL(pid, 0) FROM nodes ORDER BY rowid;", -1, &stmt, nullptr),
              SQLITE_OK);
    for (int64_t k = 0; k < items; ++k)
        out[k];
    while (sqlite3_step(stmt) == SQLITE_ROW)
        out[sqlite3_column_int64(stmt, 1)].push_back(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(conn);
    return out;
}

// The small catalog the fuzz targets use: root 1 { folder 2 { 4, 5 },
// folder 3 { 6 }, file 7 }.
const std::vector<CatRow> kSmall = {{1, -1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 2, 0, 10},
                                    {5, 2, 0, 20}, {6, 3, 0, 30}, {7, 1, 0, 40}};

} // namespace

// Fault guarded: children_cache had no check value, and some single-bit
// flips of it passed every structural rule (one moved the root under another
// node), so listings were believed that "nodes" does not hold. Every flip of
// every bit of a real catalog's file is now rebuilt, and each listing is the
// one "nodes" gives.
TEST(ChildrenCacheFiles, EverySingleBitFlipIsRebuilt)
{
    Catalog cat;
    cat.writeCached(kSmall);
    const std::string good = zvtest::readFile(cat.path("children_cache"));
    ASSERT_FALSE(good.empty());
    const auto expected = children_from_nodes(cat.path("cat.db"), 8);
    size_t believed = 0;
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::string bad = good;
        bad[bit / 8] = (char)(bad[bit / 8] ^ (1 << (bit % 8)));
        zvtest::writeFile(cat.path("children_cache"), bad);
        ASSERT_EQ(catdb_ensure_reading(&cat.db), 0) << "bit " << bit;
        if (zvtest::readFile(cat.path("children_cache")) != good)
            ++believed;
        for (const auto &[keynum, children] : expected)
            EXPECT_EQ(cat.children(keynum), children) << "bit " << bit << ", keynum " << keynum;
        ASSERT_EQ(catdb_close(&cat.db), 0);
    }
    EXPECT_EQ(believed, 0u) << "of " << good.size() * 8 << " flips";
    EXPECT_TRUE(cat.logged("childrencache_read: Invalid hash"));
}

// Caches that agree with each other but not with "nodes" (rows changed
// behind the catalog's back, or a pair of files from elsewhere), and a
// db-cache of the layout before children_cache's hash was kept in it, are
// rebuilt instead of believed.
TEST(ChildrenCacheFiles, CachesNotMatchingNodesOrOfTheOlderLayoutAreRebuilt)
{
    Catalog cat;
    cat.writeCached(kSmall);
    sqlite3 *conn = nullptr;
    ASSERT_EQ(sqlite3_open(cat.path("cat.db").c_str(), &conn), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(conn, "INSERT INTO nodes (id, pid, is_dir, size) VALUES (8, 3, 0, 50);", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(conn);
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_TRUE(cat.logged("the caches count 7 rows in 8 keynums; nodes holds 8 rows up to id 8"));
    EXPECT_EQ(cat.children(3), (std::vector<int64_t>{6, 8}));
    ASSERT_EQ(catdb_close(&cat.db), 0);

    // The older layout: the same items without the children hash.
    std::string image = zvtest::readFile(cat.path("db-cache"));
    dbcache_contents contents;
    ASSERT_EQ(dbcache_parse((const uint8_t *)image.data(), image.size(), &contents), 0);
    ASSERT_TRUE(contents.has_children_hash);
    EXPECT_EQ(contents.children_hash, hash_fnv1a64(zvtest::readFile(cat.path("children_cache")).data(),
                                                   zvtest::readFile(cat.path("children_cache")).size()));
    Packed older;
    older.pack.addInt64(contents.file_count);
    older.pack.addInt64(contents.folder_count);
    older.pack.addInt64(contents.total_size);
    ASSERT_EQ(u64array_pack(&contents.sizes, &older.pack), 0);
    uint32_t length = 0;
    const uint8_t *bits = bitarray_data(&contents.folders, &length);
    older.pack.addBytes(bits, length);
    std::vector<uint8_t> old_image = older.withHash();
    dbcache_contents parsed;
    ASSERT_EQ(dbcache_parse(old_image.data(), old_image.size(), &parsed), 0);
    EXPECT_FALSE(parsed.has_children_hash);
    zvtest::writeFile(cat.path("db-cache"), std::string(old_image.begin(), old_image.end()));
    const ino_t before = inode_of(cat.path("db-cache"));
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_TRUE(cat.logged("db-cache of an older layout"));
    EXPECT_NE(inode_of(cat.path("db-cache")), before);
    EXPECT_EQ(zvtest::readFile(cat.path("db-cache")), image);
}

// Fault guarded: a row's size was taken as it stood, so a size of -2^63
// (damage) became 2^63 bytes, which overflowed the selected-bytes counter's
// arithmetic when the file was unticked. Sizes read back from "nodes" and
// from "db-cache" read as 0 when negative, in listings, totals and counters.
TEST(ChildrenCacheFiles, NegativeAndOversizedSizesReadAsZero)
{
    Catalog cat;
    cat.writeCached({{1, -1, 1, 0}, {2, 1, 0, INT64_MIN}, {3, 1, 0, -5}, {4, 1, 0, 100}, {5, 1, 1, INT64_MIN}});
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    for (const auto &[keynum, expected] : std::vector<std::pair<int64_t, uint64_t>>{{2, 0}, {3, 0}, {4, 100}}) {
        uint64_t size = 99;
        EXPECT_EQ(catdb_node_facts(&cat.db, keynum, nullptr, &size), 0);
        EXPECT_EQ(size, expected) << keynum;
    }
    uint64_t total = 0;
    ASSERT_EQ(catdb_get_counts(&cat.db, nullptr, nullptr, &total, nullptr), 0);
    EXPECT_EQ(total, 100u);
    const int64_t path[] = {2, 1, CATDB_KEYNUM_NONE};
    ASSERT_EQ(catdb_select_node(&cat.db, path, 3, 1), 0);
    EXPECT_EQ(cat.counters(), (std::vector<uint64_t>{1, 1, 0, 0, 0})); // the file; the root, partly selected
    ASSERT_EQ(catdb_select_node(&cat.db, path, 3, 0), 0);
    EXPECT_EQ(cat.counters(), (std::vector<uint64_t>{0, 0, 0, 0, 0}));
    const int64_t root[] = {CATDB_KEYNUM_ROOT, CATDB_KEYNUM_NONE};
    ASSERT_EQ(catdb_select_node(&cat.db, root, 2, 1), 0);
    EXPECT_EQ(cat.counters()[SEL_COUNTER_BYTES], 100u);
    ASSERT_EQ(catdb_close(&cat.db), 0);

    // A db-cache whose check values hold but whose size of keynum 4 is above
    // INT64_MAX is read, with that size as 0.
    std::string image = zvtest::readFile(cat.path("db-cache"));
    dbcache_contents contents;
    ASSERT_EQ(dbcache_parse((const uint8_t *)image.data(), image.size(), &contents), 0);
    contents.sizes.values[4] = (uint64_t(1) << 63) | 7;
    std::vector<uint8_t> forged;
    ASSERT_EQ(dbcache_build(contents.file_count, contents.folder_count, contents.total_size, &contents.sizes,
                            &contents.folders, contents.children_hash, &forged),
              0);
    zvtest::writeFile(cat.path("db-cache"), std::string(forged.begin(), forged.end()));
    const ino_t before = inode_of(cat.path("db-cache"));
    ASSERT_EQ(catdb_ensure_reading(&cat.db), 0);
    EXPECT_EQ(inode_of(cat.path("db-cache")), before); // read, not rebuilt
    uint64_t size = 99;
    EXPECT_EQ(catdb_node_facts(&cat.db, 4, nullptr, &size), 0);
    EXPECT_EQ(size, 0u);
}

// The caches are written through "<name>.tmp" opened without following a
// link: a link planted at either temporary name leaves its target as it
// was (the rebuild then cannot save, and the opening fails).
TEST(ChildrenCacheFiles, LinkAtATemporaryNameIsNotFollowed)
{
    zvtest::TempDir outside;
    for (const char *name : {"db-cache.tmp", "children_cache.tmp"}) {
        Catalog cat;
        cat.write(kSmall);
        ASSERT_EQ(catdb_close(&cat.db), 0);
        const std::string target = outside / (std::string(name) + ".victim");
        zvtest::writeFile(target, "precious");
        ASSERT_EQ(symlink(target.c_str(), cat.path(name).c_str()), 0);
        catdb_ensure_reading(&cat.db);
        EXPECT_EQ(zvtest::readFile(target), "precious") << name;
        struct stat info;
        EXPECT_TRUE(lstat(cat.path(name).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) << name;
        EXPECT_FALSE(lstat(cat.path("db-cache").c_str(), &info) == 0 && S_ISLNK(info.st_mode)) << name;
    }
}

// Ids far sparser than the rows are refused before the per-keynum arrays
// are made for them. 2,000,000 is below the largest count an array may
// have, so it is this rule, not the array's own limit, that refuses it.
TEST(ChildrenCacheFiles, IdsFarSparserThanTheRowsAreRefused)
{
    Catalog cat;
    cat.write({{1, -1, 1, 0}, {2, 1, 0, 5}, {2000000, 1, 0, 7}});
    EXPECT_EQ(catdb_ensure_reading(&cat.db), -12);
    EXPECT_TRUE(cat.logged("ids up to 2000000 for 3 rows: the catalog is damaged"));
    EXPECT_EQ(catdb_mode(&cat.db), CATDB_MODE_CLOSED);
    EXPECT_FALSE(cat.exists("db-cache"));
}

// The seeds in fuzz/corpus/children_cache are the small catalog's cache
// files as the catalog writes them: "dbcache", "fixture_children", and
// "pure_children" (two bytes choosing 8 keynums and 7 rows, then the
// children file). ZV_WRITE_CHILDREN_CACHE_SEEDS=1 writes them anew.
TEST(ChildrenCacheFiles, FuzzCorpusIsWhatTheCatalogWrites)
{
    Catalog cat;
    cat.writeCached(kSmall);
    const std::string children = zvtest::readFile(cat.path("children_cache"));
    const std::map<std::string, std::string> made = {{"dbcache", zvtest::readFile(cat.path("db-cache"))},
                                                     {"fixture_children", children},
                                                     {"pure_children", std::string("\x07\x07", 2) + children}};
    const std::string folder =
        (std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/children_cache/").string();
    for (const auto &[name, bytes] : made) {
        if (std::getenv("ZV_WRITE_CHILDREN_CACHE_SEEDS"))
            zvtest::writeFile(folder + name, bytes);
        EXPECT_EQ(zvtest::readFile(folder + name), bytes) << name;
    }
}
