// The FAT quick scan against real images made with mkfs.fat, mtools and
// sfdisk: the catalog's listing (paths, sizes, modification times) and the
// data of its extents against The Sleuth Kit's fls and icat on the same
// image; partitioned cards; damaged boot sectors; repeated scans; catalog
// failures; the thorough scan's walk of boot-sector spans.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fat_image_support.h"
#include "foundation/buf.h"
#include "foundation/error_list.h"
#include "foundation/prefs.h"
#include "fs_test_support.h"
#include "scan/catalog/fs_record.h"
#include "scan/fat/fat_reader.h"
#include "scan/fat/fat_scan.h"
#include "scan/module.h"
#include "scan/scan_context.h"
#include "storage/media.h"
#include "storage/media_stream.h"

namespace {

using namespace zvtest;

constexpr time_t kT0 = 1262347445; // 2010-01-01 12:04:05 UTC

struct Item {
    bool dir = false;
    uint64_t size = 0;
    int64_t mtime = 0, crtime = 0;
    uint64_t keynum = 0;
    uint32_t flags = 0;
};
using Listing = std::map<std::string, Item>;

// The catalog's tree below keynum as "path" -> item; duplicate paths fail.
void catalogListing(fs_record *fs, uint64_t keynum, const std::string &prefix, Listing *out, int depth = 0)
{
    ASSERT_LT(depth, 64);
    std::vector<NodeInfo> children;
    ASSERT_EQ(fs_node_children(fs, keynum, &children), 0) << prefix;
    for (const NodeInfo &child : children) {
        const std::string path = prefix.empty() ? child.name : prefix + "/" + child.name;
        const bool dir = (child.flags & NODE_FOLDER) != 0;
        const Item item{dir, dir ? 0 : child.data_size, child.date_modified, child.date_created, child.keynum,
                        child.flags};
        ASSERT_TRUE(out->emplace(path, item).second) << "listed twice: " << path;
        if (dir)
            catalogListing(fs, child.keynum, path, out, depth + 1);
    }
}

Listing catalogListing(fs_record *fs)
{
    Listing out;
    catalogListing(fs, KEYNUM_FS_ROOT, "", &out);
    return out;
}

std::vector<std::string> paths(const Listing &listing)
{
    std::vector<std::string> out;
    for (const auto &entry : listing)
        out.push_back(entry.first);
    return out;
}

// The live entries fls lists (volume label, deleted entries and the $
// pseudo-files left out).
Listing flsListing(const std::string &image, uint64_t sectorOffset = 0)
{
    Listing out;
    for (const FlsBodyEntry &e : flsBody(image, sectorOffset)) {
        if (e.name.find("(Volume Label Entry)") != std::string::npos ||
            e.name.find(" (deleted)") != std::string::npos || e.name.rfind("/$", 0) == 0)
            continue;
        const bool dir = !e.mode.empty() && e.mode[0] == 'd';
        out[e.name.substr(1)] = Item{dir, dir ? 0 : e.size, e.mtime, e.crtime};
    }
    return out;
}

// A listing as one line per path with its kind, size and times: two
// listings compared this way show the paths missing, extra or different.
std::string text(const Listing &listing)
{
    std::string out;
    for (const auto &[path, item] : listing)
        out += path + (item.dir ? " dir " : " file ") + std::to_string(item.size) + " m" +
               std::to_string(item.mtime) + " c" + std::to_string(item.crtime) + "\n";
    return out;
}

// One query's first column as text from the record's cat.db ("<none>" when
// the database or the row is missing, "" for NULL).
std::string db(fs_record *fs, const std::string &sql)
{
    const std::string path = std::string(dir_path(fs->folder)) + "/cat.db";
    sqlite3 *conn = nullptr;
    std::string value = "<none>";
    if (sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(conn, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(stmt, 0);
            value = text ? reinterpret_cast<const char *>(text) : "";
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(conn);
    return value;
}

bool errorListed(int code)
{
    return error_list_str().find(std::to_string(code)) != std::string::npos;
}

// Runs one statement on the record's catalog (a trigger that refuses writes).
void catalogExec(fs_record *r, const std::string &sql)
{
    std::lock_guard<std::recursive_mutex> hold(r->mutex);
    ASSERT_EQ(catdb_ensure_writing(&r->cat), 0);
    ASSERT_EQ(catdb_exec(&r->cat, sql.c_str()), 0);
    ASSERT_EQ(catdb_close(&r->cat), 0);
}

class FatScan : public fstest::Workspace {
protected:
    void SetUp() override
    {
        fstest::Workspace::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
        clear_errors();
    }
    void TearDown() override
    {
        fs.reset();
        fstest::Workspace::TearDown();
    }

    std::string image(const std::string &name) const { return dir / name; }
    std::string fat(int bits, unsigned kib, const std::string &name = "card.img", const std::string &options = "")
    {
        makeFat(image(name), bits, kib, options);
        return image(name);
    }
    // A FAT16 image holding one small file.
    std::string fat16With(const std::string &file, const std::string &name = "card.img")
    {
        fatPut(fat(16, 20480, name), file, "abc", kT0);
        return image(name);
    }

    // Attaches the image as a medium (its partition map read) and makes a
    // quick-scan context with a FAT record on it; the fixture keeps the
    // first one's medium, context and record.
    std::shared_ptr<fs_record> open(const std::string &path)
    {
        Media *m = media_attach_file(path.c_str());
        ScanContext *s = m != nullptr ? scx_new(SCX_TYPE_QUICK, m, workspace) : nullptr;
        std::shared_ptr<fs_record> out = s != nullptr ? fs_new_of_type(s, FS_TYPE_FAT) : nullptr;
        if (out == nullptr)
            throw std::runtime_error("no FAT record on " + path);
        if (fs == nullptr)
            media = m, scan = s, fs = out;
        return out;
    }
    fs_record *record(const std::string &path)
    {
        fs.reset();
        return open(path).get();
    }
    // The record of a quick scan that succeeded.
    fs_record *scanned(const std::string &path)
    {
        fs_record *r = record(path);
        if (const int rc = quickScan(r); rc != 0)
            throw std::runtime_error("fat_quickscan gave " + std::to_string(rc));
        return r;
    }

    int quickScan(fs_record *r)
    {
        std::lock_guard<std::recursive_mutex> hold(r->mutex);
        return fat_quickscan(r);
    }

    // Every live file's data over the catalog extents equals icat's.
    void expectDataMatchesIcat(const std::string &path, const Listing &ours, const std::string &prefix,
                               uint64_t sectorOffset = 0)
    {
        std::map<std::string, std::string> inodes;
        for (const FlsEntry &e : flsList(path, sectorOffset))
            if (!e.deleted)
                inodes[e.path] = e.inode;
        int files = 0;
        for (const auto &[name, item] : ours) {
            if (item.dir || name.rfind(prefix, 0) != 0)
                continue;
            const std::string inside = name.substr(prefix.size());
            auto inode = inodes.find(inside);
            ASSERT_NE(inode, inodes.end()) << inside;
            EXPECT_EQ(fstest::nodeData(fs.get(), item.keynum, item.size), icat(path, inode->second, false, sectorOffset))
                << inside;
            files++;
        }
        EXPECT_GT(files, 0);
    }

    ScopedEnv tz{"TZ", "UTC"};
    Media *media = nullptr;
    ScanContext *scan = nullptr;
    std::shared_ptr<fs_record> fs;
};

// Fills a volume with what the listing tests compare: a label, nested
// folders, long names in several scripts, a hidden file, a zero-length
// file, a deleted file and a file fragmented over 12 runs.
void populate(const std::string &img, int bits, uint64_t offset = 0)
{
    fatLabel(img, "CARD" + std::to_string(bits), offset);
    for (const char *folder : {"DCIM", "DCIM/100CANON", "DCIM/100CANON/Deeper Folder Name", "Музыка"})
        fatMkdir(img, folder, offset);
    fatPut(img, "DCIM/100CANON/IMG_0001.JPG", patternBytes(70000, 1), kT0, offset);
    fatPut(img, "DCIM/100CANON/Deeper Folder Name/a rather long file name.jpeg", patternBytes(3000, 2),
           kT0 + 86400 * 400, offset);
    fatPut(img, "Музыка/песня номер один.mp3", patternBytes(5000, 3), kT0 + 7, offset);
    fatPut(img, "写真 2023 夏.jpg", patternBytes(1234, 4), kT0 + 100, offset);
    fatPut(img, "Ελληνικά και Ünïcödé.txt", patternBytes(77, 5), kT0 + 200, offset);
    fatPut(img, "empty.txt", "", kT0 + 300, offset);
    fatPut(img, "hidden.dat", patternBytes(600, 6), kT0 + 400, offset);
    mtools("mattrib +h -i " + mtoolsImage(img, offset) + " ::/hidden.dat");
    fatPut(img, "gone.jpg", patternBytes(9000, 7), kT0 + 500, offset);
    fatDelete(img, "gone.jpg", offset);
    // Twelve one-cluster holes between spacers, then a file that fills them.
    FatPatcher patcher(img, offset);
    const uint32_t cluster = patcher.bytesPerCluster();
    fatMkdir(img, "frag", offset);
    for (int i = 0; i < 12; i++) {
        fatPut(img, "frag/hole" + std::to_string(i), patternBytes(cluster, 10 + i), kT0, offset);
        fatPut(img, "frag/keep" + std::to_string(i), patternBytes(cluster, 30 + i), kT0, offset);
    }
    const uint32_t firstHole = patcher.find("frag/hole0").firstCluster;
    for (int i = 0; i < 12; i++)
        fatDelete(img, "frag/hole" + std::to_string(i), offset);
    if (bits == 32) // FAT32 allocates from its next-free hint: point it at the first hole
        patcher.putU32(patcher.getU16(48) * patcher.geometry().bytesPerSector + 492, firstHole);
    fatPut(img, "frag/fragmented.bin", patternBytes(cluster * 12 - 100, 50), kT0 + 600, offset);
}

// An 80 MiB card with one partition at sector 2048 holding a FAT32 volume
// of 1024-byte sectors with photo.jpg (3000 pattern bytes of seed), whose
// first boot sector is then wiped: only the backup copy is left. The
// partition's byte offset.
uint64_t makeBackupOnlyPartition(const std::string &card, uint32_t seed)
{
    requireTool("sfdisk");
    mustRun("truncate -s 80M " + shellQuote(card));
    mustRun("printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q " + shellQuote(card));
    mustRun("mkfs.fat -F 32 -S 1024 -s 1 --offset=1024 " + shellQuote(card) + " 70000 >/dev/null");
    const uint64_t offset = 2048ull * 512;
    fatPut(card, "photo.jpg", patternBytes(3000, seed), kT0, offset);
    FatPatcher(card, offset).zero(0, 1024);
    return offset;
}

// A card of two volumes: the sample tree on the FAT32 one, DCIM/SECOND.JPG
// of secondSize bytes on the FAT16 one after it.
PartitionedCard makeTwoVolumeCard(const std::string &img, size_t secondSize)
{
    PartitionedCard card = makePartitionedCard(img);
    populate(img, 32, card.fat32Offset);
    fatMkdir(img, "DCIM", card.fat16Offset);
    fatPut(img, "DCIM/SECOND.JPG", patternBytes(secondSize, 9), kT0, card.fat16Offset);
    return card;
}

// Splits the listing of a two-volume card into its volumes (the second's
// paths below its "Volume at <offset>" folder) and compares each with fls.
std::pair<Listing, Listing> expectVolumesMatchFls(const std::string &img, const PartitionedCard &card,
                                                  const Listing &ours)
{
    const std::string second = "Volume at " + std::to_string(card.fat16Offset);
    Listing first, other;
    for (const auto &[path, item] : ours) {
        if (path.rfind(second + "/", 0) == 0)
            other[path.substr(second.size() + 1)] = item;
        else if (path != second)
            first[path] = item;
    }
    EXPECT_EQ(text(first), text(flsListing(img, card.fat32Offset / 512)));
    EXPECT_EQ(text(other), text(flsListing(img, card.fat16Offset / 512)));
    return {first, other};
}

class FatScanTypes : public FatScan, public testing::WithParamInterface<int> {};

TEST_P(FatScanTypes, ListingAndDataMatchSleuthkit)
{
    const int bits = GetParam();
    const std::string img = fat(bits, bits == 12 ? 2048 : bits == 16 ? 20480 : 65536, "card.img", "-s 1");
    populate(img, bits);
    fs_record *r = scanned(img);
    EXPECT_EQ(r->subtype, bits == 12 ? FAT_SUBTYPE_FAT12 : bits == 16 ? FAT_SUBTYPE_FAT16 : FAT_SUBTYPE_FAT32);
    const Listing ours = catalogListing(r);
    EXPECT_EQ(text(ours), text(flsListing(img)));
    EXPECT_EQ(ours.count("gone.jpg"), 0u);
    ASSERT_EQ(ours.count("hidden.dat"), 1u);
    EXPECT_NE(ours.at("hidden.dat").flags & NODE_HIDDEN, 0u);
    ASSERT_EQ(ours.count("frag/fragmented.bin"), 1u);
    NodeInfo info;
    ASSERT_EQ(fs_node_info(r, ours.at("frag/fragmented.bin").keynum, &info, 0), 0);
    EXPECT_EQ(info.num_extents, 12u); // eight in the row, four in "extents"
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM extents;"), "1");
    expectDataMatchesIcat(img, ours, "");
    // Rows: folders count their children; no row is marked deleted.
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE deleted <> 0;"), "0");
    EXPECT_EQ(ours.at("DCIM").size, 0u);
    NodeInfo dcim;
    ASSERT_EQ(fs_node_info(r, ours.at("DCIM").keynum, &dcim, 0), 0);
    EXPECT_EQ(dcim.child_count, 1u);
    char label[64];
    EXPECT_EQ(fs_volume_name(r, label, sizeof label), 0);
    EXPECT_EQ(std::string(label), "CARD" + std::to_string(bits));
}

INSTANTIATE_TEST_SUITE_P(Fat, FatScanTypes, testing::Values(12, 16, 32));

TEST_F(FatScan, SchemaIsTheCatalogsNodesTable)
{
    fs_record *r = scanned(fat16With("a.txt"));
    const std::string schema = db(r, "SELECT sql FROM sqlite_master WHERE name = 'nodes';");
    EXPECT_NE(schema.find("nodes (name TEXT, id INTEGER PRIMARY KEY, pid INTEGER, fs_id INTEGER, fs_pid INTEGER, "
                          "is_dir INTEGER, num_children INTEGER DEFAULT -1, size INTEGER, date_created INTEGER, "
                          "date_modified INTEGER, hidden INTEGER, deleted INTEGER, num_exts INTEGER, "
                          "ext0_start INTEGER, ext0_len INTEGER"),
              std::string::npos)
        << schema;
    // The root row, its children's links and the file's row values.
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE id = 1 AND fs_id = 2 AND fs_pid = 1 AND is_dir = 1 AND "
                    "pid IS NULL;"),
              "1");
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE name = 'a.txt' AND pid = 1 AND fs_pid = 2 AND "
                    "num_children IS NULL AND size = 3 AND num_exts = 1 AND ext1_start IS NULL;"),
              "1");
    // Ticking the file: a selection-only request refreshes just those bits.
    const Listing ours = catalogListing(r);
    ASSERT_EQ(ours.count("a.txt"), 1u);
    const int64_t file = (int64_t)ours.at("a.txt").keynum;
    const int64_t list[] = {file, FAT_ID_ROOT, CATDB_KEYNUM_NONE};
    ASSERT_EQ(fs_select_nodes(r, list, 3, 1), 0);
    NodeInfo info;
    info.flags = NODE_HIDDEN;
    info.name = "kept";
    ASSERT_EQ(fs_node_info(r, (uint64_t)file, &info, NODE_INFO_SELECTION_ONLY), 0);
    EXPECT_EQ(info.flags, (uint32_t)NODE_HIDDEN | 1u);
    EXPECT_EQ(info.name, "kept");
    EXPECT_EQ(fs_node_info(r, 9999, &info, 0), -12);
}

