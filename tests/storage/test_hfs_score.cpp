#include "storage/hfs_score.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

// 512 bytes, zero but for the (offset, byte) pairs given.
struct Block {
    uint8_t b[512] = {};
    Block(std::initializer_list<std::pair<int, const char *>> fields)
    {
        for (auto &f : fields)
            std::memcpy(b + f.first, f.second, std::strlen(f.second));
    }
    Block &set(int at, uint8_t v) { b[at] = v; return *this; }
};

}  // namespace

TEST(HfsScore, Table)
{
    auto hplus = [] { return Block({{0, "H+"}, {8, "10.0"}}).set(3, 4); };
    auto hfs = [](uint8_t size_hi, uint8_t size_lo) {
        return Block({{0, "BD"}}).set(15, 3).set(22, size_hi).set(23, size_lo);
    };
    struct Case { const char *name; Block block; bool plus; int score; int max; };
    const Case cases[] = {
        {"H+ v4 10.0", hplus(), true, 56, 56},
        {"H+ foreign mounter", Block({{0, "H+"}, {8, "EXT2"}}).set(3, 4), true, -4, 56},
        {"HX v5 HFSJ", Block({{0, "HX"}, {8, "HFSJ"}}).set(3, 5), true, 56, 56},
        {"H+ 8.10", Block({{0, "H+"}, {8, "8.10"}}).set(3, 4), true, 56, 56},
        {"H+ wrong version", hplus().set(3, 6), true, 34, 56},
        {"attr bit 31 only", hplus().set(4, 0x80), true, 56, 56},
        {"attr bit 24", hplus().set(4, 0x01), true, 49, 56},
        {"attr byte 5", hplus().set(5, 0x10), true, 48, 56},
        {"zeros HFS+", Block({}), true, -56, 56},
        {"penalties beyond -max", Block({}).set(4, 0x7F).set(5, 1), true, -71, 56},
        {"BD 512", hfs(0x02, 0x00), false, 41, 41},
        {"BD 1536", hfs(0x06, 0x00), false, 41, 41},
        {"BD 100", hfs(0x00, 100), false, 23, 41},
        {"BD 0", hfs(0, 0), false, 23, 41},
        {"BD bitmap 4", hfs(0x02, 0).set(15, 4), false, 9, 41},
        {"zeros HFS", Block({}), false, 0, 0},
        {"H+ as HFS", hplus(), false, 0, 0},
    };
    for (const auto &c : cases) {
        uint32_t s = c.plus ? hfsplus_header_score(c.block.b) : hfs_mdb_score(c.block.b);
        EXPECT_EQ(hfs_score_value(s), c.score) << c.name;
        EXPECT_EQ(hfs_score_max(s), c.max) << c.name;
    }
    // The packed form of a negative score still looks positive as a whole.
    EXPECT_EQ(hfsplus_header_score(Block({}).b), (56u << 16) | uint16_t(-56));
}

// A volume made by a real formatter: its master directory block (at 1024)
// scores full marks and is not taken for HFS+.
TEST(HfsScore, RealHfsVolume)
{
    zvtest::requireTool("hformat");
    zvtest::TempDir dir;
    zvtest::ScopedEnv home("HOME", dir.path().c_str());  // hformat keeps its state in $HOME
    std::string img = dir / "card.img";
    zvtest::writeFile(img, std::string(800 * 1024, '\0'));
    zvtest::mustRun("hformat -l Card '" + img + "' >/dev/null");
    std::string mdb = zvtest::readFile(img).substr(1024, 512);
    auto *b = reinterpret_cast<const uint8_t *>(mdb.data());
    EXPECT_EQ(hfs_score_value(hfs_mdb_score(b)), 41);
    EXPECT_EQ(hfs_score_max(hfs_mdb_score(b)), 41);
    EXPECT_LT(hfs_score_value(hfsplus_header_score(b)), 0);
}
