// HFS+ volume header and HFS master directory block scores.
//
// Fields used (offsets within the 512 bytes, big-endian):
//   HFS+ header  0  u16 signature "H+" (HFS+) or "HX" (HFSX)
//                2  u16 version, 4 for HFS+, 5 for HFSX
//                4  u32 attributes; its two high bytes (bits 16-31) are
//                   clear on ordinary volumes, so bits 16-30 set count
//                   against the header while bit 31 is let pass
//                8  u32 last-mounted version, a 4-character code naming the
//                   implementation that last mounted the volume
//   HFS MDB      0  u16 signature "BD"
//               14  u16 first block of the volume bitmap, normally 3
//               20  u32 allocation block size, a multiple of 512
// Only the first 24 bytes are read.
#include "storage/hfs_score.h"

#include <cstring>

#include "foundation/sysutil.h"

namespace {

struct Score {
    int value = 0;
    unsigned max = 0;
    void check(bool pass, int weight)
    {
        value += pass ? weight : -weight;
        max += unsigned(weight);
    }
    void penalty(bool hit, int weight) { value -= hit ? weight : 0; }
    uint32_t packed() const { return (uint32_t(max) << 16) | uint16_t(int16_t(value)); }
};

}  // namespace

uint32_t hfsplus_header_score(const uint8_t *b)
{
    static const char *const mounted_by[] = {"8.10", "10.0", "HFSJ", "fsck", "FSK!", "cerd"};
    Score s;
    s.check(b[0] == 'H' && (b[1] == '+' || b[1] == 'X'), 15);
    s.check(b[2] == 0 && (b[3] == 4 || b[3] == 5), 11);
    s.penalty((b[4] & 0x7F) != 0, 7);
    s.penalty(b[5] != 0, 8);
    bool known = false;
    for (const char *code : mounted_by)
        known = known || std::memcmp(b + 8, code, 4) == 0;
    s.check(known, 30);
    return s.packed();
}

uint32_t hfs_mdb_score(const uint8_t *b)
{
    if (b[0] != 'B' || b[1] != 'D')
        return 0;
    Score s;
    s.check(true, 16);
    s.check(b[14] == 0 && b[15] == 3, 16);
    uint32_t block_size = get_be32(b + 20);
    s.check(block_size >= 512 && block_size % 512 == 0, 9);
    return s.packed();
}
