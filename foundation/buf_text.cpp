// Growable buffers as texts and lists of texts: string and path appends,
// formatted appends, string slots, heap strings, field positions and reads
// from a file object.
//
// Implementation notes
//   - The text appends are all or nothing: room for the whole text and its
//     NUL (under the maximum count too) is made before a byte is written,
//     so a failure leaves the text as it was instead of a cut text without
//     its NUL.
//   - A text to append may lie inside the buffer itself; it is copied aside
//     first, since growing may move the data.
//   - Formatting runs up to two passes over the arguments, each on its own
//     va_copy: a va_list that one vsnprintf has consumed cannot be read
//     again.
#include "foundation/buf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"

namespace {

bool is_text(const buf_t *b)
{
    return b && b->elem_size <= 1;
}

// Holds a text to append; a heap copy when the text lies in the buffer's
// own allocation (growing could move or overwrite it).
class TextSource {
public:
    TextSource(const buf_t *b, const char *text) : text_(text)
    {
        const uintptr_t a = (uintptr_t)text, start = (uintptr_t)b->data;
        if (text && b->data && a >= start && a < start + (size_t)b->allocation) {
            copy_ = strdup(text);
            text_ = copy_;
            failed_ = copy_ == nullptr;
        }
    }
    ~TextSource() { std::free(copy_); }
    TextSource(const TextSource &) = delete;
    TextSource &operator=(const TextSource &) = delete;

    const char *get() const { return text_; }
    bool failed() const { return failed_; }

private:
    const char *text_;
    char *copy_ = nullptr;
    bool failed_ = false;
};

// Count without a counted closing NUL.
int without_counted_nul(const buf_t *b)
{
    return b->count > 0 && b->data[b->count - 1] == 0 ? b->count - 1 : b->count;
}

// Makes room for `extra` bytes at byte `at` of a text buffer, under the
// maximum count and INT_MAX. The address to write to, or NULL.
char *text_room(buf_t *b, size_t at, size_t extra)
{
    if (extra > (size_t)INT_MAX - at) {
        add_error(BUF_ERROR_GROW);
        return nullptr;
    }
    if (b->max_count > 0 && at + extra > (size_t)b->max_count)
        return nullptr;
    if (buf_grow(b, at + extra) != 0)
        return nullptr;
    return (char *)b->data + at;
}

// Writes text and its NUL at byte `at` and counts them; the address of the
// text or NULL (nothing changed).
char *put_text(buf_t *b, int at, const char *text)
{
    TextSource source(b, text);
    if (source.failed())
        return nullptr;
    const size_t len = std::strlen(source.get());
    char *dst = text_room(b, (size_t)at, len + 1);
    if (!dst)
        return nullptr;
    std::memcpy(dst, source.get(), len + 1);
    b->count = at + (int)len + 1;
    return dst;
}

ZV_PRINTF(3, 0) int format_append(buf_t *b, const char *prefix, const char *format, va_list args)
{
    if (!is_text(b) || !format)
        return -1;
    const size_t start = (size_t)b->count;
    const size_t prefix_len = std::strlen(prefix);
    const size_t format_len = std::strlen(format);
    // buf_grow refuses (error 224) anything past INT_MAX bytes.
    if (buf_grow(b, start + 1 + format_len + prefix_len) != 0)
        return BUF_NO_MEMORY;
    // The byte at the count is the uncounted NUL of the text; kept so a
    // failure can put it back.
    const uint8_t saved = b->data[start];
    std::memcpy(b->data + start, prefix, prefix_len);
    const size_t at = start + prefix_len;

    auto fail = [&](int code) {
        b->data[start] = saved;
        return code;
    };

    va_list pass;
    va_copy(pass, args);
    int n = vsnprintf((char *)b->data + at, (size_t)b->allocation - at, format, pass);
    va_end(pass);
    if (n < 0) { // measure with a counting pass
        va_copy(pass, args);
        n = vsnprintf(nullptr, 0, format, pass);
        va_end(pass);
        if (n < 0) {
            const int error = errno;
            log_error("_vscprintf failed: %d\n", error);
            log_error("vsnprintf failed: %d\n", error);
            return fail(-1);
        }
    }
    if (b->max_count > 0 && at + (size_t)n > (size_t)b->max_count)
        return fail(-1);
    if ((size_t)n + 1 > (size_t)b->allocation - at) { // cut: grow and format again
        if (buf_grow(b, at + (size_t)n + 1) != 0)
            return fail(BUF_NO_MEMORY);
        va_copy(pass, args);
        const int again = vsnprintf((char *)b->data + at, (size_t)b->allocation - at, format, pass);
        va_end(pass);
        if (again != n) {
            log_error("vsnprintf failed: %d\n", errno);
            return fail(-1);
        }
    }
    b->count = (int)(at + (size_t)n);
    return (int)prefix_len + n;
}

const char *space_prefix(const buf_t *b)
{
    if (!is_text(b) || b->count < 1)
        return "";
    const char last = (char)b->data[b->count - 1];
    return std::strchr("\n\r \t", last) && last ? "" : " ";
}

} // namespace

// ---- Text ------------------------------------------------------------------------

const char *buf_cstr(const buf_t *b)
{
    return b && b->data ? (const char *)b->data : "";
}

char *buf_strcat(buf_t *b, const char *text)
{
    if (!is_text(b) || !text)
        return nullptr;
    return put_text(b, without_counted_nul(b), text);
}

char *buf_strcat_uncounted(buf_t *b, const char *text)
{
    char *p = buf_strcat(b, text);
    if (p)
        b->count--;
    return p;
}

char *buf_append_cstr(buf_t *b, const char *text)
{
    if (!is_text(b) || !text)
        return nullptr;
    return put_text(b, b->count, text);
}

