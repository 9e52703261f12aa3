// ZV::Fat against real volumes made by mkfs.fat and mtools, with The Sleuth
// Kit (fls, icat) as the independent reading: boot sectors and geometry,
// whole volumes, and cluster chains of damaged volumes made by patching
// those images at named offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fat_reader_test_support.h"

using namespace fattest;


// ------------------------------------------------------- boot sectors ---

TEST(FatReaderBoot, ClusterCountBoundariesDecideTheType)
{
    zvtest::TempDir dir;
    zvtest::makeFat(dir / "12.img", 12, 2048, "-s 4");
    zvtest::makeFat(dir / "32.img", 32, 65536);
    // FAT12/16: 16-bit total sectors set to give exactly n clusters.
    std::vector<uint8_t> boot12 = bootSectorOf(dir / "12.img");
    Fat probe;
    ASSERT_TRUE(parses(boot12, nullptr, &probe));
    for (uint32_t n : {4084u, 4085u}) {
        std::vector<uint8_t> b = boot12;
        put16(b, FatPatcher::kTotalSectors16, probe.firstDataSector() + n * 4);
        Fat fat;
        int type = -1;
        ASSERT_TRUE(parses(b, &type, &fat)) << n;
        EXPECT_EQ(fat.declaredClusterCount(), n);
        EXPECT_EQ(type, n == 4084 ? Fat::typeFat12 : Fat::typeFat16);
    }
    // FAT16/32: a FAT32 boot sector (root cluster 2) with its 32-bit total.
    std::vector<uint8_t> boot32 = bootSectorOf(dir / "32.img");
    ASSERT_TRUE(parses(boot32, nullptr, &probe));
    for (uint32_t n : {65524u, 65525u}) {
        std::vector<uint8_t> b = boot32;
        put32(b, FatPatcher::kTotalSectors32, probe.firstDataSector() + n * probe.sectorsPerCluster());
        Fat fat;
        int type = -1;
        ASSERT_TRUE(parses(b, &type, &fat)) << n;
        EXPECT_EQ(fat.declaredClusterCount(), n);
        EXPECT_EQ(type, n == 65524 ? Fat::typeFat16 : Fat::typeFat32);
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

    auto refused = [](std::vector<uint8_t> b, size_t at, uint32_t value, int width) {
        if (width == 1)
            b[at] = uint8_t(value);
        else if (width == 2)
            put16(b, at, value);
        else
            put32(b, at, value);
        return !parses(b);
    };
    EXPECT_TRUE(refused(good16, 511, 0x00, 1));                            // 55 00
    EXPECT_TRUE(refused(good16, 0, 0x00, 1));                              // no jump
    EXPECT_TRUE(refused(good16, FatPatcher::kTotalSectors32, 40960, 4));   // both totals set
    EXPECT_TRUE(refused(good32, FatPatcher::kTotalSectors32, 0, 4));       // no total
    EXPECT_TRUE(refused(good16, FatPatcher::kBytesPerSector, 500, 2));
    EXPECT_TRUE(refused(good16, FatPatcher::kSectorsPerCluster, 0, 1));
    EXPECT_TRUE(refused(good16, FatPatcher::kSectorsPerCluster, 3, 1));    // not a power of two
    EXPECT_TRUE(refused(good16, FatPatcher::kSectorsPerCluster, 6, 1));
    EXPECT_TRUE(refused(good16, FatPatcher::kReservedSectors, 0, 2));
    EXPECT_TRUE(refused(good16, FatPatcher::kNumberOfFats, 0, 1));
    EXPECT_TRUE(refused(good16, FatPatcher::kMediaByte, 0x12, 1));
    EXPECT_TRUE(refused(good32, FatPatcher::kSectorsPerFat32, 0, 4));      // FAT32 without a FAT
    EXPECT_TRUE(refused(good16, FatPatcher::kSectorsPerFat16, 0, 2));      // nor FAT16
    EXPECT_TRUE(refused(good32, FatPatcher::kRootCluster, 0, 4));
    EXPECT_TRUE(refused(good32, FatPatcher::kRootCluster, 1, 4));
    EXPECT_TRUE(refused(good32, FatPatcher::kRootCluster, 0x0FFFFFF0, 4));
    // Geometry underflow: the FATs alone are larger than the volume.
    EXPECT_TRUE(refused(good16, FatPatcher::kReservedSectors, 0xFFFF, 2));
    EXPECT_TRUE(refused(good32, FatPatcher::kSectorsPerFat32, 0x7FFFFFFF, 4));
    // Clusters of 128 KiB are not FAT; 64 KiB ones are.
    std::vector<uint8_t> big = good16;
    big[FatPatcher::kSectorsPerCluster] = 128;
    EXPECT_TRUE(parses(big));
    put16(big, FatPatcher::kBytesPerSector, 1024);
    EXPECT_FALSE(parses(big));
    // Too short a buffer.
    Fat fat;
    EXPECT_FALSE(fat.parseBootSector(good16.data(), 100, nullptr));
}

TEST(FatReaderBoot, ClusterCountIsClampedToTheFatAndTheMedium)
{
    zvtest::TempDir dir;
    const std::string image = dir / "16.img";
    zvtest::makeFat(image, 16, 20480);
    std::vector<uint8_t> boot = bootSectorOf(image);
    Fat whole;
    ASSERT_TRUE(parses(boot, nullptr, &whole));
    const uint32_t count = whole.clusterCount();

    // A FAT of one sector maps 254 clusters, whatever the total says.
    std::vector<uint8_t> small = boot;
    put16(small, FatPatcher::kSectorsPerFat16, 1);
    Fat fat;
    int type = -1;
    ASSERT_TRUE(parses(small, &type, &fat));
    EXPECT_EQ(type, Fat::typeFat16);
    EXPECT_EQ(fat.clusterCount(), 254u);
    uint64_t offset = 0;
    EXPECT_TRUE(fat.clusterOffset(255, &offset));
    EXPECT_FALSE(fat.clusterOffset(256, &offset));

    // A truncated image: only the clusters on the medium are usable.
    {
        zvtest::mustRun("truncate -s 10M '" + image + "'");
        Fat cut(fileStream(image));
        ASSERT_TRUE(cut.open());
        EXPECT_EQ(cut.declaredClusterCount(), count);
        EXPECT_LT(cut.clusterCount(), count);
        uint64_t last = 0;
        ASSERT_TRUE(cut.clusterOffset(cut.clusterCount() + 1, &last));
        EXPECT_LE(last + cut.bytesPerCluster(), 10u << 20);
        EXPECT_FALSE(cut.clusterOffset(cut.clusterCount() + 2, &last));
    }
}

// ------------------------------------------------- real volumes vs TSK ---

class FatReaderVolumes : public ::testing::TestWithParam<Layout> {};

TEST_P(FatReaderVolumes, ListingMatchesSleuthkit)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "card.img";
    const Layout layout = GetParam();
    zvtest::makeFat(image, layout.bits, layout.kib, layout.options);
    fillSample(image);

    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    EXPECT_EQ(fat.fatType(), layout.bits == 12 ? 0 : layout.bits == 16 ? 1 : 2);
    EXPECT_EQ(std::string(fat.volumeLabel().c_str()), "CARDLBL");
    Tree tree = walkTree(fat);
    EXPECT_TRUE(tree.ok);
    EXPECT_EQ(tree.loops, 0);
    expectMatchesSleuthkit(image, tree);

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

TEST(FatReaderVolumes, ReservedSectorsPlaceTheRootArea)
{
    zvtest::TempDir dir;
    const std::string image = dir / "r4.img";
    zvtest::makeFat(image, 16, 20480, "-R 4");
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    EXPECT_EQ(fat.reservedSectors(), 4u);
    EXPECT_EQ(fat.rootDirectoryOffset(), (4ull + 2ull * fat.sectorsPerFat()) * 512);
}

TEST(FatReaderVolumes, Fat32RootOverSeveralClusters)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "root.img";
    zvtest::makeFat(image, 32, 34000, "-s 1");
    for (int i = 0; i < 40; ++i)
        zvtest::fatPut(image, "a rather long file name number " + std::to_string(i) + ".txt", std::to_string(i),
                       kSampleTime);
    FatPatcher patcher(image);
    ASSERT_GE(patcher.chain(patcher.geometry().rootCluster).size(), 4u);
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    EXPECT_EQ(tree.items.size(), 40u);
    expectMatchesSleuthkit(image, tree);
}

