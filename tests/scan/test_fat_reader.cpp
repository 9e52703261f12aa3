// ZV::Fat against real volumes made by mkfs.fat and mtools, with The Sleuth
// Kit (fls, icat) as the independent reading: boot sectors and geometry,
// whole volumes, and cluster chains of damaged volumes made by patching
// those images at named offsets.
#include "fat_reader_test_support.h"

using namespace fattest;

// ------------------------------------------------------- boot sectors ---

TEST(FatReaderBoot, ClusterCountBoundariesDecideTheType)
{
    // FAT12/16 through the 16-bit total, FAT16/32 through a FAT32 boot
    // sector's 32-bit total, each set to give exactly n clusters.
    zvtest::TempDir dir;
    zvtest::makeFat(dir / "12.img", 12, 2048, "-s 4");
    zvtest::makeFat(dir / "32.img", 32, 65536);
    const struct { const char *image; uint32_t field; int width; uint32_t n; int type; } cases[] = {{"12.img", FatPatcher::kTotalSectors16, 2, 4084, Fat::typeFat12},
                 {"12.img", FatPatcher::kTotalSectors16, 2, 4085, Fat::typeFat16},
                 {"32.img", FatPatcher::kTotalSectors32, 4, 65524, Fat::typeFat16},
                 {"32.img", FatPatcher::kTotalSectors32, 4, 65525, Fat::typeFat32}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        std::vector<uint8_t> b = bootSectorOf(dir / c.image);
        Fat probe, fat;
        ASSERT_TRUE(parses(b, nullptr, &probe));
        putLE(b, c.field, probe.firstDataSector() + c.n * probe.sectorsPerCluster(), c.width);
        int type = -1;
        ASSERT_TRUE(parses(b, &type, &fat));
        EXPECT_EQ(fat.declaredClusterCount(), c.n);
        EXPECT_EQ(type, c.type);
    }
}

TEST(FatReaderBoot, MalformedBootSectorsAreRefused)
{
    zvtest::TempDir dir;
    zvtest::makeFat(dir / "16.img", 16, 20480);
    zvtest::makeFat(dir / "32.img", 32, 65536);
    const std::vector<uint8_t> good16 = bootSectorOf(dir / "16.img");
    const std::vector<uint8_t> good32 = bootSectorOf(dir / "32.img");
    ASSERT_TRUE(parses(good16));
    ASSERT_TRUE(parses(good32));

    const struct { bool fat32; size_t at; uint32_t value; int width; } cases[] = {
        {false, 511, 0x00, 1},                                  // 55 00
        {false, 0, 0x00, 1},                                    // no jump
        {false, FatPatcher::kTotalSectors32, 40960, 4},         // both totals set
        {true, FatPatcher::kTotalSectors32, 0, 4},              // no total
        {false, FatPatcher::kBytesPerSector, 500, 2}, {false, FatPatcher::kSectorsPerCluster, 0, 1},
        {false, FatPatcher::kSectorsPerCluster, 3, 1},          // not a power of two
        {false, FatPatcher::kSectorsPerCluster, 6, 1}, {false, FatPatcher::kReservedSectors, 0, 2},
        {false, FatPatcher::kNumberOfFats, 0, 1}, {false, FatPatcher::kMediaByte, 0x12, 1},
        {true, FatPatcher::kSectorsPerFat32, 0, 4},             // FAT32 without a FAT
        {false, FatPatcher::kSectorsPerFat16, 0, 2},            // nor FAT16
        {true, FatPatcher::kRootCluster, 0, 4}, {true, FatPatcher::kRootCluster, 1, 4},
        {true, FatPatcher::kRootCluster, 0x0FFFFFF0, 4},
        // Geometry underflow: the FATs alone are larger than the volume.
        {false, FatPatcher::kReservedSectors, 0xFFFF, 2},
        {true, FatPatcher::kSectorsPerFat32, 0x7FFFFFFF, 4},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> b = c.fat32 ? good32 : good16;
        putLE(b, c.at, c.value, c.width);
        EXPECT_FALSE(parses(b)) << c.at << " = " << c.value;
    }
    // Clusters of 128 KiB are not FAT; 64 KiB ones are.
    std::vector<uint8_t> big = good16;
    big[FatPatcher::kSectorsPerCluster] = 128;
    EXPECT_TRUE(parses(big));
    putLE(big, FatPatcher::kBytesPerSector, 1024, 2);
    EXPECT_FALSE(parses(big));
    // Too short a buffer.
    Fat fat;
    EXPECT_FALSE(fat.parseBootSector(good16.data(), 100, nullptr));
}

