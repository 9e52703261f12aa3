// VMDK images read through ZV::DiskImageVMDK: real images written by
// qemu-img (read byte for byte like their raw source, or refused with a
// clear result), hand-edited descriptors, edited headers, and files that
// are no image at all.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/images/image_file.h"
#include "storage/images/vmdk.h"
#include "storage/images/vmdk_image.h"
#include "support/hang_guard.h"
#include "vmdk_test_support.h"

namespace {

using vmdktest::Extent;
using vmdktest::makeMonolithic;

constexpr uint64_t kMiB = 1u << 20;

// First sector where the image differs from the raw file, or -1 when all of
// them read and agree. The raw file must have exactly the image's size.
int64_t firstDifference(ZV::DiskImage &image, const std::string &raw)
{
    const uint64_t sectors = image.numSectors();
    if (vmdktest::readAt(raw, sectors * 512 - 1, 2).size() != 1)
        return 0; // sizes differ
    constexpr uint64_t kChunk = 2048;
    std::string got(kChunk * 512, '\0');
    for (uint64_t first = 0; first < sectors; first += kChunk) {
        const uint64_t count = std::min(kChunk, sectors - first);
        const std::string want = vmdktest::readAt(raw, first * 512, count * 512);
        for (uint64_t i = 0; i < count; i++)
            if (!image.readSector(first + i, &got[i * 512], 512) || memcmp(&got[i * 512], &want[i * 512], 512) != 0)
                return static_cast<int64_t>(first + i);
    }
    return -1;
}

int openStatus(const std::string &path)
{
    vmdk_image image;
    return vmdk_image_open(zorvant::u8string(path.begin(), path.end()), &image);
}

zorvant::u8string u8(const std::string &path) { return zorvant::u8string(path.begin(), path.end()); }

// The constructor refuses with std::invalid_argument "invalid disk image".
bool refused(const std::string &path)
{
    try {
        ZV::DiskImageVMDK image(u8(path));
    } catch (const std::invalid_argument &e) {
        return std::string(e.what()) == "invalid disk image";
    }
    return false;
}

// --- real images ------------------------------------------------------------------

// A FAT card dump of 132000 sectors: not a whole number of 64 KiB grains, the
// exact size qemu-img keeps as the capacity. Files fill its start, and the
// last 37 KiB (inside the last, partial grain) hold distinct bytes.
TEST(VmdkRealImages, MonolithicSparseReadsLikeItsSource)
{
    zvtest::TempDir dir;
    const std::string raw = dir / "card.raw";
    zvtest::makeFat(raw, 16, 66000);
    for (int i = 0; i < 6; i++)
        zvtest::fatPut(raw, "/IMG_" + std::to_string(i) + ".JPG", zvtest::patternBytes(300000 + 70000 * i, i + 1));
    vmdktest::writeAt(raw, 132000 * 512 - 37 * 1024, zvtest::patternBytes(37 * 1024, 99));
    vmdktest::toVmdk(raw, dir / "card.vmdk");
    ASSERT_EQ(vmdktest::headerField(dir / "card.vmdk", vmdktest::kCapacityAt, 8), 132000u);

    ZV::DiskImageVMDK image(u8(dir / "card.vmdk"));
    EXPECT_EQ(image.sectorSize(), 512u);
    EXPECT_EQ(image.numSectors(), 132000u);
    EXPECT_EQ(image.imageSize(), vmdktest::fileSize(dir / "card.vmdk"));
    EXPECT_FALSE(image.verify());
    EXPECT_EQ(firstDifference(image, raw), -1);
    // Both other readers agree on the size, and qemu reads the source back.
    EXPECT_EQ(vmdktest::vmdkinfoMediaSize(dir / "card.vmdk"), 132000u * 512);
    vmdktest::toRaw(dir / "card.vmdk", dir / "back.raw");
    EXPECT_EQ(zvtest::readFile(dir / "back.raw"), zvtest::readFile(raw));

    std::vector<char> buffer(4096);
    EXPECT_FALSE(image.readSector(132000, buffer.data(), 512));
    EXPECT_FALSE(image.readSector(0, buffer.data(), 4096));
    EXPECT_FALSE(image.readSector(0, nullptr, 512));
}

// 2200 MiB split at 2 GiB: a descriptor and two sparse extent files. Data at
// the start, across the boundary between the extents and at the end.
TEST(VmdkRealImages, SplitSparseReadsLikeItsSource)
{
    zvtest::TempDir dir;
    const std::string raw = dir / "big.raw";
    vmdktest::makeSparseFile(raw, 2200 * kMiB);
    vmdktest::writeAt(raw, 10 * 1024, zvtest::patternBytes(300 * 1024, 1));
    vmdktest::writeAt(raw, 2048 * kMiB - 512 * 1024, zvtest::patternBytes(kMiB, 2));
    vmdktest::writeAt(raw, 2200 * kMiB - 64 * 1024, zvtest::patternBytes(64 * 1024, 3));
    vmdktest::toVmdk(raw, dir / "big.vmdk", "subformat=twoGbMaxExtentSparse");
    ASSERT_NE(vmdktest::fileSize(dir / "big-s002.vmdk"), 0u);

    ZV::DiskImageVMDK image(u8(dir / "big.vmdk"));
    EXPECT_EQ(image.numSectors(), 2200 * kMiB / 512);
    EXPECT_EQ(image.imageSize(), vmdktest::fileSize(dir / "big-s001.vmdk") + vmdktest::fileSize(dir / "big-s002.vmdk"));
    EXPECT_EQ(vmdktest::vmdkinfoMediaSize(dir / "big.vmdk"), 2200 * kMiB);
    EXPECT_EQ(firstDifference(image, raw), -1);
}

// What qemu-img writes but this reader does not read: each refused with its
// own result and the constructor's "invalid disk image", and reported by the
// opener as the kind of VMDK image that is not supported (not taken for a
// file that is no image, which would be read as its own bytes).
TEST(VmdkRealImages, OtherKindsAreRefusedClearly)
{
    struct Case {
        const char *options;
        int status;
        const char *text;
        const char *reason;
    };
    const Case cases[] = {
        {"subformat=streamOptimized", VMDK_ERROR_COMPRESSED,
         "stream-optimized images (compressed grains) are not supported",
         "stream-optimized VMDK images are not supported"},
        {"subformat=monolithicFlat", VMDK_ERROR_FLAT, "flat extents are not supported",
         "flat VMDK images are not supported"},
        {"subformat=twoGbMaxExtentFlat", VMDK_ERROR_FLAT, "flat extents are not supported",
         "flat VMDK images are not supported"},
        {"zeroed_grain=on", VMDK_ERROR_ZEROED_GRAINS,
         "sparse extents with zeroed-grain tables (version 2) are not supported",
         "VMDK images with zeroed-grain tables (version 2) are not supported"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.options);
        zvtest::TempDir dir;
        const Extent x = makeMonolithic(dir / "x.vmdk", 8192, {{0, zvtest::patternBytes(100000, 5)}}, c.options);
        EXPECT_EQ(openStatus(x.image), c.status);
        EXPECT_STREQ(vmdk_status_text(c.status), c.text);
        EXPECT_TRUE(refused(x.image));
        std::string why;
        EXPECT_EQ(ZV::DiskImage::open(u8(x.image), &why), nullptr);
        EXPECT_EQ(why.rfind(c.reason, 0), 0u) << why;
        std::string registered;
        EXPECT_EQ(file_open_disk_image(x.image.c_str(), &registered), -95);
        EXPECT_EQ(registered, why);
        // The raw source is no image: no reason.
        EXPECT_EQ(ZV::DiskImage::open(u8(x.raw), &why), nullptr);
        EXPECT_EQ(why, "");
    }
}

// --- sparse extent headers -------------------------------------------------------

// 8192 sectors with 128-sector grains: one grain directory entry; grains the
// source never wrote read as zeros; tables are read only when first needed.
TEST(VmdkSparseExtents, SmallImageHasOneTableLoadedOnDemand)
{
    zvtest::TempDir dir;
    const Extent x = makeMonolithic(dir / "x.vmdk", 8192, {{3 * 65536 + 100, zvtest::patternBytes(5000, 7)}});
    vmdk_image image;
    ASSERT_EQ(vmdk_image_open(u8(x.image), &image), VMDK_OK);
    ASSERT_EQ(image.extents.size(), 1u);
    EXPECT_EQ(image.extents[0].directory.size(), 1u);
    EXPECT_TRUE(image.loaded.empty());
    uint8_t sector[512];
    ASSERT_TRUE(vmdk_image_read_sector(&image, 0, sector));
    EXPECT_EQ(image.loaded.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(sector), 512), std::string(512, '\0'));

