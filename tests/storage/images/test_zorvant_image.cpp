// The own sector-image format, made by the test writer around mkfs.fat
// floppies and cards with 512- and 4096-byte sectors: round trips through
// every chunk kind and both compressions, the format's own edge cases, and
// hostile headers, footers and indexes that must be refused at open or make
// only the affected sector read fail, never serve another chunk's bytes.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/images/fat_sources.h"
#include "storage/images/image_reader_fixture.h"
#include "storage/images/zorvant_image.h"
#include "storage/images/zorvant_image_format.h"
#include "storage/images/zorvant_image_writer.h"

namespace {

using zvtest::ZorvantStore;
using zvtest::zorvantEntry;
using zvtest::zorvantRaw;

constexpr uint32_t kEmpty = 0, kCompressed = 1, kPlain = 2;

using Zorvant = zvtest::ImageReaderTest<ZV::DiskImageZorvant>;

TEST_F(Zorvant, FatImagesReadBackAsTheirSource)
{
    const std::string floppy = zvtest::makeFloppySource(dir / "floppy", 1440);
    const std::string card = zvtest::makeCardSource(dir / "card", 512);
    const std::string card4k = zvtest::makeCardSource(dir / "card4k", 4096);
    const struct {
        const char *what;
        const std::string &source;
        zvtest::ZorvantWriterOptions options;
        std::vector<uint32_t> kinds; // kinds the writer must have used
    } cases[] = {
        {"floppy, zlib", floppy, {65536, 0, 512, ZorvantStore::Auto}, {kEmpty, kCompressed, kPlain}},
        {"floppy, bzip2, 12 KiB chunks", floppy, {12288, 1, 512, ZorvantStore::Auto}, {kEmpty, kCompressed, kPlain}},
        {"floppy, one sector a chunk", floppy, {512, 0, 512, ZorvantStore::Compressed}, {kCompressed}},
        {"floppy, plain", floppy, {65536, 0, 512, ZorvantStore::Plain}, {kPlain}},
        {"card, zlib, 1 MiB chunks", card, {1 << 20, 0, 512, ZorvantStore::Auto}, {kEmpty, kCompressed}},
        {"card, bzip2", card, {65536, 1, 512, ZorvantStore::Compressed}, {kCompressed}},
        {"4096 card, zlib", card4k, {65536, 0, 4096, ZorvantStore::Auto}, {kEmpty, kCompressed, kPlain}},
        {"4096 card, bzip2, one sector a chunk", card4k, {4096, 1, 4096, ZorvantStore::Auto},
         {kEmpty, kCompressed, kPlain}},
        // 1440 KiB is no whole number of 1 MiB chunks: a short last chunk.
        {"floppy, short last chunk", floppy, {1 << 20, 0, 512, ZorvantStore::Plain}, {kPlain}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        zvtest::ZorvantLayout layout;
        auto image = open(zvtest::zorvantImage(c.source, c.options, &layout));
        std::map<uint32_t, int> used;
        for (uint32_t entry : layout.entries)
            used[entry >> 28]++;
        for (uint32_t kind : c.kinds)
            EXPECT_GT(used[kind], 0) << "kind " << kind << " not written";
        EXPECT_EQ(image->sectorSize(), c.options.sectorSize);
        ASSERT_EQ(image->numSectors(), c.source.size() / c.options.sectorSize);
        EXPECT_EQ(image->imageSize(), layout.entryCountOffset + 4);
        EXPECT_FALSE(image->verify());
        EXPECT_TRUE(allSectors(*image) == c.source) << "the sectors differ from the source";
        // Backwards, so that every sector needs its chunk loaded again.
        const uint64_t last = image->numSectors() - 1;
        EXPECT_EQ(sector(*image, last), c.source.substr(last * c.options.sectorSize));
        EXPECT_EQ(sector(*image, 0), c.source.substr(0, c.options.sectorSize));
        EXPECT_EQ(sector(*image, last + 1), "(failed)");
    }
}

TEST_F(Zorvant, FormatEdgeCases)
{
    // One empty entry: 128 zero sectors.
    auto zeros = open(zorvantRaw(65536, 0, 0, "", {zorvantEntry(kEmpty, 0)}, 128));
    EXPECT_EQ(zeros->numSectors(), 128u);
    EXPECT_EQ(zeros->sectorSize(), 512u);
    EXPECT_EQ(allSectors(*zeros), std::string(65536, '\0'));

    // 6144 is no multiple of 4096 (but of 512).
    EXPECT_TRUE(refused(zorvantRaw(6144, 0, 1, "", {zorvantEntry(kEmpty, 0)}, 1)));
    EXPECT_FALSE(refused(zorvantRaw(6144, 0, 0, "", {zorvantEntry(kEmpty, 0)}, 1)));
    // Kind 3.
    EXPECT_TRUE(refused(zorvantRaw(65536, 0, 0, "", {zorvantEntry(3, 0)}, 1)));

    // Stored lengths 100, 0 and 50 place the chunks at 16, 116 and 116.
    const std::string a = zvtest::patternBytes(100, 1), c = zvtest::patternBytes(50, 2);
    const std::vector<uint32_t> entries = {zorvantEntry(kPlain, 100), zorvantEntry(kPlain, 0), zorvantEntry(kPlain, 50)};
    auto placed = open(zorvantRaw(512, 0, 0, a + c, entries, 3));
    EXPECT_EQ(sector(*placed, 0), a + std::string(412, '\0'));
    EXPECT_EQ(sector(*placed, 1), std::string(512, '\0'));
    EXPECT_EQ(sector(*placed, 2), c + std::string(462, '\0'));
    std::string bytes;
    for (uint32_t entry : entries)
        bytes = zvtest::appendLittleEndian(bytes, entry, 4);
    ZV::ZorvantHeader header;
    header.chunkSize = header.sectorsPerChunk = 512, header.sectorSize = 1;
    ZV::ZorvantFooter footer;
    footer.entryCount = 3, footer.sectorCount = 3, footer.indexOffset = 16 + 150;
    ZV::ZorvantIndex index;
    ASSERT_TRUE(ZV::zorvant_index_append(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), header,
                                         footer, &index));
    EXPECT_EQ(index.offsets, (std::vector<uint64_t>{16, 116, 116}));
    EXPECT_EQ(index.largestStored, 100u);

    // A plain chunk of 65536 bytes reads back exactly, sector by sector.
    const std::string plain = zvtest::patternBytes(65536, 9);
    auto stored = open(zorvantRaw(65536, 0, 0, plain, {zorvantEntry(kPlain, 65536)}, 128));
    EXPECT_TRUE(allSectors(*stored) == plain);
    uint8_t out[4096];
    EXPECT_FALSE(stored->readSector(0, out, 256));
    EXPECT_FALSE(stored->readSector(0, nullptr, 512));
    EXPECT_FALSE(stored->readSector(128, out, 512));
}

// The size of a sector read is the image's sector size, never more: a
// larger size would copy past the chunk's buffer.
TEST_F(Zorvant, SectorReadSizeIsTheSectorSize)
{
    const std::string data = zvtest::patternBytes(8192, 4);
    auto image = open(zvtest::zorvantImage(data, {4096, 0, 512, ZorvantStore::Plain}));
    uint8_t out[8192];
    EXPECT_FALSE(image->readSector(7, out, 1024)) << "the last sector of a chunk read as two";
    EXPECT_FALSE(image->readSector(0, out, 4096));
    EXPECT_TRUE(image->readSector(7, out, 512));
    auto image4k = open(zvtest::zorvantImage(data, {4096, 0, 4096, ZorvantStore::Plain}));
    EXPECT_FALSE(image4k->readSector(1, out, 8192));
    EXPECT_FALSE(image4k->readSector(1, out, 512));
    EXPECT_TRUE(image4k->readSector(1, out, 4096));
    EXPECT_EQ(std::memcmp(out, data.data() + 4096, 4096), 0);
}

TEST_F(Zorvant, HostileNumbersAreRefusedAtOpen)
{
    const uint32_t maxChunk = 64u << 20;
    const std::string some = zvtest::patternBytes(1024, 5);
    const struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"bad magic", "ZRVTDSK2" + zorvantRaw(512, 0, 0, "", {0}, 1).substr(8)},
        {"header only", zorvantRaw(512, 0, 0, "", {}, 0).substr(0, 16)},
        {"chunk size 0", zorvantRaw(0, 0, 0, "", {0}, 1)},
        {"chunk size not a sector multiple", zorvantRaw(1000, 0, 0, "", {0}, 1)},
        {"chunk size above the cap", zorvantRaw(maxChunk + 512, 0, 0, "", {0}, 1)},
        {"chunk size 0xFFFFF000", zorvantRaw(0xFFFFF000u, 0, 1, "", {0}, 1)},
        {"compression 2", zorvantRaw(512, 2, 0, "", {0}, 1)},
        {"sector code 2", zorvantRaw(512, 0, 2, "", {0}, 1)},
        {"sector count 0", zorvantRaw(512, 0, 0, "", {0}, 0)},
        {"entry count 0", zorvantRaw(512, 0, 0, "", {}, 1)},
        {"entry count beyond the file", zorvantRaw(512, 0, 0, "", {0}, 1, 0xFFFFFFFF)},
        // 16 + 4N + 12 = 32 > 28 bytes: the index would overlap the header.
        {"index overlapping the header", zorvantRaw(512, 0, 0, "", {}, 1, 1)},
        {"stored length above the chunk size", zorvantRaw(512, 0, 0, some, {zorvantEntry(kPlain, 1024)}, 1)},
        {"empty entry longer than the chunk", zorvantRaw(512, 0, 0, some, {zorvantEntry(kEmpty, 1024)}, 1)},
        {"stored bytes running into the index",
         zorvantRaw(512, 0, 0, some.substr(0, 512), {zorvantEntry(kPlain, 512), zorvantEntry(kPlain, 512)}, 2)},
        {"stored bytes past the file", zorvantRaw(512, 0, 0, "", {zorvantEntry(kCompressed, 300)}, 1)},
        {"sector count past the index", zorvantRaw(512, 0, 0, "", {0, 0}, 3)},
        {"4096 sectors past the index", zorvantRaw(8192, 0, 1, "", {0}, 3)},
        {"sector count 2^64 - 1", zorvantRaw(512, 0, 0, "", {0}, UINT64_MAX)},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(refused(c.bytes)) << c.what;
    // The bounds themselves are accepted.
    EXPECT_FALSE(refused(zorvantRaw(maxChunk, 1, 1, "", {0}, maxChunk / 4096)));
    EXPECT_FALSE(refused(zorvantRaw(512, 0, 0, some.substr(0, 512), {zorvantEntry(kPlain, 512)}, 1)));
    EXPECT_FALSE(refused(zorvantRaw(512, 0, 0, "", {0, 0}, 2)));
    EXPECT_FALSE(refused(zorvantRaw(512, 0, 0, "", {}, 1, 0).substr(0, 0) + zorvantRaw(512, 0, 0, "", {0}, 1)));
}

