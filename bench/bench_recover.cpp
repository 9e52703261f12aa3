// The worker of bench/bench_recover.sh: recovery of a whole FAT card image
// through the engine, as a user does it: quick scan, tick the root of the
// found file system, recover the selection into a folder. A plain program,
// not a Google Benchmark one: one recovery per process, the script repeats
// the processes and times them against `cp -r` of the same files.
//
//   bench_recover <image> <folder> <target>
//       Makes <folder> (engine log and workspace), attaches the image,
//       start_scan type 1, ticks the root (fs_select_nodes with the root
//       keynum), and scx_recover_marked into <target> (made when missing).
//
// Output: "scan <seconds>", "recover <seconds>" (scx_recover_marked alone),
// "files <n>", "folders <n>", "bytes <n>" (the recovery's totals), and
// "selected_files <n>", "selected_bytes <n>" (the selection counters after
// ticking). Exit status 0 only when every step returned 0 and the totals
// equal the selection.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "scan/catalog/selection.h"
#include "scan_session.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <image> <folder> <target>\n", argv[0]);
        return 2;
    }
    zvbench::ScanSession session("bench_recover");
    session.open(argv[2], argv[1]);
    if (mkdir(argv[3], 0755) != 0 && errno != EEXIST)
        session.fail("can't make the target folder", errno);

    double t0 = zvbench::now();
    std::shared_ptr<fs_record> record = session.quick_scan();
    std::printf("scan %.6f\n", zvbench::now() - t0);

    const int64_t root[2] = {CATDB_KEYNUM_ROOT, CATDB_KEYNUM_NONE};
    int rc = fs_select_nodes(record.get(), root, 2, SEL_SELECTED);
    if (rc != 0)
        session.fail("ticking the root failed", rc);
    uint64_t selected[SEL_COUNTER_COUNT] = {};
    fs_get_selected(record.get(), selected);

    uint64_t totals[3] = {};
    t0 = zvbench::now();
    rc = scx_recover_marked(session.scan(), argv[3], totals);
    const double took = zvbench::now() - t0;
    if (rc != 0)
        session.fail("scx_recover_marked failed", rc);
    std::printf("recover %.6f\nfiles %llu\nfolders %llu\nbytes %llu\nselected_files %llu\nselected_bytes %llu\n",
                took, (unsigned long long)totals[0], (unsigned long long)totals[1], (unsigned long long)totals[2],
                (unsigned long long)selected[SEL_COUNTER_FILES], (unsigned long long)selected[SEL_COUNTER_BYTES]);
    if (totals[0] != selected[SEL_COUNTER_FILES] || totals[2] != selected[SEL_COUNTER_BYTES])
        session.fail("the recovery's totals differ from the selection", (long long)totals[0]);
    return 0;
}