TEST_F(FatScan, PartitionedCardWalksEachVolumeAtItsOffset)
{
    const std::string img = image("card.img");
    const PartitionedCard card = makeTwoVolumeCard(img, 40000);
    fs_record *r = record(img);
    ASSERT_EQ(media_partition_count(media), 2);

    ASSERT_EQ(quickScan(r), 0); // offset 0 holds the partition table
    const Listing ours = catalogListing(r);
    const std::string second = "Volume at " + std::to_string(card.fat16Offset);
    const auto [first, other] = expectVolumesMatchFls(img, card, ours);
    expectDataMatchesIcat(img, ours, second + "/", card.fat16Offset / 512);
    ASSERT_EQ(ours.count("DCIM/100CANON/IMG_0001.JPG"), 1u);
    EXPECT_EQ(fstest::nodeData(r, ours.at("DCIM/100CANON/IMG_0001.JPG").keynum, 70000), patternBytes(70000, 1));
}

TEST_F(FatScan, TwoVolumesWithTheSameFirstClustersAreNotCrossLinked)
{
    const std::string img = image("card.img");
    requireTool("sfdisk");
    mustRun("truncate -s 48M " + shellQuote(img));
    mustRun("printf 'label: dos\\nstart=2048, size=40000, type=6\\nstart=43008, type=6\\n' | sfdisk -q " +
            shellQuote(img));
    const uint64_t a = 2048ull * 512, b = 43008ull * 512;
    for (uint64_t offset : {a, b}) {
        mustRun("mkfs.fat -F 16 --offset=" + std::to_string(offset / 512) + " " + shellQuote(img) +
                " 20000 >/dev/null");
        fatMkdir(img, "DCIM", offset);
        fatMkdir(img, "DCIM/100MEDIA", offset);
    }
    fatPut(img, "DCIM/100MEDIA/FIRST.JPG", "first", kT0, a);
    fatPut(img, "DCIM/100MEDIA/SECOND.JPG", "second", kT0, b);
    // Both DCIM folders start at cluster 2, both 100MEDIA at cluster 3.
    EXPECT_EQ(FatPatcher(img, a).find("DCIM").firstCluster, FatPatcher(img, b).find("DCIM").firstCluster);
    fs_record *r = scanned(img);
    const Listing ours = catalogListing(r);
    const std::string second = "Volume at " + std::to_string(b);
    EXPECT_EQ(paths(ours), (std::vector<std::string>{"DCIM", "DCIM/100MEDIA", "DCIM/100MEDIA/FIRST.JPG", second,
                                                     second + "/DCIM", second + "/DCIM/100MEDIA",
                                                     second + "/DCIM/100MEDIA/SECOND.JPG"}));
    EXPECT_EQ(fstest::nodeData(r, ours.at(second + "/DCIM/100MEDIA/SECOND.JPG").keynum, 6), "second");
}