TEST(FatReaderBoot, ClusterCountIsClampedToTheFatAndTheMedium)
{
    Volume v(16, 20480);
    std::vector<uint8_t> boot = bootSectorOf(v.image);
    Fat whole;
    ASSERT_TRUE(parses(boot, nullptr, &whole));
    const uint32_t count = whole.clusterCount();

    // A FAT of one sector maps 254 clusters, whatever the total says.
    std::vector<uint8_t> small = boot;
    putLE(small, FatPatcher::kSectorsPerFat16, 1, 2);
    Fat fat;
    int type = -1;
    ASSERT_TRUE(parses(small, &type, &fat));
    EXPECT_EQ(type, Fat::typeFat16);
    EXPECT_EQ(fat.clusterCount(), 254u);
    uint64_t offset = 0;
    EXPECT_TRUE(fat.clusterOffset(255, &offset));
    EXPECT_FALSE(fat.clusterOffset(256, &offset));

    // A truncated image: only the clusters on the medium are usable.
    zvtest::mustRun("truncate -s 10M '" + v.image + "'");
    Fat cut(fileStream(v.image));
    ASSERT_TRUE(cut.open());
    EXPECT_EQ(cut.declaredClusterCount(), count);
    EXPECT_LT(cut.clusterCount(), count);
    uint64_t last = 0;
    ASSERT_TRUE(cut.clusterOffset(cut.clusterCount() + 1, &last));
    EXPECT_LE(last + cut.bytesPerCluster(), 10u << 20);
    EXPECT_FALSE(cut.clusterOffset(cut.clusterCount() + 2, &last));
}

// ------------------------------------------------- real volumes vs TSK ---

class FatReaderVolumes : public ::testing::TestWithParam<Layout> {};

TEST_P(FatReaderVolumes, ListingMatchesSleuthkit)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    const Layout layout = GetParam();
    Volume v(layout.bits, layout.kib, layout.options);
    fillSample(v.image);

    Fat fat(fileStream(v.image));
    ASSERT_TRUE(fat.open());
    EXPECT_EQ(fat.fatType(), layout.bits == 12 ? 0 : layout.bits == 16 ? 1 : 2);
    EXPECT_EQ(std::string(fat.volumeLabel().c_str()), "CARDLBL");
    Tree tree = walkTree(fat);
    EXPECT_TRUE(tree.ok);
    EXPECT_EQ(tree.loops, 0);
    expectMatchesSleuthkit(v.image, tree);

    // Names as written, the astral one included.
    for (const char *path : {"Ünïcødé café.txt", "日本語の写真.jpg", "Привет мир.txt", "abc.txt", "a/b/c/deep.txt", "DCIM/100CANON/Holiday picture number two.jpg"})
        EXPECT_NE(findItem(tree, path), nullptr) << path;
    EXPECT_EQ(findItem(tree, "gone.jpg"), nullptr);
    const Item *empty = findItem(tree, "empty.txt");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->extents.empty());
    EXPECT_TRUE(empty->complete);
    const Item *fragmented = findItem(tree, "fragmented.bin");
    ASSERT_NE(fragmented, nullptr);
    EXPECT_GE(fragmented->extents.size(), 2u);
    EXPECT_EQ(fragmented->extents.back().length % fat.bytesPerCluster(), 100u); // the last one cut to the size
    const Item *deep = findItem(tree, "a/b/c/deep.txt");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->entry.modified, kSampleTime);
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatReaderVolumes,
                         ::testing::Values(Layout{12, 2048, ""}, Layout{16, 20480, ""}, Layout{32, 65536, ""},
                                           // 4 reserved sectors: the root follows them and both FATs
                                           Layout{16, 20480, "-R 4"},
                                           // 64 KiB clusters
                                           Layout{12, 8192, "-s 128"},
                                           // 4096-byte sectors
                                           Layout{16, 65536, "-S 4096 -s 1"}),
                         [](const ::testing::TestParamInfo<Layout> &info) {
                             return "Fat" + std::to_string(info.param.bits) + "_" + std::to_string(info.index);
                         });