char *buf_join(buf_t *b, const char *text, const char *separator)
{
    if (!is_text(b))
        return nullptr;
    const int at = without_counted_nul(b);
    if (!text) {
        char *dst = text_room(b, (size_t)at, 1);
        if (!dst)
            return nullptr;
        *dst = 0;
        b->count = at + 1;
        return (char *)b->data;
    }
    TextSource source(b, text);
    if (source.failed())
        return nullptr;
    const size_t sep_len = at > 0 && separator ? std::strlen(separator) : 0;
    const size_t len = std::strlen(source.get());
    if (len > (size_t)INT_MAX - sep_len - 1) {
        add_error(BUF_ERROR_GROW);
        return nullptr;
    }
    char *dst = text_room(b, (size_t)at, sep_len + len + 1);
    if (!dst)
        return nullptr;
    std::memcpy(dst, separator, sep_len);
    std::memcpy(dst + sep_len, source.get(), len + 1);
    b->count = at + (int)(sep_len + len + 1);
    return (char *)b->data;
}

char *buf_append_path_component(buf_t *b, const char *component)
{
    if (!is_text(b))
        return nullptr;
    const int saved = b->count;
    int end = without_counted_nul(b);
    // The root "/" is a whole path of its own: dropping its slash would make
    // "/" + "b" the relative "b". Keep it and add no second separator.
    const bool root = end == 1 && b->data[0] == '/';
    if (!root && end > 0 && b->data[end - 1] == '/')
        --end;
    b->count = end;
    char *result = buf_join(b, component, root ? "" : "/");
    if (!result)
        b->count = saved;
    return result;
}

int buf_printf(buf_t *b, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = format_append(b, "", format, args);
    va_end(args);
    return n;
}

int buf_printf_spaced(buf_t *b, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = format_append(b, space_prefix(b), format, args);
    va_end(args);
    return n;
}

int buf_vprintf(buf_t *b, const char *format, va_list args)
{
    return format_append(b, "", format, args);
}

int buf_vprintf_spaced(buf_t *b, const char *format, va_list args)
{
    return format_append(b, space_prefix(b), format, args);
}

// ---- String slots and heap strings -------------------------------------------

char *buf_append_string(buf_t *b, const char *text)
{
    if (!b || b->elem_size < 2)
        return nullptr;
    TextSource source(b, text);
    if (source.failed())
        return nullptr;
    char *slot = (char *)buf_append(b, nullptr, 1);
    if (slot && source.get())
        str_copy_trunc(slot, source.get(), (size_t)b->elem_size);
    return slot;
}

char *buf_append_strdup(buf_t *b, const char *text)
{
    if (!b || !text)
        return nullptr;
    const bool strings = b->elem_kind == BUF_HEAP_STRINGS && b->elem_size == (int)sizeof(char *);
    if (b->count > 0 && !strings)
        return nullptr;
    b->elem_size = (int)sizeof(char *);
    b->elem_kind = BUF_HEAP_STRINGS;
    char *copy = strdup(text);
    if (!copy)
        return nullptr;
    if (!buf_append(b, &copy, 1)) {
        std::free(copy);
        return nullptr;
    }
    return copy;
}

// ---- Field positions -------------------------------------------------------------

int buf_split_fields(buf_t *b, const char *separators, const char *text)
{
    if (!b)
        return -1;
    if (b->count > 0 && (b->elem_kind != BUF_FIELDS || b->elem_size != (int)sizeof(buf_field)))
        return -1;
    b->elem_size = (int)sizeof(buf_field);
    b->elem_kind = BUF_FIELDS;
    if (!text || !*text || !separators)
        return 0;
    const size_t len = std::strlen(text);
    if (len >= UINT32_MAX)
        return -1;
    bool is_separator[256] = {};
    for (const unsigned char *s = (const unsigned char *)separators; *s; ++s)
        is_separator[*s] = true;
    size_t fields = 1;
    for (size_t i = 0; i < len; ++i)
        fields += is_separator[(unsigned char)text[i]];
    if (fields > (size_t)INT_MAX) {
        add_error(BUF_ERROR_GROW);
        return BUF_NO_MEMORY;
    }
    const int before = b->count;
    if (!buf_append(b, nullptr, (int)fields))
        return b->max_count > 0 && before >= b->max_count ? 0 : BUF_NO_MEMORY;
    // A maximum count may have cut the list: fill what was appended.
    const int room = b->count - before;
    buf_field *out = (buf_field *)buf_at(b, before);
    int n = 0;
    uint32_t start = 0;
    for (size_t i = 0; i <= len && n < room; ++i) {
        if (i == len || is_separator[(unsigned char)text[i]]) {
            out[n++] = buf_field{start, (uint32_t)(i - start)};
            start = (uint32_t)(i + 1);
        }
    }
    return n;
}

// ---- Reading from a file -----------------------------------------------------------

int buf_append_file(buf_t *b, file_t *file, int n)
{
    if (!b || !file || n < 0 || b->elem_size > 1)
        return -1;
    if (b->max_count > 0 && n > b->max_count - b->count)
        n = b->max_count > b->count ? b->max_count - b->count : 0;
    if (n == 0)
        return 0;
    if ((size_t)n > (size_t)INT_MAX - (size_t)b->count) {
        add_error(BUF_ERROR_GROW);
        return BUF_NO_MEMORY;
    }
    if (buf_grow(b, (size_t)b->count + (size_t)n) != 0)
        return BUF_NO_MEMORY;
    int64_t got = file_read(file, b->data + b->count, n);
    if (got < 0)
        return (int)got;
    if (got > n) // never more than asked; guards the count
        got = n;
    b->count += (int)got;
    return (int)got;
}
