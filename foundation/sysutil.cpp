// System side of the small utilities: random bytes, sleeping, the context
// sort, error texts, wall-clock time, heap formatting and the logging calloc.
// The string, byte and number helpers live in strutil.cpp.
//
// Implementation notes
// - Random bytes come from getrandom(2); if the kernel refuses (very old
//   kernel, seccomp filter) the rest is read from /dev/urandom; if that
//   cannot be opened either (a bare chroot), a process-wide mt19937_64 seeded
//   from the clock fills in. The fallback is not cryptographic; it only keeps
//   callers that need "some distinct bytes" (temporary names, identifiers)
//   working. It draws count / 8 + 1 numbers of 64 bits, each under its mutex,
//   and lays them out low-order byte first.
// - glibc has its own usleep, qsort_r, strerror_r and vasprintf with other
//   behaviour (usleep(0) returns at once, qsort_r passes the context last,
//   GNU strerror_r may return a static text, vasprintf returns -1), so ours
//   carry a "zv_" prefix. gettimeofday and localtime_r are glibc's.

#include "foundation/sysutil.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "foundation/log.h"

namespace {

// Seconds between 1601-01-01 and 1970-01-01: the offset of the 100-ns tick
// count the fallback generator is seeded with.
constexpr uint64_t kEpochDelta1601 = 11644473600ull;

// ---- random bytes -----------------------------------------------------------

struct FallbackGenerator {
    std::mutex mutex;
    std::mt19937_64 engine;

    FallbackGenerator() : engine(clock_ticks_100ns()) {}

    static uint64_t clock_ticks_100ns()
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return (static_cast<uint64_t>(now.tv_sec) + kEpochDelta1601) * 10000000ull +
               static_cast<uint64_t>(now.tv_nsec) / 100;
    }
};

// Made on first use; the C++ runtime makes that one-time initialisation
// thread-safe, so the seed is taken exactly once.
FallbackGenerator &fallback_generator()
{
    static FallbackGenerator generator;
    return generator;
}

// Set by tests to act as if neither system source were available.
std::atomic<bool> g_force_fallback{false};

// Fills as much as getrandom(2) gives; returns the number of bytes filled.
size_t fill_from_getrandom(unsigned char *p, size_t count)
{
    size_t filled = 0;
    while (filled < count) {
        ssize_t got = getrandom(p + filled, count - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break; // ENOSYS, EPERM (seccomp) ...: let the next source try
        }
        if (got == 0)
            break; // not expected; never spin on it
        filled += static_cast<size_t>(got);
    }
    return filled;
}

size_t fill_from_urandom(unsigned char *p, size_t count)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t filled = 0;
    while (filled < count) {
        ssize_t got = read(fd, p + filled, count - filled);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    close(fd);
    return filled;
}

void fill_from_fallback(unsigned char *p, size_t count)
{
    FallbackGenerator &generator = fallback_generator();
    size_t draws = count / 8 + 1;
    size_t pos = 0;
    for (size_t i = 0; i < draws; i++) {
        uint64_t value;
        {
            std::lock_guard<std::mutex> lock(generator.mutex);
            value = generator.engine();
        }
        for (int b = 0; b < 8 && pos < count; b++)
            p[pos++] = static_cast<unsigned char>(value >> (8 * b));
    }
}

// ---- qsort_r adapter --------------------------------------------------------

struct SortContext {
    void *context;
    int (*compare)(void *context, const void *a, const void *b);
};

// glibc hands its argument last; ours expects it first.
int sort_adapter(const void *a, const void *b, void *arg)
{
    const SortContext *sc = static_cast<const SortContext *>(arg);
    return sc->compare(sc->context, a, b);
}

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

} // namespace

// Hooks for the tests of the fallback generator; they are not part of the
// public interface and are declared by the tests that use them.
namespace zv_test {
void random_bytes_force_fallback(bool force)
{
    g_force_fallback.store(force);
}

void random_bytes_reseed_fallback(uint64_t seed)
{
    FallbackGenerator &generator = fallback_generator();
    std::lock_guard<std::mutex> lock(generator.mutex);
    generator.engine.seed(seed);
}
} // namespace zv_test

