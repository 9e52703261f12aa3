// ZV::Fat on directories and names of real volumes, damaged and hostile ones
// made by patching mkfs.fat/mtools images at named offsets: backup boot
// sector, directory loops and bounds, reads that fail, hostile and OEM
// names, long-name checksums, erased entries, times.
#include <new>

#include "fat_reader_test_support.h"

using namespace fattest;

// ------------------------------------------------------ directories ---

TEST(FatReaderDirectories, BackupBootSectorAndRootClusterChecks)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    Volume v(32, 65536);
    // A root cluster of 0 or 1 (in the backup too) is refused; 2 opens again.
    for (uint32_t root : {0u, 1u, 2u}) {
        FatPatcher p(v.image);
        p.putU32(FatPatcher::kRootCluster, root);
        p.putU32(6 * 512 + FatPatcher::kRootCluster, root);
        Fat fat(fileStream(v.image));
        EXPECT_EQ(fat.open(), root == 2) << root;
    }
    fillSample(v.image);
    FatPatcher(v.image).zero(0, 512);
    Fat fat(fileStream(v.image));
    ASSERT_TRUE(fat.open());
    EXPECT_TRUE(fat.usedBackupBootSector());
    EXPECT_EQ(fat.bootSectorOffset(), 6u * 512);
    Tree tree = walkTree(fat);
    EXPECT_TRUE(tree.ok);
    EXPECT_NE(findItem(tree, "DCIM/100CANON/IMG_0001.JPG"), nullptr);
    EXPECT_NE(findItem(tree, "fragmented.bin"), nullptr);

    // Nothing to fall back on: a clear refusal.
    FatPatcher(v.image).zero(6 * 512, 512);
    Fat none(fileStream(v.image));
    EXPECT_FALSE(none.open());
}

TEST(FatReaderDirectories, DirectoryContainingItselfIsWalkedOnce)
{
    Volume v(16, 20480);
    zvtest::fatMkdir(v.image, "LOOP");
    v.put("LOOP/IN.TXT", "in");
    zvtest::fatMkdir(v.image, "LOOP/SUB");
    FatPatcher p(v.image);
    // LOOP/SUB points back at LOOP, and LOOP's chain at itself.
    const uint32_t loop = p.find("LOOP").firstCluster;
    p.setFirstCluster(p.find("LOOP/SUB"), loop);
    p.setFatEntry(loop, loop);
    const Tree tree = v.walk();
    EXPECT_EQ(tree.loops, 1);
    EXPECT_NE(findItem(tree, "LOOP/IN.TXT"), nullptr);
    EXPECT_NE(findItem(tree, "LOOP/SUB"), nullptr);
    EXPECT_LT(tree.items.size(), 10u);
    // An erased walk reads past the free entries: each cluster still once.
    EXPECT_LT(v.walk(Fat::walkErased).items.size(), 10u);
}

TEST(FatReaderDirectories, LongDirectoryChainIsBounded)
{
    // A FAT32 root whose chain runs through every cluster of the volume: the
    // walk stops after the largest directory FAT allows.
    Volume v(32, 34000, "-s 1");
    uint32_t count;
    FatPatcher p(v.image);
    auto g = p.geometry();
    count = g.clusterCount;
    std::vector<uint8_t> table(uint64_t(count + 2) * 4);
    for (uint32_t c = 0; c < count + 2; ++c)
        putLE(table, c * 4, c < 2 ? p.fatEntry(c) : c + 1 < count + 2 ? c + 1 : 0x0FFFFFFF, 4);
    p.write(uint64_t(g.reservedSectors) * g.bytesPerSector, table.data(), table.size());
    Fat fat(fileStream(v.image));
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
    Volume v(16, 20480);
    fillSample(v.image);
    const std::string full = zvtest::readFile(v.image);
    for (size_t keep : {size_t(600), size_t(40000), size_t(200000), full.size() / 2}) {
        zvtest::writeFile(v.image, full.substr(0, keep));
        Fat fat(fileStream(v.image));
        if (!fat.open())
            continue; // a clear refusal
        Tree tree = walkTree(fat);
        for (const Item &item : tree.items)
            for (const auto &e : item.extents)
                EXPECT_LE(e.start + e.length, keep) << item.path;
    }
}

