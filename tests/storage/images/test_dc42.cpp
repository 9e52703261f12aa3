// DiskCopy 4.2 images made around mkfs.fat floppies by the test writer: the
// four disk sizes with and without tags read back as their source, the
// checksum by the documented rule, header fields that refuse a file, a data
// area cut short, and raw FAT images that are no image of this kind.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/images/dc42.h"
#include "storage/images/dc42_format.h"
#include "storage/images/dc42_writer.h"
#include "storage/images/fat_sources.h"
#include "storage/images/image_reader_fixture.h"
#include "storage/images/zorvant_image.h"

namespace {

using zvtest::DC42Field;

using DC42 = zvtest::ImageReaderTest<ZV::DiskImageDC42>;

TEST_F(DC42, FloppiesReadBackAsTheirSource)
{
    const struct {
        unsigned kib;
        size_t tags;
    } cases[] = {{400, 0}, {400, 9600}, {800, 19200}, {720, 0}, {1440, 0}, {1440, 9600}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.kib) + " KiB, " + std::to_string(c.tags) + " tag bytes");
        const std::string source = zvtest::makeFloppySource(dir / ("floppy" + std::to_string(count)), c.kib);
        auto image = open(zvtest::dc42Image(source, zvtest::patternBytes(c.tags, 7)));
        EXPECT_EQ(image->sectorSize(), 512u);
        ASSERT_EQ(image->numSectors(), source.size() / 512);
        EXPECT_EQ(image->imageSize(), 84 + source.size() + c.tags);
        EXPECT_TRUE(image->verify());
        std::string read;
        for (uint64_t n = 0; n < image->numSectors(); ++n)
            read += sector(*image, n);
        EXPECT_TRUE(read == source) << "the sectors differ from the floppy";
        EXPECT_EQ(sector(*image, image->numSectors()), "(failed)"); // the tags are not sectors
    }
    // The sizes the format names for an 800 KiB disk with tags.
    auto image = open(zvtest::dc42Image(std::string(819200, '\1'), std::string(19200, '\0')));
    EXPECT_EQ(image->numSectors(), 1600u);
    EXPECT_EQ(image->imageSize(), 838484u);
}

TEST(DC42Format, ChecksumByTheDocumentedRule)
{
    // Worked by hand: 0 + 0x1234 = 0x1234, rotated 0x91A; + 0xABCD = 0xB4E7,
    // rotated 0x80005A73; + 0xFFFF = 0x80015A72, rotated 0x4000AD39.
    const uint8_t words[] = {0x12, 0x34, 0xAB, 0xCD, 0xFF, 0xFF};
    EXPECT_EQ(ZV::dc42_checksum_update(0, words, 2), 0x91Au);
    EXPECT_EQ(ZV::dc42_checksum_update(0, words, 4), 0x80005A73u);
    EXPECT_EQ(ZV::dc42_checksum_update(0, words, 6), 0x4000AD39u);
    EXPECT_EQ(ZV::dc42_checksum_update(ZV::dc42_checksum_update(0, words, 2), words + 2, 4), 0x4000AD39u);
    // One sector: words 1 and 2, then 254 zero words: 0x40000001 rotated
    // right 254 times is rotated left twice, 0x00000005.
    uint8_t sector[512] = {0, 1, 0, 2};
    EXPECT_EQ(ZV::dc42_checksum_update(0, sector, sizeof sector), 5u);
    // All-zero data sums to 0, a stored value the header never accepts.
    const std::string zeros(409600, '\0');
    EXPECT_EQ(ZV::dc42_checksum_update(0, reinterpret_cast<const uint8_t *>(zeros.data()), zeros.size()), 0u);
    EXPECT_EQ(zvtest::dc42Checksum(std::string(reinterpret_cast<const char *>(sector), 512)), 5u);
}

TEST_F(DC42, HeaderFieldsDecide)
{
    const std::string good = zvtest::dc42Image(std::string(1474560, '\x5a'));
    const struct {
        const char *what;
        size_t offset;
        uint64_t value;
        int width;
        bool opens;
    } cases[] = {
        {"name length 63", DC42Field::nameLength, 63, 1, true},
        {"name length 64", DC42Field::nameLength, 64, 1, false},
        {"name length 255", DC42Field::nameLength, 255, 1, false},
        {"marker bytes 00 01", DC42Field::marker, 0x0001, 2, false},
        {"marker 0x0101", DC42Field::marker, 0x0101, 2, false},
        {"data size 0", DC42Field::dataSize, 0, 4, false},
        {"data size 1474048", DC42Field::dataSize, 1474048, 4, false},
        {"data size 1474560 + 512", DC42Field::dataSize, 1474560 + 512, 4, false},
        {"data size 409600", DC42Field::dataSize, 409600, 4, true},
        {"data size 737280", DC42Field::dataSize, 737280, 4, true},
        {"data size 0xFFFFFE00", DC42Field::dataSize, 0xFFFFFE00, 4, false},
        {"tag size 9600", DC42Field::tagSize, 9600, 4, true},
        {"tag size 19200", DC42Field::tagSize, 19200, 4, true},
        {"tag size 12", DC42Field::tagSize, 12, 4, false},
        {"data checksum 0", DC42Field::dataChecksum, 0, 4, false},
        {"tag checksum 0", DC42Field::tagChecksum, 0, 4, true},
        {"disk format 0xFF", DC42Field::diskFormat, 0xFF, 1, true},
    };
    for (const auto &c : cases) {
        std::string bytes = good;
        zvtest::putBigEndian(bytes, c.offset, c.value, c.width);
        EXPECT_EQ(!refused(bytes), c.opens) << c.what;
    }
    EXPECT_TRUE(refused(good.substr(0, 83))) << "a header cut short";
    EXPECT_TRUE(refused(""));
    EXPECT_FALSE(refused(good.substr(0, 84))) << "the header alone opens; its sectors do not read";
}