TEST(FatReaderVolumes, Fat32RootOverSeveralClusters)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    Volume v(32, 34000, "-s 1");
    for (int i = 0; i < 40; ++i)
        v.put("a rather long file name number " + std::to_string(i) + ".txt", std::to_string(i));
    FatPatcher patcher(v.image);
    ASSERT_GE(patcher.chain(patcher.geometry().rootCluster).size(), 4u);
    Tree tree = v.walk();
    EXPECT_EQ(tree.items.size(), 40u);
    expectMatchesSleuthkit(v.image, tree);
}

TEST(FatReaderVolumes, RootAreaFollowsTheReservedSectorsAndFats)
{
    Volume r4(16, 20480, "-R 4");
    Fat fat(fileStream(r4.image));
    ASSERT_TRUE(fat.open());
    EXPECT_EQ(fat.reservedSectors(), 4u);
    EXPECT_EQ(fat.rootDirectoryOffset(), (4ull + 2ull * fat.sectorsPerFat()) * 512);

    // A FAT16 volume whose FAT size is given in the 32-bit field: the root
    // area still follows the FATs.
    Volume v(16, 20480);
    v.put("inroot.txt", "x");
    FatPatcher p(v.image);
    const uint16_t spf = p.getU16(FatPatcher::kSectorsPerFat16);
    p.putU16(FatPatcher::kSectorsPerFat16, 0);
    p.putU32(FatPatcher::kSectorsPerFat32, spf);
    EXPECT_NE(findItem(v.walk(), "inroot.txt"), nullptr);
}

// ----------------------------------------------------------- chains ---

namespace {

// A volume with one file, FILE.BIN, of n clusters in a row.
struct ChainFixture : Volume {
    uint32_t first = 0;
    uint32_t cluster = 0; // bytes
    std::string content;

    ChainFixture(int bits, unsigned kib, int clusters) : Volume(bits, kib)
    {
        FatPatcher p(image);
        cluster = p.bytesPerCluster();
        content = zvtest::patternBytes(clusters * cluster, 11);
        put("FILE.BIN", content);
        first = p.find("FILE.BIN").firstCluster;
        std::vector<uint32_t> c = p.chain(first);
        if (int(c.size()) != clusters || c.back() != first + clusters - 1)
            throw std::runtime_error("unexpected allocation");
    }

    Item file() const
    {
        const Tree tree = walk();
        const Item *item = findItem(tree, "FILE.BIN");
        if (!item)
            throw std::runtime_error("FILE.BIN missing");
        return *item;
    }
};

} // namespace

TEST(FatReaderChains, Fat32TopBitsAreIgnored)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    ChainFixture f(32, 65536, 4);
    FatPatcher p(f.image);
    for (uint32_t c : p.chain(f.first))
        p.setFatEntry(c, p.fatEntry(c) | 0xF0000000u);
    Item item = f.file();
    EXPECT_TRUE(item.complete);
    ASSERT_EQ(item.extents.size(), 1u);
    EXPECT_EQ(item.extents[0].length, 4ull * f.cluster);
    EXPECT_EQ(readExtents(f.image, item.extents), f.content);
    Fat fat(fileStream(f.image));
    ASSERT_TRUE(fat.open());
    expectMatchesSleuthkit(f.image, walkTree(fat));
    // The normalised next values.
    uint32_t next = 0;
    ASSERT_TRUE(fat.getNextCluster(f.first, 0, &next));
    EXPECT_EQ(next, f.first + 1);
    ASSERT_TRUE(fat.getNextCluster(f.first + 3, 0, &next));
    EXPECT_EQ(next, Fat::clusterEnd);
}

