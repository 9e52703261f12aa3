// The JPEG file module: registration, preferences, the block prefilter,
// recognise and the measure of a span (layout in jpeg.h).
//
// Where a measured file may end
//
//   bound = min(medium length, start + max_file_size, start of the next span)
//
// The next span is asked for once the headers have been read (at the first
// scan's data), with the position after the headers as the point after
// which a start counts: a start inside the header segments is an embedded
// preview whose block happened to be found too, not a file that overwrote
// this one. Every later start cuts the file there: in valid entropy-coded
// data no FF D8 FF can stand, so a start found inside the data means this
// file's data was overwritten from there on (or lies elsewhere). The look-
// ahead always gets the bound as its limit, so it never reads further
// ahead in the spans file than this file could reach.
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
// Implementation notes
// - The medium is read in chunks of kChunk bytes, never past the bound, and
//   fed to the walk; a read that fails or comes back empty ends the measure
//   without a file. The reader's list of unreadable ranges is looked at
//   after each chunk (it is empty on a sound card); ranges past the list's
//   cap (RD_BAD_RANGES_MAX separate places) are counted by the reader but
//   not placed, so they do not bound a file.
// - A measured file raises the store's fence to its end, so that starts
//   inside it (its preview, when its block was found) are dropped. A file
//   refused as a thumbnail (min_image_dim) leaves the fence alone.
#include "modules/jpeg.h"

#include <cstdio>
#include <memory>

#include "engine/properties.h"
#include "foundation/engine_status.h"
#include "foundation/log.h"
#include "foundation/strings.h"
#include "scan/path_index.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"
#include "storage/block_reader.h"
#include "storage/media.h"

namespace {

// Read size of the measure: large enough that a file costs few reads,
// small enough to stay in the cache while the walk runs over it.
constexpr int64_t kChunk = 64 * 1024;

// The module's own preferences. "max_file_size": 1 byte to 2^62 (an offset
// on the medium stays far from overflow when it is added);
// "min_image_dim": a JPEG side is at most 65535 pixels.
const PropSchema kMaxFileSize = {"max_file_size", PROP_TYPE_INT64, 1, (int64_t)1 << 62, "Maximum file size",
                                 "Larger files are not recovered whole.", nullptr};
const PropSchema kMinImageDim = {"min_image_dim", PROP_TYPE_INT32, 0, 65535, "Minimum image size",
                                 "Images whose width and height are both below this are left out.", nullptr};

jpeg_module *jpeg_of(fil_module *module)
{
    return module != nullptr && module->id == JPEG_MODULE_ID ? reinterpret_cast<jpeg_module *>(module) : nullptr;
}

// The type folder "JPEG" below the images category, made on first use;
// NULL until the naming tree exists.
nameseq_node *type_folder()
{
    const char *const path[] = {"JPEG"};
    nameseq_node *images = nameseq_category_node(NAMESEQ_IMAGES);
    return images != nullptr ? nameseq_find_in(images, path, 1, true) : nullptr;
}

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

int jpeg_scan_prepare(fil_module *module)
{
    jpeg_load_prefs(module);
    if (jpeg_module *jpeg = jpeg_of(module); jpeg != nullptr && jpeg->kinds[JPEG_SUBTYPE].type_folder == nullptr)
        jpeg->kinds[JPEG_SUBTYPE].type_folder = type_folder();
    return 0;
}

int jpeg_reset(fil_module *module)
{
    if (jpeg_module *jpeg = jpeg_of(module)) {
        jpeg->measured = 0;
        jpeg->not_measured = 0;
        jpeg->too_small = 0;
    }
    return 0;
}

int jpeg_end_spans(fil_module *module, int aborted)
{
    jpeg_module *jpeg = jpeg_of(module);
    if (jpeg == nullptr || (jpeg->measured | jpeg->not_measured | jpeg->too_small) == 0)
        return 0;
    log_info("jpeg: %llu files measured, %llu damaged or cut, %llu below min_image_dim%s",
             (unsigned long long)jpeg->measured, (unsigned long long)jpeg->not_measured,
             (unsigned long long)jpeg->too_small, aborted ? " (aborted)" : "");
    return 0;
}

} // namespace

void jpeg_load_prefs(fil_module *module)
{
    jpeg_module *jpeg = jpeg_of(module);
    if (jpeg == nullptr)
        return;
    char path[128];
    std::snprintf(path, sizeof path, "%s/%s", localize_cstring("File Modules"), localize_cstring("Images"));
    PropNode *node = prop_node(path, PROP_NODE_CREATE);
    jpeg->base.enabled = prop_get_ll(node, &prop_schema_enabled, 1, 1) != 0 ? 1 : 0;
    jpeg->max_file_size = prop_get_ll(node, &kMaxFileSize, JPEG_DEFAULT_MAX_FILE_SIZE, 1);
    jpeg->min_image_dim = prop_get_ll(node, &kMinImageDim, JPEG_DEFAULT_MIN_IMAGE_DIM, 0);
}

