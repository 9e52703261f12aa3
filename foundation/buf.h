// Growable buffers of the core (`buf_t`): one record type for every
// variable-length array, text and list: a byte buffer, a NUL-terminated text
// that grows by printf-style appends and path components, a sorted set with
// binary search, an array of fixed-size string slots, an array of heap strings,
// a list of field positions or a list of any fixed-size records (u32 ids, ...).
//
// Layout of the record:
//
//   next          link in the pool's free lists (owned by the pool)
//   name          pool name of a named pooled buffer, at most 15 characters
//   allocation    bytes allocated for data; always a whole number of steps
//   step          allocations are whole multiples of it (128 unless given)
//   count         elements in use
//   max_count     0: no limit; appends and inserts never go beyond it
//   elem_size     bytes per element; 0 and 1 both mean bytes / text
//   elem_kind     what the elements are (see buf_elem_kind); kept apart from
//                 the element size because a heap-string pointer and a field
//                 position are both 8 bytes on a 64-bit process, and a list of
//                 u32 ids has element size 4
//   data          the allocation (NULL until something is allocated)
//   compare       compare(key, element): negative, 0 or positive; NULL means
//                 byte for byte over the element size, as unsigned bytes
//   release       called with the buffer when it is released, then cleared
//   flags         BUF_POOLED for a buffer of the pool
//   aux           a heap block owned by the buffer, freed by clear and release
//
// Text convention: a text buffer (element size 0 or 1) holds its characters
// and, in memory, a closing NUL. The string appends (buf_strcat, buf_join,
// buf_append_path_component) count the NUL as an element and drop a counted
// closing NUL before appending; the printf appends leave the NUL uncounted.
//
// Sizes: the allocation, count and element size are ints, and every byte
// product (count x element size, rounding to steps, 25 % growth) is computed
// in size_t with overflow checks. A buffer never grows beyond INT_MAX bytes:
// asking for more fails like an allocation failure (-10 or NULL, error 224
// recorded), so no product can wrap and no write can pass the allocation.
//
// Errors recorded in the process error list (error_list.h): 224 the data
// could not be grown, 225 a buffer record could not be allocated, 226 a new
// buffer's initial allocation failed. Every failing operation returns NULL, 0
// or a negative code and leaves the buffer's existing elements unchanged.
//
// Threads: a buffer is used by one thread at a time. The pool's two free lists
// (named and unnamed released buffers) are guarded by one mutex, so pooled
// buffers may be taken and released from any thread.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "foundation/sysutil.h"

struct file_t; // foundation/file.h

// Status returned when room cannot be made (allocation failure or a size
// above INT_MAX bytes).
enum : int { BUF_NO_MEMORY = -10 };

// Numbers recorded in the error list.
enum : int {
    BUF_ERROR_GROW = 224,       // the data could not be grown
    BUF_ERROR_RECORD = 225,     // a buffer record could not be allocated
    BUF_ERROR_INITIAL = 226,    // a new buffer's initial allocation failed
};

enum : uint32_t {
    BUF_POOLED = 1, // flags bit 0: the buffer belongs to the pool
};

enum : int { BUF_DEFAULT_STEP = 128 };

// What the elements of a buffer are. Only BUF_HEAP_STRINGS changes how the
// buffer is cleared and released: its elements (char *) are freed then.
enum buf_elem_kind : uint8_t {
    BUF_PLAIN = 0,        // bytes, text, fixed-size records or string slots
    BUF_HEAP_STRINGS = 1, // char * to malloc'ed texts owned by the buffer
    BUF_FIELDS = 2,       // buf_field positions made by buf_split_fields
};

// One field of a text: byte offset and length.
struct buf_field {
    uint32_t offset;
    uint32_t length;
};

struct buf_t;
typedef int (*buf_compare_fn)(const void *key, const void *element);
typedef void (*buf_release_fn)(buf_t *buffer);

struct buf_t {
    buf_t *next;             // link in the pool's free lists
    char name[16];           // pool name, "" for unnamed buffers
    int allocation;          // bytes allocated for data
    int step;                // growth step in bytes (<= 0 is taken as 128)
    int count;               // elements in use
    int max_count;           // 0: no limit
    int elem_size;           // 0 or 1: bytes and text; else bytes per element
    buf_elem_kind elem_kind; // see buf_elem_kind
    uint8_t *data;           // the allocation, or NULL
    buf_compare_fn compare;  // NULL: unsigned bytes over the element size
    buf_release_fn release;  // called once when the buffer is released
    uint32_t flags;          // BUF_POOLED
    void *aux;               // owned heap block, freed by clear and release
};

// ---- Making and releasing ------------------------------------------------