// An index of more entries than the cap (in a sparse file of 256 MiB):
// refused before the entries are read.
TEST_F(Zorvant, IndexEntriesAreCapped)
{
    const uint64_t entries = (1u << 26) + 1;
    const std::string path = dir / "sparse";
    const std::string head = zorvantRaw(512, 0, 0, "", {}, 0).substr(0, 16);
    const std::string foot = zorvantRaw(512, 0, 0, "", {}, 1, int64_t(entries)).substr(16);
    zvtest::writeFile(path, head);
    const uint64_t length = 16 + 4 * entries + 12;
    ASSERT_EQ(truncate(path.c_str(), off_t(length - 12)), 0);
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << foot;
    }
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    ASSERT_EQ(uint64_t(info.st_size), length);
    EXPECT_THROW(ZV::DiskImageZorvant image(streamAt(path)), std::invalid_argument);
}

// A chunk whose stored or decompressed bytes are fewer than the chunk size
// reads as zeros past them, never as bytes left from the chunk before.
TEST_F(Zorvant, ShortChunksReadZerosNotEarlierBytes)
{
    // Half incompressible: the compressed chunk fits the chunk size.
    const std::string full = zvtest::patternBytes(2048, 21) + std::string(2048, 'f');
    for (int compression : {0, 1}) {
        SCOPED_TRACE(compression == 0 ? "zlib" : "bzip2");
        const std::string half = zvtest::patternBytes(1000, 22);
        const std::string packedFull = compression == 0 ? zvtest::zlibCompress(full) : zvtest::bzip2Compress(full);
        const std::string packedHalf = compression == 0 ? zvtest::zlibCompress(half) : zvtest::bzip2Compress(half);
        const std::string plainHalf = half.substr(0, 700);
        // Chunks: 0 plain full, 1 plain short, 2 compressed full, 3 compressed short.
        auto image = open(zorvantRaw(4096, uint8_t(compression), 0, full + plainHalf + packedFull + packedHalf,
                                     {zorvantEntry(kPlain, 4096), zorvantEntry(kPlain, 700),
                                      zorvantEntry(kCompressed, uint32_t(packedFull.size())),
                                      zorvantEntry(kCompressed, uint32_t(packedHalf.size()))},
                                     32));
        EXPECT_EQ(sector(*image, 7), full.substr(3584));
        EXPECT_EQ(sector(*image, 9), plainHalf.substr(512) + std::string(324, '\0'));
        EXPECT_EQ(sector(*image, 15), std::string(512, '\0'));
        EXPECT_EQ(sector(*image, 23), full.substr(3584));
        EXPECT_EQ(sector(*image, 25), half.substr(512) + std::string(24, '\0'));
        EXPECT_EQ(sector(*image, 31), std::string(512, '\0'));
    }
}

