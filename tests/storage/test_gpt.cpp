// GUIDs; GPT reading of sfdisk and sgdisk images and of damaged tables; GPT
// writing checked by sgdisk -v and sfdisk -J on image files, on file streams
// posing as large-sector disks and on a 4096-byte-sector loop device.
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/gpt.h"
#include "storage/raw_disk.h"
#include "support/test_support.h"

namespace ZV {
void PrintTo(const GPTPartition &p, std::ostream *out)
{
    *out << p.type.toString() << " " << p.unique.toString() << " " << p.first << ".." << p.last << " " << p.name;
}
} // namespace ZV

namespace {

using ZV::GPT;
using ZV::GPTPartition;
using ZV::Guid;
using Bytes = std::vector<uint8_t>;
constexpr int kRead = ZV::ByteStream::modeRead, kReadWrite = ZV::ByteStream::modeReadWrite;

// A file stream posing as a disk with sectors of `size` bytes.
struct SectorFile : ZV::ByteStreamFile {
    SectorFile(const std::string &path, uint32_t size) : ZV::ByteStreamFile(path), size(size) {}
    uint32_t blockSize() override { return size; }
    uint32_t size;
};

// sectorSize 0: a raw disk.
std::shared_ptr<ZV::ByteStream> openStream(const std::string &path, int mode, uint32_t sectorSize = 512)
{
    std::shared_ptr<ZV::ByteStream> stream = std::make_shared<ZV::ByteStreamRawDisk>(path);
    if (sectorSize != 0)
        stream = std::make_shared<SectorFile>(path, sectorSize);
    if (!stream->open(mode))
        throw std::runtime_error("cannot open " + path);
    return stream;
}

Guid guid(const std::string &text)
{
    Guid g;
    if (!Guid::parse(text, &g))
        throw std::invalid_argument(text);
    return g;
}

// The partitions `sfdisk -J` lists, as entries.
std::vector<GPTPartition> sfdiskList(const std::string &device)
{
    const std::string json = zvtest::mustRun("sfdisk -J '" + device + "'");
    const std::regex row(R"re("start":\s*(\d+),\s*"size":\s*(\d+),\s*"type":\s*"([^"]+)",\s*)re"
                         R"re("uuid":\s*"([^"]+)"(,\s*"name":\s*"([^"]*)")?)re");
    std::vector<GPTPartition> rows;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), row); it != std::sregex_iterator(); ++it) {
        const uint64_t start = std::stoull((*it)[1]);
        rows.emplace_back(guid((*it)[3]), guid((*it)[4]), start, start + std::stoull((*it)[2]) - 1, (*it)[6]);
    }
    return rows;
}

void poke(const std::string &path, uint64_t at, const Bytes &bytes)
{
    ASSERT_TRUE(std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
                    .seekp(std::streamoff(at))
                    .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size())));
}

Bytes peek(const std::string &path, uint64_t at, size_t count)
{
    Bytes bytes(count);
    std::ifstream f(path, std::ios::binary);
    if (!f.seekg(std::streamoff(at)).read(reinterpret_cast<char *>(bytes.data()), std::streamsize(count)))
        bytes.clear(); // a short read never passes for zeros
    return bytes;
}

// v as n little-endian bytes.
Bytes le(uint64_t v, int n)
{
    Bytes bytes;
    for (int i = 0; i < n; ++i)
        bytes.push_back(uint8_t(v >> (8 * i)));
    return bytes;
}

// Makes the primary entry-array CRC (512-byte sectors) match the bytes its header
// announces (at the entry LBA, count x size as a 32-bit product), as a trusting reader would.
void fixPrimaryArrayCrc(const std::string &path)
{
    const Bytes h = peek(path, 512, 92);
    auto field = [&h](int at, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | h.at(size_t(at + i));
        return v;
    };
    const Bytes array = peek(path, field(72, 8) * 512, uint32_t(field(80, 4) * field(84, 4)));
    poke(path, 512 + 88, le(crc32(0L, array.data(), uInt(array.size())), 4));
}

std::string makeImage(const zvtest::TempDir &dir, const std::string &name, uint64_t size)
{
    zvtest::writeFile(dir / name, "");
    std::filesystem::resize_file(dir / name, size);
    return dir / name;
}

} // namespace