    ZV::DiskImageVMDK whole(u8(x.image));
    EXPECT_EQ(firstDifference(whole, x.raw), -1);
}

// Header fields edited one at a time in a real image: what the reader cannot
// use safely is refused; a capacity that is not a whole number of grains is
// read (image converters keep their source's exact size).
TEST(VmdkSparseExtents, HeaderFieldsAreChecked)
{
    struct Case {
        const char *name;
        uint64_t at;
        uint64_t value;
        int bytes;
        int status;
    };
    const Case cases[] = {
        {"grain of 4 sectors", vmdktest::kGrainAt, 4, 8, VMDK_ERROR_HEADER},
        {"odd grain", vmdktest::kGrainAt, 129, 8, VMDK_ERROR_HEADER},
        {"grain above 64 MiB", vmdktest::kGrainAt, (64 * kMiB) / 512 + 2, 8, VMDK_ERROR_HEADER},
        {"256 entries per table", vmdktest::kTableEntriesAt, 256, 4, VMDK_ERROR_HEADER},
        {"capacity 0", vmdktest::kCapacityAt, 0, 8, VMDK_ERROR_HEADER},
        {"compressed grains", vmdktest::kCompressionAt, 1, 2, VMDK_ERROR_COMPRESSED},
        {"version 4", vmdktest::kVersionAt, 4, 4, VMDK_ERROR_VERSION},
        {"version 3", vmdktest::kVersionAt, 3, 4, VMDK_ERROR_COMPRESSED},
        {"version 2", vmdktest::kVersionAt, 2, 4, VMDK_ERROR_ZEROED_GRAINS},
        {"line ends converted", vmdktest::kLineEndsAt, 0x0A0A200A, 4, VMDK_ERROR_LINE_ENDS},
        {"descriptor above 1 MiB", vmdktest::kDescriptorSizeAt, 2049, 8, VMDK_ERROR_LAYOUT},
        {"descriptor past the end", vmdktest::kDescriptorOffsetAt, 1u << 30, 8, VMDK_ERROR_LAYOUT},
        {"directory past the end", vmdktest::kDirectoryAt, 1u << 30, 8, VMDK_ERROR_LAYOUT},
        // 2^33 sectors of 64 KiB grains: 2^17 directory entries, 512 KiB
        // that the file does not hold.
        {"directory longer than the file", vmdktest::kCapacityAt, uint64_t(1) << 33, 8, VMDK_ERROR_LAYOUT},
        // 2^50 sectors: 2^34 directory entries, above the cap.
        {"directory above its cap", vmdktest::kCapacityAt, uint64_t(1) << 50, 8, VMDK_ERROR_LAYOUT},
        {"capacity not a grain multiple", vmdktest::kCapacityAt, 8100, 8, VMDK_OK},
    };
    zvtest::TempDir dir;
    const Extent x = makeMonolithic(dir / "x.vmdk", 8192, {{0, zvtest::patternBytes(200000, 8)}});
    const std::string original = zvtest::readFile(x.image);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zvtest::writeFile(x.image, original);
        vmdktest::putLe(x.image, c.at, c.value, c.bytes);
        EXPECT_EQ(openStatus(x.image), c.status);
        EXPECT_EQ(refused(x.image), c.status != VMDK_OK);
    }
}

