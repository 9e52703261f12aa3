// ZV::Fat on directories and names of real volumes, damaged and hostile ones
// made by patching mkfs.fat/mtools images at named offsets: backup boot
// sector, directory loops and bounds, hostile and OEM names, long-name
// checksums, erased entries, times.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fat_reader_test_support.h"

using namespace fattest;

// ------------------------------------------------------ directories ---

TEST(FatReaderDirectories, BackupBootSectorOpensAZeroedVolume)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "backup.img";
    zvtest::makeFat(image, 32, 65536);
    fillSample(image);
    {
        FatPatcher p(image);
        p.zero(0, 512);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    EXPECT_TRUE(fat.usedBackupBootSector());
    EXPECT_EQ(fat.bootSectorOffset(), 6u * 512);
    Tree tree = walkTree(fat);
    EXPECT_TRUE(tree.ok);
    EXPECT_NE(findItem(tree, "DCIM/100CANON/IMG_0001.JPG"), nullptr);
    EXPECT_NE(findItem(tree, "fragmented.bin"), nullptr);

    // Nothing to fall back on: a clear refusal.
    {
        FatPatcher p(image);
        p.zero(6 * 512, 512);
    }
    Fat none(fileStream(image));
    EXPECT_FALSE(none.open());
}

TEST(FatReaderDirectories, RootClusterZeroOrOneIsRefused)
{
    zvtest::TempDir dir;
    const std::string image = dir / "root.img";
    zvtest::makeFat(image, 32, 65536);
    for (uint32_t root : {0u, 1u}) {
        {
            FatPatcher p(image);
            p.putU32(FatPatcher::kRootCluster, root);
            p.putU32(6 * 512 + FatPatcher::kRootCluster, root); // the backup too
        }
        Fat fat(fileStream(image));
        EXPECT_FALSE(fat.open()) << root;
    }
}

