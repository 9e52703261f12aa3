// Small system utilities of the core: random bytes, sleeping, a sort with a
// context, error texts, wall-clock time, heap formatting, bounded string
// copies, tokenising, ASCII helpers, endian and bit-field readers.
//
// Where glibc has a function of the same name whose behaviour differs from
// ours (usleep, qsort_r, strerror_r, vasprintf, strsep), ours carries a "zv_"
// prefix. gettimeofday and localtime_r are glibc's own.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "foundation/u8string.h"

#define ZV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Fills buffer with count bytes from getrandom(2) (then /dev/urandom); when
// neither answers, from a process-wide mt19937_64 seeded from the clock.
void random_bytes(void *buffer, size_t count);

// Sleeps microseconds / 1000 milliseconds, at least 1 millisecond.
void zv_usleep(uint64_t microseconds);

// Sorts with a comparator that receives the context first.
void zv_qsort_r(void *base, size_t count, size_t size, void *context,
                int (*compare)(void *context, const void *a, const void *b));

// Writes the C library's text for an errno value into buffer (always
// NUL-terminated when size > 0). Returns 0.
int zv_strerror_r(int errnum, char *buffer, size_t size);

// Wall-clock microseconds since 1970 UTC.
uint64_t time_usec();

// Formats into a malloc'ed block stored through out and returns its length;
// on failure stores NULL and returns 0.
int zv_vasprintf(char **out, const char *format, va_list args) ZV_PRINTF(2, 0);
// The malloc'ed formatted text, or NULL.
char *strdup_printf(const char *format, ...) ZV_PRINTF(1, 2);

void safe_strcpy(char *dst, size_t dst_size, const char *src);
void safe_strncpy(char *dst, size_t dst_size, const char *src, size_t count);
// Copies at most dst_size - 1 bytes, NUL-terminates, returns the result's length.
// dst_size 0 writes nothing and returns 0.
size_t str_copy_trunc(char *dst, const char *src, size_t dst_size);
// Returns the bytes written including the NUL, or size when the text was cut.
size_t str_copy(char *dst, const char *src, size_t size);
// Copies n bytes when n < dst_size, else dst_size - 1, and NUL-terminates.
void copy_chars(char *dst, size_t dst_size, const char *src, size_t n);
// Next token up to any delimiter; NULL for a NULL pointer, NULL or empty text.
char *zv_strsep(char **text, const char *delimiters);
int str_starts_with(const char *text, const char *prefix);
int str_equal(const char *a, const char *b);
int str_ends_with_nocase(const char *text, const char *suffix);
void str_tolower_ascii(char *text);
void str_toupper_ascii(char *text);
void str_trim_right(char *text);
void str_trim(char *text);
int is_ascii(const void *bytes, long n);

uint16_t get_be16(const void *bytes);
uint16_t get_le16(const void *bytes);
uint32_t get_be32(const void *bytes);
uint32_t get_le32(const void *bytes);
uint64_t get_be64(const void *bytes);
uint64_t get_le64(const void *bytes);
// Stores the low count bytes (1 to 8) of value at bytes, least significant first.
void set_le(void *bytes, uint64_t value, int count);
// The n-bit field (1 to 31) at a bit offset, bits counted from the most
// significant bit of the first byte.
uint32_t get_bits(const void *bytes, uint32_t bit_offset, uint32_t n);
uint64_t gcd64(uint64_t a, uint64_t b);

// calloc that logs "Can't allocate %zu x %zu bytes" when it fails.
void *xcalloc(size_t count, size_t size);

template <class T>
inline void free_and_null(T *&block)
{
    std::free(block);
    block = nullptr;
}

// An operation slot that always fails.
template <class... Args>
inline int op_fail(Args...)
{
    return -1;
}

namespace ZV {
zorvant::u8string errorString(int errnum);
zorvant::u8string stringWithFormat(const char *format, ...) ZV_PRINTF(1, 2);
} // namespace ZV