// An in-memory image whose reads fail inside [from, to), as a cut VMDK's
// do past its cut.
class FailingStream : public ZV::ByteStreamBuffer {
public:
    FailingStream(ZV::Buffer *buffer, uint64_t from, uint64_t to) : ZV::ByteStreamBuffer(buffer), from_(from), to_(to)
    {
        open(modeRead);
    }
    int _read(void *destination, uint32_t count) override
    {
        if (position() < to_ && position() + count > from_)
            return -1;
        return ZV::ByteStreamBuffer::_read(destination, count);
    }

private:
    uint64_t from_, to_;
};

// Folders whose clusters cannot be read are not listed, and the reader
// keeps where its reads failed: two neighbouring folders as one range,
// however often they are walked. Bytes missing past the end of a stream
// cut short were never there to read and are not counted.
TEST(FatReaderDirectories, FailedReadsAreKeptAsMergedRanges)
{
    Volume v(16, 20480);
    v.put("KEEP.TXT", "kept");
    zvtest::fatMkdir(v.image, "A");
    zvtest::fatMkdir(v.image, "B");
    v.put("A/ONE.TXT", "one");
    v.put("B/TWO.TXT", "two");
    std::string bytes = zvtest::readFile(v.image);
    Fat plain(fileStream(v.image));
    ASSERT_TRUE(plain.open());
    const Tree whole = walkTree(plain);
    ASSERT_NE(findItem(whole, "A/ONE.TXT"), nullptr);
    EXPECT_TRUE(plain.unreadable().empty());
    uint64_t a = 0, b = 0;
    ASSERT_TRUE(plain.clusterOffset(findItem(whole, "A")->entry.firstCluster, &a));
    ASSERT_TRUE(plain.clusterOffset(findItem(whole, "B")->entry.firstCluster, &b));
    ASSERT_EQ(b, a + plain.bytesPerCluster()); // neighbours

    ZV::Buffer buffer(bytes.data(), bytes.size());
    Fat fat(std::make_shared<FailingStream>(&buffer, a, b + plain.bytesPerCluster()));
    ASSERT_TRUE(fat.open());
    for (int round = 0; round < 2; ++round) {
        const Tree tree = walkTree(fat);
        EXPECT_FALSE(tree.ok);
        EXPECT_NE(findItem(tree, "KEEP.TXT"), nullptr);
        EXPECT_NE(findItem(tree, "B"), nullptr);
        EXPECT_EQ(findItem(tree, "B/TWO.TXT"), nullptr);
        ASSERT_EQ(fat.unreadable().size(), 1u);
        EXPECT_EQ(fat.unreadable().begin()->first, a);
        EXPECT_EQ(fat.unreadable().begin()->second, b + plain.bytesPerCluster());
    }

    // The same volume cut in the middle of folder B.
    const std::string cut = bytes.substr(0, b + 512);
    ZV::Buffer shorter(cut.data(), cut.size());
    Fat shortened(std::make_shared<ZV::ByteStreamBuffer>(&shorter));
    ASSERT_TRUE(shortened.stream()->open(ZV::ByteStream::modeRead));
    ASSERT_TRUE(shortened.open());
    walkTree(shortened);
    EXPECT_TRUE(shortened.unreadable().empty());
}

TEST(FatReaderDirectories, LiveWalkEndsAtAFreeEntry)
{
    Volume v(12, 2048);
    for (const char *name : {"A.TXT", "B.TXT", "C.TXT"})
        v.put(name, name);
    FatPatcher p(v.image);
    p.putU8(p.find("B.TXT").offset, 0x00);
    const Tree live = v.walk();
    EXPECT_NE(findItem(live, "A.TXT"), nullptr);
    EXPECT_EQ(findItem(live, "C.TXT"), nullptr);
    EXPECT_NE(findItem(v.walk(Fat::walkErased), "C.TXT"), nullptr);
}

// ------------------------------------------------------------ names ---

