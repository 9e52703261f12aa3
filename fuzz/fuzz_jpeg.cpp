// The JPEG module's start search, recognise, multi-picture index and
// measure on arbitrary bytes: the input is a medium (a file in a scratch
// folder in memory, attached and read through the media layer). Checked
// besides memory safety and termination:
// - the start search, fed the input in blocks of a size the input picks
//   (following one another, then once with a gap), reports every FF D8 FF
//   exactly once, in order, with the input's bytes from there (a whole
//   recognise window when the blocks are at least that large), a start
//   before the gap with the bytes before it, and nothing across the gap;
// - a recognised start begins FF D8 FF and a code allowed first;
// - the walk gives the same ending whatever pieces it is fed in;
// - the multi-picture index parser stays inside the body it is given;
// - a measured file lies inside the medium, within max_file_size, before
//   the next start after its headers, begins with FF D8 and ends with FF D9
//   where the walk of the bytes alone ends (or, past that, at the end of
//   the last image of its multi-picture index), and raises the fence to its
//   end; a file not measured leaves the fence alone. The store's look-ahead
//   answers with the starts the search recognised, as the block loop would
//   have written them.
//
// Seeds (corpus/jpeg/) were made with cjpeg from small PPM pictures
// (32 x 24 and 16 x 16): baseline, progressive, arithmetic-coded,
// greyscale, with restart markers every row, and one with an Exif block
// holding a JPEG preview added by exiftool; one seed is two JPEGs at block
// starts 0 and 1024, one a JPEG cut in its data, one two JPEGs inside one
// block at odd offsets, and one a multi-picture file of two of them (the
// index written by hand as tests/modules/jpeg_test_support.h writes it).
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

// The starts the block loop would have written (ascending).
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

// What the start search reported.
struct Reported {
    std::vector<int64_t> positions;
    std::vector<std::string> windows;
};

void collect(void *context, const uint8_t *bytes, size_t size, int64_t position)
{
    auto *out = static_cast<Reported *>(context);
    require(size >= 3 && size <= JPEG_RECOGNISE_WINDOW);
    out->positions.push_back(position);
    out->windows.emplace_back(reinterpret_cast<const char *>(bytes), size);
}

// The input through the start search in blocks of `block` bytes at
// consecutive positions from `base` on.
Reported search_blocks(const uint8_t *data, size_t size, size_t block, int64_t base)
{
    jpeg_start_search search;
    jpeg_start_search_reset(&search);
    Reported out;
    for (size_t at = 0; at < size; at += block)
        jpeg_start_search_feed(&search, data + at, std::min(block, size - at), base + (int64_t)at, collect, &out);
    jpeg_start_search_flush(&search, collect, &out);
    return out;
}

