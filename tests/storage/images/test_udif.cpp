// The UDIF reader: images from the test writer that third-party readers
// accept, read back byte for byte; damaged and hostile trailers and block
// tables refused at load; chunks that fail or come out short at read time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>

#include "foundation/buffer.h"
#include "storage/images/property_list.h"
#include "storage/images/udif.h"
#include "tests/storage/images/udif_fixture_support.h"

using namespace zvtest;

namespace {

// A buffer stream counting the reads that reach its medium.
class CountingStream : public ZV::ByteStreamBuffer {
public:
    explicit CountingStream(const std::string &bytes) : ZV::ByteStreamBuffer(&buffer_), buffer_(bytes.data(), bytes.size())
    {
        open(1);
    }
    int _read(void *destination, uint32_t count) override
    {
        ++reads;
        return ZV::ByteStreamBuffer::_read(destination, count);
    }
    int reads = 0;

private:
    ZV::Buffer buffer_;
};

std::shared_ptr<ZV::DiskImageUDIF> openBytes(const std::string &bytes)
{
    return std::make_shared<ZV::DiskImageUDIF>(std::make_shared<CountingStream>(bytes));
}

std::string readSectorOf(ZV::DiskImage &image, uint64_t sector)
{
    std::string out(512, '\0');
    if (!image.readSector(sector, out.data(), 512))
        return "<failed>";
    return out;
}

std::string readAll(ZV::DiskImage &image)
{
    std::string out;
    for (uint64_t s = 0; s < image.numSectors(); ++s)
        out += readSectorOf(image, s);
    return out;
}

// 64 sectors: data, zeros, data. Two tables: raw 8 + zlib 8; zero 16 +
// bzip2 16 + raw 16.
std::string smallSource()
{
    return patternBytes(16 * 512, 1) + std::string(16 * 512, '\0') + patternBytes(32 * 512, 2);
}

std::vector<UdifTablePlan> smallPlan()
{
    return {{"first (0)", {{udifRaw, 8}, {udifZlib, 8}}},
            {"second (1)", {{udifComment, 0}, {udifZero, 16}, {udifBzip2, 16}, {udifRaw, 16}}}};
}

// Entry field offsets inside table t's bytes.
size_t entry(size_t c, size_t field) { return udifMishEntries + c * udifEntrySize + field; }

} // namespace

// --------------------------------------------------------------- fixtures ---

struct UdifFixtureCase {
    const char *name;
    bool card;                                                      // else the floppy
    std::function<std::vector<UdifTablePlan>(const std::string &)> plan;
    bool relativeOffsets;
    std::vector<UdifReader> readers;                                // each must reproduce the source
};

// The case's name in test output, not its bytes.
void PrintTo(const UdifFixtureCase &c, std::ostream *os)
{
    *os << c.name;
}

class UdifFixtures : public testing::TestWithParam<UdifFixtureCase> {};

TEST_P(UdifFixtures, ThirdPartyReadersAndOursGiveTheSource)
{
    const UdifFixtureCase &c = GetParam();
    TempDir dir;
    const std::string source = c.card ? udifCardSource(dir) : udifFloppySource(dir);
    const UdifParts parts = udifBuild(source, c.plan(source), c.relativeOffsets);
    const std::string path = dir / "image.dmg";
    writeFile(path, udifAssemble(parts));
    for (UdifReader reader : c.readers) {
        ASSERT_TRUE(udifThirdPartyRead(reader, path, dir / "tool") == source)
            << udifReaderName(reader) << " does not reproduce the source: fixture refused";
    }

    auto stream = std::make_shared<ZV::ByteStreamFile>(path);
    ASSERT_TRUE(stream->open(1));
    ZV::DiskImageUDIF image(stream);
    EXPECT_EQ(image.sectorSize(), 512u);
    EXPECT_EQ(image.numSectors(), source.size() / 512);
    EXPECT_EQ(image.imageSize(), readFile(path).size());
    EXPECT_FALSE(image.verify());
    EXPECT_EQ(image.tables().size(), parts.tables.size());
    EXPECT_TRUE(readAll(image) == source);
    // Backwards and strided: every chunk found by search, not by the last one.
    for (uint64_t s = image.numSectors(); s-- > 0;) {
        if (s % 97 == 0 || s + 1 == image.numSectors()) {
            ASSERT_EQ(readSectorOf(image, s), source.substr(s * 512, 512)) << "sector " << s;
        }
    }
}