// A new buffer (element size 1, count 0, the given step or 128 when step <= 0)
// with an allocation of at least initial_bytes (rounded up to whole steps)
// when that is not 0. NULL when the record cannot be allocated (error 225) or
// the initial allocation fails or exceeds INT_MAX bytes (error 226).
buf_t *buf_new(size_t initial_bytes, int step);

// A buffer of the pool: the head of the unnamed free list, else the head of
// the named list (its name cleared), else a new one. It comes reset: count 0,
// no maximum, element size 1, plain elements, no compare function or release
// hook, a NUL at data[0] when it has an allocation, and marked BUF_POOLED.
// NULL only when a new record cannot be made.
buf_t *buf_pool_get();

// The released pooled buffer carrying exactly this name (cut to 15
// characters), taken out of the named list and reset as above; else a new
// pooled buffer carrying the name. A NULL or empty name is buf_pool_get().
buf_t *buf_pool_get_named(const char *name);

// Frees every buffer waiting in the pool (both lists). Buffers in use are not
// touched. Meant for shutdown and for tests.
void buf_pool_trim();

// Releases a buffer; NULL is ignored. The release hook is called and cleared
// first and the auxiliary block and, for BUF_HEAP_STRINGS, the strings are
// freed. A pooled buffer then keeps its allocation and goes to the head of
// the named list (when it has a name) or the unnamed list; any other buffer's
// data and record are freed. The buffer must not be used afterwards.
void buf_free(buf_t *buffer);

// Takes the buffer out of the variable (sets it to NULL) and frees it.
void buf_free_ptr(buf_t **buffer);

// Frees the auxiliary block (and the strings of BUF_HEAP_STRINGS), zero-fills
// the whole allocation and sets the count to 0.
void buf_clear(buf_t *buffer);

// Makes the allocation at least `bytes` long, rounded up to whole steps with
// no further slack. 0, or BUF_NO_MEMORY when memory runs out or the rounded
// size exceeds INT_MAX (error 224 recorded; the old data kept).
int buf_reserve(buf_t *buffer, size_t bytes);

// Growth for appends: as buf_reserve, but when the rounded size adds fewer
// than a quarter of the current steps it becomes the current steps plus a
// quarter of them, so repeated appends grow geometrically (capped at INT_MAX
// bytes). 0 or BUF_NO_MEMORY (error 224, the old data kept).
int buf_grow(buf_t *buffer, size_t bytes);

// Sets the element size (and kind BUF_PLAIN) of a buffer that holds no
// elements, e.g. 4 for a list of u32 ids. 0, or -1 when the buffer still
// holds elements of another size or kind (they would be reinterpreted).
int buf_set_element_size(buf_t *buffer, int elem_size);

// ---- Adding and removing ---------------------------------------------------

// Appends n elements copied from data (zero-filled when data is NULL), cut to
// the room left under the maximum count. data may point into the buffer
// itself. Returns the address of the first appended element; NULL when
// n < 1, nothing fits or room cannot be made.
void *buf_append(buf_t *buffer, const void *data, int n);

// Appends one element.
void *buf_push(buf_t *buffer, const void *element);

// Inserts n elements (copied from data, zero-filled when NULL) before index
// (0 to count). Elements pushed past the maximum count are dropped (freed for
// BUF_HEAP_STRINGS). Returns the address of the first inserted element; NULL
// when index is out of range, n < 1, index + n passes the maximum count or
// room cannot be made.
void *buf_insert(buf_t *buffer, const void *data, int index, int n);

// Removes up to n elements at index (0 <= index < count, n >= 1), copying
// them to destination first when it is given, and closes the gap. Returns the
// number removed, 0 on a bad index or n < 1. Removed heap strings pass to the
// destination's owner, or are freed when there is no destination.
int buf_remove(buf_t *buffer, void *destination, int index, int n);

// For element size 2 or more: appends one slot holding the text cut to
// element size - 1 characters and NUL-terminated (all zero for NULL). Returns
// the slot, NULL for a smaller element size or when it does not fit.
char *buf_append_string(buf_t *buffer, const char *text);

// Makes the buffer an array of heap strings (element size sizeof(char *),
// kind BUF_HEAP_STRINGS) and appends a pointer to a heap copy of the text.
// Returns the copy, owned by the buffer; NULL for a NULL text, when the
// buffer holds elements of another kind, or when the append fails (the copy
// is freed then).
char *buf_append_strdup(buf_t *buffer, const char *text);

// Reserves room for n more bytes (cut to the room under the maximum count)
// and reads up to that many bytes from the file onto the end (byte buffers,
// element size 0 or 1). Returns the bytes read; BUF_NO_MEMORY when room
// cannot be made; a failed read's negative code; -1 for a NULL file, n < 0
// or another element size.
int buf_append_file(buf_t *buffer, file_t *file, int n);