// A chunk that fails to load reuses the buffers of the chunk held before:
// that one must be read afresh, not served from what the failure left.
TEST_F(Zorvant, FailedLoadForgetsTheHeldChunk)
{
    const std::string first = zvtest::patternBytes(2048, 31) + std::string(2048, '1');
    const std::string broken = zvtest::zlibCompress(zvtest::patternBytes(4096, 32)).substr(0, 3000);
    for (bool plainFirst : {true, false}) {
        SCOPED_TRACE(plainFirst ? "plain chunk held" : "compressed chunk held");
        const std::string stored = plainFirst ? first : zvtest::zlibCompress(first);
        auto image = open(zorvantRaw(4096, 0, 0, stored + broken,
                                     {zorvantEntry(plainFirst ? kPlain : kCompressed, uint32_t(stored.size())),
                                      zorvantEntry(kCompressed, uint32_t(broken.size()))},
                                     16));
        EXPECT_EQ(sector(*image, 0), first.substr(0, 512));
        EXPECT_EQ(sector(*image, 8), "(failed)");
        EXPECT_EQ(sector(*image, 1), first.substr(512, 512)) << "served from a failed load";
        EXPECT_EQ(sector(*image, 9), "(failed)") << "a failed chunk is not kept";
    }
}

TEST_F(Zorvant, DamagedChunksFailOnlyTheirSectors)
{
    const std::string data = zvtest::patternBytes(4096, 41) + std::string(4096, 'q') + zvtest::patternBytes(4096, 42);
    for (int compression : {0, 1}) {
        SCOPED_TRACE(compression == 0 ? "zlib" : "bzip2");
        zvtest::ZorvantLayout layout;
        const std::string good =
            zvtest::zorvantImage(data, {4096, compression, 512, ZorvantStore::Compressed}, &layout);
        const uint64_t middle = layout.offsets[1];
        const uint32_t length = layout.entries[1] & 0x0FFFFFFF;
        const struct {
            const char *what;
            std::string bytes;
        } cases[] = {
            {"stream cut short", [&] {
                 std::string b = good;
                 zvtest::putLittleEndian(b, layout.indexOffset + 4, zorvantEntry(kCompressed, length - 5), 4);
                 return b;
             }()},
            {"stored length 0", [&] {
                 std::string b = good;
                 zvtest::putLittleEndian(b, layout.indexOffset + 4, zorvantEntry(kCompressed, 0), 4);
                 return b;
             }()},
            {"garbage", [&] {
                 std::string b = good;
                 for (uint32_t i = 0; i < length; ++i)
                     b[middle + i] = char(0xA5 ^ i);
                 return b;
             }()},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            auto image = open(c.bytes);
            EXPECT_EQ(sector(*image, 8), "(failed)");
            EXPECT_EQ(sector(*image, 15), "(failed)");
            EXPECT_EQ(sector(*image, 0), data.substr(0, 512));
            // A changed stored length moves the chunk after it; garbage
            // leaves the others as they were.
            if (std::string(c.what) == "garbage") {
                EXPECT_EQ(sector(*image, 23), data.substr(23 * 512, 512));
            }
        }
    }
}