TEST_F(FatScan, BackupBootSectorAloneStillWalked)
{
    // 512-byte sectors on a plain card, 1024-byte sectors inside a partition:
    // the copy is looked for at 6 sectors of the size it declares.
    const std::string plain = fat(32, 65536, "plain.img");
    fatMkdir(plain, "DCIM");
    fatPut(plain, "DCIM/IMG_0001.JPG", patternBytes(5000, 1), kT0);
    const Listing want = flsListing(plain);
    FatPatcher(plain).zero(0, 512);
    fs_record *r = scanned(plain);
    const Listing ours = catalogListing(r);
    EXPECT_EQ(text(ours), text(want));
    EXPECT_EQ(fstest::nodeData(r, ours.at("DCIM/IMG_0001.JPG").keynum, 5000), patternBytes(5000, 1));

    const std::string card = image("card.img");
    makeBackupOnlyPartition(card, 2);
    std::shared_ptr<fs_record> r2 = open(card);
    ASSERT_EQ(quickScan(r2.get()), 0);
    ASSERT_EQ(fat_state_of(r2.get())->volumes.size(), 1u);
    EXPECT_TRUE(fat_state_of(r2.get())->volumes[0].backup);
    const Listing listed = catalogListing(r2.get());
    ASSERT_EQ(listed.count("photo.jpg"), 1u);
    EXPECT_EQ(fstest::nodeData(r2.get(), listed.at("photo.jpg").keynum, 3000), patternBytes(3000, 2));
}

TEST_F(FatScan, RegistryReachesTheFatType)
{
    const std::string img = image("card.img");
    PartitionedCard card = makePartitionedCard(img);
    fatLabel(img, "MYCARD", card.fat32Offset);
    fatPut(img, "a.jpg", "abc", kT0, card.fat32Offset);
    media = media_attach_file(img.c_str());
    ASSERT_NE(media, nullptr);

    // The first sector is a partition table: the second probe finds the volumes.
    scan = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(scan, nullptr);
    std::shared_ptr<fs_record> found = fs_identify(scan);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, (uint32_t)FS_TYPE_FAT);
    EXPECT_EQ(found->subtype, FAT_SUBTYPE_FAT32);
    fs_free(&found);

    ASSERT_EQ(fs_quick_scan(scan), 0);
    ASSERT_EQ(scan->fs_list.size(), 1u);
    fs_record *r = scan->fs_list[0].get();
    EXPECT_EQ(r->type, (uint32_t)FS_TYPE_FAT);
    const Listing ours = catalogListing(r);
    EXPECT_EQ(ours.count("a.jpg"), 1u);
    EXPECT_EQ(ours.count("Volume at " + std::to_string(card.fat16Offset) + " (NO NAME)"), 0u);
    EXPECT_EQ(ours.count("Volume at " + std::to_string(card.fat16Offset)), 1u);
    char label[64];
    EXPECT_EQ(fs_volume_name(r, label, sizeof label), 0);
    EXPECT_EQ(std::string(label), "MYCARD");
}