fil_module *jpeg_describe()
{
    jpeg_module *jpeg = reinterpret_cast<jpeg_module *>(fil_module_get_or_create(JPEG_MODULE_ID, sizeof(jpeg_module)));
    if (jpeg == nullptr)
        return nullptr;
    fil_module *module = &jpeg->base;
    module->filter = FIL_FILTER_1;
    module->prefilter = jpeg_prefilter;
    module->recognise = jpeg_recognise;
    module->extract = jpeg_extract;
    module->scan_prepare = jpeg_scan_prepare;
    module->end_spans = jpeg_end_spans;
    module->reset = jpeg_reset;
    module->load_prefs = jpeg_load_prefs;
    fil_module_subtype &kind = jpeg->kinds[JPEG_SUBTYPE];
    kind.prefix = "";
    kind.extension = "jpg";
    if (kind.type_folder == nullptr)
        kind.type_folder = type_folder();
    module->subtypes = jpeg->kinds;
    module->subtype_count = JPEG_SUBTYPE_COUNT;
    jpeg->next_span = cbr_next_span;
    jpeg->raise_high_water = cbr_raise_high_water;
    char path[128];
    std::snprintf(path, sizeof path, "%s/JPEG/.jpg", localize_cstring("Images"));
    path_index_register(path, path_index_kind_key(JPEG_MODULE_ID, JPEG_SUBTYPE), PATH_INDEX_PARENTS);
    jpeg_load_prefs(module);
    return module;
}

void jpeg_prefilter(fil_module *, int position, uint8_t allowed[256])
{
    // FF D8 FF, then the code of a marker that may follow SOI; the length
    // and body bytes after it may be anything.
    for (int b = 0; b < 256; b++) {
        switch (position) {
        case 0:
        case 2:
            allowed[b] = b == 0xFF;
            break;
        case 1:
            allowed[b] = b == 0xD8;
            break;
        case 3:
            allowed[b] = jpeg_first_marker_allowed((uint8_t)b);
            break;
        default:
            break;
        }
    }
}

int jpeg_recognise(fil_module *module, const uint8_t *block, int32_t size)
{
    // SOI, the first marker and its length must be in the block; the walk
    // then checks every segment header the block holds.
    if (block == nullptr || size < 6 || block[0] != 0xFF || block[1] != 0xD8 || block[2] != 0xFF ||
        !jpeg_first_marker_allowed(block[3]))
        return 0;
    jpeg_walk walk;
    jpeg_walk_init(&walk);
    jpeg_walk_feed(&walk, block, (size_t)size);
    if (walk.state == JPEG_WALK_DAMAGED)
        return 0;
    if (module != nullptr)
        module->cur_subtype = JPEG_SUBTYPE;
    return walk.identified ? JPEG_SCORE_IDENTIFIED : JPEG_SCORE;
}

int jpeg_extract(fil_module *module, Media *media, fs_record *store, cbr_span *span)
{
    jpeg_module *jpeg = jpeg_of(module);
    if (jpeg == nullptr || media == nullptr || span == nullptr)
        return JPEG_NOT_MEASURED;
    const int64_t length = media_length(media);
    if (span->start > (uint64_t)INT64_MAX || (int64_t)span->start >= length)
        return JPEG_NOT_MEASURED;
    const int64_t start = (int64_t)span->start;
    if (media_byte_pos(media) != start && media_seek(media, start) != 0)
        return JPEG_NOT_MEASURED;
    // bound = min(length, start + max_file_size), without overflow.
    const int64_t max_size = jpeg->max_file_size > 0 ? jpeg->max_file_size : JPEG_DEFAULT_MAX_FILE_SIZE;
    int64_t bound = max_size < length - start ? start + max_size : length;

    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    jpeg_walk walk;
    jpeg_walk_init(&walk);
    walk.pause = 1;
    bool bounded = false;     // the next span has been asked for
    int64_t chunk_pos = start;// medium position of chunk[0]
    int64_t chunk_len = 0, used = 0;
    for (;;) {
        if (used == chunk_len) {
            const int64_t next = chunk_pos + chunk_len;
            if (next >= bound)
                break; // no EOI before the bound
            if (abort_requested())
                return MEDIA_ABORTED;
            const int64_t got = media_read(media, chunk.get(), bound - next < kChunk ? bound - next : kChunk);
            if (got <= 0) {
                if (got < 0 && got != MEDIA_END)
                    return (int)got;
                break;
            }
            chunk_pos = next;
            chunk_len = got;
            used = 0;
            const int64_t hidden = second_unreadable(media, start, next + got);
            if (hidden >= 0 && hidden < bound)
                bound = hidden;
        }
        // Never walk past the bound (it may have come down since the read).
        const int64_t usable = (bound - (chunk_pos + used) < chunk_len - used) ? bound - (chunk_pos + used)
                                                                                : chunk_len - used;
        if (usable <= 0)
            break;
        used += (int64_t)jpeg_walk_feed(&walk, chunk.get() + used, (size_t)usable);
        if (walk.state == JPEG_WALK_END || walk.state == JPEG_WALK_DAMAGED)
            break;
        if (walk.header_end != 0 && !bounded) {
            bounded = true;
            // The headers end here; the first start after them bounds the file.
            if (store != nullptr && jpeg->next_span != nullptr) {
                int64_t last = 0;
                const cbr_span *next =
                    jpeg->next_span(store, nullptr, 0, start + (int64_t)walk.header_end, bound, 0, &last);
                if (next != nullptr && (int64_t)next->start > start + (int64_t)walk.header_end &&
                    (int64_t)next->start < bound)
                    bound = (int64_t)next->start;
            }
        }
    }
    if (walk.state != JPEG_WALK_END) {
        jpeg->not_measured++;
        return JPEG_NOT_MEASURED;
    }
    const int64_t end = start + (int64_t)walk.end;
    span->value1 = walk.width;
    span->value2 = walk.height;
    const int64_t dim = jpeg->min_image_dim;
    if (dim > 0 && walk.width < dim && walk.height < dim) {
        jpeg->too_small++;
        return JPEG_TOO_SMALL;
    }
    module->end_pos = (uint64_t)end;
    module->cur_subtype = JPEG_SUBTYPE;
    if (store != nullptr && jpeg->raise_high_water != nullptr)
        jpeg->raise_high_water(store, end);
    jpeg->measured++;
    return 0;
}