std::vector<UdifTablePlan> mixedTables(const std::string &source, uint32_t bulk)
{
    // A one-sector table, a table of every stored type, then the rest.
    std::vector<UdifTablePlan> plan = {{"Protective Master Boot Record (MBR : 0)", {{udifRaw, 1}}},
                                       {"part (1)", {{udifComment, 0}, {udifZlib, 100}, {bulk, 200}, {udifRaw, 50}}}};
    const std::string rest = source.substr(351 * 512);
    UdifTablePlan tail = udifUniformPlan(rest, udifZlib, 1000, udifIgnore, "rest (2)")[0];
    plan.push_back(tail);
    return plan;
}

INSTANTIATE_TEST_SUITE_P(
    Udif, UdifFixtures,
    testing::Values(
        UdifFixtureCase{"floppy_zlib", false, [](const std::string &s) { return udifUniformPlan(s, udifZlib); },
                        false, {UdifReader::qemu, UdifReader::dmg2img, UdifReader::sevenZip}},
        UdifFixtureCase{"floppy_bzip2", false, [](const std::string &s) { return udifUniformPlan(s, udifBzip2, 256); },
                        false, {UdifReader::dmg2img, UdifReader::sevenZip}},
        UdifFixtureCase{"floppy_raw_ignore", false,
                        [](const std::string &s) { return udifUniformPlan(s, udifRaw, 64, udifIgnore); }, false,
                        {UdifReader::qemu, UdifReader::dmg2img, UdifReader::sevenZip}},
        UdifFixtureCase{"card_tables_all_types", true,
                        [](const std::string &s) { return mixedTables(s, udifBzip2); }, false,
                        {UdifReader::dmg2img, UdifReader::sevenZip}},
        UdifFixtureCase{"card_relative_offsets", true, [](const std::string &s) { return mixedTables(s, udifZlib); },
                        true, {UdifReader::qemu, UdifReader::sevenZip}}),
    [](const testing::TestParamInfo<UdifFixtureCase> &info) { return std::string(info.param.name); });

TEST(UdifFixtures, PropertyListOfAnImageNamesItsTables)
{
    const UdifParts parts = udifBuild(smallSource(), smallPlan());
    const std::string xml = udifPlist(parts);
    const ZV::PropertyList plist = ZV::PropertyList::parse(xml.data(), xml.size());
    const ZV::PropertyList blkx = plist["resource-fork"]["blkx"];
    ASSERT_TRUE(blkx.isArray());
    ASSERT_EQ(blkx.array()->size(), 2u);
    for (size_t t = 0; t < 2; ++t) {
        const ZV::PropertyList data = (*blkx.array())[t]["Data"];
        ASSERT_TRUE(data.isData());
        EXPECT_EQ(std::string((const char *)data.data()->data(), data.data()->length()), parts.tables[t]);
        EXPECT_EQ(std::any_cast<std::shared_ptr<zorvant::u8string>>((*blkx.array())[t]["Name"].value())->str(),
                  parts.names[t]);
    }
}

// --------------------------------------------------------------- refusals ---

struct UdifDamage {
    UdifDamage(const char *n, std::function<void(UdifParts &)> p, std::function<void(std::string &)> f = nullptr,
               const char *l = nullptr)
        : name(n), parts(std::move(p)), file(std::move(f)), logged(l)
    {
    }
    const char *name;
    std::function<void(UdifParts &)> parts;  // before assembly (may be empty)
    std::function<void(std::string &)> file; // after assembly (may be empty)
    const char *logged;                      // a line the refusal prints, if any
};

// The case's name in test output, not its bytes.
void PrintTo(const UdifDamage &c, std::ostream *os)
{
    *os << c.name;
}

class UdifRefusals : public testing::TestWithParam<UdifDamage> {};

TEST_P(UdifRefusals, ImageIsRefused)
{
    const UdifDamage &d = GetParam();
    UdifParts parts = udifBuild(smallSource(), smallPlan());
    if (d.parts)
        d.parts(parts);
    std::string bytes = udifAssemble(parts);
    if (d.file)
        d.file(bytes);
    testing::internal::CaptureStdout();
    EXPECT_THROW(openBytes(bytes), std::invalid_argument);
    const std::string out = testing::internal::GetCapturedStdout();
    if (d.logged) {
        EXPECT_NE(out.find(d.logged), std::string::npos) << out;
    }
}