TEST(FatReaderVolumes, SpecifiedSectorsPerFatFieldLocatesTheRoot)
{
    // A FAT16 volume whose FAT size is given in the 32-bit field: the root
    // area still follows the FATs.
    zvtest::TempDir dir;
    const std::string image = dir / "spf.img";
    zvtest::makeFat(image, 16, 20480);
    zvtest::fatPut(image, "inroot.txt", "x", kSampleTime);
    {
        FatPatcher p(image);
        const uint16_t spf = p.getU16(FatPatcher::kSectorsPerFat16);
        p.putU16(FatPatcher::kSectorsPerFat16, 0);
        p.putU32(FatPatcher::kSectorsPerFat32, spf);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    EXPECT_NE(findItem(tree, "inroot.txt"), nullptr);
}

// ----------------------------------------------------------- chains ---

namespace {

// A FAT32 (or other) volume with one file of n clusters in a row; returns
// the image path and the file's first cluster.
struct ChainFixture {
    zvtest::TempDir dir;
    std::string image;
    uint32_t first = 0;
    uint32_t cluster = 0; // bytes
    std::string content;

    ChainFixture(int bits, unsigned kib, int clusters, uint32_t size = 0)
    {
        image = dir / "chain.img";
        zvtest::makeFat(image, bits, kib);
        FatPatcher p(image);
        cluster = p.bytesPerCluster();
        content = zvtest::patternBytes(size ? size : clusters * cluster, 11);
        zvtest::fatPut(image, "FILE.BIN", content, kSampleTime);
        first = p.find("FILE.BIN").firstCluster;
        std::vector<uint32_t> c = p.chain(first);
        if (int(c.size()) != clusters || c.back() != first + clusters - 1)
            throw std::runtime_error("unexpected allocation");
    }

    const Item file()
    {
        Fat fat(fileStream(image));
        if (!fat.open())
            throw std::runtime_error("open failed");
        Tree tree = walkTree(fat);
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
    {
        FatPatcher p(f.image);
        for (uint32_t c : p.chain(f.first))
            p.setFatEntry(c, p.fatEntry(c) | 0xF0000000u);
    }
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

TEST(FatReaderChains, BadClusterValuesAreNormalised)
{
    for (int bits : {12, 16, 32}) {
        ChainFixture f(bits, bits == 12 ? 2048 : bits == 16 ? 20480 : 65536, 3);
        {
            FatPatcher p(f.image);
            p.setFatEntry(f.first + 1, bits == 12 ? 0xFF7 : bits == 16 ? 0xFFF7 : 0x0FFFFFF7);
        }
        Fat fat(fileStream(f.image));
        ASSERT_TRUE(fat.open());
        uint32_t next = 0;
        ASSERT_TRUE(fat.getNextCluster(f.first + 1, 0, &next));
        EXPECT_EQ(next, Fat::clusterBad) << bits;
        Item item = f.file();
        EXPECT_FALSE(item.complete);
        EXPECT_EQ(totalLength(item.extents), 2ull * f.cluster);
    }
}

TEST(FatReaderChains, BackwardChainKeepsTheDataOrder)
{
    // first -> first+2 -> first+1: the middle cluster's data comes last.
    ChainFixture f(16, 20480, 3);
    {
        FatPatcher p(f.image);
        p.setFatEntry(f.first, f.first + 2);
        p.setFatEntry(f.first + 2, f.first + 1);
        p.setFatEntry(f.first + 1, p.endOfChain());
    }
    Item item = f.file();
    EXPECT_TRUE(item.complete);
    ASSERT_EQ(item.extents.size(), 3u);
    std::string expected = f.content.substr(0, f.cluster) + f.content.substr(2 * f.cluster, f.cluster) +
                           f.content.substr(f.cluster, f.cluster);
    EXPECT_EQ(readExtents(f.image, item.extents), expected);
    FatPatcher p(f.image);
    EXPECT_EQ(zvtest::icat(f.image, zvtest::flsList(f.image)[0].inode), expected);
}

TEST(FatReaderChains, CyclesAndLinksBackEndTheChainIncomplete)
{
    // A loop of two clusters in a file that claims eight.
    ChainFixture f(16, 20480, 8);
    {
        FatPatcher p(f.image);
        p.setFatEntry(f.first + 1, f.first);
    }
    Item item = f.file();
    EXPECT_FALSE(item.complete);
    ASSERT_EQ(item.extents.size(), 1u);
    EXPECT_EQ(item.extents[0].length, 2ull * f.cluster);

    // A link back into its own earlier part (cross-link within the chain):
    // the data is not shifted, the chain just ends.
    {
        FatPatcher p(f.image);
        p.setFatEntry(f.first + 1, f.first + 2);
        p.setFatEntry(f.first + 3, f.first + 1);
    }
    item = f.file();
    EXPECT_FALSE(item.complete);
    EXPECT_EQ(readExtents(f.image, item.extents), f.content.substr(0, 4 * f.cluster));

    // A cluster pointing at itself.
    {
        FatPatcher p(f.image);
        p.setFatEntry(f.first, f.first);
    }
    item = f.file();
    EXPECT_FALSE(item.complete);
    EXPECT_EQ(totalLength(item.extents), f.cluster);
}

TEST(FatReaderChains, ChainLeavingTheVolumeEnds)
{
    ChainFixture f(16, 20480, 4);
    uint32_t count;
    {
        FatPatcher p(f.image);
        count = p.geometry().clusterCount;
        p.setFatEntry(f.first + 1, count + 50);
    }
    Item item = f.file();
    EXPECT_FALSE(item.complete);
    EXPECT_EQ(totalLength(item.extents), 2ull * f.cluster);
    Fat fat(fileStream(f.image));
    ASSERT_TRUE(fat.open());
    uint64_t offset;
    EXPECT_FALSE(fat.clusterOffset(count + 50, &offset));
    uint32_t next;
    EXPECT_FALSE(fat.getNextCluster(count + 2, 0, &next));
    EXPECT_FALSE(fat.getNextCluster(1, 0, &next));
}

TEST(FatReaderChains, FilesSharingClustersEachGetTheirChain)
{
    zvtest::TempDir dir;
    const std::string image = dir / "x.img";
    zvtest::makeFat(image, 12, 2048);
    zvtest::fatPut(image, "A.BIN", zvtest::patternBytes(3000, 1), kSampleTime);
    zvtest::fatPut(image, "B.BIN", zvtest::patternBytes(3000, 2), kSampleTime);
    {
        FatPatcher p(image);
        p.setFirstCluster(p.find("B.BIN"), p.find("A.BIN").firstCluster);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    const Item *a = findItem(tree, "A.BIN");
    const Item *b = findItem(tree, "B.BIN");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(a->complete);
    EXPECT_TRUE(b->complete);
    EXPECT_EQ(readExtents(image, b->extents), zvtest::patternBytes(3000, 1));
}

TEST(FatReaderChains, SizeLargerThanTheVolumeIsBounded)
{
    ChainFixture f(12, 2048, 2);
    {
        FatPatcher p(f.image);
        p.setSize(p.find("FILE.BIN"), 0xFFFFFFFFu);
    }
    Item item = f.file();
    EXPECT_FALSE(item.complete);
    EXPECT_EQ(item.entry.size, 0xFFFFFFFFu);
    EXPECT_EQ(totalLength(item.extents), 2ull * f.cluster);
}

TEST(FatReaderChains, DamagedFirstFatFallsBackToTheSecond)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "fat2.img";
    zvtest::makeFat(image, 16, 20480);
    fillSample(image);
    Tree before;
    {
        Fat fat(fileStream(image));
        ASSERT_TRUE(fat.open());
        before = walkTree(fat);
    }
    {
        FatPatcher p(image);
        auto g = p.geometry();
        p.zero(uint64_t(g.reservedSectors) * g.bytesPerSector, uint64_t(g.sectorsPerFat) * g.bytesPerSector);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    EXPECT_EQ(fat.activeFat(), 1u);
    Tree after = walkTree(fat);
    ASSERT_EQ(after.items.size(), before.items.size());
    for (size_t i = 0; i < after.items.size(); ++i) {
        EXPECT_EQ(after.items[i].path, before.items[i].path);
        EXPECT_EQ(after.items[i].complete, before.items[i].complete) << after.items[i].path;
        EXPECT_EQ(totalLength(after.items[i].extents), totalLength(before.items[i].extents));
    }
}

TEST(FatReaderChains, TheFatIsReadOnce)
{
    zvtest::TempDir dir;
    const std::string image = dir / "many.img";
    zvtest::makeFat(image, 16, 20480);
    for (int i = 0; i < 30; ++i)
        zvtest::fatPut(image, "F" + std::to_string(i) + ".BIN", zvtest::patternBytes(5000 + i * 1000, i), kSampleTime);
    std::string bytes = zvtest::readFile(image);
    ZV::Buffer buffer(bytes.data(), bytes.size());
    FatPatcher p(image);
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