// A directory entry of 0 is a table never allocated: its grains read as
// zeros (not as grain numbers taken from the header at sector 0).
TEST(VmdkSparseExtents, UnallocatedTableReadsAsZeros)
{
    zvtest::TempDir dir;
    const Extent x = makeMonolithic(dir / "x.vmdk", 70000, {{0, zvtest::patternBytes(300000, 9)},
                                                             {66000 * 512, zvtest::patternBytes(5000, 10)}});
    vmdktest::putLe(x.image, vmdktest::directoryEntryAt(x.image, 0), 0, 4);
    ZV::DiskImageVMDK image(u8(x.image));
    std::string sector(512, 'x');
    for (uint64_t s : {0u, 1u, 200u, 65535u}) {
        ASSERT_TRUE(image.readSector(s, sector.data(), 512)) << s;
        EXPECT_EQ(sector, std::string(512, '\0')) << s;
    }
    // The second table is intact.
    ASSERT_TRUE(image.readSector(66000, sector.data(), 512));
    EXPECT_EQ(sector, vmdktest::readAt(x.raw, 66000 * 512, 512));
    EXPECT_NE(sector, std::string(512, '\0'));
}

// Pointers into the file are checked against its length: a directory entry
// past the end refuses the image, a grain past it fails that grain's reads
// only, and the rest of the image stays readable.
TEST(VmdkSparseExtents, PointersPastTheEnd)
{
    zvtest::TempDir dir;
    const Extent x = makeMonolithic(dir / "x.vmdk", 8192, {{0, zvtest::patternBytes(200000, 11)}});
    const std::string original = zvtest::readFile(x.image);

    vmdktest::putLe(x.image, vmdktest::directoryEntryAt(x.image, 0), 0x7FFFFFFF, 4);
    EXPECT_EQ(openStatus(x.image), VMDK_ERROR_LAYOUT);

    zvtest::writeFile(x.image, original);
    vmdktest::putLe(x.image, vmdktest::tableEntryAt(x.image, 0, 0), 0x7FFFFFFF, 4);
    ZV::DiskImageVMDK image(u8(x.image));
    std::string sector(512, '\0');
    EXPECT_FALSE(image.readSector(0, sector.data(), 512));
    EXPECT_FALSE(image.readSector(127, sector.data(), 512));
    ASSERT_TRUE(image.readSector(128, sector.data(), 512));
    EXPECT_EQ(sector, vmdktest::readAt(x.raw, 128 * 512, 512));
}