namespace {
void trailer64(std::string &bytes, size_t field, uint64_t value) { putBe64(bytes, bytes.size() - 512 + field, value); }
void trailer32(std::string &bytes, size_t field, uint32_t value) { putBe32(bytes, bytes.size() - 512 + field, value); }
uint64_t xmlOffsetOf(const std::string &bytes)
{
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i)
        value = value << 8 | uint8_t(bytes[bytes.size() - 512 + udifKolyXmlOffset + i]);
    return value;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Udif, UdifRefusals,
    testing::Values(
        UdifDamage{"shorter_than_a_trailer", nullptr, [](std::string &b) { b = b.substr(b.size() - 511); }},
        UdifDamage{"no_koly", nullptr, [](std::string &b) { b[b.size() - 512] = 'K'; }},
        UdifDamage{"version_3", nullptr, [](std::string &b) { trailer32(b, udifKolyVersion, 3); }},
        UdifDamage{"header_size_256", nullptr, [](std::string &b) { trailer32(b, udifKolyHeaderSize, 256); }},
        UdifDamage{"no_sectors", nullptr, [](std::string &b) { trailer64(b, udifKolySectors, 0); }},
        UdifDamage{"xml_into_the_trailer", nullptr,
                   [](std::string &b) { trailer64(b, udifKolyXmlLength, b.size() - 512 - xmlOffsetOf(b) + 1); }},
        UdifDamage{"xml_length_huge", nullptr, [](std::string &b) { trailer64(b, udifKolyXmlLength, 0xFFFFFFFF00000010); }},
        UdifDamage{"xml_offset_wraps", nullptr, [](std::string &b) { trailer64(b, udifKolyXmlOffset, ~0ull - 8); }},
        UdifDamage{"no_blkx", nullptr, [](std::string &b) {
                       const size_t at = b.find("blkx");
                       b.replace(at, 4, "blkz");
                   }},
        UdifDamage{"table_signature", [](UdifParts &p) { p.tables[1][0] = 'M'; }},
        UdifDamage{"table_cut", [](UdifParts &p) { p.tables[1].resize(p.tables[1].size() - 1); }},
        // 204 + 40 x count equals the real length in 32 bits only.
        UdifDamage{"chunk_count_wraps", [](UdifParts &p) {
                       putBe32(p.tables[1], udifMishChunkCount, uint32_t(5 + 0x20000000));
                   }},
        UdifDamage{"adc_chunk", [](UdifParts &p) { putBe32(p.tables[0], entry(1, udifEntryType), udifADC); }, nullptr,
                   "[2] UDIF: ADC compression images not supported"},
        UdifDamage{"lzfse_chunk", [](UdifParts &p) { putBe32(p.tables[0], entry(1, udifEntryType), 0x80000007); },
                   nullptr, "[2] UDIF: Unknown type 0x80000007"},
        UdifDamage{"lzma_chunk", [](UdifParts &p) { putBe32(p.tables[1], entry(2, udifEntryType), 0x80000008); },
                   nullptr, "[2] UDIF: Unknown type 0x80000008"},
        UdifDamage{"chunk_of_a_tebibyte",
                   [](UdifParts &p) {
                       putBe64(p.tables[1], entry(3, udifEntryCount), 1ull << 31);
                       putBe64(p.tables[1], udifMishCount, (1ull << 31) + 32);
                       p.sectors = (1ull << 31) + 64;
                   }},
        UdifDamage{"chunk_past_its_table", [](UdifParts &p) { putBe64(p.tables[0], entry(1, udifEntryCount), 9); }},
        UdifDamage{"chunk_first_wraps", [](UdifParts &p) { putBe64(p.tables[0], entry(1, udifEntryFirst), ~0ull - 2); }},
        UdifDamage{"table_past_the_image", [](UdifParts &p) { putBe64(p.tables[1], udifMishCount, 49); }},
        UdifDamage{"table_first_wraps", [](UdifParts &p) { putBe64(p.tables[1], udifMishFirst, ~0ull - 20); }},
        UdifDamage{"raw_stores_more_than_its_sectors",
                   [](UdifParts &p) { putBe64(p.tables[0], entry(0, udifEntryLength), 8 * 512 + 1); }},
        UdifDamage{"stored_bytes_past_the_file",
                   [](UdifParts &p) { putBe64(p.tables[1], entry(2, udifEntryOffset), 1ull << 40); }},
        UdifDamage{"stored_offset_wraps", [](UdifParts &p) { putBe64(p.tables[1], entry(2, udifEntryOffset), ~0ull); }},
        UdifDamage{"data_offset_past_the_file", [](UdifParts &p) { putBe64(p.tables[0], udifMishDataOffset, 1ull << 40); }},
        UdifDamage{"tables_overlap", [](UdifParts &p) { putBe64(p.tables[1], udifMishFirst, 8); }}),
    [](const testing::TestParamInfo<UdifDamage> &info) { return std::string(info.param.name); });

