// Growable buffers: making, growing, the pool, element arrays and sorted use.
// The text appends, field splitting and file reads are in buf_text.cpp.
//
// Implementation notes
//   - Every byte size is computed in size_t and checked against INT_MAX
//     before anything is allocated or copied, because the record keeps int
//     sizes. Asking for more than INT_MAX bytes is treated as running out of
//     memory (error 224, -10 / NULL), so a product can never wrap into a
//     small allocation followed by a large copy.
//   - Sources may point into the buffer itself (appending part of its own
//     text, inserting a copy of an element); they are located by offset
//     before a reallocation can move them.
//   - Heap strings are freed by the element kind, never guessed from the
//     element size: 8 bytes is also a field position and 4 a u32 id.
#include "foundation/buf.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "foundation/error_list.h"

namespace {

std::mutex g_pool_mutex;
buf_t *g_named_free = nullptr;   // released pooled buffers with a name
buf_t *g_unnamed_free = nullptr; // released pooled buffers without

size_t step_bytes(const buf_t *b)
{
    return b->step > 0 ? (size_t)b->step : (size_t)BUF_DEFAULT_STEP;
}

// Grows the allocation to hold `bytes`. exact: whole steps only (reserve and
// new); otherwise at least a quarter more steps than now (appends).
int grow_to(buf_t *b, size_t bytes, bool exact)
{
    if (bytes <= (size_t)b->allocation)
        return 0;
    const size_t step = step_bytes(b);
    const size_t max_steps = (size_t)INT_MAX / step;
    size_t steps = bytes / step + (bytes % step != 0);
    const size_t current = (size_t)b->allocation / step;
    if (!exact && steps - current < current / 4)
        steps = current + current / 4;
    // The geometric slack may pass INT_MAX while the bytes asked for do not:
    // then take the largest whole number of steps that still fits.
    if (steps > max_steps)
        steps = max_steps;
    const size_t new_bytes = steps * step;
    if (new_bytes < bytes) {
        add_error(BUF_ERROR_GROW);
        return BUF_NO_MEMORY;
    }
    void *data = std::realloc(b->data, new_bytes);
    if (!data) {
        add_error(BUF_ERROR_GROW);
        return BUF_NO_MEMORY;
    }
    b->data = (uint8_t *)data;
    b->allocation = (int)new_bytes;
    return 0;
}

// Bytes for n elements, or SIZE_MAX when that passes INT_MAX.
size_t elements_bytes(const buf_t *b, size_t n)
{
    const size_t es = buf_elem_bytes(b);
    return n > (size_t)INT_MAX / es ? SIZE_MAX : n * es;
}

// Offset of p inside the allocation, or -1 when it lies outside.
ptrdiff_t offset_inside(const buf_t *b, const void *p)
{
    const uintptr_t a = (uintptr_t)p, start = (uintptr_t)b->data;
    if (!p || !b->data || a < start || a >= start + (size_t)b->allocation)
        return -1;
    return (ptrdiff_t)(a - start);
}

bool holds_heap_strings(const buf_t *b)
{
    return b->elem_kind == BUF_HEAP_STRINGS && b->elem_size == (int)sizeof(char *);
}

void free_strings(buf_t *b, int first, int n)
{
    if (!holds_heap_strings(b))
        return;
    for (int i = first; i < first + n; ++i)
        std::free(buf_string_at(b, i));
}

void reset_pooled(buf_t *b)
{
    b->next = nullptr;
    b->count = 0;
    b->max_count = 0;
    b->elem_size = 1;
    b->elem_kind = BUF_PLAIN;
    b->compare = nullptr;
    b->release = nullptr;
    b->aux = nullptr;
    b->flags = BUF_POOLED;
    // A reused buffer still holds its last user's bytes behind count 0; a
    // text reader must see an empty text, not the stale one.
    if (b->data && b->allocation > 0)
        b->data[0] = 0;
}

void destroy(buf_t *b)
{
    std::free(b->data);
    std::free(b);
}

int compare_elements(void *context, const void *a, const void *b)
{
    const buf_t *buffer = (const buf_t *)context;
    if (buffer->compare)
        return buffer->compare(a, b);
    return std::memcmp(a, b, buf_elem_bytes(buffer));
}

} // namespace

// ---- Making and releasing ----------------------------------------------------