// A file stream that counts the bytes its medium was asked to read.
class CountingFile : public ZV::ByteStreamFile {
public:
    explicit CountingFile(const std::string &path) : ZV::ByteStreamFile(u8(path)) { open(modeRead); }
    int _read(void *destination, uint32_t count) override
    {
        asked += count;
        return ZV::ByteStreamFile::_read(destination, count);
    }
    uint64_t asked = 0;
};

// A grain's place is checked against the file before its buffer grows: a
// grain number from a damaged table costs neither an allocation of up to
// 64 MiB nor a read. The image is a real one with its header edited to the
// largest grain (64 MiB; capacity raised so one table still covers the
// disk), its first table entry pointing past the end of the file; the
// second still names a grain that begins inside the file, but 64 MiB from
// there run past its end.
TEST(VmdkSparseExtents, GrainOutsideTheFileCostsNoBufferAndNoRead)
{
    zvtest::TempDir dir;
    const Extent x = makeMonolithic(dir / "x.vmdk", 8192, {{0, zvtest::patternBytes(200000, 12)}});
    const uint64_t end = vmdktest::fileSize(x.image) / 512;
    const uint64_t inside = vmdktest::getLe(vmdktest::readAt(x.image, vmdktest::tableEntryAt(x.image, 0, 1), 4), 0, 4);
    ASSERT_GT(inside, 1u);
    ASSERT_LT(inside, end);
    vmdktest::putLe(x.image, vmdktest::kGrainAt, VMDK_MAX_GRAIN_SECTORS, 8);
    vmdktest::putLe(x.image, vmdktest::kCapacityAt, VMDK_MAX_GRAIN_SECTORS * VMDK_TABLE_ENTRIES, 8);
    vmdktest::putLe(x.image, vmdktest::tableEntryAt(x.image, 0, 0), end + 1, 4);

    auto file = std::make_shared<CountingFile>(x.image);
    vmdk_extent extent;
    ASSERT_EQ(vmdk_extent_load(file, &extent), VMDK_OK);
    ASSERT_EQ(extent.header.grain_sectors, VMDK_MAX_GRAIN_SECTORS);
    for (uint64_t grain : {end + 1, inside}) {
        SCOPED_TRACE(grain);
        std::vector<uint8_t> buffer;
        file->asked = 0;
        EXPECT_FALSE(vmdk_extent_read_grain(&extent, static_cast<uint32_t>(grain), VMDK_MAX_GRAIN_SECTORS, &buffer));
        EXPECT_EQ(buffer.capacity(), 0u);
        EXPECT_EQ(file->asked, 0u);
    }
    // The part of the grain that lies inside the file reads.
    std::vector<uint8_t> buffer;
    ASSERT_TRUE(vmdk_extent_read_grain(&extent, static_cast<uint32_t>(inside), 8, &buffer));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), vmdktest::readAt(x.image, inside * 512, 8 * 512));

    // Through the image: the sectors of both grains fail, the grain buffer
    // stays unallocated.
    vmdk_image image;
    ASSERT_EQ(vmdk_image_open(u8(x.image), &image), VMDK_OK);
    uint8_t sector[512];
    EXPECT_FALSE(vmdk_image_read_sector(&image, 0, sector));
    EXPECT_FALSE(vmdk_image_read_sector(&image, VMDK_MAX_GRAIN_SECTORS, sector));
    EXPECT_EQ(image.grain.capacity(), 0u);
}

