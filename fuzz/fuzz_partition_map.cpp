// The partition map reader on arbitrary bytes taken as the first bytes of a
// medium: MBR with its extended chain, GPT header and entries, Apple driver
// descriptor and map, and the HFS probes inside Apple partitions all read
// from the input. The bytes are served through a real medium (a plain-file
// medium over a memory file), so the reads take the same path as a card's.
//
// Checked besides memory safety: every entry lies inside the medium and has
// a size above 0, the slices count 1, 2, 3 ... and the number of entries
// stays within what the reader's caps allow.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "storage/media.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// One memory file for the process, refilled for every input.
int memory_file()
{
    static const int fd = memfd_create("partition_map", MFD_CLOEXEC);
    require(fd >= 0);
    return fd;
}

// GPT at most 4096 entries; an MBR 4 primaries and 4 per EBR for at most
// 128 EBRs; an Apple map at most 1024 sectors scanned.
constexpr size_t MAX_ENTRIES = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = memory_file();
    require(ftruncate(fd, 0) == 0);
    if (size > 0)
        require(pwrite(fd, data, size, 0) == (ssize_t)size);

    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    Media *media = media_new(path, "fuzz", MEDIA_FILE, MEDIA_FLAG_UNLISTED);
    require(media != nullptr);
    media->start_pos = media->orig_start_pos = 0;
    media->stop_pos = media->orig_stop_pos = (int64_t)size;
    media->block_size = 512;
    require(media_retain(media) == 0);

    media_partition_table table;
    media_read_partition_map(media, &table);
    require(table.entries.size() <= MAX_ENTRIES);
    for (size_t i = 0; i < table.entries.size(); i++) {
        const media_partition_entry &e = table.entries[i];
        require(e.slice == (int32_t)i + 1);
        require(e.start >= 0 && e.size > 0 && e.start <= (int64_t)size &&
                e.size <= (int64_t)size - e.start);
    }
    require(table.type <= PARTITION_MAP_MBR);

    media_release(media);
    media_free(&media);
    return 0;
}
