// The worker of bench/bench_fat_scan.sh: a quick scan of a FAT image into
// its catalog through the engine, and optionally a listing of the catalog.
// A plain program, not a Google Benchmark one: one scan per process, the
// script repeats the processes and times them against `fls -r -p`.
//
//   bench_fat_scan scan <image> <folder>
//       Makes <folder> (engine log and workspace), attaches the image as a
//       medium and runs start_scan type 1: the FAT quick scan reads the
//       volume and writes its catalog (Scan.01/FAT.1/cat.db).
//   bench_fat_scan list <image> <folder> <listing>
//       The same, then lists the catalog from the root, every folder's
//       children through the file system's children operation (the front
//       end's listing), and writes one line per node to <listing>: "d PATH"
//       for a folder, "r PATH" for a file, the path from the root with "/"
//       as fls -p writes it.
//
// Output: "scan <seconds>", "list <seconds>" (list mode), "files <n>",
// "folders <n>". Exit status 0 only when the scan returned 0 and (list
// mode) every listing succeeded.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scan_session.h"

namespace {

struct Lister {
    fs_record *record;
    FILE *out;
    uint64_t files = 0, folders = 0;
    zvbench::ScanSession *session;

    // Depth-first, a folder's children before the next sibling's, with a
    // depth cap: the catalog of a damaged card could hold a loop.
    void walk(uint64_t keynum, const std::string &prefix, int depth)
    {
        if (depth > 64)
            session->fail("folder tree deeper than 64", depth);
        std::vector<NodeInfo> children;
        const int rc = fs_node_children(record, keynum, &children);
        if (rc != 0)
            session->fail("fs_node_children failed", rc);
        for (const NodeInfo &child : children) {
            const std::string path = prefix + child.name;
            const bool folder = (child.flags & NODE_FOLDER) != 0;
            std::fprintf(out, "%c %s\n", folder ? 'd' : 'r', path.c_str());
            if (folder) {
                ++folders;
                walk(child.keynum, path + "/", depth + 1);
            } else {
                ++files;
            }
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    const bool list = argc == 5 && std::strcmp(argv[1], "list") == 0;
    if (!list && !(argc == 4 && std::strcmp(argv[1], "scan") == 0)) {
        std::fprintf(stderr,
                     "usage: %s scan <image> <folder>\n"
                     "       %s list <image> <folder> <listing>\n",
                     argv[0], argv[0]);
        return 2;
    }
    zvbench::ScanSession session("bench_fat_scan");
    session.open(argv[3], argv[2]);

    double t0 = zvbench::now();
    std::shared_ptr<fs_record> record = session.quick_scan();
    std::printf("scan %.6f\n", zvbench::now() - t0);
    if (!list)
        return 0;

    FILE *out = std::fopen(argv[4], "w");
    if (out == nullptr)
        session.fail("can't write the listing", 0);
    t0 = zvbench::now();
    Lister lister{record.get(), out, 0, 0, &session};
    lister.walk(KEYNUM_FS_ROOT, "", 0);
    if (std::fclose(out) != 0)
        session.fail("writing the listing failed", 0);
    std::printf("list %.6f\nfiles %llu\nfolders %llu\n", zvbench::now() - t0, (unsigned long long)lister.files,
                (unsigned long long)lister.folders);
    return 0;
}