// The grain directory is read whole at open, so its entries are capped at
// 2^20 (4 MiB) before it is allocated or read, also when the file holds
// it: a real image grown to about 4 MiB, its directory moved to the zeros
// past its data, and a capacity of 2^36 sectors (2^20 tables of 65536
// sectors) opens; one table more is refused having read the header alone.
TEST(VmdkSparseExtents, DirectoryAboveItsCapIsRefusedBeforeItIsRead)
{
    zvtest::TempDir dir;
    const Extent x = makeMonolithic(dir / "x.vmdk", 8192, {{0, zvtest::patternBytes(5000, 13)}});
    ASSERT_EQ(vmdktest::headerField(x.image, vmdktest::kGrainAt, 8), 128u);
    const uint64_t directory = vmdktest::fileSize(x.image) / 512 + 1;
    vmdktest::makeSparseFile(x.image, (directory + 1) * 512 + 4 * VMDK_MAX_DIRECTORY_ENTRIES);
    vmdktest::putLe(x.image, vmdktest::kDirectoryAt, directory, 8);
    const uint64_t table_span = 128 * VMDK_TABLE_ENTRIES;
    ASSERT_EQ(uint64_t(1) << 36, VMDK_MAX_DIRECTORY_ENTRIES * table_span);

    vmdktest::putLe(x.image, vmdktest::kCapacityAt, uint64_t(1) << 36, 8);
    {
        vmdk_image image;
        ASSERT_EQ(vmdk_image_open(u8(x.image), &image), VMDK_OK);
        EXPECT_EQ(image.directory_entries, VMDK_MAX_DIRECTORY_ENTRIES);
        uint8_t sector[512];
        ASSERT_TRUE(vmdk_image_read_sector(&image, (uint64_t(1) << 36) - 1, sector));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(sector), 512), std::string(512, '\0'));
    }

    vmdktest::putLe(x.image, vmdktest::kCapacityAt, (uint64_t(1) << 36) + table_span, 8);
    auto file = std::make_shared<CountingFile>(x.image);
    ASSERT_GE(file->length() - directory * 512, 4 * (VMDK_MAX_DIRECTORY_ENTRIES + 1)); // the file holds it
    vmdk_extent extent;
    EXPECT_EQ(vmdk_extent_load(file, &extent), VMDK_ERROR_LAYOUT);
    EXPECT_LE(file->asked, 4096u); // the header (and a block around it), not 4 MiB of directory
    EXPECT_TRUE(extent.directory.empty());
    EXPECT_EQ(openStatus(x.image), VMDK_ERROR_LAYOUT);
    EXPECT_TRUE(refused(x.image));
}

// --- descriptors -----------------------------------------------------------------

// A descriptor listing two monolithic sparse files as its extents (each of
// 8192 sectors), written by hand the way qemu-img writes split images.
struct SplitByHand {
    zvtest::TempDir dir;
    Extent a = makeMonolithic(dir / "a part.vmdk", 8192, {{512, zvtest::patternBytes(70000, 21)}});
    Extent b = makeMonolithic(dir / "b.vmdk", 8192, {{8191 * 512, zvtest::patternBytes(512, 22)}});
    std::string descriptor = dir / "disk.vmdk";
    std::string raw = dir / "disk.raw";
    SplitByHand() { zvtest::writeFile(raw, zvtest::readFile(a.raw) + zvtest::readFile(b.raw)); }
    std::string header() const { return "# Disk DescriptorFile\nversion=1\ncreateType=\"twoGbMaxExtentSparse\"\n"; }
    std::string extents(const char *end = "\n") const
    {
        return std::string("RW 8192 SPARSE \"a part.vmdk\"") + end + "RW 8192 SPARSE \"b.vmdk\"" + end;
    }
};

