// The worker of bench/bench_file.sh: writes or reads one file sequentially
// through the file layer, in 1 MiB requests like `dd bs=1M`, so the script
// can time it against dd on the same machine. A plain program, not a
// Google Benchmark one: each pass is one long transfer, timed from outside.
//
//   bench_file write <kind> <path> <mebibytes>
//   bench_file read  <kind> <path> <mebibytes>
//
// Exits 0 when every byte was moved (and, for writing, the close reported
// no failure), 1 otherwise, 2 for a usage error.
#include "foundation/file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 5 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "read") != 0)) {
        std::fprintf(stderr, "usage: %s write|read <kind 1-3> <path> <mebibytes>\n", argv[0]);
        return 2;
    }
    const bool writing = argv[1][0] == 'w';
    const int kind = std::atoi(argv[2]);
    const long long mebibytes = std::atoll(argv[4]);
    if (kind < 1 || kind > 3 || mebibytes <= 0) {
        std::fprintf(stderr, "%s: bad kind or size\n", argv[0]);
        return 2;
    }

    // Page-aligned, like dd's buffer: the kernel copies to and from a
    // buffer off a cache line several times slower.
    constexpr int64_t kRequest = 1 << 20;
    char *buffer = static_cast<char *>(std::aligned_alloc(4096, kRequest));
    if (buffer == nullptr)
        return 1;
    for (int64_t i = 0; i < kRequest; ++i)
        buffer[i] = static_cast<char>(i * 31 + 7);

    file_t *f = file_open(argv[3], writing ? "wb" : "rb", kind);
    if (f == nullptr) {
        std::fprintf(stderr, "%s: can't open %s\n", argv[0], argv[3]);
        return 1;
    }
    int status = 0;
    for (long long i = 0; i < mebibytes && status == 0; ++i) {
        const int rc = writing ? file_write_full(f, buffer, kRequest) : file_read_full(f, buffer, kRequest);
        if (rc != 0) {
            std::fprintf(stderr, "%s: %s failed at MiB %lld: %d\n", argv[0], argv[1], i, rc);
            status = 1;
        }
    }
    if (file_free(&f) != 0) {
        std::fprintf(stderr, "%s: close failed\n", argv[0]);
        status = 1;
    }
    std::free(buffer);
    return status;
}
