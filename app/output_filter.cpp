// Standard output and standard error through a filter that escapes control
// characters (see output_filter.h).
//
// Implementation notes: the filter is a fopencookie stream whose write
// function gets what stdio hands over (a line, a full buffer, or one call's
// text on the unbuffered standard error) and writes it, escaped, with
// write(2) to the same descriptor. A full buffer may end inside a UTF-8
// character: its first bytes are kept in the stream's cookie until the next
// write, so that the continuation bytes 0x80-0x9F of a character split
// there are not taken for lone C1 bytes. stdio calls the write function
// with the stream locked, which also guards the kept bytes.
#include "app/output_filter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zvapp {

namespace {

struct Filter {
    int fd;                  // the descriptor written to
    unsigned char carry[4];  // the first bytes of a character cut off by the end of the last write
    size_t carried;
    int error;               // errno of the first write that failed, else 0
};

Filter g_out = {STDOUT_FILENO, {}, 0, 0};
Filter g_err = {STDERR_FILENO, {}, 0, 0};

bool write_all(int fd, const char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= (size_t)n;
    }
    return true;
}

// The escaped text gathered for one write(2) at a time.
struct Emitter {
    int fd;
    char buffer[1024];
    size_t used = 0;
    int error = 0; // errno of the write that failed; later text is dropped

    explicit Emitter(int descriptor) : fd(descriptor) {}
    void put(const char *bytes, size_t size)
    {
        if (used + size > sizeof buffer)
            flush();
        std::memcpy(buffer + used, bytes, size);
        used += size;
    }
    bool flush()
    {
        if (error == 0 && used > 0 && !write_all(fd, buffer, used))
            error = errno != 0 ? errno : EIO;
        used = 0;
        return error == 0;
    }
};

// The length of the UTF-8 character at text (size bytes there), 1 to 4; 0
// when the bytes there begin one that the end cuts off; -1 when they are no
// character (a stray continuation byte, an overlong form, a surrogate).
int utf8_length(const unsigned char *text, size_t size)
{
    const unsigned char lead = text[0];
    if (lead < 0x80)
        return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return -1;
    }
    for (int i = 1; i < length; i++) {
        if ((size_t)i >= size)
            return 0;
        if (text[i] < (i == 1 ? low : 0x80) || text[i] > (i == 1 ? high : 0xBF))
            return -1;
    }
    return length;
}

// A byte on its own: an ASCII character, or one of an invalid sequence.
void put_byte(Emitter *e, unsigned char c)
{
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
        char text[8];
        std::snprintf(text, sizeof text, "\\x%02x", c);
        e->put(text, 4);
    } else {
        e->put(reinterpret_cast<const char *>(&c), 1);
    }
}

// A whole UTF-8 character of length bytes.
void put_character(Emitter *e, const unsigned char *bytes, int length)
{
    if (length == 1) {
        put_byte(e, bytes[0]);
    } else if (length == 2 && bytes[0] == 0xC2 && bytes[1] <= 0x9F) {
        char text[8];
        std::snprintf(text, sizeof text, "\\u%04x", bytes[1]);
        e->put(text, 6);
    } else {
        e->put(reinterpret_cast<const char *>(bytes), (size_t)length);
    }
}

ssize_t filter_write(void *cookie, const char *buf, size_t size)
{
    Filter *f = static_cast<Filter *>(cookie);
    const unsigned char *in = reinterpret_cast<const unsigned char *>(buf);
    Emitter e(f->fd);
    size_t at = 0;
    // The character the last write cut off, completed by this one's bytes
    // (or its bytes shown one by one when these do not complete it).
    while (f->carried > 0) {
        unsigned char joined[8];
        const size_t taken = std::min(size, sizeof joined - f->carried);
        std::memcpy(joined, f->carry, f->carried);
        std::memcpy(joined + f->carried, in, taken);
        const int n = utf8_length(joined, f->carried + taken);
        if (n == 0) { // still cut off: fewer than 4 bytes in all
            std::memcpy(f->carry + f->carried, in, size);
            f->carried += size;
            return (ssize_t)size;
        }
        if (n > 0) {
            put_character(&e, joined, n);
            at = (size_t)n - f->carried;
            f->carried = 0;
        } else {
            put_byte(&e, joined[0]);
            std::memmove(f->carry, f->carry + 1, --f->carried);
        }
    }
    while (at < size) {
        const int n = utf8_length(in + at, size - at);
        if (n == 0) {
            f->carried = size - at;
            std::memcpy(f->carry, in + at, f->carried);
            break;
        }
        if (n < 0) {
            put_byte(&e, in[at]);
            at++;
        } else {
            put_character(&e, in + at, n);
            at += (size_t)n;
        }
    }
    if (e.flush())
        return (ssize_t)size;
    if (f->error == 0)
        f->error = e.error;
    errno = e.error;
    return -1;
}

// At exit: what the streams hold, and the bytes of a character the last
// write cut off (no character any more: shown one by one).
void flush_filtered(FILE *stream, Filter *f)
{
    flockfile(stream);
    fflush_unlocked(stream);
    Emitter e(f->fd);
    for (size_t i = 0; i < f->carried; i++)
        put_byte(&e, f->carry[i]);
    f->carried = 0;
    if (!e.flush() && f->error == 0)
        f->error = e.error;
    funlockfile(stream);
}

void flush_at_exit()
{
    flush_filtered(stdout, &g_out);
    flush_filtered(stderr, &g_err);
}

} // namespace

void output_filter_install()
{
    // A descriptor 0-2 the caller left closed (`>&-`) would be taken by the
    // first file the program opens (the workspace lock, a catalog, a file
    // being recovered), and what is printed would be written into it: each
    // is held open on /dev/null for reading, where a write fails and is
    // said so.
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDONLY) < 0)
            break;
    static const cookie_io_functions_t functions = {nullptr, filter_write, nullptr, nullptr};
    FILE *out = fopencookie(&g_out, "w", functions);
    FILE *err = fopencookie(&g_err, "w", functions);
    if (out == nullptr || err == nullptr || setvbuf(out, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ) != 0 ||
        setvbuf(err, nullptr, _IONBF, 0) != 0 || std::atexit(flush_at_exit) != 0) {
        // No memory to spare at the very start: the plain streams stay.
        if (out != nullptr)
            std::fclose(out);
        if (err != nullptr)
            std::fclose(err);
        return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    stdout = out;
    stderr = err;
}

int output_finish(int status)
{
    flush_filtered(stdout, &g_out);
    // A reader that ended (`| head`) took what it wanted: the command's own
    // status stands.
    if ((g_out.error == 0 && !std::ferror(stdout)) || g_out.error == EPIPE)
        return status;
    std::fprintf(stderr, "zorvant: can't write the output: %s; what was printed is incomplete\n",
                 std::strerror(g_out.error != 0 ? g_out.error : EIO));
    return status == 0 ? 1 : status;
}

void output_raw(const char *text)
{
    FILE *out = stdout;
    flockfile(out);
    fflush_unlocked(out);
    write_all(STDOUT_FILENO, text, std::strlen(text));
    funlockfile(out);
}

} // namespace zvapp