buf_t *buf_new(size_t initial_bytes, int step)
{
    buf_t *b = (buf_t *)std::calloc(1, sizeof(buf_t));
    if (!b) {
        add_error(BUF_ERROR_RECORD);
        return nullptr;
    }
    b->step = step > 0 ? step : BUF_DEFAULT_STEP;
    b->elem_size = 1;
    if (initial_bytes > 0) {
        const size_t s = (size_t)b->step;
        const size_t steps = initial_bytes / s + (initial_bytes % s != 0);
        void *data = steps <= (size_t)INT_MAX / s ? std::malloc(steps * s) : nullptr;
        if (!data) {
            add_error(BUF_ERROR_INITIAL);
            std::free(b);
            return nullptr;
        }
        b->data = (uint8_t *)data;
        b->allocation = (int)(steps * s);
        b->data[0] = 0;
    }
    return b;
}

buf_t *buf_pool_get()
{
    buf_t *b = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_pool_mutex);
        buf_t **list = g_unnamed_free ? &g_unnamed_free : &g_named_free;
        b = *list;
        if (b)
            *list = b->next;
    }
    if (!b) {
        b = buf_new(0, 0);
        if (!b)
            return nullptr;
    }
    b->name[0] = 0;
    reset_pooled(b);
    return b;
}

buf_t *buf_pool_get_named(const char *name)
{
    if (!name || !*name)
        return buf_pool_get();
    buf_t *b = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_pool_mutex);
        // Stored names are cut to 15 characters and NUL-terminated, so a
        // comparison over 15 characters is an exact match of the cut name.
        for (buf_t **link = &g_named_free; *link; link = &(*link)->next) {
            if (std::strncmp((*link)->name, name, sizeof b->name - 1) == 0) {
                b = *link;
                *link = b->next;
                break;
            }
        }
    }
    if (!b) {
        b = buf_new(0, 0);
        if (!b)
            return nullptr;
        str_copy_trunc(b->name, name, sizeof b->name);
    }
    reset_pooled(b);
    return b;
}

void buf_pool_trim()
{
    buf_t *lists[2];
    {
        std::lock_guard<std::mutex> lock(g_pool_mutex);
        lists[0] = g_named_free;
        lists[1] = g_unnamed_free;
        g_named_free = g_unnamed_free = nullptr;
    }
    for (buf_t *b : lists) {
        while (b) {
            buf_t *next = b->next;
            destroy(b);
            b = next;
        }
    }
}

void buf_free(buf_t *b)
{
    if (!b)
        return;
    if (b->release) {
        buf_release_fn release = b->release;
        b->release = nullptr;
        release(b);
    }
    std::free(b->aux);
    b->aux = nullptr;
    free_strings(b, 0, b->count);
    b->count = 0;
    if (!(b->flags & BUF_POOLED)) {
        destroy(b);
        return;
    }
    b->compare = nullptr;
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    buf_t **list = b->name[0] ? &g_named_free : &g_unnamed_free;
    b->next = *list;
    *list = b;
}

void buf_free_ptr(buf_t **buffer)
{
    if (!buffer)
        return;
    buf_t *b = *buffer;
    *buffer = nullptr;
    buf_free(b);
}

void buf_clear(buf_t *b)
{
    if (!b)
        return;
    std::free(b->aux);
    b->aux = nullptr;
    free_strings(b, 0, b->count);
    if (b->data)
        std::memset(b->data, 0, (size_t)b->allocation);
    b->count = 0;
}

int buf_reserve(buf_t *b, size_t bytes)
{
    if (!b)
        return BUF_NO_MEMORY;
    return grow_to(b, bytes, true);
}

int buf_grow(buf_t *b, size_t bytes)
{
    if (!b)
        return BUF_NO_MEMORY;
    return grow_to(b, bytes, false);
}

int buf_set_element_size(buf_t *b, int elem_size)
{
    if (!b || elem_size < 0)
        return -1;
    const size_t new_bytes = elem_size > 1 ? (size_t)elem_size : 1;
    if (b->count > 0 && (new_bytes != buf_elem_bytes(b) || b->elem_kind != BUF_PLAIN))
        return -1;
    b->elem_size = elem_size;
    b->elem_kind = BUF_PLAIN;
    return 0;
}

// ---- Adding and removing -----------------------------------------------------

void *buf_append(buf_t *b, const void *data, int n)
{
    if (!b || n < 1)
        return nullptr;
    if (b->max_count > 0) {
        if (b->count >= b->max_count)
            return nullptr;
        if (n > b->max_count - b->count)
            n = b->max_count - b->count;
    }
    const size_t bytes = elements_bytes(b, (size_t)b->count + (size_t)n);
    if (bytes == SIZE_MAX) {
        add_error(BUF_ERROR_GROW);
        return nullptr;
    }
    const ptrdiff_t src_offset = offset_inside(b, data);
    if (grow_to(b, bytes, false) != 0)
        return nullptr;
    const size_t es = buf_elem_bytes(b);
    uint8_t *dst = b->data + (size_t)b->count * es;
    if (!data)
        std::memset(dst, 0, (size_t)n * es);
    else
        std::memmove(dst, src_offset >= 0 ? b->data + src_offset : data, (size_t)n * es);
    b->count += n;
    return dst;
}