TEST_F(FatScan, DisabledModuleOrNoVolumeScansNothing)
{
    const std::string img = fat(12, 2048);
    fs_record *r = record(img);
    ASSERT_EQ(prefs_set_int("Scanning/FAT", "enabled", 0), 0);
    const int rc = quickScan(r);
    prefs_set_int("Scanning/FAT", "enabled", 1);
    EXPECT_EQ(rc, -9);
    EXPECT_TRUE(logged("fat_quickscan: disabled"));
    EXPECT_EQ(quickScan(r), 0);

    writeFile(image("blank.img"), std::string(1 << 20, '\0'));
    std::shared_ptr<fs_record> blank = open(image("blank.img"));
    EXPECT_EQ(quickScan(blank.get()), -1);
    EXPECT_EQ(fat_detect(blank.get()), 0);
}

TEST_F(FatScan, RepeatedQuickScanWritesNothingTwice)
{
    const std::string img = fat(12, 2048);
    fatMkdir(img, "DCIM");
    fatPut(img, "DCIM/a.jpg", "abc", kT0);
    fs_record *r = scanned(img);
    const std::string rows = db(r, "SELECT COUNT(*) FROM nodes;");
    EXPECT_EQ(rows, "3");
    ASSERT_EQ(quickScan(r), 0);
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE fs_id = 2;"), "1");
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes;"), rows);
    EXPECT_EQ(catalogListing(r).size(), 2u);
}

TEST_F(FatScan, FolderMetAgainIsSkippedAloneAndSiblingsKept)
{
    const std::string img = fat(32, 65536);
    for (const char *folder : {"A", "B", "LOOP", "ROOTLOOP"})
        fatMkdir(img, folder);
    fatPut(img, "A/in_a.txt", "a", kT0);
    fatPut(img, "B/in_b.txt", "b", kT0);
    fatPut(img, "zlast.txt", "z", kT0);
    {
        FatPatcher patcher(img);
        const uint32_t a = patcher.find("A").firstCluster;
        patcher.setFirstCluster(patcher.find("B"), a);                                     // B shares A's cluster
        patcher.setFirstCluster(patcher.find("LOOP"), a);                                  // and so does LOOP
        patcher.setFirstCluster(patcher.find("ROOTLOOP"), patcher.geometry().rootCluster); // the root
    }
    fs_record *r = scanned(img);
    EXPECT_EQ(paths(catalogListing(r)), (std::vector<std::string>{"A", "A/in_a.txt", "zlast.txt"}));
    EXPECT_TRUE(logged("Recursive loop while parsing FAT. Bailing."));
}

// A long-name part left at the end of a sub-folder (its short entry gone),
// whose checksum is that of the parent's next entry: the sub-folder is
// walked in the middle of the parent's walk, and the part must not rename
// the parent's next file.
TEST_F(FatScan, LongNamePartLeftInASubFolderNamesNothing)
{
    const std::string img = fat(16, 20480);
    fatMkdir(img, "SUB");
    fatPut(img, "SUB/Stolen.jpg", "s", kT0);
    fatPut(img, "B.TXT", "b", kT0);
    {
        FatPatcher p(img);
        const auto stolen = p.find("SUB/Stolen.jpg");
        ASSERT_EQ(stolen.longNameOffsets.size(), 1u);
        p.putU8(stolen.offset, 0x00); // the short entry freed: the part ends the folder
        p.putU8(stolen.longNameOffsets[0] + 13, FatPatcher::checksum(reinterpret_cast<const uint8_t *>("B       TXT")));
    }
    fs_record *r = scanned(img);
    EXPECT_EQ(paths(catalogListing(r)), (std::vector<std::string>{"B.TXT", "SUB"}));
}

// Live entries with 8.3 names no 8.3 name should have, which fls lists
// ("/", "\" and "." kept, a control byte as "^"): the catalog lists each,
// with "_" in their place, and its data is what icat reads.
TEST_F(FatScan, OddShortNamesAreListedAsOtherReadersDo)
{
    const std::string img = fat(12, 2048);
    const char *stored[] = {"A/B     TXT", "C\\D     TXT", "E.F     TXT", "G\x01H     TXT"};
    for (int i = 0; i < 4; i++)
        fatPut(img, "L" + std::to_string(i) + ".TXT", patternBytes(3000 + i, i), kT0);
    {
        FatPatcher p(img);
        for (int i = 0; i < 4; i++)
            p.setShortName(p.find("L" + std::to_string(i) + ".TXT"), stored[i]);
    }
    fs_record *r = scanned(img);
    const Listing ours = catalogListing(r);
    EXPECT_EQ(paths(ours), (std::vector<std::string>{"A_B.TXT", "C_D.TXT", "E_F.TXT", "G_H.TXT"}));
    std::map<std::string, std::string> inodes; // fls's name mapped as ours -> inode
    for (const FlsEntry &e : flsList(img)) {
        if (e.deleted || e.path.empty() || e.path[0] == '$' || e.type[0] != 'r')
            continue;
        std::string name = e.path;
        const size_t dot = name.rfind('.');
        for (size_t i = 0; i < name.size(); i++)
            if (name[i] == '/' || name[i] == '\\' || name[i] == '^' || (name[i] == '.' && i != dot))
                name[i] = '_';
        inodes[name] = e.inode;
    }
    EXPECT_EQ(inodes.size(), ours.size());
    for (const auto &[name, item] : ours) {
        ASSERT_EQ(inodes.count(name), 1u) << name;
        EXPECT_TRUE(fstest::nodeData(r, item.keynum, item.size) == icat(img, inodes[name])) << name;
    }
}

// A crafted chain of 200 nested folders (each a cluster holding ".", ".."
// and the next): the folders below FAT_MAX_DEPTH levels are listed but not
// entered, so the walk's recursion stays bounded.
TEST_F(FatScan, FoldersNestedTooDeepAreListedButNotEntered)
{
    const std::string img = fat(16, 20480);
    constexpr uint32_t kLevels = 200;
    {
        FatPatcher p(img);
        for (uint32_t level = 1; level <= kLevels; level++) {
            const uint32_t cluster = level + 1;
            std::vector<FatPatcher::RawEntry> entries{
                FatPatcher::shortEntry(".          ", 0x10, cluster, 0),
                FatPatcher::shortEntry("..         ", 0x10, level == 1 ? 0 : cluster - 1, 0)};
            if (level < kLevels)
                entries.push_back(FatPatcher::shortEntry("D          ", 0x10, cluster + 1, 0));
            p.writeEntries(p.clusterOffset(cluster), entries);
            p.setFatEntry(cluster, p.endOfChain());
        }
        p.writeEntries(p.geometry().rootOffset, {FatPatcher::shortEntry("D          ", 0x10, 2, 0)});
    }
    fs_record *r = scanned(img);
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE is_dir = 1 AND id <> 1;"), std::to_string(FAT_MAX_DEPTH + 1));
    EXPECT_TRUE(logged("fat_dir_callback: folders nested deeper than 128 levels are not read"));
}