TEST(Guid, ConstantsParseAndRandom)
{
    const std::pair<Guid, const char *> constants[] = {{Guid::ESP, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"},
                                                       {Guid::HFSPlus, "48465300-0000-11AA-AA11-00306543ECAC"},
                                                       {Guid::AppleBoot, "426F6F74-0000-11AA-AA11-00306543ECAC"},
                                                       {Guid::Null, "00000000-0000-0000-0000-000000000000"}};
    for (const auto &[constant, text] : constants) {
        EXPECT_EQ(constant.toString(), text);
        EXPECT_EQ(guid(text), constant);
        EXPECT_EQ(constant.isNull(), text[0] == '0') << text;
    }
    Guid unchanged = Guid::ESP;
    EXPECT_FALSE(Guid::parse("C12A7328-F81F-11D2-BA4B-00A0C93EC93G", &unchanged));
    EXPECT_EQ(unchanged, Guid::ESP);
    for (size_t size : {0, 15, 17})
        EXPECT_THROW(Guid(Bytes(size, 1)), std::invalid_argument) << size;
    std::set<std::string> seen; // version 4, variant 10, where the text form shows them
    for (int i = 0; i < 64; ++i) {
        const std::string text = *seen.insert(Guid::random().toString()).first;
        EXPECT_TRUE(text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos) << text;
    }
    EXPECT_EQ(seen.size(), 64u);
}

// Tables made by sfdisk (with a gap entry) and sgdisk (256 entries), then damaged
// copies of the sfdisk one. Guards the entry count and size taken from the disk
// (a wrapping product, entries under 128 bytes, huge arrays: invalid, never read
// out of bounds) and lenient name decoding (invalid UTF-16 never throws).
TEST(GptRead, ToolImagesAndDamagedCopies)
{
    zvtest::requireTool("sfdisk");
    zvtest::requireTool("sgdisk");
    zvtest::TempDir dir;
    const std::string image = dir / "g.img";
    for (const std::string &command :
         {"sgdisk -S 256 -n 1:0:+1M -t 1:ef00 -c 1:EFI -n 2:0:0 -t 2:af00 -c '2:Mac data' '" + image + "'",
          "printf 'label: gpt\\n1: start=2048,size=2M,type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B,name=\"EFI system\"\\n"
          "3: start=8192,size=1M,name=\"data \\303\\274\"\\n' | sfdisk -q '" + image + "'"}) {
        SCOPED_TRACE(command);
        makeImage(dir, "g.img", 8 << 20);
        zvtest::mustRun(command);
        GPT gpt(openStream(image, kRead));
        ASSERT_TRUE(gpt.isValid());
        EXPECT_EQ(gpt.partitions(), sfdiskList(image));
        EXPECT_TRUE(gpt.backupValid());
        EXPECT_EQ(gpt.backupPartitions(), gpt.partitions());
        EXPECT_EQ(gpt.backupHeader().thisLba, 8 * 2048 - 1u);
    }

    auto utf16 = [](const std::vector<uint16_t> &units) {
        Bytes field(72, 0);
        for (size_t i = 0; i < units.size(); ++i)
            field[2 * i] = uint8_t(units[i]), field[2 * i + 1] = uint8_t(units[i] >> 8);
        return field;
    };
    const uint64_t header = 512, name = 1024 + 56;
    const struct {
        const char *what;
        uint64_t offset;
        Bytes bytes;
        bool valid, backupValid;
        bool fixCrc = false; // so that only the rule under test can reject the table
        std::string firstName = "EFI system";
        size_t count = 2;
    } cases[] = {
        {"changed entry byte", 1024 + 40, {0xA5}, false, true},
        {"entry size 64", header + 84, le(64, 4), false, true, true},
        {"entry size 132, not a multiple of 8", header + 84, le(132, 4), false, true, true},
        {"entry count 0x02000000 (32-bit product wraps to 0)", header + 80, le(0x02000000, 4), false, true, true},
        {"entry count 0xFFFFFFFF", header + 80, le(0xFFFFFFFF, 4), false, true},
        {"entry array at LBA 3", header + 72, le(3, 8), false, true, true},
        {"entry with first > last skipped", 1024 + 40, le(1, 8), true, true, true, "data \xC3\xBC", 1},
        {"header size 91 (no header: no backup LBA)", header + 12, le(91, 4), false, false},
        {"revision 2.0", header + 8, le(0x00020000, 4), false, false},
        {"no protective entry", 446 + 4, {0x83}, false, false},
        {"protective entry past the disk", 446 + 12, le(40000, 4), false, false},
        {"stale header CRC is tolerated", header + 16, le(0x12345678, 4), true, true},
        {"backup LBA past the disk", header + 32, le(40000, 8), true, false},
        {"backup LBA x 512 past 64 bits", header + 32, le(UINT64_MAX / 2, 8), true, false},
        {"unpaired surrogates", name, utf16({'A', 0xD800, 'B', 0xDC00}), true, true, true,
         "A\xEF\xBF\xBD" "B\xEF\xBF\xBD"},
        {"a pair; ends at the NUL", name, utf16({0xD83D, 0xDE00, 0, 'x'}), true, true, true, "\xF0\x9F\x98\x80"},
        {"36 units, no NUL", name, utf16(std::vector<uint16_t>(36, 'n')), true, true, true, std::string(36, 'n')},
    };
    const std::string intact = zvtest::readFile(image);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        zvtest::writeFile(image, intact);
        poke(image, c.offset, c.bytes);
        if (c.fixCrc)
            fixPrimaryArrayCrc(image);
        GPT gpt(openStream(image, kRead));
        EXPECT_EQ(gpt.isValid(), c.valid);
        ASSERT_EQ(gpt.partitions().size(), c.valid ? c.count : 0u); // no partial list
        EXPECT_EQ(gpt.backupValid(), c.backupValid);
        if (c.valid) {
            EXPECT_EQ(gpt.partitions()[0].name, c.firstName);
        }
    }
}

