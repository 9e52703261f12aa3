// The measure of a JPEG span: the walk of the file from its start to its
// end-of-image marker on the medium, and of the images its multi-picture
// index lists after it (layout in jpeg.h).
//
// Where a measured image may end
//
//   bound = min(medium length, start + max_file_size, start of the next span)
//
// The next span is asked for once the headers have been read (at the first
// scan's data), with the position after the headers as the point after
// which a start counts: a start inside the header segments is an embedded
// preview, not a file that overwrote this one. Every later start cuts the
// file there: in valid entropy-coded data no FF D8 FF can stand, so a start
// found inside the data means this file's data was overwritten from there
// on (or lies elsewhere). The look-ahead always gets the bound as its
// limit, so it never reads further ahead in the spans file than this file
// could reach.
//
// The headers are bounded too: real headers hold one or two embedded
// previews, so a walk that passes more than kHeaderStarts later starts
// before its first scan gives up. Without that, a run of starts whose
// segments chain on through the blocks after them (every one an APPn whose
// length reaches the next) would make every start walk the whole run
// again. With it, the bytes a measure reads lie before the
// (kHeaderStarts + 1)-th start after it or, past the headers, before the
// next start after them, so the measures of a whole card read a bounded
// multiple of the card whatever it holds.
//
// Blocks the card could not read reach the measure as zeros (the block
// reader hands them out so). One such block inside a file is taken as a
// hole in it: the file is offered with zeros there. From the second one on
// the card may have hidden both the end of this file and the start of the
// next (each needs a block of its own), after which the next file's bytes
// would read on like more of this one; so the file must end before the
// second unreadable block:
//
//   bound = min(..., start of the second unreadable block after start)
//
// Multi-picture files
//
// When the first image's headers hold a multi-picture index, its other
// images are taken into the file when every one of them is whole: listed
// in order after the one before it, inside min(medium length, start +
// max_file_size), no other start between two of them, and each walks as a
// JPEG (with the bounds above, its own next-span bound being its listed
// end) from an SOI at its offset to an EOI that ends exactly at offset +
// size. Otherwise the file is its first image alone, and the other images'
// starts are measured as files of their own.
//
// Implementation notes
// - The medium is read in chunks of kChunk bytes, never past the bound, and
//   fed to the walk; a read that fails or comes back empty ends the measure
//   without a file. The reader's list of unreadable ranges is looked at
//   after each chunk (it is empty on a sound card); ranges past the list's
//   cap (RD_BAD_RANGES_MAX separate places) are counted by the reader but
//   not placed, so they do not bound a file.
// - A measured file raises the store's fence to its end, so that starts
//   inside it (its previews, its other images) are dropped. A file refused
//   as a thumbnail (min_image_dim) leaves the fence alone.
#include <memory>

#include "foundation/engine_status.h"
#include "modules/jpeg.h"
#include "storage/block_reader.h"
#include "storage/media.h"