// A damaged FAT in which many entries point at one long chain: each entry
// gets the chain as the FAT gives it until the volume's budget of shared
// clusters is spent, so the catalog (and what recovery copies) stays within
// twice the volume's size instead of growing with the square of it.
TEST_F(FatScan, EntriesSharingOneChainCostTheVolumeOnce)
{
    const std::string img = fat(16, 20480);
    const std::string big = patternBytes(16 << 20, 7); // most of the volume
    fatPut(img, "BIG.BIN", big, kT0);
    constexpr int kSharers = 24;
    for (int i = 0; i < kSharers; i++)
        fatPut(img, "S" + std::to_string(i) + ".BIN", "s", kT0);
    uint64_t volumeBytes = 0;
    {
        FatPatcher patcher(img);
        volumeBytes = uint64_t(patcher.geometry().clusterCount) * patcher.bytesPerCluster();
        const auto first = patcher.find("BIG.BIN");
        for (int i = 0; i < kSharers; i++) {
            const auto entry = patcher.find("S" + std::to_string(i) + ".BIN");
            patcher.setFirstCluster(entry, first.firstCluster);
            patcher.setSize(entry, (uint32_t)big.size());
        }
    }
    fs_record *r = scanned(img);
    std::string lengths = "0", moreLengths = "0";
    for (int i = 0; i < 8; i++) {
        lengths += " + COALESCE(ext" + std::to_string(i) + "_len, 0)";
        moreLengths += " + COALESCE(len_" + std::to_string(i) + ", 0)";
    }
    EXPECT_EQ(db(r, "SELECT SUM(" + lengths + ") FROM nodes WHERE name = 'BIG.BIN';"), std::to_string(big.size()));
    const uint64_t all = std::stoull(db(r, "SELECT SUM(" + lengths + ") FROM nodes;")) +
                         std::stoull(db(r, "SELECT COALESCE(SUM(" + moreLengths + "), 0) FROM extents;"));
    EXPECT_LE(all, 2 * volumeBytes);
    EXPECT_GT(all, big.size() * 2); // the first sharer had room for the whole chain
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE name LIKE 'S%';"), std::to_string(kSharers)); // all listed
    const Listing ours = catalogListing(r);
    ASSERT_EQ(ours.count("S0.BIN"), 1u);
    EXPECT_TRUE(fstest::nodeData(r, ours.at("S0.BIN").keynum, big.size()) == big);
}

// Cross-linked files, ordinary FAT damage: an entry whose chain runs into
// an intact file's clusters, walked before it, and an entry naming the
// intact file's first cluster. Each gets its chain as the FAT gives it,
// as The Sleuth Kit reads them; the intact file keeps all its data.
TEST_F(FatScan, CrossLinkedFilesEachGetTheirChain)
{
    const std::string img = fat(16, 20480);
    fatPut(img, "DAMAGED.BIN", patternBytes(3000, 1), kT0);
    const std::string intact = patternBytes(10000, 2);
    fatPut(img, "A.BIN", intact, kT0);
    fatPut(img, "TWIN.BIN", "t", kT0);
    {
        FatPatcher p(img);
        const auto a = p.find("A.BIN");
        ASSERT_GE(p.chain(a.firstCluster).size(), 4u);
        const auto damaged = p.find("DAMAGED.BIN");
        p.setFirstCluster(damaged, a.firstCluster + 1);
        p.setSize(damaged, 3 * p.bytesPerCluster());
        const auto twin = p.find("TWIN.BIN");
        p.setFirstCluster(twin, a.firstCluster);
        p.setSize(twin, (uint32_t)intact.size());
    }
    fs_record *r = scanned(img);
    const Listing ours = catalogListing(r);
    EXPECT_EQ(paths(ours), (std::vector<std::string>{"A.BIN", "DAMAGED.BIN", "TWIN.BIN"}));
    ASSERT_EQ(ours.count("A.BIN"), 1u);
    EXPECT_TRUE(fstest::nodeData(r, ours.at("A.BIN").keynum, intact.size()) == intact);
    expectDataMatchesIcat(img, ours, "");
}

// Folders whose chains run into one shared tail (cross-linked directories):
// ten folders whose own full cluster links into the tail of TAIL's chain,
// and ten whose first cluster lies in that tail. The tail's entries are
// listed once, so a volume never gives more rows than it has directory
// slots.
TEST_F(FatScan, FoldersRunningIntoOneTailListItOnce)
{
    const std::string img = fat(16, 20480, "card.img", "-s 1"); // 16 entries per cluster
    fatMkdir(img, "TAIL");
    constexpr int kFiles = 64, kFolders = 20;
    for (int i = 0; i < kFiles; i++)
        fatPut(img, "TAIL/F" + std::to_string(100 + i) + ".TXT", "f", kT0);
    for (int i = 0; i < kFolders; i++)
        fatMkdir(img, "D" + std::to_string(i));
    {
        FatPatcher p(img);
        const std::vector<uint32_t> tail = p.chain(p.find("TAIL").firstCluster);
        ASSERT_GE(tail.size(), 5u);
        FatPatcher::RawEntry erased = FatPatcher::shortEntry("XOLD    TXT", 0x20, 0, 0);
        erased[0] = 0xE5;
        for (int i = 0; i < kFolders; i++) {
            const auto folder = p.find("D" + std::to_string(i));
            if (i % 2 == 1) {
                p.setFirstCluster(folder, tail[1]);
                continue;
            }
            // ".", ".." and erased entries fill the cluster: the walk goes on
            // along the chain, into the tail.
            p.writeEntries(p.clusterOffset(folder.firstCluster) + 64, std::vector<FatPatcher::RawEntry>(14, erased));
            p.setFatEntry(folder.firstCluster, tail[1]);
        }
    }
    fs_record *r = scanned(img);
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE name LIKE 'F%';"), std::to_string(kFiles));
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes;"), std::to_string(1 + 1 + kFiles + kFolders / 2));
    const Listing ours = catalogListing(r);
    for (int i = 0; i < kFiles; i++)
        EXPECT_EQ(ours.count("TAIL/F" + std::to_string(100 + i) + ".TXT"), 1u) << i;
    EXPECT_TRUE(logged("Recursive loop while parsing FAT. Bailing."));
}