// A chunk count for which 204 + 40 x count equals the table's length only in
// 32 bits is refused before any entry is read: the bytes just past the table
// hold an ADC entry, which the parser would report if it read that far.
TEST(UdifTables, WrappingChunkCountIsRefusedBeforeReadingPastTheTable)
{
    std::string table = udifBuild(smallSource(), smallPlan()).tables[1];
    const size_t size = table.size();
    putBe32(table, udifMishChunkCount, uint32_t((size - udifMishEntries) / udifEntrySize + 0x20000000));
    std::string past(udifEntrySize, '\0');
    putBe32(past, udifEntryType, udifADC);
    table += past;
    ZV::UDIFBlockTable parsed;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZV::udif_block_table_parse(reinterpret_cast<const uint8_t *>(table.data()), size, &parsed),
              ZV::kUDIFInvalid);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("ADC"), std::string::npos) << "read past the table: " << out;
}

// ------------------------------------------------------------------ reads ---

TEST(UdifReads, SmallImageReadsItsSourceAndRefusesBadRequests)
{
    const std::string source = smallSource();
    auto image = openBytes(udifAssemble(udifBuild(source, smallPlan())));
    EXPECT_TRUE(readAll(*image) == source);
    std::string sector(4096, '\0');
    EXPECT_FALSE(image->readSector(0, sector.data(), 4096));
    EXPECT_FALSE(image->readSector(0, nullptr, 512));
    EXPECT_FALSE(image->readSector(64, sector.data(), 512));
    EXPECT_FALSE(image->readSector(~0ull, sector.data(), 512));
}

TEST(UdifReads, ChunkIsDecompressedOnceAndZerosNeverTouchTheFile)
{
    const std::string source = smallSource();
    auto stream = std::make_shared<CountingStream>(udifAssemble(udifBuild(source, smallPlan())));
    ZV::DiskImageUDIF image(stream);
    EXPECT_EQ(readSectorOf(image, 8), source.substr(8 * 512, 512)); // the zlib chunk, sectors 8-15
    const int afterFirst = stream->reads;
    for (uint64_t s = 9; s < 16; ++s)
        EXPECT_EQ(readSectorOf(image, s), source.substr(s * 512, 512));
    for (uint64_t s = 16; s < 32; ++s) // the zero chunk
        EXPECT_EQ(readSectorOf(image, s), std::string(512, '\0'));
    EXPECT_EQ(stream->reads, afterFirst);
    EXPECT_EQ(readSectorOf(image, 15), source.substr(15 * 512, 512)); // still cached after the zeros
    EXPECT_EQ(stream->reads, afterFirst);
}

TEST(UdifReads, SectorsNoChunkCoversFailAndTheRestRead)
{
    const std::string source = smallSource();
    UdifParts parts = udifBuild(source, smallPlan());
    parts.sectors += 8; // the trailer claims 8 sectors no table holds
    auto image = openBytes(udifAssemble(parts));
    EXPECT_EQ(image->numSectors(), 72u);
    EXPECT_EQ(readSectorOf(*image, 63), source.substr(63 * 512, 512));
    EXPECT_EQ(readSectorOf(*image, 64), "<failed>");
    EXPECT_EQ(readSectorOf(*image, 71), "<failed>");
}

// Chunk 1 of table 0 (zlib, sectors 8-15) gets stored bytes appended to the
// data fork; the chunk's entry points at them.
std::string withZlibChunkStored(const std::string &stored)
{
    UdifParts parts = udifBuild(smallSource(), smallPlan());
    putBe64(parts.tables[0], entry(1, udifEntryOffset), parts.dataFork.size());
    putBe64(parts.tables[0], entry(1, udifEntryLength), stored.size());
    parts.dataFork += stored;
    return udifAssemble(parts);
}

