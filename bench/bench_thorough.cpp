// The worker of bench/bench_thorough.sh: a thorough scan of a card image
// through the engine, with the time of each of its phases. A plain program,
// not a Google Benchmark one: one scan per process, the script repeats the
// processes and times them against dd and PhotoRec.
//
//   bench_thorough scan <image> <folder>
//       Makes <folder> (engine log and workspace), registers the modules as
//       the engine starts them, attaches the image and runs start_scan
//       type 3: the block pass over every block of the image, the spans
//       measured (the JPEG module reads each file to its end; FAT volumes
//       are walked), the catalog of "Reconstructed Files" written.
//   bench_thorough recover <image> <folder> <target>
//       The same, then ticks the root of "Reconstructed Files" and recovers
//       it into <target> (made when missing), for the script's count of
//       byte-identical files.
//
// Output, one "key value" a line: "scan" (start_scan, seconds), its phases
// "blocks" (the block pass: from the modules' scan preparation, right
// before the first block, to the end of the block loop), "measure" (span
// parsing and measuring, FAT walks included) and "catalog" (the tree, its
// index and child counts, the after-processing of the modules); "files" and
// "bytes" of the catalog; in recover mode "recover" (seconds) and
// "recovered" (files). Exit status 0 only when every step returned 0.
//
// The phases are timed by one more module, "bnch", registered last: its
// prefilter refuses every byte, so the block loop never asks it; the store
// calls its scan preparation, end of blocks, end of parsing and
// after-processing at the phase boundaries.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "scan/catalog/selection.h"
#include "scan/thorough/cbr_store.h"
#include "scan_session.h"

namespace {

enum Mark { kPrepared, kBlocksDone, kSpansDone, kAfter, kMarks };
double g_marks[kMarks];

int mark_prepared(fil_module *)
{
    g_marks[kPrepared] = zvbench::now();
    return 0;
}
int mark_blocks_done(fil_module *)
{
    g_marks[kBlocksDone] = zvbench::now();
    return 0;
}
int mark_spans_done(fil_module *, int)
{
    g_marks[kSpansDone] = zvbench::now();
    return 0;
}
int mark_after(fil_module *)
{
    g_marks[kAfter] = zvbench::now();
    return 0;
}
void add_phase_clock(const zvbench::ScanSession &session)
{
    fil_module *clock = fil_module_get_or_create(fil_module_code("bnch"), sizeof(fil_module));
    if (clock == nullptr)
        session.fail("can't register the phase clock", 0);
    clock->enabled = 1;
    clock->prefilter = cbr_prefilter_refuse_all;
    clock->scan_prepare = mark_prepared;
    clock->end_blocks = mark_blocks_done;
    clock->end_spans = mark_spans_done;
    clock->after_processing = mark_after;
}

// Files and bytes below keynum, folders at most 16 deep.
void count_files(const zvbench::ScanSession &session, fs_record *record, uint64_t keynum, int depth,
                 uint64_t *files, uint64_t *bytes)
{
    if (depth > 16)
        session.fail("catalog deeper than 16 folders", depth);
    std::vector<NodeInfo> children;
    const int rc = fs_node_children(record, keynum, &children);
    if (rc != 0)
        session.fail("fs_node_children failed", rc);
    for (const NodeInfo &child : children) {
        if (child.flags & NODE_FOLDER) {
            count_files(session, record, child.keynum, depth + 1, files, bytes);
        } else {
            ++*files;
            *bytes += child.data_size;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const bool recover = argc == 5 && std::strcmp(argv[1], "recover") == 0;
    if (!recover && !(argc == 4 && std::strcmp(argv[1], "scan") == 0)) {
        std::fprintf(stderr,
                     "usage: %s scan <image> <folder>\n"
                     "       %s recover <image> <folder> <target>\n",
                     argv[0], argv[0]);
        return 2;
    }
    zvbench::ScanSession session("bench_thorough");
    session.open(argv[3], argv[2], true);
    add_phase_clock(session);

    const double t0 = zvbench::now();
    std::shared_ptr<ScanContext> scan = session.thorough_scan();
    const double took = zvbench::now() - t0;
    std::printf("scan %.6f\nblocks %.6f\nmeasure %.6f\ncatalog %.6f\n", took, g_marks[kBlocksDone] - g_marks[kPrepared],
                g_marks[kSpansDone] - g_marks[kBlocksDone], g_marks[kAfter] - g_marks[kSpansDone]);
    fs_record *store = scan->store;
    uint64_t files = 0, bytes = 0;
    count_files(session, store, KEYNUM_FS_ROOT, 0, &files, &bytes);
    std::printf("files %llu\nbytes %llu\n", (unsigned long long)files, (unsigned long long)bytes);
    if (!recover)
        return 0;

    if (mkdir(argv[4], 0755) != 0 && errno != EEXIST)
        session.fail("can't make the target folder", errno);
    const int64_t root[2] = {store->id_root, CATDB_KEYNUM_NONE};
    int rc = fs_select_nodes(store, root, 2, SEL_SELECTED);
    if (rc != 0)
        session.fail("ticking the root failed", rc);
    const double t1 = zvbench::now();
    rc = fs_recover_marked(store, argv[4]);
    if (rc != 0)
        session.fail("fs_recover_marked failed", rc);
    std::printf("recover %.6f\nrecovered %llu\n", zvbench::now() - t1, (unsigned long long)files);
    return 0;
}
