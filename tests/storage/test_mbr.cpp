// MBR tables: hand-made sectors for the damaged cases (marks, status bytes,
// limits, cyclic and endless EBR chains), sfdisk-made tables on an image and
// on a 4Kn loop device checked against sfdisk's own listing, FAT superfloppies.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/mbr.h"
#include "storage/raw_disk.h"
#include "support/test_support.h"

namespace ZV {
void PrintTo(const MBRPartition &p, std::ostream *out) { *out << int(p.type) << "@" << p.first << "+" << p.count; }
} // namespace ZV

namespace {

using ZV::MBRPartition;

// One boot-record entry on a 512-sector disk in memory: sector, index 0-3,
// status, type, first, count. Its sector also gets 0x55 0xAA (0x55 0x00 for type 0).
struct Put {
    uint64_t sector;
    int index;
    uint8_t status, type;
    uint32_t first, count;
};

ZV::MBR readMemory(const std::vector<Put> &puts, bool sizeCheck)
{
    ZV::Buffer disk(512 * 512);
    for (const Put &p : puts) {
        uint8_t *s = disk.data() + p.sector * 512, *e = s + 446 + 16 * p.index;
        e[0] = p.status, e[4] = p.type;
        for (int i = 0; i < 4; ++i)
            e[8 + i] = uint8_t(p.first >> (8 * i)), e[12 + i] = uint8_t(p.count >> (8 * i));
        s[510] = 0x55, s[511] = p.type != 0 ? 0xAA : 0x00;
    }
    return ZV::MBR(std::make_shared<ZV::ByteStreamBuffer>(&disk, ZV::ByteStream::modeRead), sizeCheck);
}

// The partitions `sfdisk -J` lists, in disk order, without the extended
// containers (the reader follows them instead of listing them).
std::vector<MBRPartition> sfdiskList(const std::string &device)
{
    const std::string json = zvtest::mustRun("sfdisk -J '" + device + "'");
    const std::regex row(R"re("start":\s*(\d+),\s*"size":\s*(\d+),\s*"type":\s*"([0-9a-f]+)")re");
    std::vector<MBRPartition> rows;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), row); it != std::sregex_iterator(); ++it)
        rows.push_back({uint8_t(std::stoul((*it)[3], nullptr, 16)), uint32_t(std::stoul((*it)[1])),
                        uint32_t(std::stoul((*it)[2]))});
    rows.erase(std::remove_if(rows.begin(), rows.end(), [](auto &p) { return ZV::MBR::isExtended(p.type); }),
               rows.end());
    std::sort(rows.begin(), rows.end(), [](auto &a, auto &b) { return a.first < b.first; });
    return rows;
}

} // namespace