// The seeds in fuzz/corpus/zorvant_image are images this writer makes;
// ZV_WRITE_ZORVANT_IMAGE_SEEDS=1 writes them anew.
TEST(ZorvantSeeds, FuzzCorpusIsWhatTheWriterMakes)
{
    std::string text;
    for (int i = 0; text.size() < 4096; ++i)
        text += "line " + std::to_string(i) + " of the notes\n";
    const std::string data = std::string(4096, '\0') + text.substr(0, 4096) + zvtest::patternBytes(4096, 51) +
                             text.substr(0, 2048) + zvtest::patternBytes(2048, 52);
    const std::string a = zvtest::patternBytes(100, 1), c = zvtest::patternBytes(50, 2);
    const std::map<std::string, std::string> seeds = {
        {"zlib512", zvtest::zorvantImage(data, {4096, 0, 512, ZorvantStore::Auto})},
        {"bzip2_512", zvtest::zorvantImage(data, {4096, 1, 512, ZorvantStore::Auto})},
        {"zlib4096", zvtest::zorvantImage(data, {8192, 0, 4096, ZorvantStore::Compressed})},
        {"placed", zorvantRaw(512, 0, 0, a + c, {zorvantEntry(kPlain, 100), zorvantEntry(kPlain, 0),
                                                  zorvantEntry(kPlain, 50)}, 3)},
        {"empty", zorvantRaw(65536, 0, 0, "", {zorvantEntry(kEmpty, 0)}, 128)},
        {"short_last", zvtest::zorvantImage(data.substr(0, 10240), {8192, 0, 512, ZorvantStore::Auto})},
    };
    const std::filesystem::path folder =
        std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/zorvant_image";
    for (const auto &[name, bytes] : seeds) {
        if (std::getenv("ZV_WRITE_ZORVANT_IMAGE_SEEDS")) {
            std::filesystem::create_directories(folder);
            zvtest::writeFile(folder / name, bytes);
        }
        EXPECT_EQ(zvtest::readFile(folder / name), bytes) << name;
    }
}

} // namespace
