// A saved medium (the "media" block of a saved scan) restored from arbitrary
// archive bytes, then used as the scan contexts use one: its length, its
// description and its comparison with an attached medium, both ways.
//
// Checked besides memory safety and signed overflow (the fuzz build runs
// under UBSan too): a medium that comes back has 0 <= start <= stop and
// 0 <= first start <= first stop, positions inside it, partition entries
// inside its first window, and a length that is stop minus start.
#include <cstdint>
#include <cstdlib>

#include "foundation/archive.h"
#include "storage/media.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// The attached side of every comparison: a whole 8 MiB card with two
// partitions and a few checksums, not listed.
Media *attached_card()
{
    static Media *card = [] {
        Media *m = media_new(nullptr, "Saved card", MEDIA_FILE, MEDIA_FLAG_UNLISTED);
        require(m != nullptr);
        m->stop_pos = m->orig_stop_pos = 8 << 20;
        m->partitions.type = PARTITION_MAP_GPT;
        m->partitions.entries = {{1, 1 << 20, 2 << 20}, {2, 3 << 20, 5 << 20}};
        m->checksum.count = 3;
        m->checksum.values[0] = 0x12345678, m->checksum.values[1] = 0xC71C0011u, m->checksum.values[2] = 1;
        return m;
    }();
    return card;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    archive *a = nullptr;
    if (archive_load_memory(data, size, &a) != 0)
        return 0;
    Media *saved = nullptr;
    const int status = media_unarchive(a, &saved);
    archive_free(&a);
    if (status != 0) {
        require(saved == nullptr);
        return 0;
    }
    require(saved != nullptr && saved->kind == MEDIA_ARCHIVED && media_path(saved) == nullptr);
    require(saved->start_pos >= 0 && saved->start_pos <= saved->stop_pos);
    require(saved->orig_start_pos >= 0 && saved->orig_start_pos <= saved->orig_stop_pos);
    const int64_t length = media_length(saved);
    require(length == saved->stop_pos - saved->start_pos);
    require(saved->byte_pos >= 0 && saved->byte_pos <= length && saved->data_pos >= 0 && saved->data_pos <= length);
    const int64_t first_length = saved->orig_stop_pos - saved->orig_start_pos;
    for (const media_partition_entry &e : saved->partitions.entries)
        require(e.start >= 0 && e.size >= 0 && e.start <= first_length && e.size <= first_length - e.start);
    require(saved->checksum.count >= 0 && saved->checksum.count <= MEDIA_CHECKSUM_COUNT);

    media_description(saved);
    media_compare(attached_card(), saved, nullptr);
    media_compare(saved, attached_card(), nullptr);
    media_content_agrees(attached_card(), saved, nullptr);
    media_same_contents(attached_card(), saved);
    media_free(&saved);
    return 0;
}
