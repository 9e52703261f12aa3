// Scores any 512 bytes both ways and checks the packed results hold
// together: the maximum is one of the fixed sums and the signed score lies
// within [-max, max], except that the two HFS+ attribute penalties (7 + 8)
// do not count toward the maximum and may take the score below -max.
#include <cstdint>
#include <cstdlib>

#include "storage/hfs_score.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 512)
        return 0;
    uint32_t plus = hfsplus_header_score(data);
    uint32_t mdb = hfs_mdb_score(data);
    int pv = hfs_score_value(plus), pm = hfs_score_max(plus);
    int mv = hfs_score_value(mdb), mm = hfs_score_max(mdb);
    if (pm != 56 || pv < -pm - 15 || pv > pm)
        abort();
    if ((mm != 41 && mm != 0) || mv < -mm || mv > mm)
        abort();
    return 0;
}
