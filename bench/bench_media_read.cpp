// The worker of bench/bench_media_read.sh: reads a file from start to end
// through a media record and its block reader with read-ahead, one block per
// request as the thorough scan does (media_get_max_bytes), with a trivial
// consumer that touches every block. The script times it against dd and cat
// of the same file. A plain program, not a Google Benchmark one: each pass is
// one long transfer.
//
//   bench_media_read <path> [block size, default 512]
//
// Prints one line: bytes read, wall seconds, CPU seconds of the consuming
// thread and of the whole process. Exits 0 when every byte was read.
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "storage/media.h"

static double seconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s <path> [block size]\n", argv[0]);
        return 2;
    }
    const int32_t block = argc == 3 ? std::atoi(argv[2]) : 512;
    const double wall0 = seconds(CLOCK_MONOTONIC);
    const double thread0 = seconds(CLOCK_THREAD_CPUTIME_ID);
    const double process0 = seconds(CLOCK_PROCESS_CPUTIME_ID);

    Media *media = media_attach_file(argv[1]);
    if (media == nullptr || media_retain(media) != 0) {
        std::fprintf(stderr, "%s: can't open %s\n", argv[0], argv[1]);
        return 1;
    }
    media->block_size = block;
    if (setup_reader(media, true, nullptr) != 0 || media_seek(media, 0) != 0) {
        std::fprintf(stderr, "%s: can't start the reader on %s\n", argv[0], argv[1]);
        return 1;
    }
    const int64_t length = media_length(media);
    uint64_t touched = 0;
    int status = 0;
    while (media->byte_pos < length) {
        const uint8_t *bytes = nullptr;
        status = media_get_max_bytes(media, &bytes, block);
        if (status != 0)
            break;
        touched += bytes[0] ^ bytes[block - 1];
    }
    const int64_t done = media->byte_pos;
    media_rd_close(media);
    media_release(media);
    media_free_all();

    const double wall = seconds(CLOCK_MONOTONIC) - wall0;
    std::printf("%lld %.6f %.6f %.6f %llu\n", static_cast<long long>(done), wall,
                seconds(CLOCK_THREAD_CPUTIME_ID) - thread0, seconds(CLOCK_PROCESS_CPUTIME_ID) - process0,
                static_cast<unsigned long long>(touched & 1));
    if (status != 0 || done < length) {
        std::fprintf(stderr, "%s: read stopped at %lld of %lld (status %d)\n", argv[0],
                     static_cast<long long>(done), static_cast<long long>(length), status);
        return 1;
    }
    return 0;
}