TEST(FatReaderNames, LongNamesAreKeptAsStored)
{
    // Hostile names stay as stored (the caller sanitises), lone surrogates
    // become U+FFFD, and characters outside the BMP, which mtools leaves
    // out, are written directly and decoded.
    const struct { const char *placeholder; std::u16string longName; const char *expected; } cases[] = {
        {"escape attempt file.txt", u"../../x", "../../x"},
        {"slash in the name here.txt", u"a/b\\c", "a/b\\c"},
        {"surrogate test name.txt", std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00),
         "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        {"emoji placeholder.bin", u"emoji \U0001F600 x.bin", "emoji \xF0\x9F\x98\x80 x.bin"},
    };
    Volume v(16, 20480);
    for (const auto &c : cases)
        v.put(c.placeholder, c.placeholder);
    FatPatcher p(v.image);
    for (const auto &c : cases)
        p.setLongName(p.find(c.placeholder), c.longName);
    const Tree tree = v.walk();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.placeholder);
        const Item *item = findItem(tree, c.expected);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(readExtents(v.image, item->extents), c.placeholder);
    }
}

TEST(FatReaderNames, LiveShortNamesAcceptOemBytesAndLowerCase)
{
    Volume v(12, 2048);
    const struct { const char *put, *stored, *expected; } cases[] = {
        {"OEM.TXT", "\x90T\x82     TXT", "ÉTé.TXT"}, // CP437 É, é
        {"LOWER.TXT", "MiXed   TXT", "MiXed.TXT"},
        {"BLANK.TXT", "MY FILE TXT", "MY FILE.TXT"},
        {"E5.TXT", "\x05" "ABC    TXT", "σABC.TXT"}, // 0x05 stands for 0xE5
    };
    for (const auto &c : cases)
        v.put(c.put, c.put);
    FatPatcher p(v.image);
    for (const auto &c : cases)
        p.setShortName(p.find(c.put), c.stored);
    const Tree tree = v.walk();
    for (const auto &c : cases)
        EXPECT_NE(findItem(tree, c.expected), nullptr) << c.expected;
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

// The case flags (0x08 base, 0x10 extension) lower every letter of the code
// page, as other readers of the volume show such names; signs without a
// lower case stay.
TEST(FatReaderNames, CaseFlagsLowerTheCodePagesLetters)
{
    Volume v(12, 2048);
    const struct { const char *put, *stored; uint8_t flags; const char *expected; } cases[] = {
        {"E1.TXT", "\x90" "CLAIR  TXT", 0x18, "éclair.txt"},           // É
        {"E2.TXT", "\x8E\x99\x9A\xE4    T\x90T", 0x08, "äöüσ.TÉT"}, // Ä Ö Ü Σ, extension kept
        {"E3.TXT", "NO\xE1\x9C    \x80\x8F\xEA", 0x10, "NOß£.çåω"},   // ß and £ have no upper/lower pair here
    };
    for (const auto &c : cases)
        v.put(c.put, c.put);
    FatPatcher p(v.image);
    for (const auto &c : cases) {
        const auto ref = p.find(c.put);
        p.setShortName(ref, c.stored);
        p.putU8(ref.offset + FatPatcher::kEntryCaseFlags, c.flags);
    }
    // An erased entry: the letter recovered from its parts' checksum is
    // lowered with the rest of the base.
    const char erased[] = "PHOTO   JPG";
    FatPatcher::RawEntry gone = FatPatcher::shortEntry(erased, 0x20, 0, 0);
    gone[0] = 0xE5;
    gone[FatPatcher::kEntryCaseFlags] = 0x18;
    p.writeEntries(p.geometry().rootOffset + 32 * 8,
                   {FatPatcher::longNamePart(0xE5, FatPatcher::checksum(reinterpret_cast<const uint8_t *>(erased)),
                                             u"Photo name.jpg"),
                    gone});
    const Tree tree = v.walk(Fat::walkErased);
    for (const auto &c : cases)
        EXPECT_NE(findItem(tree, c.expected), nullptr) << c.expected;
    const auto photo = std::find_if(tree.items.begin(), tree.items.end(),
                                    [](const Item &i) { return i.entry.flags & Fat::flagErased; });
    ASSERT_NE(photo, tree.items.end());
    EXPECT_STREQ(photo->entry.shortName, "photo.jpg");
}

// Live entries whose 8.3 name holds bytes no 8.3 name has are in use, and
// other readers list them: they are listed, with "_" for separators, dots
// and control bytes, as long as the rest is plainly a file entry. Entries
// that look like garbage, and erased ones with such names, stay out.
TEST(FatReaderNames, OddLiveShortNamesAreListedMapped)
{
    Volume v(16, 20480);
    const struct { const char *stored; const char *expected; } listed[] = {
        {"A/B     TXT", "A_B.TXT"}, {"C\\D     TXT", "C_D.TXT"},  {"E.F     TXT", "E_F.TXT"},
        {"G\x01H\0\0\0\0\0TXT", "G_H.TXT"}, // NUL padding
        {"I*J?    T/T", "I*J?.T_T"},  {"K\x7F      TXT", "K_.TXT"},
    };
    // Each with the name "X/Y     TXT" and one field that no entry has.
    enum Damage { ReservedAttribute, SizePastVolume, BadDate, NoLetter, LeadingBlank, NoCluster };
    const Damage damaged[] = {ReservedAttribute, SizePastVolume, BadDate, NoLetter, LeadingBlank, NoCluster};
    for (size_t i = 0; i < std::size(listed); ++i)
        v.put("L" + std::to_string(i) + ".TXT", listed[i].expected);
    for (size_t i = 0; i < std::size(damaged); ++i)
        v.put("D" + std::to_string(i) + ".TXT", "damaged");
    v.put("GONE.TXT", "gone");
    zvtest::fatDelete(v.image, "GONE.TXT");
    FatPatcher p(v.image);
    for (size_t i = 0; i < std::size(listed); ++i)
        p.setShortName(p.find("L" + std::to_string(i) + ".TXT"), listed[i].stored);
    for (size_t i = 0; i < std::size(damaged); ++i) {
        const auto ref = p.find("D" + std::to_string(i) + ".TXT");
        p.setShortName(ref, damaged[i] == NoLetter ? "/\\.-    $$$" : damaged[i] == LeadingBlank ? " /Y     TXT"
                                                                                               : "X/Y     TXT");
        if (damaged[i] == ReservedAttribute)
            p.putU8(ref.offset + FatPatcher::kEntryAttributes, 0x60);
        if (damaged[i] == SizePastVolume)
            p.setSize(ref, 0xFFFFFF00u);
        if (damaged[i] == BadDate)
            p.setEntryU16(ref, FatPatcher::kEntryModifyDate, uint16_t(30 << 9 | 13 << 5 | 1)); // month 13
        if (damaged[i] == NoCluster)
            p.setFirstCluster(ref, 0);
    }
    p.setShortName(p.find("GONE.TXT", true), "\xE5/B     TXT");

    for (uint32_t flags : {0u, Fat::walkErased}) {
        const Tree tree = v.walk(flags);
        for (const auto &c : listed) {
            const Item *item = findItem(tree, c.expected);
            ASSERT_NE(item, nullptr) << c.expected;
            EXPECT_TRUE(item->complete);
            EXPECT_EQ(readExtents(v.image, item->extents), c.expected);
        }
        EXPECT_EQ(tree.items.size(), std::size(listed)) << "flags " << flags;
    }
}

TEST(FatReaderNames, ErasedEntriesRecoverTheFirstLetterAndLongName)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    Volume v(16, 20480);
    v.put("Photo.jpg", zvtest::patternBytes(2000, 1));
    v.put("NOLFN.JPG", zvtest::patternBytes(100, 3));
    v.put("My holiday photo.jpg", zvtest::patternBytes(70000, 2));
    const std::string longest8(255, 'x');
    v.put(longest8, "l");
    v.put("keep.txt", "k");
    for (const std::string &gone : {std::string("Photo.jpg"), std::string("NOLFN.JPG"),
                                     std::string("My holiday photo.jpg"), longest8})
        zvtest::fatDelete(v.image, gone);
    const Tree tree = v.walk(Fat::walkErased);
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
    for (const auto &e : zvtest::flsList(v.image))
        if (e.deleted) {
            deleted.insert(e.path);
            if (e.path == "My holiday photo.jpg") {
                EXPECT_EQ(readExtents(v.image, {{holiday->extents.empty() ? 0 : holiday->extents[0].start, 70000}}),
                          zvtest::icat(v.image, e.inode, true));
            }
        }
    EXPECT_TRUE(deleted.count("My holiday photo.jpg"));
    EXPECT_TRUE(deleted.count(longest8));
    // The live walk sees none of them.
    const Tree live = v.walk();
    ASSERT_EQ(live.items.size(), 1u);
    EXPECT_EQ(live.items[0].path, "keep.txt");
}