// Makes the buffer a list of buf_field (element size 8, kind BUF_FIELDS) and,
// for a non-empty text and a separator set, appends one position per field: a
// field ends at each character of the separator set and the next begins right
// after it; adjacent separators give empty fields, as does a separator at
// either end. ",a,,b" with "," gives (0,0) (1,1) (3,0) (4,1). Returns the
// number of fields appended; -1 when the buffer holds elements of another
// kind or the text is 4 GiB or longer; BUF_NO_MEMORY (nothing appended).
int buf_split_fields(buf_t *buffer, const char *separators, const char *text);

// ---- Text (element size 0 or 1 only; NULL or -1 for any other) ------------
// The text appends are all or nothing: when the whole text with its NUL does
// not fit under the maximum count, or room cannot be made, they return NULL
// and leave the buffer as it was.

// Drops a counted closing NUL, then appends the text and its NUL (counted).
// Returns the address of the appended text; NULL for a NULL text.
char *buf_strcat(buf_t *buffer, const char *text);

// As buf_strcat, but the new closing NUL is left uncounted (printf style).
char *buf_strcat_uncounted(buf_t *buffer, const char *text);

// Appends the text and its NUL without dropping an earlier NUL (a list of
// NUL-separated texts). Returns the address of the appended text.
char *buf_append_cstr(buf_t *buffer, const char *text);

// Drops a counted closing NUL. For a NULL text appends one NUL; otherwise
// appends the separator (when the buffer is not empty and the separator is
// not empty; without its NUL) and then the text with its NUL. Returns the
// data; NULL when room cannot be made.
char *buf_join(buf_t *buffer, const char *text, const char *separator);

// Appends a path component with "/" between. A trailing "/" (followed by an
// uncounted or a counted NUL) is dropped first, so "/a/" and "/a" both give
// "/a/b"; a buffer that is exactly "/" keeps it, so "/" gives "/b". Returns
// the data; NULL when room cannot be made.
char *buf_append_path_component(buf_t *buffer, const char *component);

// Append formatted text; the closing NUL is written but not counted. The
// spaced forms put one space in front when the buffer is not empty and its
// last character is none of line feed, carriage return, space and tab.
// Return the characters appended (the space included); BUF_NO_MEMORY when
// room cannot be made; -1 for a NULL format, another element size, a text
// that would pass the maximum count or a formatting failure (logged). On
// failure the buffer is as before.
int buf_printf(buf_t *buffer, const char *format, ...) ZV_PRINTF(2, 3);
int buf_printf_spaced(buf_t *buffer, const char *format, ...) ZV_PRINTF(2, 3);
int buf_vprintf(buf_t *buffer, const char *format, va_list args) ZV_PRINTF(2, 0);
int buf_vprintf_spaced(buf_t *buffer, const char *format, va_list args) ZV_PRINTF(2, 0);

// The text of a text buffer: the data, or "" while nothing is allocated.
const char *buf_cstr(const buf_t *buffer);

// ---- Sorted use ------------------------------------------------------------

// Sorts the elements with the compare function, else byte for byte over the
// element size as unsigned bytes.
void buf_sort(buf_t *buffer);

// Removes adjacent equal elements in place, keeping the first of each run
// (dropped heap strings are freed). Returns the new count.
int buf_unique(buf_t *buffer);

// Index of an element equal to key by binary search over a sorted buffer
// (compare(key, element)); -1 when there is none, for a NULL key or an empty
// buffer.
int buf_bsearch(const buf_t *buffer, const void *key);

// Walks the elements from the start: returns an equal element; at the first
// element greater than the key inserts a copy of the key before it; when none
// is greater appends the copy. Returns the element (existing or new); NULL
// when it cannot be added. A sorted buffer stays sorted.
void *buf_find_or_insert(buf_t *buffer, const void *key);

// ---- Element access ----------------------------------------------------------

// Bytes per element (element size 0 counts as 1).
inline size_t buf_elem_bytes(const buf_t *buffer)
{
    return buffer->elem_size > 1 ? (size_t)buffer->elem_size : 1;
}

// Address of element index (no range check).
inline void *buf_at(const buf_t *buffer, int index)
{
    return buffer->data + (size_t)index * buf_elem_bytes(buffer);
}

// String index of a BUF_HEAP_STRINGS buffer (no range check).
inline char *buf_string_at(const buf_t *buffer, int index)
{
    return ((char **)buffer->data)[index];
}

// Field index of a BUF_FIELDS buffer (no range check).
inline buf_field buf_field_at(const buf_t *buffer, int index)
{
    return ((const buf_field *)buffer->data)[index];
}