TEST(FatReaderDirectories, DirectoryContainingItselfIsWalkedOnce)
{
    zvtest::TempDir dir;
    const std::string image = dir / "self.img";
    zvtest::makeFat(image, 16, 20480);
    zvtest::fatMkdir(image, "LOOP");
    zvtest::fatPut(image, "LOOP/IN.TXT", "in", kSampleTime);
    zvtest::fatMkdir(image, "LOOP/SUB");
    {
        FatPatcher p(image);
        // LOOP/SUB points back at LOOP, and LOOP's chain at itself.
        const uint32_t loop = p.find("LOOP").firstCluster;
        p.setFirstCluster(p.find("LOOP/SUB"), loop);
        p.setFatEntry(loop, loop);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    EXPECT_EQ(tree.loops, 1);
    EXPECT_NE(findItem(tree, "LOOP/IN.TXT"), nullptr);
    EXPECT_NE(findItem(tree, "LOOP/SUB"), nullptr);
    EXPECT_LT(tree.items.size(), 10u);
    // An erased walk reads past the free entries: each cluster still once.
    Tree erased = walkTree(fat, Fat::walkErased);
    EXPECT_LT(erased.items.size(), 10u);
}

TEST(FatReaderDirectories, LongDirectoryChainIsBounded)
{
    // A FAT32 root whose chain runs through every cluster of the volume: the
    // walk stops after the largest directory FAT allows.
    zvtest::TempDir dir;
    const std::string image = dir / "long.img";
    zvtest::makeFat(image, 32, 34000, "-s 1");
    uint32_t count;
    {
        FatPatcher p(image);
        auto g = p.geometry();
        count = g.clusterCount;
        std::vector<uint8_t> fat(uint64_t(count + 2) * 4);
        for (uint32_t c = 0; c < count + 2; ++c) {
            const uint32_t v = c < 2 ? p.fatEntry(c) : c + 1 < count + 2 ? c + 1 : 0x0FFFFFFF;
            for (int i = 0; i < 4; ++i)
                fat[c * 4 + i] = uint8_t(v >> (8 * i));
        }
        p.write(uint64_t(g.reservedSectors) * g.bytesPerSector, fat.data(), fat.size());
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    uint64_t entries = 0;
    EXPECT_TRUE(fat.parseDirectory(0, nullptr, [&](const Fat::Entry &) { ++entries; return true; },
                                   Fat::walkErased));
    EXPECT_EQ(entries, Fat::kMaxDirectoryBytes / 32);
    EXPECT_GT(count, Fat::kMaxDirectoryBytes / 512);
}

TEST(FatReaderDirectories, TruncatedImagesGiveBoundedResults)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "t.img";
    zvtest::makeFat(image, 16, 20480);
    fillSample(image);
    const std::string full = zvtest::readFile(image);
    for (size_t keep : {size_t(600), size_t(40000), size_t(200000), full.size() / 2}) {
        zvtest::writeFile(image, full.substr(0, keep));
        Fat fat(fileStream(image));
        if (!fat.open())
            continue; // a clear refusal
        Tree tree = walkTree(fat);
        for (const Item &item : tree.items)
            for (const auto &e : item.extents)
                EXPECT_LE(e.start + e.length, keep) << item.path;
    }
}

TEST(FatReaderDirectories, LiveWalkEndsAtAFreeEntry)
{
    zvtest::TempDir dir;
    const std::string image = dir / "stop.img";
    zvtest::makeFat(image, 12, 2048);
    for (const char *name : {"A.TXT", "B.TXT", "C.TXT"})
        zvtest::fatPut(image, name, name, kSampleTime);
    {
        FatPatcher p(image);
        p.putU8(p.find("B.TXT").offset, 0x00);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree live = walkTree(fat);
    EXPECT_NE(findItem(live, "A.TXT"), nullptr);
    EXPECT_EQ(findItem(live, "C.TXT"), nullptr);
    Tree erased = walkTree(fat, Fat::walkErased);
    EXPECT_NE(findItem(erased, "C.TXT"), nullptr);
}

// ------------------------------------------------------------ names ---

TEST(FatReaderNames, HostileLongNameIsKeptAsStored)
{
    zvtest::TempDir dir;
    const std::string image = dir / "hostile.img";
    zvtest::makeFat(image, 16, 20480);
    zvtest::fatPut(image, "escape attempt file.txt", "payload", kSampleTime);
    zvtest::fatPut(image, "slash in the name here.txt", "payload2", kSampleTime);
    {
        FatPatcher p(image);
        p.setLongName(p.find("escape attempt file.txt"), u"../../x");
        p.setLongName(p.find("slash in the name here.txt"), u"a/b\\c");
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    const Item *x = findItem(tree, "../../x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(readExtents(image, x->extents), "payload");
    EXPECT_NE(findItem(tree, "a/b\\c"), nullptr);
}

TEST(FatReaderNames, LoneSurrogatesBecomeReplacementCharacters)
{
    zvtest::TempDir dir;
    const std::string image = dir / "sur.img";
    zvtest::makeFat(image, 12, 2048);
    zvtest::fatPut(image, "surrogate test name.txt", "s", kSampleTime);
    {
        FatPatcher p(image);
        p.setLongName(p.find("surrogate test name.txt"), std::u16string(u"a") + char16_t(0xD800) + u"b" +
                                                               char16_t(0xDC00));
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    EXPECT_NE(findItem(tree, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"), nullptr);
}

TEST(FatReaderNames, NamesOutsideTheBasicPlaneAreDecoded)
{
    // mtools leaves such characters out, so the units are written directly.
    zvtest::TempDir dir;
    const std::string image = dir / "astral.img";
    zvtest::makeFat(image, 12, 2048);
    zvtest::fatPut(image, "emoji placeholder.bin", "e", kSampleTime);
    {
        FatPatcher p(image);
        p.setLongName(p.find("emoji placeholder.bin"), u"emoji \U0001F600 x.bin");
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    EXPECT_NE(findItem(tree, "emoji \xF0\x9F\x98\x80 x.bin"), nullptr);
}

TEST(FatReaderNames, LiveShortNamesAcceptOemBytesAndLowerCase)
{
    zvtest::TempDir dir;
    const std::string image = dir / "oem.img";
    zvtest::makeFat(image, 12, 2048);
    for (const char *name : {"OEM.TXT", "LOWER.TXT", "BLANK.TXT", "E5.TXT"})
        zvtest::fatPut(image, name, name, kSampleTime);
    {
        FatPatcher p(image);
        p.setShortName(p.find("OEM.TXT"), "\x90T\x82     TXT");   // CP437 É, é
        p.setShortName(p.find("LOWER.TXT"), "MiXed   TXT");
        p.setShortName(p.find("BLANK.TXT"), "MY FILE TXT");
        p.setShortName(p.find("E5.TXT"), "\x05" "ABC    TXT");
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    EXPECT_NE(findItem(tree, "ÉTé.TXT"), nullptr);
    EXPECT_NE(findItem(tree, "MiXed.TXT"), nullptr);
    EXPECT_NE(findItem(tree, "MY FILE.TXT"), nullptr);
    EXPECT_NE(findItem(tree, "σABC.TXT"), nullptr); // 0x05 stands for 0xE5
    for (const Item &item : tree.items)
        EXPECT_TRUE(zorvant::u8string(item.entry.shortName).length() > 0);
    // (fls shows the embedded-blank name as "MYFILE.TXT"; the name is kept
    // as stored here, only trailing blanks are padding.)
    // Erased entries keep the strict alphabet.
    uint8_t lower[11];
    std::memcpy(lower, "\xE5iXED   TXT", 11);
    EXPECT_FALSE(Fat::isValidShortName(lower, true));
    std::memcpy(lower, "\xE5" "BC\x82    TXT", 11);
    EXPECT_FALSE(Fat::isValidShortName(lower, true));
}

TEST(FatReaderNames, LongNameNeedsTheMatchingChecksum)
{
    zvtest::TempDir dir;
    const std::string image = dir / "sum.img";
    zvtest::makeFat(image, 12, 2048);
    zvtest::fatPut(image, "a long name for checks.txt", "c", kSampleTime);
    {
        FatPatcher p(image);
        auto ref = p.find("a long name for checks.txt");
        uint8_t name[11];
        p.read(ref.offset, name, 11);
        name[0] = 'Z'; // another short name: the parts no longer belong to it
        p.write(ref.offset, name, 11);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    ASSERT_EQ(tree.items.size(), 1u);
    EXPECT_EQ(tree.items[0].entry.longNameLength, 0);
    EXPECT_EQ(tree.items[0].path[0], 'Z');
}

TEST(FatReaderNames, ErasedEntriesRecoverTheFirstLetterAndLongName)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "del.img";
    zvtest::makeFat(image, 16, 20480);
    zvtest::fatPut(image, "Photo.jpg", zvtest::patternBytes(2000, 1), kSampleTime);
    zvtest::fatPut(image, "NOLFN.JPG", zvtest::patternBytes(100, 3), kSampleTime);
    zvtest::fatPut(image, "My holiday photo.jpg", zvtest::patternBytes(70000, 2), kSampleTime);
    const std::u16string longest(255, u'x');
    const std::string longest8(255, 'x');
    zvtest::fatPut(image, longest8, "l", kSampleTime);
    zvtest::fatPut(image, "keep.txt", "k", kSampleTime);
    zvtest::fatDelete(image, "Photo.jpg");
    zvtest::fatDelete(image, "NOLFN.JPG");
    zvtest::fatDelete(image, "My holiday photo.jpg");
    zvtest::fatDelete(image, longest8);

    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat, Fat::walkErased);
    // With long-name parts the erased letter comes back from their checksum,
    // without them it stays unknown.
    const Item *photo = findItem(tree, "Photo.jpg");
    ASSERT_NE(photo, nullptr);
    EXPECT_STREQ(photo->entry.shortName, "PHOTO.JPG");
    EXPECT_NE(findItem(tree, "?OLFN.JPG"), nullptr);
    const Item *holiday = findItem(tree, "My holiday photo.jpg");
    ASSERT_NE(holiday, nullptr);
    EXPECT_TRUE(holiday->entry.flags & Fat::flagErased);
    EXPECT_EQ(holiday->entry.shortName[0], 'M'); // the letter from the checksum
    const Item *l = findItem(tree, longest8);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->entry.longNameLength, 255);
    // fls -d names the same deleted files; icat -r gives the same bytes.
    std::set<std::string> deleted;
    for (const auto &e : zvtest::flsList(image))
        if (e.deleted) {
            deleted.insert(e.path);
            if (e.path == "My holiday photo.jpg") {
                EXPECT_EQ(readExtents(image, {{holiday->extents.empty() ? 0 : holiday->extents[0].start, 70000}}),
                          zvtest::icat(image, e.inode, true));
            }
        }
    EXPECT_TRUE(deleted.count("My holiday photo.jpg"));
    EXPECT_TRUE(deleted.count(longest8));
    // The live walk sees none of them.
    Tree live = walkTree(fat);
    ASSERT_EQ(live.items.size(), 1u);
    EXPECT_EQ(live.items[0].path, "keep.txt");
}

TEST(FatReaderNames, StaleErasedPartsStayOffOtherEntries)
{
    zvtest::TempDir dir;
    const std::string image = dir / "stale.img";
    zvtest::makeFat(image, 12, 2048);
    zvtest::fatPut(image, "An old long name.txt", "old", kSampleTime);
    zvtest::fatPut(image, "Another old one.txt", "old2", kSampleTime);
    zvtest::fatDelete(image, "An old long name.txt");
    zvtest::fatDelete(image, "Another old one.txt");
    {
        FatPatcher p(image);
        // A camera reuses the first short slot for an 8.3-only file: the
        // erased parts before it belong to the old name.
        auto reused = p.find("An old long name.txt", true);
        p.setShortName(reused, "NEWFILE TXT");
        // The second erased entry gets other name bytes, chosen so that the
        // one first byte matching the parts' checksum is a lower-case letter:
        // the parts are not its own.
        auto other = p.find("Another old one.txt", true);
        uint8_t parts[32];
        p.read(other.longNameOffsets.back(), parts, 32);
        uint8_t name[11];
        std::memcpy(name, "\xE5XYZ    TXT", 11);
        bool chosen = false;
        for (int a = 0; a < 26 * 26 * 26 && !chosen; ++a) {
            name[8] = uint8_t('A' + a % 26);
            name[9] = uint8_t('A' + a / 26 % 26);
            name[10] = uint8_t('A' + a / 676);
            for (int b = 0; b < 256; ++b) {
                name[0] = uint8_t(b);
                if (FatPatcher::checksum(name) == parts[13]) {
                    chosen = b >= 'a' && b <= 'z';
                    break;
                }
            }
        }
        ASSERT_TRUE(chosen);
        name[0] = 0xE5;
        p.write(other.offset, name, 11);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat, Fat::walkErased);
    const Item *reused = findItem(tree, "NEWFILE.TXT");
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(reused->entry.longNameLength, 0);
    EXPECT_FALSE(reused->entry.flags & Fat::flagErased);
    bool foreign = false;
    for (const Item &item : tree.items)
        if (item.entry.flags & Fat::flagErased) {
            foreign = foreign || item.path.rfind("?", 0) == 0;
            EXPECT_EQ(item.entry.longNameLength, 0) << item.path;
        }
    EXPECT_TRUE(foreign);
}

TEST(FatReaderNames, Fat16IgnoresTheHighClusterWord)
{
    // On FAT12/16 the high word of the first cluster is not part of it.
    zvtest::TempDir dir;
    const std::string image = dir / "hi.img";
    zvtest::makeFat(image, 16, 20480);
    zvtest::fatPut(image, "HIGH.BIN", zvtest::patternBytes(5000, 9), kSampleTime);
    {
        FatPatcher p(image);
        p.setEntryU16(p.find("HIGH.BIN"), FatPatcher::kEntryClusterHigh, 0x1234);
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    ASSERT_EQ(tree.items.size(), 1u);
    EXPECT_TRUE(tree.items[0].complete);
    EXPECT_EQ(readExtents(image, tree.items[0].extents), zvtest::patternBytes(5000, 9));
}

TEST(FatReaderNames, LongestLongNameUsesTwentyParts)
{
    zvtest::TempDir dir;
    const std::string image = dir / "long.img";
    zvtest::makeFat(image, 12, 2048);
    std::string name;
    for (int i = 0; i < 255; ++i)
        name += char('a' + i % 26);
    zvtest::fatPut(image, name, "n", kSampleTime);
    FatPatcher p(image);
    EXPECT_EQ(p.find(name).longNameOffsets.size(), 20u);
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    ASSERT_EQ(tree.items.size(), 1u);
    EXPECT_EQ(tree.items[0].path, name);
}

// ------------------------------------------------------------ times ---

TEST(FatReaderTimes, DatesPast2038AndUnknownDates)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    zvtest::TempDir dir;
    const std::string image = dir / "time.img";
    zvtest::makeFat(image, 12, 2048);
    zvtest::fatPut(image, "LATE.TXT", "l", kSampleTime);
    zvtest::fatPut(image, "NODATE.TXT", "n", kSampleTime);
    {
        FatPatcher p(image);
        auto late = p.find("LATE.TXT");
        // 2100-01-01 12:00:00.
        p.setEntryU16(late, FatPatcher::kEntryModifyDate, uint16_t((2100 - 1980) << 9 | 1 << 5 | 1));
        p.setEntryU16(late, FatPatcher::kEntryModifyTime, uint16_t(12 << 11));
        auto none = p.find("NODATE.TXT");
        p.setEntryU16(none, FatPatcher::kEntryModifyDate, 0);
        p.setEntryU16(none, FatPatcher::kEntryCreateDate, uint16_t(41 << 9 | 0 << 5 | 3)); // month 0
        p.setEntryU16(none, FatPatcher::kEntryAccessDate, uint16_t(41 << 9 | 1 << 5 | 0)); // day 0
    }
    Fat fat(fileStream(image));
    ASSERT_TRUE(fat.open());
    Tree tree = walkTree(fat);
    const Item *late = findItem(tree, "LATE.TXT");
    const Item *none = findItem(tree, "NODATE.TXT");
    ASSERT_TRUE(late && none);
    EXPECT_EQ(late->entry.modified, 4102488000LL);
    EXPECT_EQ(none->entry.modified, 0);
    EXPECT_EQ(none->entry.created, 0);
    EXPECT_EQ(none->entry.accessed, 0);
}