void random_bytes(void *buffer, size_t count)
{
    if (buffer == nullptr || count == 0)
        return;
    int saved_errno = errno;
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t filled = 0;
    if (!g_force_fallback.load()) {
        filled = fill_from_getrandom(p, count);
        if (filled < count)
            filled += fill_from_urandom(p + filled, count - filled);
    }
    if (filled < count)
        fill_from_fallback(p + filled, count - filled);
    errno = saved_errno;
}

void zv_usleep(uint64_t microseconds)
{
    uint64_t ms = microseconds / 1000;
    if (ms == 0)
        ms = 1;
    timespec want{};
    want.tv_sec = static_cast<time_t>(ms / 1000);
    want.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    timespec left{};
    // A signal interrupts nanosleep; sleep on for what is left.
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}

void zv_qsort_r(void *base, size_t count, size_t size, void *context,
                int (*compare)(void *context, const void *a, const void *b))
{
    if (base == nullptr || count < 2 || size == 0 || compare == nullptr)
        return;
    SortContext sc{context, compare};
    qsort_r(base, count, size, sort_adapter, &sc);
}

int zv_strerror_r(int errnum, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    // GNU strerror_r returns the text, which may be a static string rather
    // than the buffer we pass; copy it over in either case.
    char scratch[256];
    const char *text = strerror_r(errnum, scratch, sizeof scratch);
    if (text == nullptr)
        text = "";
    size_t n = strnlen(text, size - 1);
    std::memmove(buffer, text, n);
    buffer[n] = '\0';
    return 0;
}

uint64_t time_usec()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000ull + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

int zv_vasprintf(char **out, const char *format, va_list args)
{
    if (out == nullptr)
        return 0;
    *out = nullptr;
    if (format == nullptr)
        return 0;

    // Each pass consumes a va_list of its own: a list that vsnprintf has
    // walked cannot be walked again.
    va_list count_args;
    va_copy(count_args, args);
    int length = vsnprintf(nullptr, 0, format, count_args);
    va_end(count_args);
    if (length < 0)
        return 0;

    char *block = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (block == nullptr)
        return 0;

    va_list print_args;
    va_copy(print_args, args);
    int written = vsnprintf(block, static_cast<size_t>(length) + 1, format, print_args);
    va_end(print_args);
    if (written != length) {
        // The arguments changed under us (a string another thread edits).
        // Report it as the failure it is: NULL and 0, never a length
        // without a block.
        std::free(block);
        return 0;
    }
    *out = block;
    return length;
}

char *strdup_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    zv_vasprintf(&text, format, args);
    va_end(args);
    return text;
}

void *xcalloc(size_t count, size_t size)
{
    void *block = std::calloc(count, size);
    if (block == nullptr)
        log_error("Can't allocate %zu x %zu bytes", count, size);
    return block;
}

namespace ZV {

zorvant::u8string errorString(int errnum)
{
    char buffer[100];
    zv_strerror_r(errnum, buffer, sizeof buffer);
    // A translated text may be cut inside a multi-byte character by the
    // 100-byte buffer; keep only the valid UTF-8 before the cut.
    size_t n = std::strlen(buffer);
    const char *bad = utf8::find_invalid(buffer, buffer + n);
    return zorvant::u8string(std::string(buffer, static_cast<size_t>(bad - buffer)));
}

// Text that is not valid UTF-8 (a %s with raw bytes from a disk) makes the
// string type throw utf8::invalid_utf8; that is passed on to the caller.
zorvant::u8string stringWithFormat(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char *raw = nullptr;
    int length = zv_vasprintf(&raw, format, args);
    va_end(args);
    std::unique_ptr<char, FreeDeleter> text(raw);
    if (text == nullptr || length <= 0)
        return zorvant::u8string();
    return zorvant::u8string(std::string(text.get(), static_cast<size_t>(length)));
}

} // namespace ZV