TEST(FatReaderNames, StaleErasedPartsStayOffOtherEntries)
{
    Volume v(12, 2048);
    v.put("An old long name.txt", "old");
    v.put("Another old one.txt", "old2");
    for (const char *gone : {"An old long name.txt", "Another old one.txt"})
        zvtest::fatDelete(v.image, gone);
    FatPatcher p(v.image);
    // A camera reuses the first short slot for an 8.3-only file: the
    // erased parts before it belong to the old name.
    p.setShortName(p.find("An old long name.txt", true), "NEWFILE TXT");
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
    const Tree tree = v.walk(Fat::walkErased);
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

namespace {

// A reader placed between two guard zones of known bytes, so that a write
// outside its own fields changes a guard byte (checked by intact()) instead
// of whatever the stack happens to hold next to it.
class GuardedFat {
public:
    static constexpr size_t kGuard = 16384; // more than any long-name slot can reach
    explicit GuardedFat(const std::string &image) : arena_(new unsigned char[2 * kGuard + sizeof(Fat)])
    {
        std::memset(arena_.get(), kFill, 2 * kGuard + sizeof(Fat));
        fat_ = new (arena_.get() + kGuard) Fat(fileStream(image));
        if (!fat_->open())
            throw std::runtime_error("cannot open " + image);
    }
    ~GuardedFat() { fat_->~Fat(); }
    Fat &fat() { return *fat_; }
    bool intact() const
    {
        for (size_t i = 0; i < kGuard; ++i)
            if (arena_[i] != kFill || arena_[kGuard + sizeof(Fat) + i] != kFill)
                return false;
        return true;
    }

private:
    static constexpr unsigned char kFill = 0xA5;
    std::unique_ptr<unsigned char[]> arena_;
    Fat *fat_;
};

} // namespace

// Long-name parts past the twenty a name can have: a live chain counting
// down from sequence 63 (order byte 0x7F) and 25 erased parts before an
// erased entry. The parts past twenty are refused and restart the
// assembly: nothing is written outside it, and the names show exactly
// what was kept.
TEST(FatReaderNames, PartsBeyondTwentyAreRefused)
{
    Volume v(16, 20480);
    const char counted[] = "COUNTED TXT", after[] = "AFTER   TXT", erased[] = "ABCDEFGHTXT";
    auto sum = [](const char *name11) { return FatPatcher::checksum(reinterpret_cast<const uint8_t *>(name11)); };
    std::vector<FatPatcher::RawEntry> entries;
    for (int sequence = 63; sequence >= 1; --sequence)
        entries.push_back(FatPatcher::longNamePart(uint8_t(sequence | (sequence == 63 ? 0x40 : 0)), sum(counted),
                                                   std::u16string(13, char16_t(u'a' + sequence % 26))));
    entries.push_back(FatPatcher::shortEntry(counted, 0x20, 0, 0));
    entries.push_back(FatPatcher::longNamePart(0x41, sum(after), u"after.txt"));
    entries.push_back(FatPatcher::shortEntry(after, 0x20, 0, 0));
    // Erased part k (1..25) holds thirteen times the k-th letter.
    for (int k = 1; k <= 25; ++k)
        entries.push_back(FatPatcher::longNamePart(0xE5, sum(erased), std::u16string(13, char16_t(u'a' + k - 1))));
    FatPatcher::RawEntry gone = FatPatcher::shortEntry(erased, 0x20, 0, 0);
    gone[0] = 0xE5;
    entries.push_back(gone);
    FatPatcher p(v.image);
    p.writeEntries(p.geometry().rootOffset, entries);

    GuardedFat guarded(v.image);
    const Tree live = walkTree(guarded.fat());
    EXPECT_TRUE(guarded.intact());
    const Item *plain = findItem(live, "COUNTED.TXT");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->entry.longNameLength, 0);
    EXPECT_NE(findItem(live, "after.txt"), nullptr);
    // Parts 22 to 25 are the name (the last part stored comes first).
    const Tree all = walkTree(guarded.fat(), Fat::walkErased);
    EXPECT_TRUE(guarded.intact());
    const Item *recovered = findItem(all, std::string(13, 'y') + std::string(13, 'x') + std::string(13, 'w') +
                                              std::string(13, 'v'));
    ASSERT_NE(recovered, nullptr);
    EXPECT_STREQ(recovered->entry.shortName, "ABCDEFGH.TXT");
    EXPECT_NE(findItem(all, "COUNTED.TXT"), nullptr);
}