TEST(FatReaderChains, DamagedChainsKeepWhatPrecedesTheDamage)
{
    // A bad-cluster mark at each FAT width, a link past the last cluster and
    // a size larger than the volume: two clusters are read, then the chain
    // ends incomplete.
    // link: the FAT value after the first cluster (0: past the last one).
    const struct { const char *what; int bits; unsigned kib; int clusters; uint32_t link; } cases[] = {
        {"bad12", 12, 2048, 3, 0xFF7}, {"bad16", 16, 20480, 3, 0xFFF7}, {"bad32", 32, 65536, 3, 0x0FFFFFF7},
        {"leaves", 16, 20480, 4, 0}, {"size", 12, 2048, 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ChainFixture f(c.bits, c.kib, c.clusters);
        FatPatcher p(f.image);
        const uint32_t count = p.geometry().clusterCount;
        if (c.what[0] == 's')
            p.setSize(p.find("FILE.BIN"), 0xFFFFFFFFu);
        else
            p.setFatEntry(f.first + 1, c.link ? c.link : count + 50);
        const Item item = f.file();
        EXPECT_FALSE(item.complete);
        EXPECT_EQ(totalLength(item.extents), 2ull * f.cluster);
        Fat fat(fileStream(f.image));
        ASSERT_TRUE(fat.open());
        uint32_t next = 0;
        uint64_t offset = 0;
        if (c.what[0] == 'b') {
            ASSERT_TRUE(fat.getNextCluster(f.first + 1, 0, &next));
            EXPECT_EQ(next, Fat::clusterBad);
        } else if (c.what[0] == 'l') {
            EXPECT_FALSE(fat.clusterOffset(count + 50, &offset));
            EXPECT_FALSE(fat.getNextCluster(count + 2, 0, &next));
            EXPECT_FALSE(fat.getNextCluster(1, 0, &next));
        } else {
            EXPECT_EQ(item.entry.size, 0xFFFFFFFFu);
        }
    }
}

TEST(FatReaderChains, BackwardChainKeepsTheDataOrder)
{
    // first -> first+2 -> first+1: the middle cluster's data comes last.
    ChainFixture f(16, 20480, 3);
    FatPatcher p(f.image);
    p.setFatEntry(f.first, f.first + 2);
    p.setFatEntry(f.first + 2, f.first + 1);
    p.setFatEntry(f.first + 1, p.endOfChain());
    Item item = f.file();
    EXPECT_TRUE(item.complete);
    ASSERT_EQ(item.extents.size(), 3u);
    std::string expected = f.content.substr(0, f.cluster) + f.content.substr(2 * f.cluster, f.cluster) +
                           f.content.substr(f.cluster, f.cluster);
    EXPECT_EQ(readExtents(f.image, item.extents), expected);
    EXPECT_EQ(zvtest::icat(f.image, zvtest::flsList(f.image)[0].inode), expected);
}

TEST(FatReaderChains, CyclesAndLinksBackEndTheChainIncomplete)
{
    // A loop of two clusters in a file that claims eight.
    ChainFixture f(16, 20480, 8);
    FatPatcher(f.image).setFatEntry(f.first + 1, f.first);
    Item item = f.file();
    EXPECT_FALSE(item.complete);
    ASSERT_EQ(item.extents.size(), 1u);
    EXPECT_EQ(item.extents[0].length, 2ull * f.cluster);

    // A link back into its own earlier part (cross-link within the chain):
    // the data is not shifted, the chain just ends.
    FatPatcher p(f.image);
    p.setFatEntry(f.first + 1, f.first + 2);
    p.setFatEntry(f.first + 3, f.first + 1);
    item = f.file();
    EXPECT_FALSE(item.complete);
    EXPECT_EQ(readExtents(f.image, item.extents), f.content.substr(0, 4 * f.cluster));

    // A cluster pointing at itself.
    FatPatcher(f.image).setFatEntry(f.first, f.first);
    item = f.file();
    EXPECT_FALSE(item.complete);
    EXPECT_EQ(totalLength(item.extents), f.cluster);
}

TEST(FatReaderChains, FilesSharingClustersEachGetTheirChain)
{
    Volume v(12, 2048);
    v.put("A.BIN", zvtest::patternBytes(3000, 1));
    v.put("B.BIN", zvtest::patternBytes(3000, 2));
    FatPatcher p(v.image);
    p.setFirstCluster(p.find("B.BIN"), p.find("A.BIN").firstCluster);
    const Tree tree = v.walk();
    const Item *a = findItem(tree, "A.BIN");
    const Item *b = findItem(tree, "B.BIN");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(a->complete);
    EXPECT_TRUE(b->complete);
    EXPECT_EQ(readExtents(v.image, b->extents), zvtest::patternBytes(3000, 1));
}

// FAT 1 wiped whole (header entries wrong) or blank behind a valid header
// (every cluster free, as a half-written or wiped FAT reads), FAT 2 intact:
// chains come from FAT 2, and every file reads as before the damage.
TEST(FatReaderChains, DamagedFirstFatFallsBackToTheSecond)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    const struct { int bits; unsigned kib; bool keepHeader; } cases[] = {
        {16, 20480, false}, {12, 2048, true}, {16, 20480, true}, {32, 65536, true}, {32, 65536, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + (c.keepHeader ? " blank" : " wiped"));
        Volume v(c.bits, c.kib);
        fillSample(v.image);
        const Tree before = v.walk();
        FatPatcher p(v.image);
        auto g = p.geometry();
        // The header is entries 0 and 1: 3, 4 or 8 bytes of the FAT.
        const uint64_t header = c.keepHeader ? (c.bits == 12 ? 3 : c.bits == 16 ? 4 : 8) : 0;
        p.zero(uint64_t(g.reservedSectors) * g.bytesPerSector + header,
               uint64_t(g.sectorsPerFat) * g.bytesPerSector - header);
        Fat fat(fileStream(v.image));
        ASSERT_TRUE(fat.open());
        EXPECT_EQ(fat.activeFat(), 1u);
        Tree after = walkTree(fat);
        ASSERT_EQ(after.items.size(), before.items.size());
        for (size_t i = 0; i < after.items.size(); ++i) {
            EXPECT_EQ(after.items[i].path, before.items[i].path);
            EXPECT_EQ(after.items[i].complete, before.items[i].complete) << after.items[i].path;
            EXPECT_TRUE(readExtents(v.image, after.items[i].extents) == readExtents(v.image, before.items[i].extents))
                << after.items[i].path;
        }
    }
    // An empty volume: both FATs blank, FAT 1 is used.
    Volume empty(16, 20480);
    Fat fat(fileStream(empty.image));
    ASSERT_TRUE(fat.open());
    EXPECT_EQ(fat.activeFat(), 0u);
    EXPECT_TRUE(walkTree(fat).items.empty());
}

TEST(FatReaderChains, TheFatIsReadOnce)
{
    Volume v(16, 20480);
    for (int i = 0; i < 30; ++i)
        v.put("F" + std::to_string(i) + ".BIN", zvtest::patternBytes(5000 + i * 1000, i));
    std::string bytes = zvtest::readFile(v.image);
    ZV::Buffer buffer(bytes.data(), bytes.size());
    FatPatcher p(v.image);
    auto g = p.geometry();
    const uint64_t fatStart = uint64_t(g.reservedSectors) * g.bytesPerSector;
    const uint64_t fatBytes = uint64_t(g.sectorsPerFat) * g.bytesPerSector;
    auto stream = std::make_shared<CountingStream>(&buffer, fatStart, fatStart + fatBytes);
    Fat fat(stream);
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    for (int round = 0; round < 3; ++round)
        for (const Item &item : tree.items)
            fat.clusterChain(item.entry);
    EXPECT_EQ(tree.items.size(), 30u);
    EXPECT_LE(stream->reads, int((fatBytes + Fat::kFatCacheBlockBytes - 1) / Fat::kFatCacheBlockBytes));
}