// Every FF D8 FF of the bytes, with the window the search must give it.
void check_search(const uint8_t *data, size_t size, size_t block, int64_t base, const Reported &got)
{
    size_t k = 0;
    for (size_t at = 0; at + 3 <= size; at++) {
        if (data[at] != 0xFF || data[at + 1] != 0xD8 || data[at + 2] != 0xFF)
            continue;
        require(k < got.positions.size() && got.positions[k] == base + (int64_t)at);
        const std::string &window = got.windows[k];
        require(window.size() <= size - at && std::memcmp(window.data(), data + at, window.size()) == 0);
        if (block >= JPEG_RECOGNISE_WINDOW)
            require(window.size() == std::min<size_t>(JPEG_RECOGNISE_WINDOW, size - at));
        k++;
    }
    require(k == got.positions.size());
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

    // The start search in blocks of the size the first byte picks, then
    // with a gap in the middle: no start across it.
    static const size_t kBlocks[] = {512, 4096, 1, 2, 3, 7, 64, 600};
    const size_t block = kBlocks[size > 0 ? data[0] % 8 : 0];
    check_search(data, size, block, 0, search_blocks(data, size, block, 0));
    if (size > 1) {
        const size_t half = size / 2;
        jpeg_start_search search;
        jpeg_start_search_reset(&search);
        Reported got;
        // The bytes from half on lie one byte further on the medium; the
        // block holding half is cut there.
        for (size_t at = 0; at < size; at += block) {
            const size_t n = std::min(block, size - at);
            const size_t cut = at < half && half < at + n ? half - at : n;
            jpeg_start_search_feed(&search, data + at, cut, (int64_t)at + (at >= half ? 1 : 0), collect, &got);
            if (cut < n)
                jpeg_start_search_feed(&search, data + half, n - cut, (int64_t)half + 1, collect, &got);
        }
        jpeg_start_search_flush(&search, collect, &got);
        Reported first, second;
        for (size_t i = 0; i < got.positions.size(); i++) {
            Reported &part = got.positions[i] < (int64_t)half ? first : second;
            part.positions.push_back(got.positions[i]);
            part.windows.push_back(got.windows[i]);
        }
        for (std::string &w : first.windows) // the window of a start in the first half ends at the gap
            require(w.size() <= half);
        check_search(data, half, 1, 0, first);
        check_search(data + half, size - half, 1, (int64_t)half + 1, second);
    }

    // Recognise on each start the search found, with its window: a start
    // recognised is what the block loop writes.
    g_starts.clear();
    const Reported starts = search_blocks(data, size, kBlock, 0);
    for (size_t i = 0; i < starts.positions.size(); i++) {
        const std::string &w = starts.windows[i];
        m->cur_subtype = 0;
        if (jpeg_recognise(m, reinterpret_cast<const uint8_t *>(w.data()), (int32_t)w.size()) <= 0)
            continue;
        require(m->cur_subtype == JPEG_SUBTYPE);
        require(jpeg_first_marker_allowed((uint8_t)w[3]));
        g_starts.push_back((uint64_t)starts.positions[i]);
    }

    // The walk in one piece and in small ones.
    const jpeg_walk whole = walk_in_pieces(data, size, size == 0 ? 1 : size);
    const jpeg_walk pieces = walk_in_pieces(data, size, 1 + (size > 0 ? data[0] % 13 : 0));
    require(whole.state == pieces.state && whole.end == pieces.end && whole.damage == pieces.damage &&
            whole.header_end == pieces.header_end && whole.width == pieces.width &&
            whole.mpf_at == pieces.mpf_at && whole.mpf_size == pieces.mpf_size);

    // The multi-picture index parser on the input, and on the input as the
    // body after "MPF\0".
    jpeg_mpf_image images[JPEG_MPF_MAX_IMAGES];
    require(jpeg_mpf_parse(data, size, images, JPEG_MPF_MAX_IMAGES) <= JPEG_MPF_MAX_IMAGES);
    std::vector<uint8_t> body = {'M', 'P', 'F', 0};
    body.insert(body.end(), data, data + std::min<size_t>(size, 65533 - 4));
    require(jpeg_mpf_parse(body.data(), body.size(), images, JPEG_MPF_MAX_IMAGES) <= JPEG_MPF_MAX_IMAGES);

    // Measure on a medium holding the input.
    fuzzsupport::write_file(s.image, data, size);
    Media *media = media_attach_file(s.image.c_str());
    if (media == nullptr)
        return 0;
    require(media_retain(media) == 0);
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
        const uint64_t read_before = module->bytes_read;
        const int rc = jpeg_extract(m, media, store, &span);
        // A measure reads at most the bytes up to its bound, and the index again.
        require(module->bytes_read - read_before <= (uint64_t)module->max_file_size + 65535);
        if (rc != 0) {
            require(g_raised == 0);
            continue;
        }
        const uint64_t end = m->end_pos;
        require(end > start + 3 && end <= size);
        require((int64_t)(end - start) <= module->max_file_size);
        require(data[end - 2] == 0xFF && data[end - 1] == 0xD9);
        require(g_raised == 1 && g_fence == (int64_t)end);
        const jpeg_walk alone = walk_in_pieces(data + start, size - start, size - start);
        require(alone.state == JPEG_WALK_END && alone.end <= end - start);
        require(alone.end == end - start || alone.mpf_size > 0); // more images only from an index
        // No start after the headers and before the first image's end.
        for (uint64_t other : g_starts)
            require(other <= start + alone.header_end || other >= start + alone.end);
        require(span.value1 == alone.width && span.value2 == alone.height);
    }
    media_release(media);
    media_free_all();
    return 0;
}