TEST(VmdkDescriptors, HandEditedDescriptors)
{
    struct Case {
        const char *name;
        std::string (*text)(const SplitByHand &);
        int status;
    };
    const Case cases[] = {
        {"as written", [](const SplitByHand &s) { return s.header() + s.extents(); }, VMDK_OK},
        {"no final line feed",
         [](const SplitByHand &s) {
             std::string t = s.header() + s.extents();
             t.pop_back();
             return t;
         },
         VMDK_OK},
        {"CR LF line ends", [](const SplitByHand &s) { return s.header() + s.extents("\r\n"); }, VMDK_OK},
        {"createType alone",
         [](const SplitByHand &s) { return "createType=\"twoGbMaxExtentSparse\"\n" + s.extents(); }, VMDK_OK},
        {"NUL padding", [](const SplitByHand &s) { return s.header() + s.extents() + std::string(300, '\0'); },
         VMDK_OK},
        {"ZERO extent",
         [](const SplitByHand &s) { return s.header() + s.extents() + "RW 100 ZERO \"z.vmdk\"\n"; },
         VMDK_ERROR_EXTENT_TYPE},
        {"FLAT extent",
         [](const SplitByHand &s) { return s.header() + "RW 8192 FLAT \"a part.vmdk\" 0\n"; }, VMDK_ERROR_FLAT},
        {"missing extent file",
         [](const SplitByHand &s) { return s.header() + "RW 8192 SPARSE \"none.vmdk\"\n"; }, VMDK_ERROR_FILE},
        {"extent file not sparse",
         [](const SplitByHand &s) { return s.header() + "RW 8192 SPARSE \"a part.vmdk.raw\"\n"; },
         VMDK_ERROR_EXTENT_FILE},
        {"folder as extent", [](const SplitByHand &s) { return s.header() + "RW 8192 SPARSE \".\"\n"; },
         VMDK_ERROR_FILE},
        {"no extent lines", [](const SplitByHand &s) { return s.header(); }, VMDK_ERROR_DESCRIPTOR},
        {"neither signature nor createType",
         [](const SplitByHand &s) { return "version=1\n" + s.extents(); }, VMDK_ERROR_DESCRIPTOR},
        {"102399 bytes",
         [](const SplitByHand &s) {
             const std::string t = s.header() + s.extents();
             return t + std::string(102399 - t.size(), '\n');
         },
         VMDK_OK},
        {"102400 bytes",
         [](const SplitByHand &s) {
             const std::string t = s.header() + s.extents();
             return t + std::string(102400 - t.size(), '\n');
         },
         VMDK_ERROR_DESCRIPTOR},
    };
    SplitByHand split;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zvtest::writeFile(split.descriptor, c.text(split));
        EXPECT_EQ(openStatus(split.descriptor), c.status);
        if (c.status != VMDK_OK) {
            EXPECT_TRUE(refused(split.descriptor));
            continue;
        }
        ZV::DiskImageVMDK image(u8(split.descriptor));
        EXPECT_EQ(image.numSectors(), 16384u);
        EXPECT_EQ(firstDifference(image, split.raw), -1);
    }
}