namespace {

// Read size of the measure: large enough that a file costs few reads,
// small enough to stay in the cache while the walk runs over it. It holds
// any segment body (at most 65533 bytes), so the multi-picture index is
// read in one piece.
constexpr int64_t kChunk = 64 * 1024;
// Later starts the walk of an image's headers may pass before its first
// scan (see the top of this file).
constexpr int kHeaderStarts = 8;

struct measure_state {
    jpeg_module *jpeg;
    Media *media;
    fs_record *store; // NULL outside a thorough scan: no look-ahead
    uint8_t *chunk;   // kChunk bytes
};

// The medium position where the second unreadable block at or after from
// and before to begins (from itself when it lies inside that block), or -1
// when there are fewer than two. The reader numbers its blocks from the
// start of the device or image, the medium's positions from its window.
int64_t second_unreadable(const Media *media, int64_t from, int64_t to)
{
    rd_bad_report report;
    if (media_read_errors(media, &report) == 0 || report.block_size <= 0)
        return -1;
    const int64_t size = report.block_size;
    int seen = 0;
    for (const rd_bad_range &range : report.list) {
        const int64_t first = range.first_block * size - media->start_pos;
        const int64_t end = first + range.blocks * size;
        if (end <= from || first >= to)
            continue;
        // The blocks of the range that overlap [from, to), in order.
        for (int64_t at = first > from ? first : first + (from - first) / size * size; at < end && at < to;
             at += size)
            if (++seen == 2)
                return at > from ? at : from;
    }
    return -1;
}

// The first span starting after `after` and before `limit`, or -1 (none, or
// no store to ask).
int64_t next_start(const measure_state &m, int64_t after, int64_t limit)
{
    if (m.store == nullptr || m.jpeg->next_span == nullptr)
        return -1;
    int64_t last = 0;
    const cbr_span *next = m.jpeg->next_span(m.store, nullptr, 0, after, limit, 0, &last);
    if (next == nullptr || (int64_t)next->start <= after || (int64_t)next->start >= limit)
        return -1;
    return (int64_t)next->start;
}

// Walks the image whose SOI is at `at`, no further than bound and the
// bounds of the top of this file. 0 when walked (the walk's state tells
// whether it reached its EOI), or the medium's negative read code.
int walk_image(const measure_state &m, int64_t at, int64_t bound, jpeg_walk *walk)
{
    jpeg_walk_init(walk);
    walk->pause = 1;
    if (media_byte_pos(m.media) != at && media_seek(m.media, at) != 0)
        return 0;
    // The next later start the header walk meets, and how many it passed.
    int64_t header_limit = next_start(m, at, bound);
    const bool starts_ahead = header_limit >= 0;
    if (!starts_ahead)
        header_limit = bound;
    int passed = 0;
    bool bounded = false;     // the bound after the headers has been asked for
    int64_t chunk_pos = at;   // medium position of chunk[0]
    int64_t chunk_len = 0, used = 0;
    for (;;) {
        const int64_t here = chunk_pos + used;
        if (walk->header_end == 0) {
            // Going on in the headers passes the start standing here.
            while (here >= header_limit && header_limit < bound) {
                if (++passed > kHeaderStarts)
                    return 0;
                header_limit = next_start(m, header_limit, bound);
                if (header_limit < 0)
                    header_limit = bound;
            }
        }
        int64_t limit = walk->header_end == 0 ? header_limit : bound;
        if (here >= limit)
            return 0; // no EOI before the bound
        if (used == chunk_len) {
            if (abort_requested())
                return MEDIA_ABORTED;
            const int64_t got = media_read(m.media, m.chunk, limit - here < kChunk ? limit - here : kChunk);
            if (got <= 0)
                return got < 0 && got != MEDIA_END ? (int)got : 0;
            m.jpeg->bytes_read += (uint64_t)got;
            chunk_pos = here;
            chunk_len = got;
            used = 0;
            const int64_t hidden = second_unreadable(m.media, at, here + got);
            if (hidden >= 0 && hidden < bound) {
                bound = hidden;
                header_limit = header_limit < bound ? header_limit : bound;
                limit = limit < bound ? limit : bound;
            }
        }
        // Never walk past the bound (it may have come down since the read).
        const int64_t usable = limit - here < chunk_len - used ? limit - here : chunk_len - used;
        used += (int64_t)jpeg_walk_feed(walk, m.chunk + used, (size_t)usable);
        if (walk->state == JPEG_WALK_END || walk->state == JPEG_WALK_DAMAGED)
            return 0;
        if (walk->header_end != 0 && !bounded) {
            bounded = true;
            // The headers end here; the first start after them bounds the image.
            const int64_t next = starts_ahead ? next_start(m, at + (int64_t)walk->header_end, bound) : -1;
            if (next >= 0)
                bound = next;
        }
    }
}

// The end of a file whose first image (SOI at start, walked to end) may
// list more images in its multi-picture index: the end of the last one when
// all of them are whole (see the top of this file), else end. Negative: an
// abort.
int64_t multi_picture_end(const measure_state &m, int64_t start, const jpeg_walk &first, int64_t end,
                          int64_t bound)
{
    if (first.mpf_size == 0)
        return end;
    const int64_t at = start + (int64_t)first.mpf_at;
    if (media_seek(m.media, at) != 0)
        return end;
    const int64_t got = media_read(m.media, m.chunk, (int64_t)first.mpf_size);
    if (got != (int64_t)first.mpf_size)
        return end;
    m.jpeg->bytes_read += (uint64_t)got;
    jpeg_mpf_image images[JPEG_MPF_MAX_IMAGES];
    const int count = jpeg_mpf_parse(m.chunk, (size_t)got, images, JPEG_MPF_MAX_IMAGES);
    if (count < 2 || images[0].offset != 0)
        return end;
    const int64_t origin = at + 4; // the byte-order mark
    int64_t last = end;            // end of the image before
    for (int i = 1; i < count; i++) {
        const int64_t image = origin + (int64_t)images[i].offset;
        const int64_t size = (int64_t)images[i].size;
        if (image < last || image >= bound || size > bound - image)
            return end;
        if (image > last && next_start(m, last - 1, image) >= 0)
            return end; // another file's start between two images
        jpeg_walk walk;
        const int rc = walk_image(m, image, image + size, &walk);
        if (rc == MEDIA_ABORTED)
            return rc;
        if (rc != 0 || walk.state != JPEG_WALK_END || (int64_t)walk.end != size)
            return end;
        last = image + size;
    }
    return last;
}

} // namespace

int jpeg_extract(fil_module *module, Media *media, fs_record *store, cbr_span *span)
{
    jpeg_module *jpeg = jpeg_module_of(module);
    if (jpeg == nullptr || media == nullptr || span == nullptr)
        return JPEG_NOT_MEASURED;
    const int64_t length = media_length(media);
    if (span->start > (uint64_t)INT64_MAX || (int64_t)span->start >= length)
        return JPEG_NOT_MEASURED;
    const int64_t start = (int64_t)span->start;
    // bound = min(length, start + max_file_size), without overflow.
    const int64_t max_size = jpeg->max_file_size > 0 ? jpeg->max_file_size : JPEG_DEFAULT_MAX_FILE_SIZE;
    const int64_t bound = max_size < length - start ? start + max_size : length;

    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    const measure_state m{jpeg, media, store, chunk.get()};
    jpeg_walk walk;
    const int rc = walk_image(m, start, bound, &walk);
    if (rc != 0)
        return rc;
    if (walk.state != JPEG_WALK_END) {
        jpeg->not_measured++;
        return JPEG_NOT_MEASURED;
    }
    span->value1 = walk.width;
    span->value2 = walk.height;
    const int64_t dim = jpeg->min_image_dim;
    if (dim > 0 && walk.width < dim && walk.height < dim) {
        jpeg->too_small++;
        return JPEG_TOO_SMALL;
    }
    const int64_t end = multi_picture_end(m, start, walk, start + (int64_t)walk.end, bound);
    if (end < 0)
        return (int)end;
    module->end_pos = (uint64_t)end;
    module->cur_subtype = JPEG_SUBTYPE;
    if (store != nullptr && jpeg->raise_high_water != nullptr)
        jpeg->raise_high_water(store, end);
    jpeg->measured++;
    return 0;
}
