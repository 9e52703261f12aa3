// The JPEG module's own detect: every FF D8 FF of a block is a possible
// start, wherever it stands (layout in jpeg.h).
//
// A start is offered to recognise with the same number of bytes wherever
// it lies in its block: JPEG_RECOGNISE_WINDOW bytes from the start on. A
// start closer than that to its block's end, and a block ending in FF or
// FF D8 (the beginning of a start that the next block may complete), are
// carried over: the carry holds the block's bytes from the first such
// position on (fewer than a window), and the next block, when it follows at
// once, completes it. Before a block that does not follow (a skipped
// block, a read that went elsewhere) and at the end of the block loop, what
// is carried is offered with the bytes there are; a start whose three bytes
// the gap cuts is no start. The carry goes at the preparation of a scan
// and when the module is off or has no store to write to.
//
// Implementation notes
// - Every block is read whole here, so the common block (no start, no FF or
//   FF D8 at its end, nothing carried) must cost little more than reading
//   it: one pass that only tells whether an FF D8 pair stands anywhere in
//   it (with AVX2 where the processor has it, 32 pairs per step and no
//   branch until the end). FF D8 is rare in compressed data (about once in
//   64 KiB) and absent from erased (00 or FF) areas. Only a block that has
//   one is searched for the starts themselves: 0xD8 with memchr, then the
//   bytes on either side. The medium, the store and its hooks are looked up
//   only when there is a start to record.
// - Entropy-coded data cannot hold FF D8 (0xFF there is followed by 0x00, a
//   restart code or a marker that ends the data), so inside a file only its
//   embedded previews give starts; those fall below the fence once the file
//   is measured.
// - The spans of a block are written in medium order, the carried ones
//   first. A carried start lies before the block that completes it, so a
//   module asked before this one for that block could have written a span
//   at the block's start first; the modules registered before it ("cbr ",
//   "fat ") never start a file with FF or D8, so the spans file stays in
//   order. (Were it a byte or two out of order, only a look-ahead whose
//   limit fell between the two starts could overlook the second.)
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "modules/jpeg.h"
#include "scan/scan_context.h"
#include "storage/media.h"

namespace {

constexpr size_t kWindow = JPEG_RECOGNISE_WINDOW;
constexpr size_t kCarryCapacity = sizeof(jpeg_start_search::carry);
static_assert(kCarryCapacity >= 2 * kWindow, "the carry holds less than a window plus a window");

bool is_start(const uint8_t *p)
{
    return p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}

// The offset of the first FF D8 FF that lies wholly inside the size bytes
// from `from` on, or size when there is none.
size_t next_start_in(const uint8_t *bytes, size_t size, size_t from)
{
    // The 0xD8 of a start stands at 1 .. size - 2.
    size_t i = from + 1;
    while (i + 1 < size) {
        const void *hit = std::memchr(bytes + i, 0xD8, size - 1 - i);
        if (hit == nullptr)
            break;
        i = (size_t)(static_cast<const uint8_t *>(hit) - bytes);
        if (bytes[i - 1] == 0xFF && bytes[i + 1] == 0xFF)
            return i - 1;
        i++;
    }
    return size;
}

#if defined(__x86_64__)
// The FF D8 pairs at i .. i + 31 (reads the bytes i .. i + 32) as 0xFF lanes.
__attribute__((target("avx2"))) inline __m256i pairs_at(const uint8_t *bytes, size_t i)
{
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + i));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + i + 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(first, _mm256_set1_epi8((char)0xFF)),
                            _mm256_cmpeq_epi8(second, _mm256_set1_epi8((char)0xD8)));
}

// Whether an FF D8 pair stands at some i with i + 2 < size (size >= 34).
__attribute__((target("avx2"))) bool pair_in_avx2(const uint8_t *bytes, size_t size)
{
    __m256i found = _mm256_setzero_si256();
    // Pairs at i .. i + 31 need i + 33 < size.
    size_t i = 0;
    for (; i + 34 <= size; i += 32)
        found = _mm256_or_si256(found, pairs_at(bytes, i));
    if (i < size - 2)
        found = _mm256_or_si256(found, pairs_at(bytes, size - 34)); // the rest, overlapping
    return _mm256_testz_si256(found, found) == 0;
}
#endif

// Whether the bytes may hold a start: an FF D8 pair that a third byte
// follows. False means there is none; true is followed by the search.
bool may_hold_start(const uint8_t *bytes, size_t size)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    if (avx2 && size >= 34)
        return pair_in_avx2(bytes, size);
#endif
    return next_start_in(bytes, size, 0) < size;
}

// Where the end of the bytes may begin a start the next block completes:
// size - 2 for FF D8, size - 1 for FF, else size.
size_t open_tail(const uint8_t *bytes, size_t size)
{
    if (size >= 2 && bytes[size - 2] == 0xFF && bytes[size - 1] == 0xD8)
        return size - 2;
    if (size >= 1 && bytes[size - 1] == 0xFF)
        return size - 1;
    return size;
}

void carry_from(jpeg_start_search *search, const uint8_t *bytes, size_t size, size_t from, int64_t position,
                int64_t end)
{
    search->carry_size = (uint32_t)(size - from);
    if (bytes + from != search->carry)
        std::memmove(search->carry, bytes + from, size - from);
    search->carry_pos = position + (int64_t)from;
    search->carry_end = end;
}

