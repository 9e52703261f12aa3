// The JPEG module's recognise and measure on arbitrary bytes: the input is
// a medium (a file in a scratch folder in memory, attached and read through
// the media layer). Its first block is offered to recognise; the file is
// measured from offset 0 and from a few more places where FF D8 stands,
// with the store's look-ahead answering with the input's block starts (as
// the block loop would have found them) and its fence recorded. Checked
// besides memory safety and termination:
// - a recognised block passes the module's prefilter;
// - the walk gives the same ending whatever pieces it is fed in;
// - a measured file lies inside the medium, within max_file_size, before
//   the next start after its headers, begins with FF D8 and ends with
//   FF D9 where the walk of the bytes alone ends, and raises the fence to
//   its end; a file not measured leaves the fence alone.
//
// Seeds (corpus/jpeg/) were made with cjpeg from small PPM pictures
// (32 x 24 and 16 x 16): baseline, progressive, arithmetic-coded,
// greyscale, with restart markers every row, and one with an Exif block
// holding a JPEG preview added by exiftool; one seed is two JPEGs at block
// starts 0 and 1024, one a JPEG cut in its data.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "modules/jpeg.h"
#include "scratch_support.h"
#include "storage/media.h"

namespace {

using fuzzsupport::require;

constexpr size_t kBlock = 512;
constexpr int kMaxMeasures = 4; // starts measured per input

struct Scratch {
    fuzzsupport::ScratchDir folder;
    std::string image = folder.path() + "/card.img";
    jpeg_module *module = nullptr;
    Scratch()
    {
        module = reinterpret_cast<jpeg_module *>(jpeg_describe());
        require(module != nullptr);
    }
};

// The block starts the block loop would have written (ascending).
std::vector<uint64_t> g_starts;
int64_t g_fence = 0;
int g_raised = 0;
cbr_span g_next{};

const cbr_span *next_span(fs_record *, const path_index_entry *const *, size_t, int64_t after, int64_t limit,
                          int16_t, int64_t *last_start)
{
    require(limit != 0);
    int64_t seen = 0;
    for (uint64_t start : g_starts) {
        if ((int64_t)start > limit)
            break;
        seen = (int64_t)start;
        if ((int64_t)start > after) {
            g_next = cbr_span{};
            g_next.start = g_next.end = start;
            return &g_next;
        }
    }
    if (last_start != nullptr && !g_starts.empty())
        *last_start = seen;
    return nullptr;
}

void raise_high_water(fs_record *, int64_t position)
{
    g_raised++;
    g_fence = std::max(g_fence, position);
}

jpeg_walk walk_in_pieces(const uint8_t *data, size_t size, size_t piece)
{
    jpeg_walk w;
    jpeg_walk_init(&w);
    size_t at = 0;
    while (at < size && w.state != JPEG_WALK_END && w.state != JPEG_WALK_DAMAGED) {
        const size_t n = std::min(piece, size - at);
        const size_t used = jpeg_walk_feed(&w, data + at, n);
        require(used <= n);
        require(used == n || w.state == JPEG_WALK_END || w.state == JPEG_WALK_DAMAGED);
        at += used;
    }
    return w;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Scratch s;
    jpeg_module *module = s.module;
    fil_module *m = &module->base;

    // Recognise: the first block (zero-padded, as the block loop pads the
    // medium's last block) and the prefilter agree.
    uint8_t block[kBlock] = {};
    std::memcpy(block, data, std::min(size, kBlock));
    if (jpeg_recognise(m, block, (int32_t)kBlock) > 0) {
        require(m->cur_subtype == JPEG_SUBTYPE);
        for (int k = 0; k < 8; k++) {
            uint8_t allowed[256];
            std::memset(allowed, 1, sizeof allowed);
            jpeg_prefilter(m, k, allowed);
            require(allowed[block[k]] != 0);
        }
    }

    // The walk in one piece and in small ones.
    const jpeg_walk whole = walk_in_pieces(data, size, size == 0 ? 1 : size);
    const jpeg_walk pieces = walk_in_pieces(data, size, 1 + (size > 0 ? data[0] % 13 : 0));
    require(whole.state == pieces.state && whole.end == pieces.end && whole.damage == pieces.damage &&
            whole.header_end == pieces.header_end && whole.width == pieces.width);

    // Measure on a medium holding the input.
    fuzzsupport::write_file(s.image, data, size);
    Media *media = media_attach_file(s.image.c_str());
    if (media == nullptr)
        return 0;
    require(media_retain(media) == 0);
    g_starts.clear();
    for (size_t at = 0; at + 3 <= size; at += kBlock)
        if (data[at] == 0xFF && data[at + 1] == 0xD8 && data[at + 2] == 0xFF)
            g_starts.push_back(at);
    module->next_span = next_span;
    module->raise_high_water = raise_high_water;
    module->max_file_size = size > 0 && (data[size - 1] & 1) ? 64 + 16 * (int64_t)data[size - 1] : (int64_t)1 << 30;
    module->min_image_dim = size > 0 ? data[size - 1] & 0x7E : 0;
    fs_record *store = reinterpret_cast<fs_record *>(&g_starts); // handed back to the stand-ins only

    int measured = 0;
    for (size_t start = 0; start + 1 < size && measured < kMaxMeasures; start++) {
        if (data[start] != 0xFF || data[start + 1] != 0xD8)
            continue;
        measured++;
        g_fence = 0;
        g_raised = 0;
        cbr_span span{};
        span.start = start;
        m->end_pos = 0;
        require(media_seek(media, (int64_t)start) == 0);
        const int rc = jpeg_extract(m, media, store, &span);
        if (rc != 0) {
            require(g_raised == 0);
            continue;
        }
        const uint64_t end = m->end_pos;
        require(end > start + 3 && end <= size);
        require((int64_t)(end - start) <= module->max_file_size);
        require(data[end - 2] == 0xFF && data[end - 1] == 0xD9);
        require(g_raised == 1 && g_fence == (int64_t)end);
        const jpeg_walk alone = walk_in_pieces(data + start, end - start, end - start);
        require(alone.state == JPEG_WALK_END && alone.end == end - start);
        // No block start after the headers and before the end.
        for (uint64_t other : g_starts)
            require(other <= start + alone.header_end || other >= end);
        require(span.value1 == alone.width && span.value2 == alone.height);
    }
    media_release(media);
    media_free_all();
    return 0;
}