// Read back, and checked by the tools at 512 bytes (file) and 4096 (loop device);
// 4096 and 32768 as file streams (guards es = ceil(16384 / bs)). Also guards
// whole zero-padded header and PMBR sectors: the old 0xFF bytes must go.
TEST(GptWrite, TablesCheckedByToolsAndReadBack)
{
    zvtest::requireTool("sgdisk");
    zvtest::requireTool("sfdisk");
    zvtest::TempDir dir;
    const Guid given = guid("11223344-5566-4778-899A-BCDEF0123456");
    for (const auto &[bs, loop] : {std::pair(512u, false), {4096u, false}, {32768u, false}, {4096u, true}}) {
        SCOPED_TRACE(std::to_string(bs) + (loop ? " loop device" : " file"));
        const uint64_t total = (16 << 20) / bs, es = (16384 + bs - 1) / bs;
        std::vector<GPTPartition> written = {{Guid::ESP, Guid::Null, es + 2, total / 4 - 1, "EFI system"},
                                             {Guid::HFSPlus, given, total / 4, total / 2 - 1, "Mac data \xC3\xBC"},
                                             {Guid::AppleBoot, Guid::Null, total / 2, total - es - 2, "Boot"}};
        std::string target = makeImage(dir, "w.img", 16 << 20);
        for (uint64_t lba : {uint64_t(0), uint64_t(1), total - 1})
            poke(target, lba * bs, Bytes(bs, 0xFF));
        std::unique_ptr<zvtest::LoopDevice> device;
        if (loop) {
            ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
            device = std::make_unique<zvtest::LoopDevice>(target, int(bs));
            target = device->path();
        }
        {
            auto stream = openStream(target, kReadWrite, loop ? 0 : bs);
            ASSERT_TRUE(GPT::write(stream, written));
            ASSERT_TRUE(stream->_close());
        }
        GPT gpt(openStream(target, kRead, loop ? 0 : bs));
        ASSERT_TRUE(gpt.isValid());
        ASSERT_EQ(gpt.partitions().size(), 3u);
        written[0].unique = gpt.partitions()[0].unique; // generated: random and distinct
        written[2].unique = gpt.partitions()[2].unique;
        EXPECT_FALSE(written[0].unique.isNull() || written[2].unique.isNull());
        EXPECT_NE(written[0].unique, written[2].unique);
        EXPECT_EQ(gpt.partitions(), written);
        EXPECT_EQ(gpt.blockSize(), bs);
        EXPECT_EQ(gpt.primaryHeader().firstUsable, es + 2);
        EXPECT_EQ(gpt.primaryHeader().lastUsable, total - es - 2);
        EXPECT_TRUE(gpt.backupValid());
        EXPECT_EQ(gpt.backupPartitions(), written);
        EXPECT_EQ(gpt.backupHeader().entryLba, total - 1 - es);
        EXPECT_FALSE(gpt.primaryHeader().diskGuid.isNull());
        EXPECT_EQ(gpt.backupHeader().diskGuid, gpt.primaryHeader().diskGuid);
        if (bs == 512 || loop) {
            std::string out;
            EXPECT_EQ(zvtest::run("sgdisk -v '" + target + "' 2>&1", &out), 0) << out;
            EXPECT_NE(out.find("No problems found"), std::string::npos) << out;
            EXPECT_EQ(sfdiskList(target), written);
        }
        EXPECT_EQ(peek(target, 0, 446), Bytes(446, 0));
        EXPECT_EQ(peek(target, 446, 12), (Bytes{0, 0xFF, 0xFF, 0xFF, 0xEE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}));
        EXPECT_EQ(peek(target, 446 + 12, 4), le(total - 1, 4));
        EXPECT_EQ(peek(target, 512, bs - 512), Bytes(bs - 512, 0));
        EXPECT_EQ(peek(target, bs + 8, 4), le(0x00010000, 4)); // the header is at byte bs
        for (uint64_t lba : {uint64_t(1), total - 1})
            EXPECT_EQ(peek(target, lba * bs + 92, bs - 92), Bytes(bs - 92, 0)) << lba;
    }
}