void *buf_push(buf_t *b, const void *element)
{
    return buf_append(b, element, 1);
}

void *buf_insert(buf_t *b, const void *data, int index, int n)
{
    if (!b || n < 1 || index < 0 || index > b->count)
        return nullptr;
    if (b->max_count > 0 && (size_t)index + (size_t)n > (size_t)b->max_count)
        return nullptr;
    size_t new_count = (size_t)b->count + (size_t)n;
    if (b->max_count > 0 && new_count > (size_t)b->max_count)
        new_count = (size_t)b->max_count;
    const int dropped = (int)((size_t)b->count + (size_t)n - new_count);
    const size_t es = buf_elem_bytes(b);
    const size_t bytes = elements_bytes(b, new_count);
    if (bytes == SIZE_MAX) {
        add_error(BUF_ERROR_GROW);
        return nullptr;
    }
    // The source may be one of the elements about to move: copy it aside.
    void *copy = nullptr;
    if (data && offset_inside(b, data) >= 0) {
        copy = std::malloc((size_t)n * es);
        if (!copy) {
            add_error(BUF_ERROR_GROW);
            return nullptr;
        }
        std::memcpy(copy, data, (size_t)n * es);
        data = copy;
    }
    if (grow_to(b, bytes, false) != 0) {
        std::free(copy);
        return nullptr;
    }
    free_strings(b, b->count - dropped, dropped);
    const size_t keep = (size_t)(b->count - index - dropped);
    uint8_t *at = b->data + (size_t)index * es;
    std::memmove(at + (size_t)n * es, at, keep * es);
    if (data)
        std::memcpy(at, data, (size_t)n * es);
    else
        std::memset(at, 0, (size_t)n * es);
    std::free(copy);
    b->count = (int)new_count;
    return at;
}

int buf_remove(buf_t *b, void *destination, int index, int n)
{
    if (!b || n < 1 || index < 0 || index >= b->count)
        return 0;
    if (n > b->count - index)
        n = b->count - index;
    const size_t es = buf_elem_bytes(b);
    uint8_t *at = b->data + (size_t)index * es;
    if (destination)
        std::memcpy(destination, at, (size_t)n * es);
    else
        free_strings(b, index, n);
    std::memmove(at, at + (size_t)n * es, (size_t)(b->count - index - n) * es);
    b->count -= n;
    return n;
}

// ---- Sorted use ----------------------------------------------------------------

void buf_sort(buf_t *b)
{
    if (!b || b->count < 2)
        return;
    zv_qsort_r(b->data, (size_t)b->count, buf_elem_bytes(b), b, compare_elements);
}

int buf_unique(buf_t *b)
{
    if (!b)
        return 0;
    if (b->count < 2)
        return b->count;
    const size_t es = buf_elem_bytes(b);
    int kept = 1;
    for (int i = 1; i < b->count; ++i) {
        uint8_t *element = b->data + (size_t)i * es;
        if (compare_elements(b, b->data + (size_t)(kept - 1) * es, element) == 0) {
            free_strings(b, i, 1);
            continue;
        }
        if (kept != i)
            std::memcpy(b->data + (size_t)kept * es, element, es);
        ++kept;
    }
    b->count = kept;
    return kept;
}

int buf_bsearch(const buf_t *b, const void *key)
{
    if (!b || !key || b->count < 1)
        return -1;
    const size_t es = buf_elem_bytes(b);
    int low = 0, high = b->count - 1;
    while (low <= high) {
        const int middle = low + (high - low) / 2;
        const int c = compare_elements((void *)b, key, b->data + (size_t)middle * es);
        if (c == 0)
            return middle;
        if (c < 0)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return -1;
}

void *buf_find_or_insert(buf_t *b, const void *key)
{
    if (!b || !key)
        return nullptr;
    const size_t es = buf_elem_bytes(b);
    for (int i = 0; i < b->count; ++i) {
        uint8_t *element = b->data + (size_t)i * es;
        const int c = compare_elements(b, key, element);
        if (c == 0)
            return element;
        if (c < 0)
            return buf_insert(b, key, i, 1);
    }
    return buf_append(b, key, 1);
}