// A quick scan and a span walk on a read-only workspace, and a quick scan
// whose catalog does not fit, all fail with the catalog's error.
TEST_F(FatScan, ReadOnlyOrFullWorkspaceIsReportedAsFailure)
{
    fs_record *r = record(fat16With("a.jpg"));
    std::shared_ptr<fs_record> walked = open(fat16With("a.jpg", "good.img"));
    {
        Mount ro = Mount::bind(ws(), ws());
        ro.setReadOnly(true);
        EXPECT_LT(quickScan(r), -1);
        EXPECT_TRUE(errorListed(FAT_ERROR_CATALOG_WRITE)) << error_list_str();
        clear_errors();
        EXPECT_LT(fat_walk_span(walked.get(), 0), 0);
        EXPECT_TRUE(errorListed(FAT_ERROR_CATALOG_WRITE)) << error_list_str();
    }

    const std::string img = fat(16, 20480, "many.img");
    fatMkdir(img, "DCIM");
    for (int i = 0; i < 200; i++)
        fatPut(img, "DCIM/a rather long name for a photo number " + std::to_string(i) + ".jpg", "x", kT0);
    clear_errors();
    std::shared_ptr<fs_record> r2 = open(img);
    // The record's folder on a tmpfs too small for its catalog.
    Mount small = Mount::tmpfs(dir_path(r2->folder), "size=24k");
    const int rc = quickScan(r2.get());
    small.unmount();
    EXPECT_LT(rc, -1);
    EXPECT_TRUE(errorListed(FAT_ERROR_CATALOG_WRITE)) << error_list_str();
}

TEST_F(FatScan, WalkStopsAtTheFirstRefusedRow)
{
    const std::string img = fat(16, 20480);
    for (int i = 0; i < 30; i++)
        fatPut(img, "file" + std::to_string(i) + ".txt", "x", kT0);
    fs_record *r = record(img);
    // The catalog refuses rows after the fifth, as a full disk would.
    ASSERT_NO_FATAL_FAILURE(catalogExec(r, "CREATE TRIGGER refuse BEFORE INSERT ON nodes WHEN (SELECT COUNT(*) FROM "
                                           "nodes) >= 5 BEGIN SELECT RAISE(ABORT, 'catalog full'); END;"));
    EXPECT_EQ(quickScan(r), -40);
    EXPECT_TRUE(errorListed(FAT_ERROR_CATALOG_WRITE));
    const std::string log = readFile(dir / "engine.log");
    size_t failures = 0;
    for (size_t at = log.find("fatdb_write_node["); at != std::string::npos; at = log.find("fatdb_write_node[", at + 1))
        failures++;
    EXPECT_EQ(failures, 1u) << log;
}

// Linking the rows is the last write of a walk: when the catalog refuses it,
// the scan has failed even though every row went in.
TEST_F(FatScan, CatalogThatCannotBeCompletedIsAFailure)
{
    fs_record *r = record(fat16With("a.jpg"));
    const char *refuseUpdates = "CREATE TRIGGER IF NOT EXISTS refuse BEFORE UPDATE ON nodes BEGIN "
                                "SELECT RAISE(ABORT, 'catalog full'); END;";
    ASSERT_NO_FATAL_FAILURE(catalogExec(r, refuseUpdates));
    EXPECT_EQ(quickScan(r), -40);
    EXPECT_TRUE(errorListed(FAT_ERROR_CATALOG_WRITE)) << error_list_str();

    clear_errors();
    std::shared_ptr<fs_record> r2 = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(r2, nullptr);
    ASSERT_NO_FATAL_FAILURE(catalogExec(r2.get(), refuseUpdates));
    EXPECT_EQ(fat_walk_span(r2.get(), 0), -40);
    EXPECT_TRUE(errorListed(FAT_ERROR_CATALOG_WRITE)) << error_list_str();
}

// Every row is written with its folder's row id, in both walks of a
// partitioned card: closing the catalog sets no row's pid (a trigger notes
// each row whose pid is set). Rows another walk left without a parent are
// linked by the next close, and only they.
TEST_F(FatScan, RowsAreWrittenLinkedAndOnlyRowsLeftOverAreLinkedLater)
{
    const std::string img = image("card.img");
    const PartitionedCard card = makeTwoVolumeCard(img, 4000);
    fs_record *r = record(img);
    ASSERT_NO_FATAL_FAILURE(catalogExec(r, "CREATE TABLE touched (id INTEGER); CREATE TRIGGER note AFTER UPDATE OF "
                                           "pid ON nodes BEGIN INSERT INTO touched VALUES (new.id); END;"));
    ASSERT_EQ(quickScan(r), 0);
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM touched;"), "0");
    EXPECT_EQ(db(r, "SELECT group_concat(id) FROM nodes WHERE pid IS NULL;"), "1"); // the root alone
    const auto [first, other] = expectVolumesMatchFls(img, card, catalogListing(r));
    NodeInfo dcim;
    ASSERT_EQ(fs_node_info(r, first.at("DCIM").keynum, &dcim, 0), 0);
    EXPECT_EQ(dcim.child_count, 1u);
    // The rows after the fragmented file's keep no extent of it.
    std::string stale = "0";
    for (int i = 0; i < 8; i++)
        stale += " OR (num_exts <= " + std::to_string(i) + " AND (ext" + std::to_string(i) + "_start IS NOT NULL OR ext" +
                 std::to_string(i) + "_len IS NOT NULL))";
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes WHERE " + stale + ";"), "0");
    EXPECT_EQ(db(r, "SELECT num_exts FROM nodes WHERE name = 'fragmented.bin';"), "12");

    // A folder and a file of walk 7 that were written without their links.
    ASSERT_NO_FATAL_FAILURE(catalogExec(r, "INSERT INTO nodes (name, fs_id, fs_pid, is_dir, size) VALUES "
                                           "('Left over', 7 << 32 | 5, 2, 1, NULL), "
                                           "('left.jpg', 7 << 32 | 9, 7 << 32 | 5, 0, 3);"));
    ASSERT_EQ(quickScan(r), 0); // both volumes are in the catalog already: only the close runs
    EXPECT_EQ(db(r, "SELECT group_concat(name, '|') FROM (SELECT name FROM nodes WHERE id IN (SELECT id FROM "
                    "touched) ORDER BY id);"),
              "Left over|left.jpg");
    const Listing after = catalogListing(r);
    EXPECT_EQ(after.size(), first.size() + 1 + other.size() + 2);
    EXPECT_EQ(after.count("Left over/left.jpg"), 1u);
}

TEST_F(FatScan, SpanWalksIntoOneCatalogWithoutCollisions)
{
    const std::string img = image("card.img");
    PartitionedCard card = makePartitionedCard(img);
    fatMkdir(img, "DCIM", card.fat32Offset);
    fatPut(img, "DCIM/A.JPG", "aaa", kT0, card.fat32Offset);
    fatMkdir(img, "DCIM", card.fat16Offset);
    fatPut(img, "DCIM/B.JPG", "bbbb", kT0, card.fat16Offset);
    fs_record *r = record(img);

    EXPECT_EQ(fat_walk_span(r, 0), 2); // the partition table is no boot sector
    EXPECT_EQ(fat_walk_span(r, (int64_t)card.fat32Offset), 0);
    const std::string rows = db(r, "SELECT COUNT(*) FROM nodes;");
    // FAT32's backup boot sector lies in the reserved area of the volume walked.
    EXPECT_EQ(fat_walk_span(r, (int64_t)card.fat32Offset + 6 * 512), 0);
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes;"), rows);
    EXPECT_EQ(fat_walk_span(r, (int64_t)card.fat16Offset), 0);
    EXPECT_EQ(n_errors(), 0) << error_list_str();

    const Listing ours = catalogListing(r);
    const std::string second = "Volume at " + std::to_string(card.fat16Offset);
    EXPECT_EQ(paths(ours), (std::vector<std::string>{"DCIM", "DCIM/A.JPG", second, second + "/DCIM",
                                                     second + "/DCIM/B.JPG"}));
    EXPECT_EQ(fstest::nodeData(r, ours.at(second + "/DCIM/B.JPG").keynum, 4), "bbbb");
}