// A start to record: recognised, then written as a detected span as
// fil_module_detect writes one.
struct start_writer {
    fil_module *module;
    cbr_span *span; // the store's current span
    int written;
};

void write_start(void *context, const uint8_t *bytes, size_t size, int64_t position)
{
    auto *writer = static_cast<start_writer *>(context);
    fil_module *module = writer->module;
    module->start_pos = (uint64_t)position;
    module->end_pos = (uint64_t)position;
    module->cur_subtype = 0;
    const int result = jpeg_recognise(module, bytes, (int32_t)size);
    if ((int16_t)(result & 0xFFFF) < 1)
        return;
    // A block may hold several starts: each span begins clear.
    std::memset(writer->span, 0, sizeof *writer->span);
    writer->written += fil_module_write_start(module, (uint64_t)position, result);
}

// The writer of the module's scan: false when the module is off or the
// scan has no medium or no store (a quick scan) to record starts in.
bool writer_of(fil_module *module, start_writer *writer, Media **media)
{
    *writer = start_writer{module, nullptr, 0};
    *media = scx_media(module->scan);
    if (module->enabled != 1 || module->subtypes == nullptr || *media == nullptr)
        return false;
    const fil_store_hooks hooks = fil_module_store_hooks();
    fs_record *store = module->scan->store;
    if (store == nullptr || hooks.current_span == nullptr)
        return false;
    writer->span = hooks.current_span(store);
    return writer->span != nullptr;
}

} // namespace

void jpeg_start_search_reset(jpeg_start_search *search)
{
    search->carry_size = 0;
    search->carry_pos = 0;
    search->carry_end = -1;
}

int jpeg_start_search_feed(jpeg_start_search *search, const uint8_t *block, size_t size, int64_t position,
                           jpeg_start_fn found, void *context)
{
    if (block == nullptr || size == 0)
        return 0;
    int reported = 0;
    if (search->carry_size > 0 && search->carry_end != position)
        reported += jpeg_start_search_flush(search, found, context);
    if (search->carry_size > 0) {
        // The starts that begin in the carry, with the block's first bytes
        // after it. Fewer than a window is carried, so when the block does
        // not fit in whole every carried start gets its window.
        const size_t old = search->carry_size;
        const size_t take = size < kCarryCapacity - old ? size : kCarryCapacity - old;
        std::memcpy(search->carry + old, block, take);
        const size_t length = old + take;
        size_t keep = length; // the first position whose window is still open
        for (size_t q = 0; q < old; q++) {
            if (q + 3 > length) {
                if (open_tail(search->carry + q, length - q) == 0) {
                    keep = q; // FF or FF D8 with the block used up
                    break;
                }
                continue;
            }
            if (!is_start(search->carry + q))
                continue;
            if (q + kWindow > length) {
                keep = q;
                break;
            }
            found(context, search->carry + q, kWindow, search->carry_pos + (int64_t)q);
            reported++;
        }
        if (keep < length) {
            // The whole block went into the carry (it is shorter than a
            // window): the next block goes on from the first open start,
            // the starts of this block included.
            carry_from(search, search->carry, length, keep, search->carry_pos, position + (int64_t)size);
            return reported;
        }
        jpeg_start_search_reset(search);
    }
    size_t tail = size;
    for (size_t x = next_start_in(block, size, 0); x < size; x = next_start_in(block, size, x + 1)) {
        if (x + kWindow > size) {
            tail = x;
            break;
        }
        found(context, block + x, kWindow, position + (int64_t)x);
        reported++;
    }
    const size_t open = open_tail(block, size);
    if (open < tail)
        tail = open;
    if (tail < size)
        carry_from(search, block, size, tail, position, position + (int64_t)size);
    return reported;
}

int jpeg_start_search_flush(jpeg_start_search *search, jpeg_start_fn found, void *context)
{
    int reported = 0;
    const size_t length = search->carry_size;
    for (size_t q = 0; q + 3 <= length; q++) {
        if (!is_start(search->carry + q))
            continue;
        found(context, search->carry + q, length - q < kWindow ? length - q : kWindow,
              search->carry_pos + (int64_t)q);
        reported++;
    }
    jpeg_start_search_reset(search);
    return reported;
}

int jpeg_detect(fil_module *module, const uint8_t *block, int32_t size)
{
    jpeg_module *jpeg = jpeg_module_of(module);
    if (jpeg == nullptr || block == nullptr || size <= 0)
        return 0;
    jpeg_start_search *search = &jpeg->search;
    const size_t n = (size_t)size;
    // The usual block: no start, nothing open at its end, nothing carried.
    if (search->carry_size == 0 && !may_hold_start(block, n) && open_tail(block, n) == n)
        return 0;
    start_writer writer;
    Media *media = nullptr;
    if (!writer_of(module, &writer, &media)) {
        jpeg_start_search_reset(search);
        return 0;
    }
    jpeg_start_search_feed(search, block, n, media_data_pos(media), write_start, &writer);
    return writer.written;
}

int jpeg_end_blocks(fil_module *module)
{
    jpeg_module *jpeg = jpeg_module_of(module);
    if (jpeg == nullptr)
        return 0;
    jpeg_start_search *search = &jpeg->search;
    start_writer writer;
    Media *media = nullptr;
    if (search->carry_size > 0 && writer_of(module, &writer, &media))
        jpeg_start_search_flush(search, write_start, &writer);
    jpeg_start_search_reset(search);
    return 0;
}