TEST(FatReaderNames, PatchedEntryFieldsAreReadAsStored)
{
    zvtest::ScopedEnv tz("TZ", "UTC");
    Volume v(16, 20480);
    std::string longest;
    for (int i = 0; i < 255; ++i)
        longest += char('a' + i % 26);
    v.put("a long name for checks.txt", "c");
    v.put("HIGH.BIN", zvtest::patternBytes(5000, 9));
    v.put(longest, "n");
    v.put("LATE.TXT", "l");
    v.put("NODATE.TXT", "n");
    FatPatcher p(v.image);
    EXPECT_EQ(p.find(longest).longNameOffsets.size(), 20u); // the longest name uses twenty parts
    // Another short name: the long-name parts no longer belong to it.
    p.putU8(p.find("a long name for checks.txt").offset, 'Z');
    // On FAT12/16 the high word of the first cluster is not part of it.
    p.setEntryU16(p.find("HIGH.BIN"), FatPatcher::kEntryClusterHigh, 0x1234);
    // 2100-01-01 12:00:00, and dates with no year, month 0 and day 0.
    const auto lateRef = p.find("LATE.TXT");
    p.setEntryU16(lateRef, FatPatcher::kEntryModifyDate, uint16_t((2100 - 1980) << 9 | 1 << 5 | 1));
    p.setEntryU16(lateRef, FatPatcher::kEntryModifyTime, uint16_t(12 << 11));
    const auto noneRef = p.find("NODATE.TXT");
    p.setEntryU16(noneRef, FatPatcher::kEntryModifyDate, 0);
    p.setEntryU16(noneRef, FatPatcher::kEntryCreateDate, uint16_t(41 << 9 | 0 << 5 | 3));
    p.setEntryU16(noneRef, FatPatcher::kEntryAccessDate, uint16_t(41 << 9 | 1 << 5 | 0));
    const Tree tree = v.walk();
    ASSERT_EQ(tree.items.size(), 5u);
    const auto z = std::find_if(tree.items.begin(), tree.items.end(), [](const Item &i) { return i.path[0] == 'Z'; });
    ASSERT_NE(z, tree.items.end());
    EXPECT_EQ(z->entry.longNameLength, 0);
    const Item *high = findItem(tree, "HIGH.BIN");
    ASSERT_NE(high, nullptr);
    EXPECT_TRUE(high->complete);
    EXPECT_EQ(readExtents(v.image, high->extents), zvtest::patternBytes(5000, 9));
    EXPECT_NE(findItem(tree, longest), nullptr);
    const Item *late = findItem(tree, "LATE.TXT");
    const Item *none = findItem(tree, "NODATE.TXT");
    ASSERT_TRUE(late && none);
    EXPECT_EQ(late->entry.modified, 4102488000LL);
    EXPECT_EQ(none->entry.modified, 0);
    EXPECT_EQ(none->entry.created, 0);
    EXPECT_EQ(none->entry.accessed, 0);
}