// The thorough scan meets only the backup copy of a FAT32 volume whose own
// boot sector is wiped: the walk of that span reads the volume the copy
// belongs to, into the catalog's root as the quick scan does, and a later
// span inside it is not walked again. With 1024-byte sectors the copy lies
// 6 x 1024 bytes into the volume, here a partition.
TEST_F(FatScan, SpanAtABackupBootSectorWalksItsVolume)
{
    const std::string plain = fat(32, 65536, "plain.img");
    fatMkdir(plain, "DCIM");
    fatPut(plain, "DCIM/IMG_0001.JPG", patternBytes(5000, 3), kT0);
    fatPut(plain, "Read me.txt", "read me", kT0);
    const Listing want = flsListing(plain);
    FatPatcher(plain).zero(0, 512);
    fs_record *r = record(plain);
    EXPECT_EQ(fat_walk_span(r, 6 * 512), 0);
    const std::string rows = db(r, "SELECT COUNT(*) FROM nodes;");
    EXPECT_EQ(fat_walk_span(r, 6 * 512), 0);
    EXPECT_EQ(fat_walk_span(r, 0), 0); // inside the volume walked
    EXPECT_EQ(db(r, "SELECT COUNT(*) FROM nodes;"), rows);
    EXPECT_EQ(n_errors(), 0) << error_list_str();
    const Listing ours = catalogListing(r);
    EXPECT_EQ(text(ours), text(want));
    EXPECT_EQ(fstest::nodeData(r, ours.at("DCIM/IMG_0001.JPG").keynum, 5000), patternBytes(5000, 3));

    const std::string card = image("card.img");
    const uint64_t offset = makeBackupOnlyPartition(card, 4);
    fs_record *r2 = record(card);
    EXPECT_EQ(fat_walk_span(r2, (int64_t)(offset + 6 * 1024)), 0);
    const Listing listed = catalogListing(r2);
    EXPECT_EQ(paths(listed), std::vector<std::string>{"photo.jpg"});
    EXPECT_EQ(fstest::nodeData(r2, listed.at("photo.jpg").keynum, 3000), patternBytes(3000, 4));
}

// An 80 MB card with a FAT32 partition at sector 2048 after blank sectors
// (sfdisk, mkfs.fat), holding DCIM/IMG_0001.JPG: 3000 pattern bytes of the
// seed. The partition's offset.
uint64_t makeFat32CardAfterBlankSectors(const std::string &card, int seed)
{
    requireTool("sfdisk");
    mustRun("truncate -s 80M " + shellQuote(card));
    mustRun("printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q " + shellQuote(card));
    mustRun("mkfs.fat -F 32 --offset=2048 " + shellQuote(card) + " 70000 >/dev/null");
    const uint64_t offset = 2048ull * 512;
    fatMkdir(card, "DCIM", offset);
    fatPut(card, "DCIM/IMG_0001.JPG", patternBytes(3000, seed), kT0, offset);
    return offset;
}

// A sound FAT32 partition after blank sectors whose FAT holds an ordinary
// end-of-chain value 6 sectors before the end of each FAT. Seen from 6
// sectors before the volume (where a volume whose backup is this primary
// would start), a second FAT begins there with a valid header. The span at
// the primary walks the volume itself: its backup follows it (even where
// the first FAT of that earlier volume, in the primary's reserved sectors,
// passes its header check too), and when the backup is gone, the first FAT
// of that earlier volume fails its header. Either half of the rule alone
// would take the primary for a backup in one of the two cases.
TEST_F(FatScan, SpanAtAPrimaryIsNotTakenForABackup)
{
    for (const bool backup : {true, false}) {
        SCOPED_TRACE(backup ? "backup in place" : "backup wiped");
        const std::string card = image(backup ? "kept.img" : "wiped.img");
        const uint64_t offset = makeFat32CardAfterBlankSectors(card, 5);
        FatPatcher patch(card, offset);
        const FatPatcher::Geometry g = patch.geometry();
        const uint32_t entry = (g.sectorsPerFat - 6) * g.bytesPerSector / 4;
        ASSERT_LT(entry, g.clusterCount + 2);
        ASSERT_EQ(patch.getU32(g.reservedSectors * g.bytesPerSector + 4ull * entry), 0u);
        patch.setFatEntry(entry, 0x0FFFFFF8);
        if (backup) {
            ASSERT_GT(g.reservedSectors, 9u); // past the backup boot sector and its FSInfo copy
            const uint64_t earlierFat = (g.reservedSectors - 6ull) * g.bytesPerSector;
            patch.putU32(earlierFat, 0x0FFFFF00u | patch.getU8(FatPatcher::kMediaByte));
            patch.putU32(earlierFat + 4, 0x0FFFFFFF);
        } else {
            patch.zero(6ull * g.bytesPerSector, g.bytesPerSector);
        }
        fs_record *r = record(card);
        EXPECT_EQ(fat_walk_span(r, (int64_t)offset), 0);
        EXPECT_EQ(n_errors(), 0) << error_list_str();
        const Listing listed = catalogListing(r);
        EXPECT_EQ(paths(listed), (std::vector<std::string>{"DCIM", "DCIM/IMG_0001.JPG"}));
        if (listed.count("DCIM/IMG_0001.JPG")) {
            EXPECT_EQ(fstest::nodeData(r, listed.at("DCIM/IMG_0001.JPG").keynum, 3000), patternBytes(3000, 5));
        }
    }
}

