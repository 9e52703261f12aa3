// String, byte and number helpers of the core: bounded copies, tokenising,
// ASCII case and trimming, endian readers, the bit-field reader and gcd.
//
// Every copy is bounded by the destination size it is given and never reads
// the source past the bytes it copies. A destination size of 0 writes
// nothing at all (there is no room even for the NUL). Case changes and
// comparisons are ASCII only and ignore the C locale, so bytes of 128 and
// above (UTF-8 sequences) pass through untouched.

#include "foundation/sysutil.h"

#include <cstring>

namespace {

bool is_trim_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

// ---- bounded copies --------------------------------------------------------

void safe_strcpy(char *dst, size_t dst_size, const char *src)
{
    if (src == nullptr)
        return;
    safe_strncpy(dst, dst_size, src, std::strlen(src));
}

void safe_strncpy(char *dst, size_t dst_size, const char *src, size_t count)
{
    if (dst == nullptr || src == nullptr || dst_size == 0 || count == 0)
        return;
    size_t limit = dst_size - 1 < count ? dst_size - 1 : count;
    size_t n = strnlen(src, limit);
    std::memmove(dst, src, n);
    dst[n] = '\0';
}

size_t str_copy_trunc(char *dst, const char *src, size_t dst_size)
{
    if (dst == nullptr || dst_size == 0)
        return 0;
    size_t n = src == nullptr ? 0 : strnlen(src, dst_size - 1);
    if (n > 0)
        std::memmove(dst, src, n);
    dst[n] = '\0';
    return n;
}

size_t str_copy(char *dst, const char *src, size_t size)
{
    if (dst == nullptr || size == 0)
        return 0;
    return str_copy_trunc(dst, src, size) + 1; // size when the text was cut
}

void copy_chars(char *dst, size_t dst_size, const char *src, size_t n)
{
    if (dst == nullptr || dst_size == 0)
        return;
    size_t k = n < dst_size ? n : dst_size - 1;
    if (src == nullptr)
        k = 0;
    if (k > 0)
        std::memmove(dst, src, k);
    dst[k] = '\0';
}

// ---- tokens and comparisons -------------------------------------------------

char *zv_strsep(char **text, const char *delimiters)
{
    if (text == nullptr || *text == nullptr || **text == '\0')
        return nullptr;
    char *token = *text;
    char *end = token + (delimiters == nullptr ? std::strlen(token) : std::strcspn(token, delimiters));
    if (*end != '\0') {
        *end = '\0';
        *text = end + 1;
    } else {
        *text = end; // at the final NUL: the next call gives NULL
    }
    return token;
}

int str_starts_with(const char *text, const char *prefix)
{
    if (text == nullptr || prefix == nullptr)
        return 0;
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0 ? 1 : 0;
}

int str_equal(const char *a, const char *b)
{
    return (a != nullptr && b != nullptr && std::strcmp(a, b) == 0) ? 1 : 0;
}

int str_ends_with_nocase(const char *text, const char *suffix)
{
    if (text == nullptr || suffix == nullptr)
        return 0;
    size_t text_len = std::strlen(text);
    size_t suffix_len = std::strlen(suffix);
    if (suffix_len > text_len)
        return 0;
    const char *tail = text + (text_len - suffix_len);
    for (size_t i = 0; i < suffix_len; i++) {
        if (ascii_lower(tail[i]) != ascii_lower(suffix[i]))
            return 0;
    }
    return 1;
}

void str_tolower_ascii(char *text)
{
    for (; text != nullptr && *text != '\0'; text++)
        *text = ascii_lower(*text);
}

void str_toupper_ascii(char *text)
{
    for (; text != nullptr && *text != '\0'; text++)
        *text = ascii_upper(*text);
}

void str_trim_right(char *text)
{
    if (text == nullptr)
        return;
    size_t n = std::strlen(text);
    while (n > 0 && is_trim_space(text[n - 1]))
        n--;
    text[n] = '\0';
}

void str_trim(char *text)
{
    if (text == nullptr)
        return;
    str_trim_right(text);
    size_t lead = 0;
    while (is_trim_space(text[lead]))
        lead++;
    if (lead > 0)
        std::memmove(text, text + lead, std::strlen(text + lead) + 1);
}

// A NULL pointer with a positive count has nothing that could be checked and
// is not called ASCII.
int is_ascii(const void *bytes, long n)
{
    if (n < 1)
        return 1;
    if (bytes == nullptr)
        return 0;
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    for (long i = 0; i < n; i++) {
        if (p[i] >= 0x80)
            return 0;
    }
    return 1;
}

// ---- endian readers ------------------------------------------------------------
// Byte by byte, so alignment and the host's byte order never matter.

uint16_t get_be16(const void *bytes)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint16_t get_le16(const void *bytes)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    return static_cast<uint16_t>((p[1] << 8) | p[0]);
}

uint32_t get_be32(const void *bytes)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint32_t get_le32(const void *bytes)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[0]};
}

uint64_t get_be64(const void *bytes)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint64_t value = 0;
    for (int i = 0; i < 8; i++)
        value = (value << 8) | p[i];
    return value;
}

uint64_t get_le64(const void *bytes)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    return uint64_t{get_le32(p)} | uint64_t{get_le32(p + 4)} << 32;
}

void set_le(void *bytes, uint64_t value, int count)
{
    uint8_t *p = static_cast<uint8_t *>(bytes);
    for (int i = 0; i < count; i++)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The field covers bits [offset, offset + n) counted from the most
// significant bit of bytes[0]. Those bits lie in bytes offset / 8 through
// (offset + n - 1) / 8: up to five bytes (31 bits starting at bit 7 of a byte
// reach into the fifth), so they are gathered in 64 bits, not 32. The last
// byte holds (-(offset + n)) mod 8 bits past the field, shifted out below.
// n outside 1..32 gives 0 (32 also works; the callers need at most 31).
uint32_t get_bits(const void *bytes, uint32_t bit_offset, uint32_t n)
{
    if (bytes == nullptr || n == 0 || n > 32)
        return 0;
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint64_t end = uint64_t{bit_offset} + n; // one past the last bit; no 32-bit wrap
    uint64_t first = bit_offset / 8;
    uint64_t last = (end - 1) / 8;
    uint64_t acc = 0;
    for (uint64_t i = first; i <= last; i++)
        acc = (acc << 8) | p[i];
    unsigned shift = static_cast<unsigned>((8 - end % 8) % 8);
    uint64_t mask = (uint64_t{1} << n) - 1;
    return static_cast<uint32_t>((acc >> shift) & mask);
}

uint64_t gcd64(uint64_t a, uint64_t b)
{
    while (b != 0) {
        uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}