// Guards the EBR chain: cycles and self-links end it, it stops after maxChain
// EBRs (types 5, f and 85 alike), and absolute logical starts are computed in
// 64 bits and range-checked. The status and size rules besides. 512 sectors.
TEST(MbrSectors, HandMadeTables)
{
    const uint8_t L = 0x83;
    auto chain200 = [](uint8_t container) { // each EBR links to the next
        std::vector<Put> puts = {{0, 0, 0, container, 1, 511}};
        for (uint32_t i = 0; i < 200; ++i)
            puts.insert(puts.end(), {{1 + 2 * i, 0, 0, L, 1, 1}, {1 + 2 * i, 1, 0, container, 2 * (i + 1), 2}});
        return puts;
    };
    std::vector<MBRPartition> capped;
    for (uint32_t i = 0; i < ZV::MBR::maxChain; ++i)
        capped.push_back({L, 2 + 2 * i, 1});
    const struct {
        const char *what;
        bool sizeCheck;
        std::vector<Put> puts;
        bool valid;
        std::vector<MBRPartition> expected;
    } cases[] = {
        {"55 00 is not an MBR", true, {{0, 0, 0x80, 0, 1, 10}}, false, {}},
        {"status 0x01 ignored, 0x00 0x40 0x80 read", true,
         {{0, 0, 0x01, 0xC, 1, 5}, {0, 1, 0x00, 0xC, 6, 5}, {0, 2, 0x40, 0xC, 11, 5}, {0, 3, 0x80, 0xC, 16, 5}},
         true, {{0xC, 6, 5}, {0xC, 11, 5}, {0xC, 16, 5}}},
        {"zero first or count skipped", true, {{0, 0, 0, 0xC, 0, 5}, {0, 1, 0, 0xC, 6, 0}, {0, 2, 0, 0xC, 6, 5}},
         true, {{0xC, 6, 5}}},
        {"size check: ending at the disk end kept, one past dropped", true,
         {{0, 0, 0, 0xC, 10, 502}, {0, 1, 0, 0xC, 508, 5}}, true, {{0xC, 10, 502}}},
        {"no size check: both kept", false, {{0, 0, 0, 0xC, 10, 502}, {0, 1, 0, 0xC, 508, 5}}, true,
         {{0xC, 10, 502}, {0xC, 508, 5}}},
        {"size check: only entry past the disk -> invalid", true, {{0, 0, 0, 0xC, 60, 0xFFFFFFF0u}}, false, {}},
        {"two EBRs, logicals in place of their container", true,
         {{0, 0, 0, 0xC, 1, 9}, {0, 1, 0, 5, 10, 50}, {0, 2, 0, 7, 60, 4}, {10, 0, 0, L, 2, 5}, {10, 1, 0, 5, 20, 10},
          {30, 0, 0, L, 2, 6}},
         true, {{0xC, 1, 9}, {L, 12, 5}, {L, 32, 6}, {7, 60, 4}}},
        {"cyclic chain 10 -> 30 -> 40 -> 30 ends", true,
         {{0, 0, 0, 5, 10, 50}, {10, 0, 0, L, 2, 1}, {10, 1, 0, 5, 20, 10}, {30, 0, 0, L, 2, 1}, {30, 1, 0, 5, 30, 10},
          {40, 0, 0, L, 2, 1}, {40, 1, 0, 5, 20, 10}},
         true, {{L, 12, 1}, {L, 32, 1}, {L, 42, 1}}},
        {"EBR linking to itself ends", true,
         {{0, 0, 0, 5, 10, 50}, {10, 0, 0, L, 2, 1}, {10, 1, 0, 5, 20, 10}, {30, 0, 0, L, 2, 1}, {30, 1, 0, 5, 20, 10}},
         true, {{L, 12, 1}, {L, 32, 1}}},
        {"chain of 200 EBRs in a type 5 container capped", true, chain200(0x05), true, capped},
        {"chain of 200 EBRs in a type f container capped", true, chain200(0x0F), true, capped},
        {"chain of 200 EBRs in a type 85 container capped", true, chain200(0x85), true, capped},
        {"logical start past 32 bits dropped", false,
         {{0, 0, 0, 5, 10, 502}, {10, 0, 0, L, 0xFFFFFFF8u, 1}, {10, 2, 0, L, 2, 1}}, true, {{L, 12, 1}}},
        {"size check: logical ending past the disk dropped (relative 500 + 5 alone fits)", true,
         {{0, 0, 0, 5, 10, 502}, {10, 0, 0, L, 500, 5}, {10, 2, 0, L, 2, 1}}, true, {{L, 12, 1}}},
        {"no size check: the same logical kept", false,
         {{0, 0, 0, 5, 10, 502}, {10, 0, 0, L, 500, 5}, {10, 2, 0, L, 2, 1}}, true, {{L, 510, 5}, {L, 12, 1}}},
        {"EBR without its mark: container read, no logicals", true, {{0, 0, 0, 5, 10, 50}}, true, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const ZV::MBR mbr = readMemory(c.puts, c.sizeCheck);
        EXPECT_EQ(mbr.partitions(), c.expected);
        EXPECT_EQ(mbr.isValid(), c.valid);
    }
}

// Primaries and an extended container (types 5, f and 85) with logicals, on
// image files and on a 4096-byte-sector loop device, as sfdisk lists them.
TEST(MbrImage, SfdiskTablesMatchItsListing)
{
    zvtest::requireTool("sfdisk");
    for (const auto &[container, loop] : {std::pair("5", false), {"f", false}, {"85", false}, {"f", true}}) {
        SCOPED_TRACE(std::string(container) + (loop ? " on a 4Kn loop device" : ""));
        zvtest::TempDir dir;
        std::string target = dir / "dos.img";
        zvtest::mustRun("truncate -s 64M '" + target + "'");
        std::unique_ptr<zvtest::LoopDevice> device;
        if (loop) {
            ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
            device = std::make_unique<zvtest::LoopDevice>(target, 4096);
            target = device->path();
        }
        zvtest::mustRun(std::string("printf 'label: dos\\nstart=256,size=1024,type=c,bootable\\n") +
                        "start=2048,size=8192,type=" + container + "\\nstart=2304,size=1024,type=83\\n"
                        "start=4096,size=2048,type=7\\nstart=12288,size=1024,type=b\\n' | "
                        "sfdisk -q --no-reread --no-tell-kernel '" + target + "'");
        const std::vector<MBRPartition> listed = sfdiskList(target);
        ASSERT_EQ(listed.size(), 4u);
        for (bool sizeCheck : {true, false}) {
            std::shared_ptr<ZV::ByteStream> disk = std::make_shared<ZV::ByteStreamFile>(target);
            if (loop)
                disk = std::make_shared<ZV::ByteStreamRawDisk>(target);
            ASSERT_TRUE(disk->open(ZV::ByteStream::modeRead));
            ASSERT_EQ(disk->currentBlockSize(), loop ? 4096u : 512u);
            const ZV::MBR mbr(disk, sizeCheck);
            EXPECT_TRUE(mbr.isValid());
            EXPECT_EQ(mbr.partitions(), listed); // here disk order is also the reader's order
        }
    }
}

TEST(MbrImage, SuperfloppyFatHasNoEntries)
{
    zvtest::requireTool("mkfs.fat");
    zvtest::TempDir dir;
    for (const char *fat : {"12", "16", "32"}) {
        SCOPED_TRACE(fat);
        zvtest::mustRun(std::string("mkfs.fat -C -F ") + fat + " '" + (dir / fat) + "' 40000");
        auto file = std::make_shared<ZV::ByteStreamFile>(dir / fat);
        ASSERT_TRUE(file->open(ZV::ByteStream::modeRead));
        const ZV::MBR mbr(file, true);
        EXPECT_TRUE(mbr.partitions().empty());
        EXPECT_FALSE(mbr.isValid());
    }
}