TEST(UdifReads, BrokenCompressedChunksFailWithoutStaleBytes)
{
    const std::string source = smallSource();
    const std::string chunk = source.substr(8 * 512, 8 * 512);
    const std::string zlib = zlibCompress(chunk);
    std::string corrupt = zlib;
    for (size_t i = zlib.size() / 2; i < zlib.size(); ++i)
        corrupt[i] = char(~corrupt[i]);
    const struct {
        const char *name;
        std::string stored;
    } cases[] = {
        {"truncated stream", zlib.substr(0, zlib.size() - 9)}, // "Zlib stream ended incomplete"
        {"no stored bytes", ""},                                // never a "last result" to trust
        {"corrupt second half", corrupt},                       // "Inflate error"
        {"inflates past its sectors", zlibCompress(chunk + chunk)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto image = openBytes(withZlibChunkStored(c.stored));
        EXPECT_EQ(readSectorOf(*image, 0), source.substr(0, 512)); // raw chunk 0-7 now cached
        EXPECT_EQ(readSectorOf(*image, 8), "<failed>");
        EXPECT_EQ(readSectorOf(*image, 15), "<failed>");
        // The chunk buffer was overwritten by the failed chunk: nothing of it
        // may be served as the earlier chunk's bytes.
        for (uint64_t s = 0; s < 8; ++s)
            EXPECT_EQ(readSectorOf(*image, s), source.substr(s * 512, 512)) << "sector " << s;
    }
}

TEST(UdifReads, ShortChunksReadZerosAfterTheirBytes)
{
    const std::string source = smallSource();
    // A zlib chunk holding only its first sector, and a raw chunk storing 700 bytes.
    UdifParts parts = udifBuild(source, smallPlan());
    putBe64(parts.tables[0], entry(1, udifEntryOffset), parts.dataFork.size());
    const std::string firstSector = zlibCompress(source.substr(8 * 512, 512));
    putBe64(parts.tables[0], entry(1, udifEntryLength), firstSector.size());
    parts.dataFork += firstSector;
    putBe64(parts.tables[0], entry(0, udifEntryLength), 700);
    auto image = openBytes(udifAssemble(parts));
    EXPECT_EQ(readSectorOf(*image, 48), source.substr(48 * 512, 512)); // another raw chunk into the buffer
    EXPECT_EQ(readSectorOf(*image, 8), source.substr(8 * 512, 512));
    for (uint64_t s = 9; s < 16; ++s)
        EXPECT_EQ(readSectorOf(*image, s), std::string(512, '\0')) << "sector " << s;
    EXPECT_EQ(readSectorOf(*image, 1), source.substr(512, 188) + std::string(324, '\0'));
    EXPECT_EQ(readSectorOf(*image, 2), std::string(512, '\0'));
}

TEST(UdifReads, SparseImageOfManyTablesFindsEverySector)
{
    // 400 tables of one raw and one zero chunk, listed in reverse order.
    std::string source;
    std::vector<UdifTablePlan> plan;
    for (int t = 0; t < 400; ++t) {
        source += patternBytes(512, t) + std::string(3 * 512, '\0');
        plan.push_back({"t" + std::to_string(t), {{udifRaw, 1}, {udifZero, 3}}});
    }
    UdifParts parts = udifBuild(source, plan);
    std::reverse(parts.tables.begin(), parts.tables.end());
    std::reverse(parts.names.begin(), parts.names.end());
    auto image = openBytes(udifAssemble(parts));
    EXPECT_TRUE(readAll(*image) == source);
    for (uint64_t s = image->numSectors(); s-- > 0;) {
        ASSERT_EQ(readSectorOf(*image, s), source.substr(s * 512, 512)) << "sector " << s;
    }
}

// ------------------------------------------------------------ fuzz seeds ---

// The seeds in fuzz/corpus/udif are small images from the writer:
// "two_tables" (raw, zlib, comment, zero, bzip2), "zlib_ignore" (one table
// of zlib and ignored chunks), "relative_offsets" (two tables with data
// offsets of their own). ZV_WRITE_UDIF_SEEDS=1 writes them anew.
TEST(UdifFuzzSeeds, CorpusIsWhatTheWriterMakes)
{
    const std::string source = smallSource();
    const std::map<std::string, std::string> made = {
        {"two_tables", udifAssemble(udifBuild(source, smallPlan()))},
        {"zlib_ignore", udifAssemble(udifBuild(source, udifUniformPlan(source, udifZlib, 8, udifIgnore)))},
        {"relative_offsets", udifAssemble(udifBuild(source, smallPlan(), true))},
    };
    const std::string folder = (std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/udif/").string();
    for (const auto &[name, bytes] : made) {
        if (std::getenv("ZV_WRITE_UDIF_SEEDS"))
            writeFile(folder + name, bytes);
        EXPECT_TRUE(readFile(folder + name) == bytes) << name;
        EXPECT_TRUE(readAll(*openBytes(bytes)) == source) << name;
    }
}