// A sound FAT32 partition after blank sectors whose reserved sector
// (reserved - 6) holds the start of a FAT: seen from 6 sectors before the
// volume, where a volume whose backup boot sector is this primary would
// start, that is the first FAT, with a valid header, and that volume opens
// from the primary as its backup. Only the primary's own backup, 6 sectors
// on, tells it is no backup: the span at the primary walks the volume
// itself, whose files are listed by name with their data.
TEST_F(FatScan, SpanAtAPrimaryWithItsBackupInPlaceIsTheVolumeWhateverLiesBefore)
{
    const std::string card = image("card.img");
    const uint64_t offset = makeFat32CardAfterBlankSectors(card, 6);
    FatPatcher patch(card, offset);
    const FatPatcher::Geometry g = patch.geometry();
    ASSERT_GT(g.reservedSectors, 9u); // past the backup boot sector and its FSInfo copy
    const uint64_t earlierFat = (g.reservedSectors - 6ull) * g.bytesPerSector;
    ASSERT_EQ(readFile(card).substr(offset + earlierFat, g.bytesPerSector), std::string(g.bytesPerSector, '\0'));
    ASSERT_EQ(readFile(card).substr(offset - 6 * g.bytesPerSector, 6 * g.bytesPerSector),
              std::string(6 * g.bytesPerSector, '\0'));
    patch.putU32(earlierFat, 0x0FFFFF00u | patch.getU8(FatPatcher::kMediaByte));
    patch.putU32(earlierFat + 4, 0x0FFFFFFF);

    fs_record *r = record(card);
    {
        // The volume 6 sectors before opens from the primary and its first
        // FAT passes the header check: the reader alone would take it.
        const uint64_t earlierStart = offset - 6 * g.bytesPerSector;
        ZV::Fat earlier(std::make_shared<HV::ByteStreamMedia>(r->media, earlierStart,
                                                              media_length(r->media) - earlierStart));
        ASSERT_TRUE(earlier.open());
        EXPECT_TRUE(earlier.usedBackupBootSector());
        EXPECT_TRUE(earlier.checkFatHeader(0));
    }
    EXPECT_EQ(fat_walk_span(r, (int64_t)offset), 0);
    EXPECT_EQ(n_errors(), 0) << error_list_str();
    const Listing listed = catalogListing(r);
    EXPECT_EQ(paths(listed), (std::vector<std::string>{"DCIM", "DCIM/IMG_0001.JPG"}));
    if (listed.count("DCIM/IMG_0001.JPG")) {
        EXPECT_EQ(fstest::nodeData(r, listed.at("DCIM/IMG_0001.JPG").keynum, 3000), patternBytes(3000, 6));
    }
}

TEST_F(FatScan, SpanWalkOverABadFatIsNotDone)
{
    const std::string img = fat16With("a.jpg");
    fs_record *r = record(img);
    FatPatcher(img).setFatEntry(0, 0x1234); // the boot sector is fine, but no FAT copy carries the media byte
    EXPECT_EQ(fat_walk_span(r, 0), 2);
    EXPECT_TRUE(errorListed(FAT_ERROR_WALK)) << error_list_str();
}

TEST_F(FatScan, ThoroughDetectWritesABootSectorSpan)
{
    const std::string img = fat(12, 2048);
    fs_record *r = record(img);
    fil_module *module = fil_module_find(FIL_MODULE_FAT);
    ASSERT_NE(module, nullptr);
    static cbr_span span;
    static int written;
    written = 0;
    std::memset(&span, 0xAB, sizeof span);
    fil_store_hooks hooks{};
    hooks.current_span = [](fs_record *) { return &span; };
    hooks.write_span = [](fs_record *) { return ++written, 0; };
    fil_module_set_store_hooks(&hooks);
    scan->store = r; // any record stands in for the store here
    module->scan = scan;
    module->fs = r;
    module->enabled = 1;
    const std::string zeros(512, '\0'), boot = readFile(img).substr(0, 512);
    EXPECT_EQ(fat_cbr_detect(module, reinterpret_cast<const uint8_t *>(zeros.data()), 512), 0);
    EXPECT_EQ(written, 0);
    media->data_pos = 4096;
    EXPECT_EQ(fat_cbr_detect(module, reinterpret_cast<const uint8_t *>(boot.data()), 512), 1);
    EXPECT_EQ(written, 1);
    EXPECT_EQ(span.start, (uint64_t)media_data_pos(media));
    EXPECT_EQ(span.end, span.start);
    EXPECT_EQ(span.module_id, 0x66617420u);
    EXPECT_EQ(span.subtype, FAT_SPAN_SUBTYPE);
    EXPECT_EQ(span.result, 0x00100010u);
    EXPECT_EQ(span.state, 0u);
    module->enabled = 0;
    EXPECT_EQ(fat_cbr_detect(module, reinterpret_cast<const uint8_t *>(boot.data()), 512), 0);
    fil_module_set_store_hooks(nullptr);
    scan->store = nullptr;
    module->scan = nullptr, module->fs = nullptr;
}

// The thorough scan: the module attached to a thorough scan takes the
// scan's FAT record (made once), and measuring a boot-sector span walks the
// volume there into that record's catalog.
TEST_F(FatScan, ThoroughMeasureWalksIntoTheScansRecord)
{
    const std::string img = image("card.img");
    PartitionedCard card = makePartitionedCard(img);
    fatPut(img, "a.jpg", "abc", kT0, card.fat32Offset);
    fatPut(img, "b.jpg", "bcd", kT0, card.fat16Offset);
    fstest::register_test_type(FS_TYPE_STORE); // the store a thorough scan needs
    media = media_attach_file(img.c_str());
    ASSERT_NE(media, nullptr);
    scan = scx_new(SCX_TYPE_THOROUGH, media, workspace);
    ASSERT_NE(scan, nullptr);
    fil_module *module = fil_module_find(FIL_MODULE_FAT);
    ASSERT_NE(module, nullptr);
    module->scan = scan;
    ASSERT_EQ(fat_scan_attach(module), 0);
    ASSERT_NE(module->fs, nullptr);
    fs_record *r = module->fs;
    ASSERT_EQ(fat_scan_attach(module), 0);
    EXPECT_EQ(module->fs, r);
    EXPECT_EQ(r->type, (uint32_t)FS_TYPE_FAT);

    ASSERT_EQ(media_retain(media), 0);
    module->cur_subtype = 2; // not a boot-sector span: nothing walked
    module->start_pos = card.fat32Offset;
    EXPECT_EQ(fat_cbr_measure(module), 0);
    EXPECT_FALSE(readFile(std::string(dir_path(r->folder)) + "/cat.db").size() > 0);
    module->cur_subtype = FAT_SPAN_SUBTYPE;
    for (uint64_t offset : {card.fat32Offset, card.fat16Offset}) {
        module->start_pos = offset;
        EXPECT_EQ(fat_cbr_measure(module), 0);
    }
    media_release(media);
    const Listing ours = catalogListing(r);
    EXPECT_EQ(ours.count("a.jpg"), 1u);
    EXPECT_EQ(ours.count("Volume at " + std::to_string(card.fat16Offset) + "/b.jpg"), 1u);
    module->scan = nullptr, module->fs = nullptr;
}

// Node requests from another thread while the walk writes the catalog: the
// walk holds the catalog's lock for its statements, the requests see a
// whole catalog before or after.
TEST_F(FatScan, NodeRequestsDuringWalkThreads)
{
    const std::string img = image("card.img");
    PartitionedCard card = makePartitionedCard(img);
    for (uint64_t offset : {card.fat32Offset, card.fat16Offset}) {
        fatMkdir(img, "DCIM", offset);
        for (int i = 0; i < 20; i++)
            fatPut(img, "DCIM/IMG_" + std::to_string(i) + ".JPG", "x", kT0, offset);
    }
    fs_record *r = record(img);
    ASSERT_EQ(fat_walk_span(r, (int64_t)card.fat32Offset), 0);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done.load()) {
            std::vector<NodeInfo> children;
            const int rc = fs_node_children(r, KEYNUM_FS_ROOT, &children);
            if (rc != 0 || (children.size() != 1 && children.size() != 2))
                bad++;
        }
    });
    const int rc = fat_walk_span(r, (int64_t)card.fat16Offset);
    done = true;
    reader.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(catalogListing(r).size(), 1u + 20u + 1u + 1u + 20u);
}

} // namespace