TEST_F(DC42, DataAreaCutShort)
{
    std::string data = zvtest::patternBytes(819200, 3);
    auto image = open(zvtest::dc42Image(data).substr(0, 84 + 10 * 512 + 300));
    EXPECT_EQ(image->numSectors(), 1600u);
    EXPECT_EQ(sector(*image, 9), data.substr(9 * 512, 512));
    EXPECT_EQ(sector(*image, 10), "(failed)") << "a sector only partly in the file";
    EXPECT_EQ(sector(*image, 11), "(failed)");
    EXPECT_EQ(sector(*image, 1599), "(failed)");
    EXPECT_FALSE(image->verify());
}

TEST_F(DC42, VerifyAndSectorReads)
{
    std::string data = zvtest::patternBytes(737280, 11);
    const std::string tags(9600, '\xEE');
    std::string bytes = zvtest::dc42Image(data, tags);
    auto image = open(bytes);
    EXPECT_TRUE(image->verify());
    // The last sector ends at 84 + data size - 1, before the tags.
    EXPECT_EQ(sector(*image, 1439), data.substr(737280 - 512));

    uint8_t out[1024];
    EXPECT_FALSE(image->readSector(0, nullptr, 512));
    EXPECT_FALSE(image->readSector(0, out, 256));
    EXPECT_FALSE(image->readSector(0, out, 1024));
    EXPECT_FALSE(image->readSector(1440, out, 512));
    EXPECT_FALSE(image->readSector(UINT64_MAX, out, 512));

    // One changed data byte: opens and reads, the checksum no longer matches.
    bytes[84 + 1000] ^= 0x01;
    auto changed = open(bytes);
    EXPECT_FALSE(changed->verify());
    EXPECT_EQ(sector(*changed, 1)[1000 - 512], char(data[1000] ^ 0x01));
    // A changed tag byte does not matter.
    bytes[84 + 1000] ^= 0x01;
    bytes[bytes.size() - 1] = 0;
    EXPECT_TRUE(open(bytes)->verify());
}

TEST_F(DC42, RawFatImagesAreNoSectorImage)
{
    const std::string floppy = zvtest::makeFloppySource(dir / "raw1440", 1440);
    zvtest::makeFat(dir / "raw64m", 16, 65536, "--invariant");
    for (const std::string &path : {dir / "raw1440", dir / "raw64m"}) {
        SCOPED_TRACE(path);
        auto s = std::make_shared<ZV::ByteStreamFile>(path);
        ASSERT_TRUE(s->open(ZV::ByteStream::modeRead));
        EXPECT_THROW(ZV::DiskImageDC42 image(s), std::invalid_argument);
        EXPECT_THROW(ZV::DiskImageZorvant image(s), std::invalid_argument);
    }
    // A small text file is no image either.
    EXPECT_TRUE(refused("just some notes\n"));
}

// The seeds in fuzz/corpus/dc42 are images this writer makes, and cut;
// ZV_WRITE_DC42_SEEDS=1 writes them anew.
TEST(DC42Seeds, FuzzCorpusIsWhatTheWriterMakes)
{
    // Zeros with a few patterned sectors: small in the repository, and
    // accepted (a non-zero checksum).
    const auto data = [](size_t size, uint32_t seed) {
        std::string bytes(size, '\0');
        for (size_t at = 0; at < size; at += 64 * 512)
            bytes.replace(at, 512, zvtest::patternBytes(512, seed + uint32_t(at)));
        return bytes;
    };
    const std::map<std::string, std::string> seeds = {
        {"full400", zvtest::dc42Image(data(409600, 1))},
        {"cut800tags", zvtest::dc42Image(data(819200, 2), std::string(19200, '\x11')).substr(0, 84 + 16 * 512)},
        {"cut1440", zvtest::dc42Image(data(1474560, 3)).substr(0, 84 + 4 * 512)},
        {"header720", zvtest::dc42Image(data(737280, 4)).substr(0, 84)},
    };
    const std::filesystem::path folder = std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/dc42";
    for (const auto &[name, bytes] : seeds) {
        if (std::getenv("ZV_WRITE_DC42_SEEDS")) {
            std::filesystem::create_directories(folder);
            zvtest::writeFile(folder / name, bytes);
        }
        EXPECT_EQ(zvtest::readFile(folder / name), bytes) << name;
    }
}

} // namespace