// An extent named in a descriptor is opened only when it is a regular file:
// a FIFO would block the open, a block device would be read as an extent.
TEST(VmdkDescriptors, ExtentsMustBeRegularFiles)
{
    SplitByHand split;
    ASSERT_EQ(mkfifo((split.dir / "fifo.vmdk").c_str(), 0600), 0);
    zvtest::writeFile(split.descriptor, split.header() + "RW 8192 SPARSE \"fifo.vmdk\"\n");
    const zvtest::ChildOutcome fifo = zvtest::runInChild(
        [&](const zvtest::ChildNotes &) { return openStatus(split.descriptor) == VMDK_ERROR_FILE ? 0 : 1; }, 60);
    EXPECT_TRUE(fifo.finished);
    EXPECT_EQ(fifo.status, 0);
    // The FIFO itself given as the image.
    const zvtest::ChildOutcome direct = zvtest::runInChild(
        [&](const zvtest::ChildNotes &) { return refused(split.dir / "fifo.vmdk") ? 0 : 1; }, 60);
    EXPECT_TRUE(direct.finished);
    EXPECT_EQ(direct.status, 0);

    // A loop device over a real sparse extent, named through a link.
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    zvtest::LoopDevice loop(split.b.image);
    ASSERT_EQ(symlink(loop.path().c_str(), (split.dir / "device.vmdk").c_str()), 0);
    zvtest::writeFile(split.descriptor, split.header() + "RW 8192 SPARSE \"device.vmdk\"\n");
    EXPECT_EQ(openStatus(split.descriptor), VMDK_ERROR_FILE);
    // A link to a regular extent file is followed.
    ASSERT_EQ(symlink("b.vmdk", (split.dir / "link.vmdk").c_str()), 0);
    zvtest::writeFile(split.descriptor, split.header() + "RW 8192 SPARSE \"link.vmdk\"\n");
    EXPECT_EQ(openStatus(split.descriptor), VMDK_OK);
}

// Files that are no image are refused, so they keep their own bytes: small
// text, small random bytes, a raw FAT floppy, an empty file, a folder.
TEST(VmdkDescriptors, NonImagesAreRefused)
{
    zvtest::TempDir dir;
    const std::pair<const char *, std::string> files[] = {
        {"empty", ""},
        {"text", "hello\nworld\n"},
        {"key and value", "name=value\nother = \"x\"\n"},
        {"signature only", "# Disk DescriptorFile\n"},
        {"random bytes", zvtest::patternBytes(64 * 1024, 31)},
    };
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        zvtest::writeFile(dir / "file", bytes);
        EXPECT_TRUE(refused(dir / "file"));
    }
    zvtest::makeFat(dir / "floppy.img", 12, 1440);
    EXPECT_TRUE(refused(dir / "floppy.img"));
    EXPECT_EQ(openStatus(dir.path()), VMDK_ERROR_FILE);
    EXPECT_EQ(openStatus(dir / "none"), VMDK_ERROR_FILE);
}

// The descriptor text on its own: fields, quotes, keys and the lines skipped.
TEST(VmdkDescriptors, ParsingText)
{
    const std::string text = "# Disk DescriptorFile\r\n"
                             "  createType = \"monolithicSparse\"  \n"
                             "a=b=c\n"
                             "RW 10 SPARSE\n"
                             "RDONLY 20 SPARSE \"with  blanks.vmdk\" 0\n"
                             "\tRW 30 FLAT \"flat.vmdk\" 7\n"
                             "RWX 40 ZERO \"x\"\n"
                             "RW 50 SPARSE \"last.vmdk\"";
    vmdk_descriptor d;
    ASSERT_EQ(vmdk_descriptor_parse(text.data(), text.size(), &d), VMDK_OK);
    EXPECT_TRUE(d.signature);
    EXPECT_EQ(d.keys.size(), 1u);
    EXPECT_EQ(d.keys["createType"], "monolithicSparse");
    ASSERT_EQ(d.extents.size(), 3u);
    EXPECT_EQ(d.extents[0].access, "RDONLY");
    EXPECT_EQ(d.extents[0].file_name, "with  blanks.vmdk");
    EXPECT_EQ(d.extents[1].type, "FLAT");
    EXPECT_EQ(d.extents[2].file_name, "last.vmdk");
    EXPECT_TRUE(vmdk_descriptor_is_disk(d));

    const std::string zero = "RW 1 ZERO \"z\"\n";
    EXPECT_EQ(vmdk_descriptor_parse(zero.data(), zero.size(), &d), VMDK_ERROR_EXTENT_TYPE);
    std::string many;
    for (size_t i = 0; i <= VMDK_MAX_EXTENTS; i++)
        many += "RW 1 SPARSE \"e\"\n";
    EXPECT_EQ(vmdk_descriptor_parse(many.data(), many.size(), &d), VMDK_ERROR_LIMIT);
}

} // namespace