// Guards the writer's refusals (more than 128 entries, first > last, outside the
// usable LBAs, overlaps: nothing written) and names cut outside a surrogate pair.
TEST(GptWrite, SizesAndLimits)
{
    zvtest::TempDir dir;
    const std::string name40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    const std::string emojiAt35 = std::string(35, 'a') + "\xF0\x9F\x98\x80"; // the pair would be units 35 and 36
    auto one = [](uint64_t first, uint64_t last, const std::string &name = "p") {
        return GPTPartition{Guid::ESP, Guid::Null, first, last, name};
    };
    std::vector<GPTPartition> many;
    for (uint64_t i = 0; i < 129; ++i)
        many.push_back(one(34 + i, 34 + i));
    const struct {
        const char *what;
        uint64_t sectors;
        std::vector<GPTPartition> partitions;
        bool written;
        std::string name = "p"; // of the first partition read back
    } cases[] = {
        {"66 sectors refused", 66, {}, false},
        {"67 sectors accepted", 67, {}, true},
        {"3 TiB: protective count 0xFFFFFFFF", (uint64_t(3) << 40) / 512, {one(2048, 4095)}, true},
        {"128 partitions", 2048, {many.begin(), many.end() - 1}, true},
        {"129 partitions refused", 2048, many, false},
        {"first > last refused", 2048, {one(100, 99)}, false},
        {"before first usable refused", 2048, {one(33, 99)}, false},
        {"past last usable refused", 2048, {one(100, 2048 - 33)}, false},
        {"overlap refused", 2048, {one(100, 200), one(200, 300)}, false},
        {"40-character name stored as 36 units", 2048, {one(100, 200, name40)}, true, name40.substr(0, 36)},
        {"name not cut inside a surrogate pair", 2048, {one(100, 200, emojiAt35)}, true, std::string(35, 'a')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = makeImage(dir, "l.img", c.sectors * 512);
        EXPECT_EQ(GPT::write(openStream(image, kReadWrite), c.partitions), c.written);
        if (!c.written) {
            EXPECT_EQ(zvtest::readFile(image), std::string(c.sectors * 512, '\0')); // nothing written
            continue;
        }
        EXPECT_EQ(peek(image, 446 + 12, 4), le(std::min<uint64_t>(c.sectors - 1, 0xFFFFFFFF), 4));
        GPT gpt(openStream(image, kRead));
        EXPECT_TRUE(gpt.isValid() && gpt.backupValid());
        EXPECT_EQ(gpt.primaryHeader().firstUsable, 34u);
        EXPECT_EQ(gpt.primaryHeader().lastUsable, c.sectors - 34);
        ASSERT_EQ(gpt.partitions().size(), c.partitions.size());
        if (!c.partitions.empty()) {
            EXPECT_EQ(gpt.partitions()[0].name, c.name);
        }
    }
}
